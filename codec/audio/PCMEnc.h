#pragma once

#include "codec/audio/IAudioCodec.h"
#include "common/CodecPreset.h"

// Uncompressed 16-bit PCM: every chunk is passed through unchanged as one packet. No global
// header.
class PCMEnc : public IAudioCodec
{
public:
    PCMEnc() = default;
    ~PCMEnc() override = default;

    // Accepts what AudioRecordCheck accepts; the bitrate is not read.
    bool initialize(CodecPreset* preset) override;
    // Copies size bytes of data to out; false for null buffers, a chunk larger than
    // outCapacity and null data (nothing is held back to drain).
    bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize) override;
    // 960 sample frames: channels x 1920 bytes; 0 before a successful initialize().
    unsigned int frameSize() override;
    unsigned int maxPacketSize() override;
    unsigned char* extraData() override { return nullptr; }
    unsigned int extraDataSize() override { return 0; }

private:
    bool m_ready = false;
    CodecPreset m_preset;
};
