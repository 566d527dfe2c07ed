#include "api/Strevo.h"

#include "common/CodecTable.h"

Strevo::Strevo(QObject* parent) : QObject(parent) {}

Strevo::~Strevo() = default;

int Strevo::codecIdFromName(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    return entry ? entry->avCodecId : 0;
}
