#include "tools/LibraryLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QMutex>
#include <cstdarg>
#include <cstdio>

namespace {
QMutex g_mutex;
QString g_firstWarning; // guarded by g_mutex
bool g_verbose = false; // set before the libraries run

void record(bool warning, const QString& text)
{
    const QString line = text.trimmed();
    if (line.isEmpty())
        return;
    QMutexLocker lock(&g_mutex);
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
    qInstallMessageHandler(qtHandler);
    av_log_set_callback(avHandler);
}

QString LibraryLog::firstWarning()
{
    QMutexLocker lock(&g_mutex);
    return g_firstWarning;
}

void LibraryLog::clear()
{
    QMutexLocker lock(&g_mutex);
    g_firstWarning.clear();
}
