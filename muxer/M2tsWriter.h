#pragma once

#include "muxer/IWriter.h"

#include <memory>

// Turns an MPEG transport stream of 188-byte packets into the 192-byte packets of an .m2ts
// file (BDAV): each packet gets the 4-byte header in front that carries its arrival time.
//
// libavformat's own .m2ts mode marks every codec that Blu-ray does not list (AAC, MP3) as
// private data without a descriptor, which players other than FFmpeg's do not read as sound;
// the plain transport stream that this class frames names them properly. The arrival time
// is the last program clock reference seen (27 MHz, modulo 2^30), so it never runs ahead of
// the clock the packets carry.
//
// Bytes go to the wrapped writer in whole 192-byte packets; a packet cut across two writes
// waits for its rest. One thread at a time, as any IWriter.
class M2tsWriter : public IWriter
{
    Q_OBJECT

public:
    explicit M2tsWriter(std::unique_ptr<IWriter> file, QObject* parent = nullptr);
    ~M2tsWriter() override;

    bool open(QString path) override;
    bool isOpen() override;
    bool flush() override;
    // A transport stream is written front to back: false.
    bool seek(long long offset, int whence) override;
    // All of `data` (whole packets written, a cut one kept) or -1 when the file refused.
    long long write(const QByteArray& data) override;
    void finish() override;
    long long size() override;
    long long pos() override;
    QString errorText() override;

private:
    std::unique_ptr<IWriter> m_file;
    QByteArray m_pending;  // the start of a packet whose rest has not come yet
    quint32 m_arrival = 0; // the last clock reference, in 27 MHz ticks modulo 2^30
    long long m_taken = 0; // transport-stream bytes accepted
};
