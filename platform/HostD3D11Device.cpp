#include "platform/HostD3D11Device.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

class HostTexture : public D3D11Texture2D
{
public:
    HostTexture(const D3D11TextureDesc& desc, int pitch, int rows)
        : m_desc(desc), m_pitch(pitch), m_rows(rows),
          m_pixels(static_cast<size_t>(pitch) * static_cast<size_t>(rows))
    {
    }
    D3D11TextureDesc desc() const override { return m_desc; }
    D3D11Memory memory() const override { return D3D11Memory::Host; }
    int pitch() const override { return m_pitch; }
    uint8_t* hostPointer() override { return m_pixels.data(); }
    bool upload(const uint8_t* src, int srcPitch) override
    {
        if (!src || srcPitch < m_pitch)
            return false;
        for (int y = 0; y < m_rows; ++y)
            std::memcpy(&m_pixels[static_cast<size_t>(y) * m_pitch],
                        src + static_cast<size_t>(y) * srcPitch, m_pitch);
        return true;
    }
    bool download(uint8_t* dst, int dstPitch) const override
    {
        if (!dst || dstPitch < m_pitch)
            return false;
        for (int y = 0; y < m_rows; ++y)
            std::memcpy(dst + static_cast<size_t>(y) * dstPitch,
                        &m_pixels[static_cast<size_t>(y) * m_pitch], m_pitch);
        return true;
    }

private:
    const D3D11TextureDesc m_desc;
    const int m_pitch;
    const int m_rows;
    std::vector<uint8_t> m_pixels;
};

} // namespace

int HostD3D11Device::rowBytes(const D3D11TextureDesc& desc)
{
    // Within the largest texture side, so that no size computed from it can overflow.
    if (desc.width <= 0 || desc.height <= 0 || desc.width > kMaxSide || desc.height > kMaxSide)
        return 0;
    switch (desc.format) {
    case DxgiFormat::R8G8B8A8:
    case DxgiFormat::B8G8R8A8:
        return desc.width * 4;
    case DxgiFormat::NV12:
        return (desc.width % 2 || desc.height % 2) ? 0 : desc.width;
    default:
        return 0;
    }
}

int HostD3D11Device::rows(const D3D11TextureDesc& desc)
{
    if (rowBytes(desc) == 0)
        return 0;
    return desc.format == DxgiFormat::NV12 ? desc.height * 3 / 2 : desc.height;
}

std::unique_ptr<D3D11Texture2D> HostD3D11Device::createTexture2D(const D3D11TextureDesc& desc)
{
    const int pitch = rowBytes(desc);
    if (pitch == 0)
        return nullptr;
    try {
        return std::make_unique<HostTexture>(desc, pitch, rows(desc));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool HostD3D11Device::copyResource(D3D11Texture2D* dst, D3D11Texture2D* src)
{
    if (!dst || !src || dst == src)
        return dst && dst == src;
    const D3D11TextureDesc a = dst->desc();
    const D3D11TextureDesc b = src->desc();
    if (a.width != b.width || a.height != b.height || a.format != b.format)
        return false;
    // Host to host is one row loop; a source on another device is read back through its own
    // download.
    if (uint8_t* to = dst->hostPointer())
        return src->download(to, dst->pitch());
    if (uint8_t* from = src->hostPointer())
        return dst->upload(from, src->pitch());
    return false;
}
