#pragma once

#include "codec/audio/IAudioCodec.h"
#include "common/CodecPreset.h"

#include <cstdint>
#include <memory>
#include <vector>

struct shine_global_flags;

// MP3 through shine's fixed-point encoder: chunks of one pass of interleaved 16-bit samples
// in (1152 sample frames at 32000/44100/48000 Hz, 576 at the lower rates), one MP3 frame with
// its header out. No global header. One thread at a time per object.
//
// shine's bit writer holds the last few bytes of each frame back until the next pass, so
// its output is cut back into whole frames here: a frame comes out one call late, and the
// first call gives no packet. Draining (null data) flushes shine and hands out the last frame;
// a chunk after a drain opens the encoder anew.
class ShineMP3 : public IAudioCodec
{
public:
    ShineMP3();
    ~ShineMP3() override;

    // Opens the encoder for what AudioRecordCheck accepts with an MPEG sample rate and bitrate
    // (kbit/s) that belong together; false (with a warning) otherwise, leaving no encoder.
    bool initialize(CodecPreset* preset) override;
    // Consumes at most frameSize() bytes of data; a shorter chunk is padded with silence.
    // Writes at most one whole frame to out.
    bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize) override;
    // samples per pass x channels x 2 bytes; 0 without an encoder.
    unsigned int frameSize() override;
    // One frame with its padding byte.
    unsigned int maxPacketSize() override { return m_encoder ? m_frameLength + 1 : 0; }
    unsigned char* extraData() override { return nullptr; }
    unsigned int extraDataSize() override { return 0; }

private:
    struct ShineDeleter
    {
        void operator()(shine_global_flags* encoder) const;
    };

    bool openEncoder();
    bool takeFrame(unsigned char* out, unsigned int capacity, unsigned int& outSize);

    std::unique_ptr<shine_global_flags, ShineDeleter> m_encoder;
    std::vector<int16_t> m_samples;      // one pass, interleaved, aligned for shine
    std::vector<unsigned char> m_stream; // encoded bytes not yet handed out as a frame
    unsigned int m_frameLength = 0;      // bytes of a frame without its padding byte
    bool m_flushed = false;              // drained: shine holds nothing until reopened
    CodecPreset m_preset;
};
