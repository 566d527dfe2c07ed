#pragma once

#include "base/StrevoExport.h"
#include "platform/D3D11Device.h"

/// A device whose textures live in system memory: for hosts that render on the CPU and for
/// machines without a GPU. Its context copies with memcpy.
class STREVO_EXPORT HostD3D11Device : public D3D11Device, public D3D11DeviceContext
{
public:
    std::unique_ptr<D3D11Texture2D> createTexture2D(const D3D11TextureDesc& desc) override;
    D3D11Memory memory() const override { return D3D11Memory::Host; }
    bool copyResource(D3D11Texture2D* dst, D3D11Texture2D* src) override;

    /// Largest width or height of a texture.
    static constexpr int kMaxSide = 16384;
    /// Bytes per row of a picture of the description; 0 for an unknown format, a side outside
    /// 1..kMaxSide, or an odd side in NV12.
    static int rowBytes(const D3D11TextureDesc& desc);
    /// Rows of a picture of the description (NV12: luma rows + chroma rows); 0 as for
    /// rowBytes().
    static int rows(const D3D11TextureDesc& desc);
};
