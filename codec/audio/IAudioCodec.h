#pragma once

class CodecPreset;

// An audio encoder behind a pipeline. Input is always interleaved signed 16-bit little-endian
// samples at the preset's audio sample rate and channel count.
//
// Lifecycle: constructed by AudioCodecFactory; initialize() once on the set-up thread;
// frameSize() and encode() on the pipeline's audio thread only; deleted by the pipeline that
// created it (audio codecs are never shared), also after a failed initialize().
class IAudioCodec
{
public:
    IAudioCodec() = default;
    virtual ~IAudioCodec() = default;
    IAudioCodec(const IAudioCodec&) = delete;
    IAudioCodec& operator=(const IAudioCodec&) = delete;

    virtual bool initialize(CodecPreset* preset) = 0;
    // Encodes one chunk of exactly frameSize() bytes into out; true when a packet of outSize
    // bytes was written.
    virtual bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                        unsigned int& outSize) = 0;
    // Input bytes that one encode() call consumes.
    virtual unsigned int frameSize() = 0;
    virtual unsigned char* extraData() = 0;
    virtual unsigned int extraDataSize() = 0;
};
