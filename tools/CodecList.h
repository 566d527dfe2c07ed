#pragma once

#include "common/CodecTable.h"

#include <QString>
#include <QStringList>

// strevo-cli's own view of what this machine can encode and write: every row of the codec
// table whose encoder runs here (VP9, which has no catalogue key, too), the
// containers each fits and the device behind a hardware name; and the names nearest to a
// misspelt one.
namespace CodecList {

// Whether the encoder behind a row runs here: software encoders always; a hardware name when
// the library's catalogue lists it (its probe found the device).
bool usable(const CodecTable::Entry& entry);
// The usable names of one kind, in the table's order.
QStringList usableNames(CodecTable::Kind kind);
// The table's entry for a name in any case, or null.
const CodecTable::Entry* find(const QString& name);
// The container's name as the table spells it (lower case) for a name in any case; empty for
// no container.
QString containerName(const QString& name);
// `candidates` sorted by how close they are to `name` (edit distance, ignoring case), at most
// `max` of them.
QStringList nearest(const QString& name, const QStringList& candidates, int max);

// Prints the list (or one codec or container with `name`) as text or JSON; the exit status
// (2 with the nearest names for an unknown name).
int print(const QString& name, bool json);

} // namespace CodecList
