#pragma once

class CodecPreset;

/// An audio encoder behind a pipeline. Input is always interleaved signed 16-bit little-endian
/// samples at the preset's audio sample rate and channel count.
///
/// Lifecycle: constructed by AudioCodecFactory; initialize() once on the set-up thread;
/// frameSize(), maxPacketSize() and encode() on the pipeline's audio thread only (the sizes
/// also on the set-up thread after initialize()); deleted by the pipeline that created it
/// (audio codecs are never shared), also after a failed initialize().
class IAudioCodec
{
public:
    IAudioCodec() = default;
    virtual ~IAudioCodec() = default;
    IAudioCodec(const IAudioCodec&) = delete;
    IAudioCodec& operator=(const IAudioCodec&) = delete;

    /// Opens the encoder for the preset's audio record and project audio format; false, with
    /// a warning, for settings the codec refuses.
    virtual bool initialize(CodecPreset* preset) = 0;
    /// Encodes one chunk of frameSize() bytes into out, a buffer of outCapacity bytes; true when
    /// a packet of outSize bytes was written. Nothing is written past outCapacity: a packet
    /// that does not fit is lost with a warning naming the codec and both sizes (false).
    /// Null data drains: one held-back packet per call, false once the codec holds none. A
    /// chunk after a drain starts the encoder anew.
    virtual bool encode(unsigned char* data, unsigned int size, unsigned char* out,
                        unsigned int outCapacity, unsigned int& outSize) = 0;
    /// Input bytes that one encode() call consumes.
    virtual unsigned int frameSize() = 0;
    /// Worst-case bytes of one packet; 0 before a successful initialize().
    virtual unsigned int maxPacketSize() = 0;
    /// Sample frames of sound in the packet the last successful encode() wrote, for codecs whose
    /// packets differ in length (a Vorbis packet holds 128 or 1024 samples, whatever the chunk
    /// it was given); 0 when every packet holds one chunk's worth (frameSize() bytes of input).
    virtual int packetSamples() const { return 0; }
    /// The codec's global header (AAC's AudioSpecificConfig, Opus or Vorbis headers), owned by
    /// the codec; null when it has none.
    virtual unsigned char* extraData() = 0;
    /// Bytes at extraData(); 0 when there is none.
    virtual unsigned int extraDataSize() = 0;
};
