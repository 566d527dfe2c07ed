#include "base/LogRouting.h"

#include "common/LogRouter.h"

#include <QByteArray>

#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}
#include <wels/codec_app_def.h>

Q_LOGGING_CATEGORY(lcLibav, "strevo.libav", QtWarningMsg)
Q_LOGGING_CATEGORY(lcOpenH264, "strevo.openh264", QtWarningMsg)
Q_LOGGING_CATEGORY(lcX264, "strevo.x264", QtWarningMsg)

namespace {

// x264.h's X264_LOG_ERROR: that header's NAL names clash with OpenH264's.
constexpr int kX264LogError = 0;

// What the libraries call warnings (a setting adjusted, a stream oddity they cope with) happens
// in normal runs: those lines are debug. Their errors stay errors.
enum class Severity
{
    Debug,
    Critical
};

// The libraries end their lines with "\n" (sometimes "\r\n"); Qt adds its own line ends.
QByteArray trimmedLine(const char* text)
{
    QByteArray line(text);
    while (!line.isEmpty() && (line.endsWith('\n') || line.endsWith('\r')))
        line.chop(1);
    return line;
}

void emitLine(const QLoggingCategory& category, Severity severity, const QByteArray& text)
{
    if (text.isEmpty())
        return;
    const QByteArray line = LogRouting::masked(text);
    switch (severity) {
    case Severity::Critical:
        qCCritical(category, "%s", line.constData());
        break;
    case Severity::Debug:
        qCDebug(category, "%s", line.constData());
        break;
    }
}

} // namespace

void LogRouting::install()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&LogRouting::libavLog); });
}

void LogRouting::addSecrets(const QStringList& secrets)
{
    strevo::logrouter::addSecrets(secrets);
}

void LogRouting::removeSecrets(const QStringList& secrets)
{
    strevo::logrouter::removeSecrets(secrets);
}

QByteArray LogRouting::masked(const QByteArray& line)
{
    return strevo::logrouter::masked(QString::fromUtf8(line)).toUtf8();
}

QByteArray LogRouting::secretsMasked(const QByteArray& line)
{
    // redactSecrets() keeps no per-thread state, so the full masking is safe here too.
    return masked(line);
}

void LogRouting::libavLog(void* avClass, int level, const char* format, va_list args)
{
    if (level > av_log_get_level())
        return;
    // libav may build one line from several calls; each thread collects its own pieces and
    // the line goes out once it ends.
    thread_local QByteArray pending;
    thread_local int printPrefix = 1;
    char piece[1024];
    av_log_format_line2(avClass, level, format, args, piece, sizeof(piece), &printPrefix);
    pending += piece;
    if (!pending.endsWith('\n') && pending.size() < 4096)
        return;
    const QByteArray line = trimmedLine(pending.constData());
    pending.clear();
    const Severity severity = level <= AV_LOG_ERROR ? Severity::Critical : Severity::Debug;
    emitLine(lcLibav(), severity, line);
}

void LogRouting::openH264Trace(void*, int level, const char* message)
{
    if (!message)
        return;
    const Severity severity = level <= WELS_LOG_ERROR ? Severity::Critical : Severity::Debug;
    emitLine(lcOpenH264(), severity, trimmedLine(message));
}

void LogRouting::x264Log(void*, int level, const char* format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, args);
    if (std::strstr(text, "VBV underflow"))
        return;
    const Severity severity = level <= kX264LogError ? Severity::Critical : Severity::Debug;
    emitLine(lcX264(), severity, trimmedLine(text));
}
