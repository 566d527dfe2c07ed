#pragma once

#include "muxer/IWriter.h"

#include <QFile>

// IWriter on a local file through QFile. The destructor closes the file.
class FileWriter : public IWriter
{
    Q_OBJECT

public:
    explicit FileWriter(QObject* parent = nullptr);
    ~FileWriter() override;

    // QFile::open(WriteOnly) on `path`.
    bool open(QString path) override;
    bool isOpen() override;
    // Always true; pushes QFile's write buffer to the file when it is open.
    bool flush() override;
    // whence 0: to |offset|; 1: to pos() + offset; 2: to size() - |offset| (so seek(16, 2) and
    // seek(-16, 2) both land 16 bytes before the end); other: false, position unchanged.
    bool seek(long long offset, int whence) override;
    long long write(const QByteArray& data) override;
    // Nothing to do: the file is closed by the destructor.
    void finish() override {}
    long long size() override;
    long long pos() override;

private:
    QFile m_file;
};
