#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"

#include <cstdint>
#include <memory>
#include <vector>

// x264's types, declared here so that this header does not pull in x264.h (whose NAL names
// clash with other encoders' headers).
struct x264_t;
struct x264_nal_t;
struct x264_param_t;
struct x264_picture_t;

// H.264 through x264: NV12 in, one Annex B access unit out per call.
//
// The parameter sets are the global headers; the SEI that x264 emits with them is held back
// and written in front of the first packet. Not thread-safe: one thread at a time per object.
class X264 : public IVideoCodec
{
public:
    X264();
    ~X264() override;

    bool initialize(CodecPreset* preset) override;
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    // Twice the raw frame plus the headers and the held-back SEI, with a margin: x264's access
    // units stay below the raw size, except for tiny pictures where headers dominate.
    unsigned int maxPacketSize() override;
    bool streamParameters(AVCodecParameters* par) override;
    // The next picture goes in typed as IDR; x264 codes it so when it leaves the look-ahead.
    void requestKeyFrame() override { m_keyFrameRequested = true; }
    bool changesBitrate() const override { return true; }
    bool setBitrate(int kbps) override;
    unsigned char* extraData() override { return m_header.empty() ? nullptr : m_header.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_header.size()); }
    int supportFormat() override;
    bool isHWTextureSupport() override { return false; }

    // The x264 parameters that initialize() derives from a video record, before the encoder
    // is opened. Exposed for tests of the derivation.
    static void fillParams(const CodecModel::VideoCodec& video, x264_param_t* param);
    static const char* profileName(int profileIdc);

private:
    bool openEncoder();
    // Copies the pending SEI (once) and the NAL units of the last encode call into out.
    bool writePacket(unsigned char* out, unsigned int capacity, int count, unsigned int& outSize,
                     unsigned int& keyFrame, long long& pts, long long& dts);
    x264_t* m_encoder = nullptr;
    x264_nal_t* m_nals = nullptr;
    std::unique_ptr<x264_picture_t> m_input;
    std::unique_ptr<x264_picture_t> m_output;
    std::vector<uint8_t> m_pendingSei;   // empty once written in front of the first packet
    std::vector<unsigned char> m_header; // parameter sets, Annex B; kept whole whatever their size
    int m_frameCounter = 0;
    bool m_drained = false;           // a null frame flushed the encoder; the next frame reopens it
    bool m_keyFrameRequested = false; // the next picture passed in is typed IDR
    CodecPreset m_preset;
};
