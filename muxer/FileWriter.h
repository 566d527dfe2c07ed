#pragma once

#include "muxer/IWriter.h"

// IWriter on a local file through a POSIX descriptor, so that a failed write keeps the
// system's reason (errno). The destructor closes the file.
class FileWriter : public IWriter
{
    Q_OBJECT

public:
    explicit FileWriter(QObject* parent = nullptr);
    ~FileWriter() override;

    // Creates or truncates `path` for writing.
    bool open(QString path) override;
    bool isOpen() override;
    // Always true: bytes go to the system at each write.
    bool flush() override;
    // whence 0: to |offset|; 1: to pos() + offset; 2: to size() - |offset| (so seek(16, 2) and
    // seek(-16, 2) both land 16 bytes before the end); other: false, position unchanged.
    bool seek(long long offset, int whence) override;
    // All of `data` or -1. Also -1 once the file has been deleted from its folder,
    // so that a recording whose folder went away stops instead of writing into nowhere.
    long long write(const QByteArray& data) override;
    // Nothing to do: the file is closed by the destructor.
    void finish() override {}
    long long size() override;
    long long pos() override;
    // The system's text for the last failure ("No space left on device"), empty when none.
    QString errorText() override;

private:
    int m_fd = -1;
    static constexpr int kDeleted = -1; // m_error: the file is no longer in its folder
    int m_error = 0;                    // errno of the last failure, or kDeleted
};
