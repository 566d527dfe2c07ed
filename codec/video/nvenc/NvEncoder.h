#pragma once

#include "codec/video/IVideoCodec.h"

#include <memory>

// NVENC hardware encoding of H.264 ("H264(NVENC)") and HEVC ("HEVC(NVENC)"). A thin front:
// initialize() picks the inner encoder by where the frames come from and forwards everything to
// it from then on:
//   - NvEncoderDx9 for Direct3D 9 surfaces (processing.textureApi 2),
//   - NvEncoderDx11 for Direct3D 11 textures (textureApi 3),
// both only with textureInput 1, deviceIndex 0 and a progressive record; otherwise
//   - NvEncoderCuda for NV12 frames in system memory.
// The other operations are valid after initialize(); before it they answer "nothing".
class NvEncoder : public IVideoCodec
{
public:
    NvEncoder();
    ~NvEncoder() override;

    bool initialize(CodecPreset* preset) override;
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    unsigned int maxPacketSize() override;
    bool streamParameters(AVCodecParameters* par) override;
    void requestKeyFrame() override;
    unsigned char* extraData() override;
    unsigned int extraDataSize() override;
    int supportFormat() override;
    bool isHWTextureSupport() override;

    // The inner encoder; null before initialize().
    IVideoCodec* inner() const { return m_inner.get(); }

private:
    std::unique_ptr<IVideoCodec> m_inner;
};
