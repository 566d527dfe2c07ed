#pragma once

// A Direct3D 9 device with its DXVA2 video processor in system memory, for the NVENC Direct3D 9
// path: surfaces are host buffers, and a blit turns an A8R8G8B8 surface into the luma of an NV12
// one (nearest-sample scaling; chroma stays grey).

#include "platform/D3D9Device.h"

class FakeD3D9Surface : public D3D9Surface
{
public:
    FakeD3D9Surface(int w, int h, uint32_t format)
        : m_desc{w, h, format}, m_pitch(format == kD3DFmtNV12 ? w : w * 4),
          m_pixels(size_t(m_pitch) * (format == kD3DFmtNV12 ? h * 3 / 2 : h), 128)
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

class FakeD3D9Device : public D3D9Device, public DXVA2VideoProcessorService
{
    struct Processor : Dxva2VideoProcessor
    {
        bool videoProcessBlt(D3D9Surface* out, const Dxva2BltParams& params,
                             const Dxva2VideoSample* samples, int count) override
        {
            D3D9Surface* in = samples[0].source;
            const D3D9SurfaceDesc from = in->getDesc();
            const int w = params.targetRect.right, h = params.targetRect.bottom;
            for (int y = 0; count == 1 && y < h; ++y)
                for (int x = 0; x < w; ++x)
                    out->hostPointer()[y * out->pitch() + x] =
                        in->hostPointer()[(y * from.height / h) * in->pitch() +
                                          (x * from.width / w) * 4 + 1]; // green as luma
            return count == 1;
        }
    };

public:
    bool getVideoProcessorDeviceGuids(const Dxva2VideoDesc&,
                                      std::vector<Dxva2DeviceGuid>* guids) override
    {
        guids->assign(2, Dxva2DeviceGuid());
        (*guids)[1].data1 = 1;
        return true;
    }
    // Only the second processor makes NV12: the encoder must try them in order.
    std::unique_ptr<Dxva2VideoProcessor> createVideoProcessor(const Dxva2DeviceGuid& guid,
                                                              const Dxva2VideoDesc&,
                                                              uint32_t format, int) override
    {
        return guid.data1 == 1 && format == kD3DFmtNV12 ? std::make_unique<Processor>() : nullptr;
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
