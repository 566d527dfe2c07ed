#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// A byte sink that a muxer writes its container into, with random access for the parts that
// libavformat patches after the fact (mp4/mov box sizes, the moov atom).
//
// Lifecycle: construct, open(), then write/seek/size/pos from one thread at a time (the
// muxing thread); the destructor releases the output. Positions and sizes are in bytes.
class IWriter : public QObject
{
    Q_OBJECT

public:
    explicit IWriter(QObject* parent = nullptr) : QObject(parent) {}
    ~IWriter() override = default;

public slots:
    // Opens `path` for writing, truncating an existing file; false when it cannot be opened.
    virtual bool open(QString path) = 0;
    virtual bool isOpen() = 0;
    // Hands buffered bytes on towards the output; true when nothing failed.
    virtual bool flush() = 0;
    // whence 0: from the start, 1: from the current position, 2: from the end (see the
    // implementation for how the sign of `offset` is read); false for any other whence.
    virtual bool seek(long long offset, int whence) = 0;
    // Bytes accepted, or -1 on failure.
    virtual long long write(const QByteArray& data) = 0;
    // Marks the end of the output. The output itself is released by the destructor.
    virtual void finish() = 0;
    virtual long long size() = 0;
    virtual long long pos() = 0;
    // Why the last operation failed, in words; empty when nothing failed.
    virtual QString errorText() { return {}; }
};
