#include "common/StrevoLog.h"

#include "common/LogRouter.h"
#include "common/Redact.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

Q_LOGGING_CATEGORY(lcStrevo, "strevo", QtWarningMsg)

namespace {

using strevo::LogHandler;
using strevo::LogLevel;
using SharedHandler = std::shared_ptr<const LogHandler>;

struct Router
{
    std::mutex mutex; // guards the members below; never held while a handler runs
    SharedHandler host;
    SharedHandler fallback;
    QStringList secrets; // one entry per registration
    // Serialises installing and refreshing Qt's message handler and category filter.
    std::mutex installMutex;
    bool installed = false; // guarded by installMutex
};

// Never destroyed: threads of the libraries underneath may still log while the process exits.
Router& router()
{
    static Router* const instance = new Router;
    return *instance;
}

std::atomic<int> g_level{static_cast<int>(LogLevel::Warning)};
std::atomic<QtMessageHandler> g_previousHandler{nullptr};
std::atomic<QLoggingCategory::CategoryFilter> g_previousFilter{nullptr};
// Set while a handler runs on this thread: what it logs itself goes around it.
thread_local bool t_inHandler = false;

LogLevel levelOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LogLevel::Debug;
    case QtInfoMsg:
        return LogLevel::Info;
    case QtWarningMsg:
        return LogLevel::Warning;
    case QtCriticalMsg:
    case QtFatalMsg:
        break;
    }
    return LogLevel::Error;
}

void passOn(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (const QtMessageHandler previous = g_previousHandler.load()) {
        previous(type, context, text);
        return;
    }
    // Only in the instant between installing the handler and learning the one it replaced.
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void route(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (!strevo::logrouter::isLibraryCategory(context.category)) {
        passOn(type, context, text);
        return;
    }
    const QString line = strevo::logrouter::masked(text);
    SharedHandler handler;
    if (!t_inHandler) {
        std::lock_guard<std::mutex> lock(router().mutex);
        handler = router().host ? router().host : router().fallback;
    }
    if (!handler) {
        passOn(type, context, line);
        return;
    }
    t_inHandler = true;
    try {
        (*handler)(levelOf(type), QString::fromLatin1(context.category), line);
    } catch (...) {
        // The host's fault must not end the encoding thread that logged: the line is dropped.
    }
    t_inHandler = false;
}

// Every strevo category is created showing warnings and errors (QtWarningMsg). Where the filter
// before this one (Qt's rules) left a severity as created, the level decides; where a rule
// changed it, the rule stays.
void filter(QLoggingCategory* category)
{
    const QLoggingCategory::CategoryFilter previous = g_previousFilter.load();
    if (!previous)
        return; // only while this filter is being installed: the categories are redone after
    previous(category);
    if (!strevo::logrouter::isLibraryCategory(category->categoryName()))
        return;
    struct Severity
    {
        QtMsgType type;
        LogLevel level;
        bool byDefault;
    };
    static constexpr Severity kSeverities[] = {{QtDebugMsg, LogLevel::Debug, false},
                                               {QtInfoMsg, LogLevel::Info, false},
                                               {QtWarningMsg, LogLevel::Warning, true},
                                               {QtCriticalMsg, LogLevel::Error, true}};
    const int level = g_level.load();
    for (const Severity& s : kSeverities)
        if (category->isEnabled(s.type) == s.byDefault)
            category->setEnabled(s.type, static_cast<int>(s.level) <= level);
}

// Qt runs a filter over every category when it is installed: installing this one again applies
// a new level. A filter a host installed on top meanwhile is put back in place (and so runs
// too, this one through it).
void refreshCategories()
{
    const QLoggingCategory::CategoryFilter top = QLoggingCategory::installFilter(&filter);
    if (top != &filter)
        QLoggingCategory::installFilter(top);
}

void install()
{
    std::lock_guard<std::mutex> lock(router().installMutex);
    if (router().installed) {
        refreshCategories();
        return;
    }
    router().installed = true;
    g_previousHandler.store(qInstallMessageHandler(&route));
    g_previousFilter.store(QLoggingCategory::installFilter(&filter));
    refreshCategories(); // the first pass ran before the previous filter was known
}

SharedHandler shared(LogHandler handler)
{
    return handler ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr;
}

} // namespace

namespace strevo {

void setLogHandler(LogHandler handler)
{
    SharedHandler replaced; // released outside the lock: its captures may log as they go
    {
        std::lock_guard<std::mutex> lock(router().mutex);
        replaced = std::exchange(router().host, shared(std::move(handler)));
    }
    install();
}

void setLogLevel(LogLevel level)
{
    g_level.store(static_cast<int>(level));
    install();
}

LogLevel logLevel()
{
    return static_cast<LogLevel>(g_level.load());
}

namespace logrouter {

void setFallbackHandler(LogHandler handler)
{
    const bool wanted = static_cast<bool>(handler);
    SharedHandler replaced;
    {
        std::lock_guard<std::mutex> lock(router().mutex);
        replaced = std::exchange(router().fallback, shared(std::move(handler)));
    }
    if (wanted)
        install();
}

void addSecrets(const QStringList& secrets)
{
    std::lock_guard<std::mutex> lock(router().mutex);
    for (const QString& secret : secrets)
        if (!secret.isEmpty())
            router().secrets.append(secret);
}

void removeSecrets(const QStringList& secrets)
{
    std::lock_guard<std::mutex> lock(router().mutex);
    for (const QString& secret : secrets)
        if (!secret.isEmpty())
            router().secrets.removeOne(secret);
}

QString masked(const QString& line)
{
    QStringList secrets;
    {
        std::lock_guard<std::mutex> lock(router().mutex);
        secrets = router().secrets;
    }
    // redactSecrets() finds the secrets in every form the libraries print them: raw,
    // percent-encoded in either case, a space as '+'.
    return redactSecrets(line, secrets);
}

bool isLibraryCategory(const char* category)
{
    return category && std::strncmp(category, "strevo", 6) == 0 &&
           (category[6] == '\0' || category[6] == '.');
}

} // namespace logrouter
} // namespace strevo
