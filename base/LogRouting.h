#pragma once

#include <QLoggingCategory>
#include <QStringList>

#include <cstdarg>

// Log categories for the messages of the encoding libraries underneath, so a host can filter
// them with QLoggingCategory rules ("strevo.libav.debug=false"):
//   strevo.libav     libavcodec/libavformat/libavutil (av_log)
//   strevo.openh264  OpenH264's trace output
//   strevo.x264      x264's log
// Errors go to qCCritical, everything else to qCDebug: the libraries warn of things they cope
// with in normal runs (a setting adjusted, a stream oddity), and the library's own code warns
// when one of their errors matters. The texts carry no trailing newline.
Q_DECLARE_LOGGING_CATEGORY(lcLibav)
Q_DECLARE_LOGGING_CATEGORY(lcOpenH264)
Q_DECLARE_LOGGING_CATEGORY(lcX264)

class LogRouting
{
public:
    // Routes libav's log into strevo.libav. Idempotent and thread-safe; the codec factories
    // call it, so it is in place before any encoder opens.
    static void install();

    // OpenH264's trace callback (ENCODER_OPTION_TRACE_CALLBACK): level is a WELS_LOG_* value.
    static void openH264Trace(void* context, int level, const char* message);
    // x264's pf_log: level is an X264_LOG_* value. x264 repeats "VBV underflow" for every frame
    // of a starved stream; those lines are dropped.
    static void x264Log(void* priv, int level, const char* format, va_list args);

    // While registered, these texts (stream keys, passwords, passphrases) are masked in every
    // line routed from the libraries, which print URLs in their own messages, and in every line
    // of a strevo category that the log routing passes on (common/LogRouter.h keeps the list).
    // Registrations are counted: each addSecrets() is matched by one removeSecrets() with the
    // same list. Thread-safe.
    static void addSecrets(const QStringList& secrets);
    static void removeSecrets(const QStringList& secrets);
    // A routed line as it is emitted: URL credentials and the registered secrets masked, in
    // every form and place redactSecrets() (common/Redact.h) finds them. Keeps no per-thread
    // state, so it also suits threads that the libraries own.
    static QByteArray masked(const QByteArray& line);
    // The same as masked(); kept for the callers that log on the libraries' own threads.
    static QByteArray secretsMasked(const QByteArray& line);

    // libav's callback, exposed for tests: one line per call once a line is complete.
    static void libavLog(void* avClass, int level, const char* format, va_list args);
};
