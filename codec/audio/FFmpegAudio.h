#pragma once

#include "codec/audio/IAudioCodec.h"
#include "common/AVHandles.h"
#include "common/CodecPreset.h"

#include <vector>

// Audio through a libavcodec encoder, the one the codec table names for the preset's codec
// ("aac" for AAC): chunks of one codec frame of interleaved 16-bit samples in, raw codec frames
// (no ADTS or other framing) out. The global header is the encoder's extradata (for AAC the
// audio-specific configuration).
//
// The encoder holds samples back, so the first calls give no packet; draining (null data)
// hands them out, and a chunk after a drain opens the encoder anew. One thread at a time per
// object.
class FFmpegAudio : public IAudioCodec
{
public:
    FFmpegAudio();
    ~FFmpegAudio() override;

    // Opens the encoder for the preset's audio record (see AudioRecordCheck, plus a sample rate
    // the encoder lists). False leaves no encoder open.
    bool initialize(CodecPreset* preset) override;
    // Consumes at most frameSize() bytes of data; a shorter chunk is padded with silence.
    // Writes at most one packet to out. False when no packet came out.
    bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize) override;
    // channels x frame length x 2 bytes; 0 before a successful initialize().
    unsigned int frameSize() override;
    // Twice the raw chunk plus 8 KiB: AAC caps a frame at 768 bytes per channel.
    unsigned int maxPacketSize() override;
    // The encoder's own account of the last packet's length.
    int packetSamples() const override { return m_packetSamples; }
    unsigned char* extraData() override { return m_header.empty() ? nullptr : m_header.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_header.size()); }

private:
    bool openEncoder();
    bool fillFrame(const unsigned char* data, unsigned int size);
    bool takePacket(unsigned char* out, unsigned int capacity, unsigned int& outSize);

    AVCodecContextPtr m_context;
    AVFramePtr m_frame; // owns the sample buffers in the encoder's sample format
    AVPacketPtr m_packet;
    std::vector<unsigned char> m_header; // codec configuration, kept whole whatever its length
    long long m_nextPts = 0;             // in samples, continued across a drain
    int m_packetSamples = 0;             // the last packet's duration, in samples
    bool m_draining = false; // the encoder was sent the end of the stream; reopen before a chunk
    CodecPreset m_preset;
};
