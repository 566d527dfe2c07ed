#pragma once

#include "common/CodecPreset.h"
#include "muxer/SrtMuxer.h"
#include "muxer/live/ILiveTransport.h"

// SRT (SrtMuxer: caller, listener or rendezvous) as a live link's transport: one SRT message
// per piece. libsrt watches its own link: a peer that answers nothing for its idle time-out
// (5 s) breaks the connection, so the link needs no acknowledgement count from here.
class SrtTransport : public ILiveTransport
{
public:
    // Seven 188-byte transport-stream packets: one SRT message.
    static constexpr int kPieceSize = 1316;

    explicit SrtTransport(const CodecPreset& preset) : m_preset(preset) {}

    bool open() override;
    bool write(const uint8_t* data, int size) override;
    void finish() override { m_srt.finish(); }
    void abort() override { m_srt.abort(); }
    QString errorText() const override { return m_error; }
    bool linkStatistics(LinkStatistics* link) override;
    int pieceSize() const override { return kPieceSize; }

private:
    CodecPreset m_preset;
    SrtMuxer m_srt;
    QString m_error;
};
