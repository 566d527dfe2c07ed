#pragma once

// A Direct3D 9 device with its DXVA2 video processor in system memory, for the NVENC Direct3D 9
// path: surfaces are host buffers, and the processor's blit converts an A8R8G8B8 surface into an
// NV12 one (nearest-sample scaling, BT.601 limited range).

#include "platform/D3D9Device.h"

#include <algorithm>
#include <vector>

class FakeD3D9Surface : public D3D9Surface
{
public:
    FakeD3D9Surface(int w, int h, uint32_t format)
        : m_desc{w, h, format}, m_pitch(format == kD3DFmtNV12 ? w : w * 4),
          m_pixels(static_cast<size_t>(m_pitch) * (format == kD3DFmtNV12 ? h * 3 / 2 : h))
    {
    }
    D3D9SurfaceDesc getDesc() const override { return m_desc; }
    uint8_t* hostPointer() override { return m_pixels.data(); }
    int pitch() const override { return m_pitch; }

private:
    D3D9SurfaceDesc m_desc;
    int m_pitch;
    std::vector<uint8_t> m_pixels;
};

class FakeDxva2Processor : public Dxva2VideoProcessor
{
public:
    bool videoProcessBlt(D3D9Surface* target, const Dxva2BltParams& params,
                         const Dxva2VideoSample* samples, int count) override
    {
        const D3D9SurfaceDesc in = samples[0].source->getDesc(), out = target->getDesc();
        if (count != 1 || in.format != kD3DFmtA8R8G8B8 || out.format != kD3DFmtNV12)
            return false;
        const int w = params.targetRect.right, h = params.targetRect.bottom;
        uint8_t* y = target->hostPointer();
        uint8_t* uv = y + target->pitch() * out.height;
        for (int row = 0; row < h; ++row)
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = samples[0].source->hostPointer() +
                                   (row * in.height / h) * samples[0].source->pitch() +
                                   (x * in.width / w) * 4;
                const int b = p[0], g = p[1], r = p[2];
                y[row * target->pitch() + x] =
                    uint8_t((66 * r + 129 * g + 25 * b + 128) / 256 + 16);
                if (!(row & 1) && !(x & 1)) {
                    uv[row / 2 * target->pitch() + x] =
                        uint8_t((-38 * r - 74 * g + 112 * b) / 256 + 128);
                    uv[row / 2 * target->pitch() + x + 1] =
                        uint8_t((112 * r - 94 * g - 18 * b) / 256 + 128);
                }
            }
        return true;
    }
};

class FakeD3D9Device : public D3D9Device, public DXVA2VideoProcessorService
{
public:
    bool getVideoProcessorDeviceGuids(const Dxva2VideoDesc&,
                                      std::vector<Dxva2DeviceGuid>* guids) override
    {
        guids->assign(2, Dxva2DeviceGuid());
        (*guids)[1].data1 = 1;
        return true;
    }
    // Only the second processor converts to NV12: the encoder must try them in order.
    std::unique_ptr<Dxva2VideoProcessor> createVideoProcessor(const Dxva2DeviceGuid& guid,
                                                              const Dxva2VideoDesc&,
                                                              uint32_t format, int) override
    {
        if (guid.data1 != 1 || format != kD3DFmtNV12)
            return nullptr;
        return std::make_unique<FakeDxva2Processor>();
    }
    std::vector<std::unique_ptr<D3D9Surface>> createSurface(int w, int h, int backBuffers,
                                                            uint32_t format, uint32_t, uint32_t,
                                                            uint32_t) override
    {
        std::vector<std::unique_ptr<D3D9Surface>> s;
        for (int i = 0; i <= backBuffers; ++i)
            s.push_back(std::make_unique<FakeD3D9Surface>(w, h, format));
        return s;
    }
};
