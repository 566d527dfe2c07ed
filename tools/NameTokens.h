#pragma once

#include <QString>
#include <QStringList>

// The tokens of recording-name templates (local.fileNameTemplate), as strevo-cli explains and
// checks them; the library expands them (RecordingName).
namespace NameTokens {

// The text of `strevo-cli --help names`.
QString help();

// Checks a template: false with `error` set for one strevo-cli refuses (a '/', which would make
// the name a path); each '%' that starts no token adds a warning to `warnings` naming it and its
// position (1 for the first character).
bool check(const QString& pattern, QStringList* warnings, QString* error);

} // namespace NameTokens
