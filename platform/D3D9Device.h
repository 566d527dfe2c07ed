#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// The Direct3D 9 / DXVA2 side of the GPU layer: what the NVENC Direct3D 9 input path calls,
// named after the calls it stands for. A host that has such a device sets it, with its video
// processor service, on DirectX9Manager (common/DirectX9Manager.h); frames then arrive as
// D3D9Surface pointers. The encoder converts each into an NV12 surface that it reads in system
// memory (hostPointer) and hands to NVENC through CUDA memory of a CudaD3D11Device: NVENC on
// Linux takes no Direct3D device. Objects are owned through unique_ptr by whoever created them;
// a surface must not outlive its device.

constexpr uint32_t kD3DFmtA8R8G8B8 = 21;
constexpr uint32_t kD3DFmtNV12 = 0x3231564E; // FOURCC 'NV12'
constexpr uint32_t kD3DPoolDefault = 0;
constexpr uint32_t kDxva2VideoProcessorRenderTarget = 1;

struct D3D9SurfaceDesc
{
    int width = 0;
    int height = 0;
    uint32_t format = 0; // kD3DFmtA8R8G8B8 or kD3DFmtNV12
};

struct D3D9Surface
{
    virtual ~D3D9Surface() = default;
    virtual D3D9SurfaceDesc getDesc() const = 0;
    // Pixels where the device keeps them in system memory (else null), rows `pitch()` apart;
    // NV12: the chroma plane follows the luma plane's rows.
    virtual uint8_t* hostPointer() = 0;
    virtual int pitch() const = 0;
};

struct D3D9Device
{
    virtual ~D3D9Device() = default;
};

struct Dxva2DeviceGuid
{
    uint32_t data1 = 0;
    uint16_t data2 = 0, data3 = 0;
    uint8_t data4[8] = {};
};

// DXVA2_VideoDesc with the values the encoder fills in.
struct Dxva2VideoDesc
{
    int sampleWidth = 0, sampleHeight = 0;
    int sampleFormat = 2;        // DXVA2_SampleProgressiveFrame
    int chromaSubsampling = 0x9; // DXVA2_VideoChromaSubsampling_MPEG2
    int nominalRange = 2;        // DXVA2_NominalRange_16_235
    int transferMatrix = 1;      // DXVA2_VideoTransferMatrix_BT709
    int lighting = 3;            // DXVA2_VideoLighting_dim
    int primaries = 2;           // DXVA2_VideoPrimaries_BT709
    int transferFunction = 5;    // DXVA2_VideoTransFunc_709
    uint32_t format = kD3DFmtA8R8G8B8;
    int inputFrequency[2] = {60, 1};
    int outputFrequency[2] = {60, 1};
};

struct Dxva2Rect
{
    int left = 0, top = 0, right = 0, bottom = 0;
};

// One input of a blit: the whole source surface into the destination rectangle.
struct Dxva2VideoSample
{
    D3D9Surface* source = nullptr;
    Dxva2Rect sourceRect, destRect;
    int nominalRange = 1; // DXVA2_NominalRange_0_255
    float planarAlpha = 1.0f;
};

struct Dxva2BltParams
{
    Dxva2Rect targetRect;
    uint16_t backgroundY = 0x1000, backgroundCb = 0x8000, backgroundCr = 0x8000,
             backgroundAlpha = 0xFFFF;
};

struct Dxva2VideoProcessor
{
    virtual ~Dxva2VideoProcessor() = default;
    // Converts and scales the samples into `target` (VideoProcessBlt); false when refused.
    virtual bool videoProcessBlt(D3D9Surface* target, const Dxva2BltParams& params,
                                 const Dxva2VideoSample* samples, int count) = 0;
};

struct DXVA2VideoProcessorService
{
    virtual ~DXVA2VideoProcessorService() = default;
    // The processors that can handle `desc`, in the device's order; false when the query fails.
    virtual bool getVideoProcessorDeviceGuids(const Dxva2VideoDesc& desc,
                                              std::vector<Dxva2DeviceGuid>* guids) = 0;
    virtual std::unique_ptr<Dxva2VideoProcessor> createVideoProcessor(const Dxva2DeviceGuid& guid,
                                                                      const Dxva2VideoDesc& desc,
                                                                      uint32_t renderTargetFormat,
                                                                      int maxSubStreams) = 0;
    // backBuffers + 1 surfaces (CreateSurface); empty when refused.
    virtual std::vector<std::unique_ptr<D3D9Surface>>
    createSurface(int width, int height, int backBuffers, uint32_t format, uint32_t pool,
                  uint32_t usage, uint32_t type) = 0;
};
