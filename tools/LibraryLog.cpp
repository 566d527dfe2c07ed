#include "tools/LibraryLog.h"

#include "common/Redact.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QLoggingCategory>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;
QString g_firstWarning; // guarded by g_mutex
bool g_verbose = false; // set before the libraries run
QStringList g_secrets;  // guarded by g_mutex

void record(bool warning, const QString& text)
{
    if (text.trimmed().isEmpty())
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    const QString line = redactSecrets(text.trimmed(), g_secrets);
    if (warning && g_firstWarning.isEmpty())
        g_firstWarning = line;
    if (g_verbose)
        std::fprintf(stderr, "[log] %s\n", qPrintable(line));
}

void qtHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    record(type != QtDebugMsg && type != QtInfoMsg, text);
}

void avHandler(void* object, int level, const char* format, va_list args)
{
    if (level > (g_verbose ? AV_LOG_INFO : AV_LOG_WARNING))
        return;
    char line[1024];
    int prefix = 0; // without the "[context @ address]" prefix
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    record(level <= AV_LOG_WARNING, QString::fromUtf8(line));
}
} // namespace

void LibraryLog::install(bool verbose)
{
    g_verbose = verbose;
    // The library's categories show warnings and errors only; --verbose shows everything.
    QLoggingCategory::setFilterRules(verbose ? QStringLiteral("strevo*=true") : QString());
    qInstallMessageHandler(qtHandler);
    av_log_set_callback(avHandler);
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
