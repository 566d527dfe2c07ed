#pragma once

#include "common/CodecTable.h"

#include <QMap>
#include <QString>

class CodecPreset;

// What this machine can encode and write, from the codec table and the hardware probes, and
// whether an output preset can work here before a pipeline is made of it.
//
// Threads: any. The hardware probes run once per process and keep their answers.
class Catalogue
{
public:
    // Whether the machine runs the encoder behind a row: the hardware families ask their probe
    // (NVENC once for both rows, the other vendors per name); the software encoders always run.
    static bool runs(const CodecTable::Entry& entry);
    // The table's codecs of one kind that have a catalogue key and run here, key → name.
    static QMap<int, QString> codecs(CodecTable::Kind kind);
    // Every container, key → name (the file extension).
    static QMap<int, QString> containers();
    // The device that serves a hardware video codec name here; empty for a software codec or
    // one this machine cannot run.
    static QString device(const QString& name);
    // Why an output preset cannot work here, in words: nothing to do, no video, an unknown
    // codec name, a hardware codec without its device, a codec its container (or its live
    // stream's) does not take, a recording folder that cannot be made or written, a stream
    // address that is not one.
    // Empty when nothing is wrong. Creates a missing recording folder.
    static QString presetProblem(const CodecPreset& preset);
};
