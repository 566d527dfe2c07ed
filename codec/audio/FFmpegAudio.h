#pragma once

#include "codec/audio/IAudioCodec.h"
#include "common/AVHandles.h"
#include "common/CodecPreset.h"

#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// AAC through libavcodec's encoder: chunks of 1024 interleaved 16-bit sample frames in, raw
// AAC frames (no ADTS header) out. The global header is the audio-specific configuration.
//
// The encoder holds samples back at the start, so the first calls give no packet; what it
// still holds at destruction is dropped. One thread at a time per object.
class FFmpegAudio : public IAudioCodec
{
public:
    FFmpegAudio();
    ~FFmpegAudio() override;

    // Opens the encoder for the preset's audio record: 1 or 2 channels, sample rate (Hz) and
    // bitrate (kbit/s) above 0 and accepted by the encoder. False leaves no encoder open.
    bool initialize(CodecPreset* preset) override;
    // Consumes at most frameSize() bytes of data; a shorter chunk is padded with silence.
    // Writes at most one packet to out. False when no packet came out (or data is null).
    bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                unsigned int& outSize) override;
    // channels x frame length x 2 bytes; 0 before a successful initialize().
    unsigned int frameSize() override;
    unsigned char* extraData() override { return m_header.empty() ? nullptr : m_header.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_header.size()); }

private:
    bool fillFrame(const unsigned char* data, unsigned int size);
    bool takePacket(unsigned char* out, unsigned int& outSize);

    AVCodecContextPtr m_context;
    AVFramePtr m_frame; // owns the planar float sample buffers
    AVPacketPtr m_packet;
    std::vector<unsigned char> m_header; // codec configuration, kept whole whatever its length
    long long m_nextPts = 0;             // in samples
    CodecPreset m_preset;
};
