#pragma once

#include <QString>

// Routes the diagnostics of the library (Qt's message log) and of libav* (av_log) away from
// the progress display: they are printed only when verbose, and warnings and errors are
// remembered so that a failed start can give the first reason the libraries gave.
// Thread-safe: both log from worker threads.
namespace LibraryLog {
void install(bool verbose);
// The first warning or error since the last clear(), or an empty string.
QString firstWarning();
void clear();
} // namespace LibraryLog
