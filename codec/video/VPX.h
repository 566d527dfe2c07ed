#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"

#include <deque>
#include <memory>
#include <vector>

#include <vpx/vpx_encoder.h>

// VP8 or VP9 through libvpx, chosen by the codec name given to initialize(): YUV420P in,
// one compressed frame out per call. One pass, variable bitrate, real-time deadline.
// No global headers.
//
// Each object stamps its frames with its own counter, so pipelines encoding at the same time
// share no state. Not thread-safe: one thread at a time per object.
class VPX : public IVideoCodec
{
public:
    VPX();
    ~VPX() override;

    bool initialize(CodecPreset* preset) override;
    // Returns true for every call once the encoder is open, also when libvpx gave no frame
    // (outSize then stays 0); false before a successful initialize(), for a short frame and
    // for a compressed frame larger than outCapacity (which is lost, with a warning).
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    // Twice the raw frame with a margin.
    unsigned int maxPacketSize() override;
    bool streamParameters(AVCodecParameters* par) override;
    // The next frame is encoded with VPX_EFLAG_FORCE_KF; without look-ahead it is the key
    // frame that comes out of that call.
    void requestKeyFrame() override { m_keyFrameRequested = true; }
    bool changesBitrate() const override { return true; }
    bool setBitrate(int kbps) override;
    unsigned char* extraData() override { return nullptr; }
    unsigned int extraDataSize() override { return 0; }
    int supportFormat() override;
    bool isHWTextureSupport() override { return false; }

    // libvpx's encoder interface for the codec table's VP8 or VP9 entry; null for any other
    // name.
    static vpx_codec_iface_t* encoderInterface(const QString& codecName);
    // Fills *config with libvpx's defaults for the interface and the settings derived from
    // the video record. Returns libvpx's result of reading the defaults.
    static vpx_codec_err_t fillConfig(const CodecModel::VideoCodec& video, vpx_codec_iface_t* iface,
                                      vpx_codec_enc_cfg_t* config);

private:
    // Moves the oldest waiting frame into out; false (with a warning) when it does not fit.
    bool emitPending(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                     unsigned int& keyFrame);
    struct ContextDeleter
    {
        void operator()(vpx_codec_ctx_t* context) const;
    };
    struct Frame
    {
        std::vector<unsigned char> data;
        bool key = false;
    };

    CodecPreset m_preset;
    std::unique_ptr<vpx_codec_ctx_t, ContextDeleter> m_context; // set once the encoder is open
    vpx_codec_enc_cfg_t m_config;
    long long m_frameCounter = 0;     // presentation stamp of the next frame, in 1/fps units
    bool m_keyFrameRequested = false; // the next frame is forced to be a key frame
    // Compressed frames not yet handed out: libvpx may return more than one for a call, and
    // each call passes on at most one.
    std::deque<Frame> m_pending;
};
