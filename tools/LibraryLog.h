#pragma once

#include <QString>
#include <QStringList>

// Routes the diagnostics of the library (Qt's message log) and of libav* (av_log) away from
// the progress display: by default none is printed, with --loglevel those of that severity
// and above, and warnings and errors are always remembered so that a failed start can give
// the first reason the libraries gave.
// Secrets are masked in what is printed and remembered. The library's debug categories for
// libav* and OpenH264 (strevo.libav, strevo.openh264) are switched off unless verbose, so that
// their chatter costs nothing.
// Thread-safe: both log from worker threads.
namespace LibraryLog {
// What is printed on standard error, from nothing to everything.
enum class Shown
{
    Nothing,
    Errors,
    Warnings,
    Info,
    Everything // --verbose
};
// Parses a --loglevel word (quiet, error, warning, info, verbose, debug); false for another.
bool parseLevel(const QString& word, Shown* shown);
void install(Shown shown);
// Set before the pipelines are made.
void setSecrets(const QStringList& secrets);
// The first warning or error since the last clear(), or an empty string.
QString firstWarning();
void clear();
} // namespace LibraryLog
