#pragma once

class CodecPreset;
struct AVCodecParameters;

/// A video encoder behind the pipelines.
///
/// Lifecycle: constructed by VideoCodecFactory (no encoder open yet);
/// initialize() once on the set-up thread, where every failure is reported; extraData() /
/// extraDataSize() / maxPacketSize() / streamParameters() on any thread after initialize();
/// supportFormat() and encode() on one pipeline's video thread only; destroyed through the
/// virtual destructor by the last holder, which closes the encoder and frees what it owns, also
/// after a failed initialize().
class IVideoCodec
{
public:
    IVideoCodec() = default;
    virtual ~IVideoCodec() = default;
    IVideoCodec(const IVideoCodec&) = delete;
    IVideoCodec& operator=(const IVideoCodec&) = delete;

    /// Copies *preset (every setting is read from the copy) and opens the encoder.
    virtual bool initialize(CodecPreset* preset) = 0;

    /// Encodes one raw frame: data holds size bytes, packed planes without padding, at the
    /// preset's width and height, in `format` (supportFormat(), or TEXTURE for codecs that
    /// accept GPU textures). out is the caller's buffer of outCapacity bytes (maxPacketSize()
    /// always fits); nothing is written past it: a packet that does not fit is lost, with a
    /// warning naming the codec and both sizes, and the call returns false.
    /// The caller sets outSize = 0, keyFrame = 0, pts = dts = -1 first; they are written only
    /// when a packet comes out. Returns true when a packet was written (see each codec for the
    /// exceptions that return true without a packet).
    /// Null data drains: a codec that holds frames back hands out one of them per call and
    /// returns false once it holds none (a codec without delay returns false at once). The
    /// pipeline drains when it stops; a frame after a drain starts a new coded sequence.
    virtual bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                        unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                        long long& pts, long long& dts) = 0;

    /// Worst-case bytes of one packet from encode(); valid after a successful initialize()
    /// (0 before). The pipeline sizes its packet buffer from it.
    virtual unsigned int maxPacketSize() = 0;

    /// Fills *par with the coded stream's parameters (codec id and tag, size, pixel format,
    /// profile, field order, extradata) for a muxer, after a successful initialize(). False
    /// leaves *par untouched: the muxer builds them from the preset and the codec table.
    virtual bool streamParameters(AVCodecParameters* /*par*/) { return false; }

    /// Asks for the next frame given to encode() to be coded as a key frame that a decoder can
    /// start from (an IDR picture for H.264/HEVC), so that a live stream that was reopened
    /// resumes at once instead of at the next scheduled key frame. Video thread only, like
    /// encode(). Intra-only codecs need nothing.
    virtual void requestKeyFrame() {}

    /// Whether setBitrate() works while the codec encodes.
    virtual bool changesBitrate() const { return false; }
    /// Changes the target bit rate, in kbit/s, for the frames encoded from now on, in the same
    /// stream (no new headers, no key frame). Video thread only, like encode(). False when the
    /// codec cannot change its rate or refused this one; the rate is then unchanged.
    virtual bool setBitrate(int /*kbps*/) { return false; }

    /// Global headers (for H.264 the parameter sets, Annex B), owned by the codec; null when
    /// there are none.
    virtual unsigned char* extraData() = 0;
    /// Bytes at extraData(); 0 when there are none.
    virtual unsigned int extraDataSize() = 0;
    /// The pixel format code (a PixelFormat value) that encode() expects.
    virtual int supportFormat() = 0;
    /// Whether encode() also takes GPU textures (PIX_TEXTURE frames) without a download.
    virtual bool isHWTextureSupport() = 0;
};
