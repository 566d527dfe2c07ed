#pragma once

#include "codec/video/nvenc/NvEncoderBase.h"
#include "platform/CudaDriver.h"
#include "platform/D3D11Device.h"

#include <memory>

// NVENC fed with the host's Direct3D 11 textures (B8G8R8A8 at the output size, passed as the
// `data` of a TEXTURE frame) on the device that DirectX11Manager holds. NVENC on Linux reads
// CUDA memory only, so the session always runs on a CUDA context and each buffer is a CUDA
// allocation registered as a device pointer in ARGB, which NVENC converts itself:
//   - with a CudaD3D11Device, the session uses the device's context, the buffers are textures of
//     that device, and a frame is copied GPU to GPU through the host's context (copyResource);
//   - with a device in system memory (HostD3D11Device), the encoder creates its own context on
//     GPU 0 and uploads each frame (one 2D copy).
// Never B-frames, 4 buffers in flight; completion events when the session is asynchronous.
class NvEncoderDx11 : public NvEncoderBase
{
public:
    NvEncoderDx11() = default;
    ~NvEncoderDx11() override;
    bool isHWTextureSupport() override { return true; }

protected:
    const char* className() const override { return "NvEncoderDx11"; }
    bool openDevice() override;
    uint32_t bFrameCount(int codec, int requested) override;
    uint32_t bufferCountFor(uint32_t) const override { return 4; }
    uint32_t vbvSizeFor(uint32_t bitrate) const override { return bitrate * 2; }
    NVENCSTATUS allocateBuffers(uint32_t width, uint32_t height) override;
    bool loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int size) override;
    void releaseInputs() override;
    void closeDevice() override;
    bool waitsForEndOfStream() const override { return m_async; }

private:
    D3D11Device* m_device = nullptr;  // the host's, never released here
    CUcontext m_context = nullptr;    // the device's, or m_ownContext
    CUcontext m_ownContext = nullptr; // created here for a device in system memory
    std::unique_ptr<D3D11Texture2D> m_textures[kMaxBuffers]; // on a CUDA device
    CUdeviceptr m_memory[kMaxBuffers] = {};                  // in the own context
    bool m_async = false;
};
