#include "platform/CudaD3D11Device.h"

#include "common/StrevoLog.h"
#include "platform/CudaDriver.h"
#include "platform/HostD3D11Device.h"

#include <QDebug>

namespace {

class CudaTexture : public D3D11Texture2D
{
public:
    CudaTexture(CUcontext context, const D3D11TextureDesc& desc, CUdeviceptr memory, int pitch)
        : m_context(context), m_desc(desc), m_memory(memory), m_pitch(pitch)
    {
    }
    ~CudaTexture() override
    {
        CudaContextScope scope(m_context);
        cudaDriver().cuMemFree(m_memory);
    }
    D3D11TextureDesc desc() const override { return m_desc; }
    D3D11Memory memory() const override { return D3D11Memory::CudaDevice; }
    int pitch() const override { return m_pitch; }
    uint64_t devicePointer() const override { return m_memory; }

    bool upload(const uint8_t* src, int srcPitch) override
    {
        return copy2D(CU_MEMORYTYPE_HOST, src, 0, srcPitch, CU_MEMORYTYPE_DEVICE, nullptr, m_memory,
                      m_pitch);
    }
    bool download(uint8_t* dst, int dstPitch) const override
    {
        return copy2D(CU_MEMORYTYPE_DEVICE, nullptr, m_memory, m_pitch, CU_MEMORYTYPE_HOST, dst, 0,
                      dstPitch);
    }

private:
    bool copy2D(CUmemorytype srcType, const void* srcHost, CUdeviceptr srcDevice, int srcPitch,
                CUmemorytype dstType, void* dstHost, CUdeviceptr dstDevice, int dstPitch) const
    {
        const int rowBytes = HostD3D11Device::rowBytes(m_desc);
        if (srcPitch < rowBytes || dstPitch < rowBytes || (!srcHost && !srcDevice) ||
            (!dstHost && !dstDevice))
            return false;
        CUDA_MEMCPY2D c{};
        c.srcMemoryType = srcType;
        c.srcHost = srcHost;
        c.srcDevice = srcDevice;
        c.srcPitch = static_cast<size_t>(srcPitch);
        c.dstMemoryType = dstType;
        c.dstHost = dstHost;
        c.dstDevice = dstDevice;
        c.dstPitch = static_cast<size_t>(dstPitch);
        c.WidthInBytes = static_cast<size_t>(rowBytes);
        c.Height = static_cast<size_t>(HostD3D11Device::rows(m_desc));
        CudaContextScope scope(m_context);
        const CUresult r = scope.ok() ? cudaDriver().cuMemcpy2D(&c) : kCudaInvalidContext;
        if (r != CUDA_SUCCESS)
            qCWarning(lcStrevo, "CudaD3D11Device: cuMemcpy2D of a %dx%d texture returned %d",
                      m_desc.width, m_desc.height, static_cast<int>(r));
        return r == CUDA_SUCCESS;
    }

    CUcontext m_context;
    D3D11TextureDesc m_desc;
    CUdeviceptr m_memory;
    int m_pitch;
};

} // namespace

std::unique_ptr<CudaD3D11Device> CudaD3D11Device::create(int ordinal)
{
    const CUresult loaded = loadCudaDriver(0, 4000);
    if (loaded != CUDA_SUCCESS) {
        qCWarning(lcStrevo, "CudaD3D11Device: the CUDA driver cannot be used (%d)",
                  static_cast<int>(loaded));
        return nullptr;
    }
    CUcontext context = nullptr;
    if (createCudaEncodeContext(ordinal, &context) != 0)
        return nullptr;
    return std::unique_ptr<CudaD3D11Device>(new CudaD3D11Device(context));
}

CudaD3D11Device::~CudaD3D11Device()
{
    cudaDriver().cuCtxDestroy(static_cast<CUcontext>(m_context));
}

std::unique_ptr<D3D11Texture2D> CudaD3D11Device::createTexture2D(const D3D11TextureDesc& desc)
{
    // Capped as a Direct3D 11 texture is, before any size is computed; NV12 sizes must be even.
    if (desc.width < 1 || desc.width > HostD3D11Device::kMaxSide || desc.height < 1 ||
        desc.height > HostD3D11Device::kMaxSide) {
        qCWarning(lcStrevo, "CudaD3D11Device: a %dx%d texture is outside 1..%d", desc.width,
                  desc.height, HostD3D11Device::kMaxSide);
        return nullptr;
    }
    const int rowBytes = HostD3D11Device::rowBytes(desc);
    const int rows = HostD3D11Device::rows(desc);
    if (rowBytes <= 0 || rows <= 0)
        return nullptr;
    const uint64_t bytes = static_cast<uint64_t>(rowBytes) * static_cast<uint64_t>(rows);
    CUcontext context = static_cast<CUcontext>(m_context);
    CudaContextScope scope(context);
    CUdeviceptr memory = 0;
    const CUresult r = scope.ok() ? cudaDriver().cuMemAlloc(&memory, static_cast<size_t>(bytes))
                                  : kCudaInvalidContext;
    if (r != CUDA_SUCCESS) {
        qCWarning(lcStrevo, "CudaD3D11Device: cuMemAlloc of a %dx%d texture returned %d",
                  desc.width, desc.height, static_cast<int>(r));
        return nullptr;
    }
    return std::make_unique<CudaTexture>(context, desc, memory, rowBytes);
}

bool CudaD3D11Device::copyResource(D3D11Texture2D* dst, D3D11Texture2D* src)
{
    if (!dst || !src || dst->memory() != D3D11Memory::CudaDevice ||
        src->memory() != D3D11Memory::CudaDevice)
        return false;
    const D3D11TextureDesc d = dst->desc(), s = src->desc();
    if (d.width != s.width || d.height != s.height || d.format != s.format ||
        dst->pitch() != src->pitch())
        return false;
    CudaContextScope scope(static_cast<CUcontext>(m_context));
    const size_t bytes = static_cast<size_t>(dst->pitch()) * HostD3D11Device::rows(d);
    return scope.ok() && cudaDriver().cuMemcpyDtoD(dst->devicePointer(), src->devicePointer(),
                                                   bytes) == CUDA_SUCCESS;
}
