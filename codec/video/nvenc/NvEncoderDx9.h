#pragma once

#include "codec/video/nvenc/NvEncoderBase.h"
#include "platform/CudaD3D11Device.h"
#include "platform/D3D9Device.h"

#include <memory>

// NVENC fed with the host's Direct3D 9 surfaces (A8R8G8B8, passed as the `data` of a TEXTURE
// frame) on the device that DirectX9Manager holds. A DXVA2 video processor scales and converts
// each one into an NV12 surface in system memory. NVENC on Linux reads CUDA memory only (it has
// no Direct3D devices), so the session runs on the CUDA context of a CudaD3D11Device of its own
// on GPU 0, each buffer is an NV12 texture of that device registered as a CUDA device pointer,
// and each converted picture is uploaded into its buffer (one 2D copy). H.264 may use as many
// B-frames as the record asks and the GPU allows; N = B-frames + 4. Completion events when the
// session is asynchronous.
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
    void closeDevice() override;
    bool waitsForEndOfStream() const override { return m_async; }

private:
    std::unique_ptr<Dxva2VideoProcessor> m_processor;
    std::unique_ptr<D3D9Surface> m_converted; // the processor's NV12 target
    std::unique_ptr<CudaD3D11Device> m_cuda;  // the session's context and the buffers' memory
    std::unique_ptr<D3D11Texture2D> m_textures[kMaxBuffers]; // NV12, on m_cuda
    bool m_async = false;
};
