#pragma once

#include "base/StrevoExport.h"
#include "platform/D3D11Device.h"

#include <memory>

/// A device whose textures live in CUDA device memory, for a Linux host that renders on an NVIDIA
/// GPU (with CUDA, or with OpenGL/Vulkan interop into CUDA memory) and hands its frames to the
/// library without downloading them.
///
/// Set it up once and share it before creating pipelines:
/// @code
///   auto device = CudaD3D11Device::create();      // null without the CUDA driver or a GPU
///   Singleton<DirectX11Manager>::getInstancePtr()->setDevice(device.get(), device.get());
/// @endcode
/// then push frames as TEXTURE whose data is a D3D11Texture2D* of this device (B8G8R8A8 at the
/// output size) with processing.textureInput 1 and textureApi 3. The NVENC encoder then opens its
/// session on this device's CUDA context, creates its own textures here and copies each frame
/// into one of them on the GPU; NVENC reads them in place as ARGB device memory.
///
/// Textures are unpadded (pitch = width × bytes per pixel) and owned by whoever created them;
/// they must not outlive the device. The device's CUDA context is created on the GPU given to
/// create() and made current only around each of its calls, so any thread may use it; the copy
/// calls are synchronous. Destroying the device destroys the context.
class STREVO_EXPORT CudaD3D11Device : public D3D11Device, public D3D11DeviceContext
{
public:
    /// The device on CUDA GPU `ordinal` (NVENC-capable: compute capability 3.0 or newer), or null
    /// with a warning saying what is missing.
    static std::unique_ptr<CudaD3D11Device> create(int ordinal = 0);
    ~CudaD3D11Device() override;

    std::unique_ptr<D3D11Texture2D> createTexture2D(const D3D11TextureDesc& desc) override;
    D3D11Memory memory() const override { return D3D11Memory::CudaDevice; }
    bool copyResource(D3D11Texture2D* dst, D3D11Texture2D* src) override;

    /// The CUDA context (a CUcontext), for a host that renders into these textures itself.
    void* cudaContext() const { return m_context; }

private:
    explicit CudaD3D11Device(void* context) : m_context(context) {}
    void* m_context; // CUcontext, owned
};
