#include "tools/LibraryLog.h"

#include "api/Strevo.h"
#include "common/Redact.h"
#include "common/StrevoLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QLoggingCategory>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;
QString g_firstWarning;                                 // guarded by g_mutex
LibraryLog::Shown g_shown = LibraryLog::Shown::Nothing; // set before the libraries run
QStringList g_secrets;                                  // guarded by g_mutex

// `severity`: what must be shown for the line to be printed; warnings and errors are kept.
void record(LibraryLog::Shown severity, const QString& text)
{
    const bool warning = severity <= LibraryLog::Shown::Warnings;
    if (text.trimmed().isEmpty())
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    const QString line = redactSecrets(text.trimmed(), g_secrets);
    if (warning && g_firstWarning.isEmpty())
        g_firstWarning = line;
    if (severity <= g_shown)
        std::fprintf(stderr, "[log] %s\n", qPrintable(line));
}

void qtHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    using Shown = LibraryLog::Shown;
    record(type == QtDebugMsg     ? Shown::Everything
           : type == QtInfoMsg    ? Shown::Info
           : type == QtWarningMsg ? Shown::Warnings
                                  : Shown::Errors,
           text);
}

void avHandler(void* object, int level, const char* format, va_list args)
{
    using Shown = LibraryLog::Shown;
    if (level > (g_shown >= Shown::Info ? AV_LOG_INFO : AV_LOG_WARNING))
        return;
    char line[1024];
    int prefix = 0; // without the "[context @ address]" prefix
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    record(level <= AV_LOG_ERROR     ? Shown::Errors
           : level <= AV_LOG_WARNING ? Shown::Warnings
                                     : Shown::Info,
           QString::fromUtf8(line));
}
} // namespace

bool LibraryLog::parseLevel(const QString& word, Shown* shown)
{
    static const struct
    {
        const char* word;
        Shown shown;
    } levels[] = {{"quiet", Shown::Nothing},      {"error", Shown::Errors},
                  {"warning", Shown::Warnings},   {"info", Shown::Info},
                  {"verbose", Shown::Everything}, {"debug", Shown::Everything}};
    for (const auto& level : levels)
        if (word == QLatin1String(level.word)) {
            *shown = level.shown;
            return true;
        }
    return false;
}

void LibraryLog::install(Shown shown)
{
    g_shown = shown;
    const bool verbose = shown == Shown::Everything;
    // The library's categories show warnings and errors only; --verbose shows everything.
    QLoggingCategory::setFilterRules(verbose ? QStringLiteral("strevo*=true") : QString());
    qInstallMessageHandler(qtHandler);
    av_log_set_callback(avHandler);
    // The library's own level, set after the handler above (it passes its lines on to it) and
    // never under warnings, which are remembered for a failed start even when not shown.
    // Everything is let through by the rule above.
    if (shown == Shown::Info)
        Strevo::setLogLevel(strevo::LogLevel::Info);
}

void LibraryLog::setSecrets(const QStringList& secrets)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_secrets = secrets;
}

QString LibraryLog::firstWarning()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_firstWarning;
}

void LibraryLog::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_firstWarning.clear();
}
