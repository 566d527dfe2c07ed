#pragma once

// A Direct3D 9 device and DXVA2 video processor in system memory; a blit scales the green of an
// A8R8G8B8 surface into the luma of an NV12 one.

#include "platform/D3D9Device.h"

struct FakeD3D9Surface : D3D9Surface
{
    FakeD3D9Surface(int w, int h, uint32_t format)
        : desc{w, h, format}, rowBytes(format == kD3DFmtNV12 ? w : w * 4),
          pixels(size_t(rowBytes) * (format == kD3DFmtNV12 ? h * 3 / 2 : h), 128)
    {
    }
    D3D9SurfaceDesc getDesc() const override { return desc; }
    uint8_t* hostPointer() override { return pixels.data(); }
    int pitch() const override { return rowBytes; }

    const D3D9SurfaceDesc desc;
    const int rowBytes;
    std::vector<uint8_t> pixels;
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
        guids->assign(1, Dxva2DeviceGuid());
        return true;
    }
    std::unique_ptr<Dxva2VideoProcessor> createVideoProcessor(const Dxva2DeviceGuid&,
                                                              const Dxva2VideoDesc&,
                                                              uint32_t format, int) override
    {
        return format == kD3DFmtNV12 ? std::make_unique<Processor>() : nullptr;
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
