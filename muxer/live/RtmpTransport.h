#pragma once

#include "common/CodecPreset.h"
#include "muxer/RtmpOutput.h"
#include "muxer/live/ILiveTransport.h"

#include <QByteArray>

// The library's own RTMP/RTMPS publisher (RtmpOutput, with its TLS relay) as a live link's
// transport. Its socket is our own, so the link can read the peer's acknowledgements.
//
// librtmp takes the FLV stream a whole tag at a time (it reads a tag's header from the start
// of each write and cannot resume in the middle of one, nor of the size that follows a tag),
// while the container's I/O cuts the stream into pieces wherever its buffer ends: the pieces
// are put together here and librtmp gets whole tags. The FLV file header is not for the server
// and is left out.
class RtmpTransport : public ILiveTransport
{
public:
    explicit RtmpTransport(const CodecPreset& preset) : m_preset(preset) {}

    bool open() override { return m_output.initialize(m_preset); }
    bool write(const uint8_t* data, int size) override;
    void abort() override { m_output.abort(); }
    QString errorText() const override;
    SendProgress progress() override;
    int pieceSize() const override { return RtmpOutput::kOutChunkSize; }

private:
    CodecPreset m_preset;
    RtmpOutput m_output;
    QByteArray m_pending;      // the start of a tag not complete yet
    bool m_headerSeen = false; // the FLV file header has been skipped
    QString m_error;           // a stream that is not FLV; otherwise the publisher's reason
};
