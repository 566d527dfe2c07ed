#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"

#include <memory>
#include <vector>

#include <wels/codec_api.h>

// H.264 through OpenH264: YUV420P in, the slice NAL units of one picture out per call.
//
// One spatial and one temporal layer, Main profile with CABAC, bitrate rate control. The
// sequence and picture parameter sets are the global headers (extraData(), Annex B); the
// copies that OpenH264 repeats in front of every IDR picture are left out of the packets.
// Not thread-safe: one thread at a time per object.
class OpenH264 : public IVideoCodec
{
public:
    OpenH264();
    ~OpenH264() override;

    bool initialize(CodecPreset* preset) override;
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    // Twice the raw frame with a margin.
    unsigned int maxPacketSize() override;
    bool streamParameters(AVCodecParameters* par) override;
    // Forces an IDR picture on the next EncodeFrame; the request stands until an IDR comes
    // out, so a frame the rate control skips does not lose it.
    void requestKeyFrame() override { m_keyFrameRequested = true; }
    bool changesBitrate() const override { return true; }
    bool setBitrate(int kbps) override;
    unsigned char* extraData() override { return m_header.empty() ? nullptr : m_header.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_header.size()); }
    int supportFormat() override;
    bool isHWTextureSupport() override { return false; }

    // Writes the settings derived from a video record over *param, which holds OpenH264's
    // defaults (GetDefaultParams). Exposed for tests of the derivation.
    static void fillParams(const CodecModel::VideoCodec& video, SEncParamExt* param);

private:
    struct EncoderDeleter
    {
        void operator()(ISVCEncoder* encoder) const;
    };

    std::unique_ptr<ISVCEncoder, EncoderDeleter> m_encoder; // null until initialize() succeeds
    std::vector<unsigned char> m_header; // SPS + PPS with start codes, kept whole
    CodecPreset m_preset;
    long long m_frameIndex = 0;       // frames given to the encoder; drives the millisecond stamps
    bool m_keyFrameRequested = false; // cleared once an IDR picture came out
    int m_bitsPerSecond = 0;          // the target rate the encoder runs at
};
