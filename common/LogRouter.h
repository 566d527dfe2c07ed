#pragma once

#include "common/StrevoLog.h"

#include <QStringList>

// The parts of the log routing (common/StrevoLog.h) that the library's own layers use.
namespace strevo::logrouter {

// The handler used while the host has set none with setLogHandler(): base_set_log_handler()
// (base/BaseHooks.cpp) puts the host's C hook here, and an empty one takes it out. Installs the
// routing like setLogHandler(). Thread-safe.
void setFallbackHandler(LogHandler handler);

// While registered, these texts (stream keys, passwords, passphrases) are masked in every line
// that the routing passes on. Registrations are counted: each addSecrets() is matched by one
// removeSecrets() with the same list. Thread-safe.
void addSecrets(const QStringList& secrets);
void removeSecrets(const QStringList& secrets);
// `line` with URL credentials and the registered secrets masked (redactSecrets()). Keeps no
// per-thread state, so it suits any thread.
QString masked(const QString& line);

// Whether `category` is one of the library's: "strevo" or "strevo.<anything>".
bool isLibraryCategory(const char* category);

} // namespace strevo::logrouter
