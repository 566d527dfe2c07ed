#pragma once

#include "base/StrevoExport.h"

#include <cstdint>
#include <memory>

/// @file
/// The GPU device types through which a host shares rendered frames with the library, standing in
/// for a Direct3D 11 device, its immediate context and its 2D textures. A host sets one device
/// and its context on DirectX11Manager (common/DirectX11Manager.h); the encoders and the frame
/// download that take GPU textures then create their own textures on it and copy the host's
/// textures into them, without the pixels passing through system memory where the device keeps
/// them on the GPU.
///
/// Implementations: HostD3D11Device keeps textures in system memory (any machine, and the tests);
/// a CUDA-backed device keeps them in CUDA device memory, so NVENC reads them in place.
///
/// Threads: a device and its textures may be used from any thread, but the context is the host's
/// immediate context: the library calls it on a pipeline's video thread (or a download worker),
/// and the host must not use it at the same moment.

/// Texture formats, numbered as DXGI numbers them.
enum class DxgiFormat : int
{
    Unknown = 0,   ///< no format: a device makes no texture of it
    R8G8B8A8 = 28, ///< bytes R, G, B, A
    B8G8R8A8 = 87, ///< bytes B, G, R, A
    NV12 = 103,    ///< luma plane, then interleaved U/V at half size, both `pitch` bytes per row
};

/// The shape of a texture.
struct D3D11TextureDesc
{
    int width = 0;                           ///< in pixels
    int height = 0;                          ///< in pixels
    DxgiFormat format = DxgiFormat::Unknown; ///< pixel layout
};

/// Where a texture keeps its pixels.
enum class D3D11Memory
{
    Host,       ///< system memory: `hostPointer()` is valid
    CudaDevice, ///< CUDA device memory of the device's CUDA context: `devicePointer()` is valid
};

/// A 2D texture of a D3D11Device, owned by whoever created it; it must not outlive its device.
struct STREVO_EXPORT D3D11Texture2D
{
    virtual ~D3D11Texture2D() = default;
    /// The size and format it was created with.
    virtual D3D11TextureDesc desc() const = 0;
    /// Where its pixels are, which says which of hostPointer() and devicePointer() is valid.
    virtual D3D11Memory memory() const = 0;
    /// Bytes from one row to the next (for NV12, of both planes).
    virtual int pitch() const = 0;
    /// The first byte in system memory (Host); null for a texture in device memory.
    virtual uint8_t* hostPointer() { return nullptr; }
    /// The first byte as a CUdeviceptr (CudaDevice); 0 for a texture in system memory.
    virtual uint64_t devicePointer() const { return 0; }
    /// Copies the whole picture in from system memory, rows `srcPitch` bytes apart (NV12: the
    /// chroma plane follows the luma plane's `height` rows). False when the device refused
    /// the copy.
    virtual bool upload(const uint8_t* src, int srcPitch) = 0;
    /// Copies the whole picture out to system memory, rows `dstPitch` bytes apart, laid out as
    /// upload() reads it. False when the device refused the copy.
    virtual bool download(uint8_t* dst, int dstPitch) const = 0;
};

/// The immediate context of a device: copies between its textures.
struct STREVO_EXPORT D3D11DeviceContext
{
    virtual ~D3D11DeviceContext() = default;
    /// Copy all of `src` into `dst`; both of the same size and format. False (nothing copied)
    /// when they differ or the device refused.
    virtual bool copyResource(D3D11Texture2D* dst, D3D11Texture2D* src) = 0;
};

/// A GPU device (or its stand-in in system memory) that makes textures.
struct STREVO_EXPORT D3D11Device
{
    virtual ~D3D11Device() = default;
    /// A new texture of the description, owned by the caller, or null (format or size the
    /// device cannot make, out of memory).
    virtual std::unique_ptr<D3D11Texture2D> createTexture2D(const D3D11TextureDesc& desc) = 0;
    /// Where this device's textures keep their pixels.
    virtual D3D11Memory memory() const = 0;
};
