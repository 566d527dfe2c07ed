#pragma once

#include <QLoggingCategory>
#include <QString>

#include <functional>

// The library's own log lines go to the category "strevo" (the libraries underneath have
// "strevo.libav", "strevo.openh264", "strevo.x264", and the transports "strevo.rtmp",
// "strevo.srt", "strevo.mf", "strevo.amf"). Every one of them is created showing warnings and
// errors only; a host picks the level and where the lines go with the functions below, or with
// Qt's own rules and message handler as for any Qt code.
Q_DECLARE_LOGGING_CATEGORY(lcStrevo)

namespace strevo {

/// How severe a log line is, from the most severe. A level set with setLogLevel() lets through
/// the lines of that severity and every more severe one.
enum class LogLevel
{
    Error,   ///< a step failed (Qt's critical and fatal messages)
    Warning, ///< something the host should hear about (Qt's warnings)
    Info,    ///< progress worth a line in a normal run (Qt's info messages)
    Debug    ///< details, including the encoding libraries' own chatter
};

/// Receives one line of the library: its severity, its category ("strevo", "strevo.libav", ...)
/// and its text, without a trailing newline, with stream keys, passwords and passphrases
/// already masked.
using LogHandler =
    std::function<void(strevo::LogLevel level, const QString& category, const QString& message)>;

/// Sends every line of the library's categories ("strevo" and "strevo.*") that passes the level
/// to `handler`, which the library keeps (a copy) until it is replaced.
///
/// The handler is called on the thread that logged, which may be any thread of the library or of
/// the encoding libraries, so it must be thread-safe and quick. The routing holds no lock while it
/// runs, so it may log itself (a line it logs in a strevo category goes to the Qt message handler
/// that was in place before the library's, not back into it) and may call setLogHandler() or
/// setLogLevel(); it should not call into a pipeline, which may log under a lock of its own. An
/// exception it throws is caught and the line dropped. A handler that has been replaced may still
/// finish a call that had begun on another thread: what it captures must outlive that.
///
/// An empty handler restores the default: the lines go, masked, to the Qt message handler that
/// was in place when the library first installed its own (Qt's default one prints them on
/// standard error), or to the C hook of base_set_log_handler() when the host set one there.
///
/// The first call of setLogHandler() or setLogLevel() (or base_set_log_handler()) installs the
/// library's Qt message handler, which passes the lines of every other category, unchanged, to
/// the handler it replaced, and a Qt category filter. Install your own Qt message handler or
/// filter before that call. One installed afterwards must pass on what it does not handle to the
/// handler qInstallMessageHandler() returned (and the filter to the previous filter, as Qt's
/// documentation asks); one that does not receives the library's lines itself, as they were
/// logged, and this handler gets none. Thread-safe.
void setLogHandler(LogHandler handler);

/// Makes every strevo category show the lines of `level` and above; the default is
/// LogLevel::Warning, warnings and errors only. Applies at once, on every thread; a line below
/// the level is not even formatted.
///
/// A Qt logging rule (QT_LOGGING_RULES, QLoggingCategory::setFilterRules) that changes what a
/// strevo category shows by default still wins over the level for that category and severity:
/// "strevo*.debug=true" adds the debug lines at any level, "strevo.amf.warning=false" silences
/// the AMF runtime's warnings. A rule that restates the default ("strevo.libav.debug=false") cannot
/// be told apart from it and is replaced by the level; filter those lines out in the handler.
/// Thread-safe, but not concurrent with the host's own QLoggingCategory::installFilter() calls.
void setLogLevel(LogLevel level);

/// The level last set with setLogLevel(), LogLevel::Warning before any.
LogLevel logLevel();

} // namespace strevo
