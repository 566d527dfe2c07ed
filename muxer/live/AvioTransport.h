#pragma once

#include "common/CodecPreset.h"
#include "muxer/live/ILiveTransport.h"

#include <atomic>

extern "C" {
#include <libavformat/avio.h>
}

// libavformat's own protocols (rtmp and rtmps with rtmpMode 1, tcp, udp) as a live link's
// transport, opened with avio_open2. Their sockets are libavformat's: the link cannot read
// acknowledgements, so the socket gets a small send buffer and a server that stops reading
// shows as a write that blocks, which the link cuts after its stall limit.
//
// An RTSP output's container makes its own connection when its header is written: the
// transport then carries no bytes and open() only checks for an abort.
class AvioTransport : public ILiveTransport
{
public:
    // `interrupt`: what a blocking call checks to give up (the link's).
    AvioTransport(const CodecPreset& preset, AVIOInterruptCB interrupt);
    ~AvioTransport() override;
    AvioTransport(const AvioTransport&) = delete;
    AvioTransport& operator=(const AvioTransport&) = delete;

    bool open() override;
    bool write(const uint8_t* data, int size) override;
    void abort() override { m_aborted.store(true); }
    QString errorText() const override { return m_error; }
    int pieceSize() const override;
    bool carriesBytes() const override { return !m_containerConnects; }

private:
    // Why a server's certificate was refused, in words, or empty: see the source.
    QString certificateRefusal() const;

    CodecPreset m_preset;
    AVIOInterruptCB m_interrupt;
    bool m_containerConnects = false;
    AVIOContext* m_io = nullptr; // the thread that opened it, then the writing thread
    QString m_error;
    std::atomic<bool> m_aborted{false};
};
