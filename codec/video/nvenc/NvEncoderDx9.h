#pragma once

#include "codec/video/nvenc/NvEncoderBase.h"
#include "platform/D3D9Device.h"

#include <memory>
#include <vector>

// NVENC fed with the host's Direct3D 9 surfaces (A8R8G8B8, passed as the `data` of a TEXTURE
// frame) on the device that DirectX9Manager holds: a DXVA2 video processor scales and converts
// each one into an NV12 surface of the buffer, which NVENC reads as a DirectX resource. H.264
// may use as many B-frames as the record asks and the GPU allows; N = B-frames + 4.
class NvEncoderDx9 : public NvEncoderBase
{
public:
    NvEncoderDx9() = default;
    ~NvEncoderDx9() override;
    bool isHWTextureSupport() override { return true; }

protected:
    const char* className() const override { return "NvEncoderDx9"; }
    bool openDevice() override;
    uint32_t bufferCountFor(uint32_t bFrames) const override { return bFrames + 4; }
    uint32_t vbvSizeFor(uint32_t bitrate) const override { return bitrate * 2; }
    NVENCSTATUS allocateBuffers(uint32_t width, uint32_t height) override;
    bool loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int size) override;
    void releaseInputs() override;
    void closeDevice() override { m_processor.reset(); }

private:
    std::unique_ptr<Dxva2VideoProcessor> m_processor;
    std::vector<std::unique_ptr<D3D9Surface>> m_surfaces; // one per buffer
};
