// A fake CUDA driver (libcuda.so.1) for the NVENC tests, refusing what a real one refuses; its
// "device memory" is host memory, which the fake NVENC runtime reads directly.

#include "tests/fakes/nvenc/FakeNvControl.h"

#include <ffnvcodec/dynlink_cuda.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const CUresult kInvalid = static_cast<CUresult>(1), kContext = static_cast<CUresult>(201),
               kNoBinaryForGpu = static_cast<CUresult>(209),
               kInvalidPtx = static_cast<CUresult>(218), kNotFound = static_cast<CUresult>(500);

// Every global is guarded by g_rec.mutex, which each entry point holds (FAKE_GUARD). Knobs: the
// device count and compute capability (75: 7.5); Get("noContext"), Get("badCopy") count misuse.
FakeRecorder g_rec{{{"devices", 1}, {"capability", 75}}};
std::map<CUdeviceptr, size_t> g_memory; // device allocations and host blocks: address -> bytes
std::map<void*, std::string> g_objects; // contexts, and modules with their PTX
thread_local std::vector<CUcontext> t_current; // this thread's context stack

// The calls that need a current context, as the driver's do.
bool current()
{
    if (!t_current.empty() && g_objects.count(t_current.back()))
        return true;
    ++g_rec.counts["noContext"];
    return false;
}

bool inside(CUdeviceptr p, size_t bytes)
{
    auto it = g_memory.upper_bound(p);
    return it != g_memory.begin() && p + bytes <= (--it)->first + it->second;
}

CUresult alloc(CUdeviceptr* p, size_t bytes)
{
    if (!current())
        return kContext;
    *p = reinterpret_cast<CUdeviceptr>(std::calloc(1, bytes ? bytes : 1));
    g_memory[*p] = bytes;
    return CUDA_SUCCESS;
}

CUresult release(CUdeviceptr p)
{
    if (!current() || !g_memory.erase(p))
        return kInvalid;
    std::free(reinterpret_cast<void*>(p));
    return CUDA_SUCCESS;
}

// Row copy; a device side must lie inside one allocation.
CUresult copy(const CUDA_MEMCPY2D& c)
{
    if (!current())
        return kContext;
    const size_t span = c.WidthInBytes;
    const size_t srcSpan = c.srcPitch * (c.Height - 1) + span,
                 dstSpan = c.dstPitch * (c.Height - 1) + span;
    const bool srcDev = c.srcMemoryType == CU_MEMORYTYPE_DEVICE;
    const bool dstDev = c.dstMemoryType == CU_MEMORYTYPE_DEVICE;
    if (c.Height == 0 || c.srcPitch < span || c.dstPitch < span ||
        (srcDev && !inside(c.srcDevice, srcSpan)) || (dstDev && !inside(c.dstDevice, dstSpan))) {
        ++g_rec.counts["badCopy"];
        return kInvalid;
    }
    auto* src = srcDev ? reinterpret_cast<const uint8_t*>(c.srcDevice)
                       : static_cast<const uint8_t*>(c.srcHost);
    auto* dst = dstDev ? reinterpret_cast<uint8_t*>(c.dstDevice) : static_cast<uint8_t*>(c.dstHost);
    for (size_t row = 0; row < c.Height; ++row)
        std::memmove(dst + row * c.dstPitch, src + row * c.srcPitch, span);
    return CUDA_SUCCESS;
}

CUresult linear(CUdeviceptr dst, const void* src, size_t bytes, bool fromDevice)
{
    CUDA_MEMCPY2D c{};
    c.srcMemoryType = fromDevice ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    c.srcDevice = reinterpret_cast<CUdeviceptr>(src);
    c.srcHost = src;
    c.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    c.dstDevice = dst;
    c.srcPitch = c.dstPitch = c.WidthInBytes = bytes;
    c.Height = 1;
    return copy(c);
}

} // namespace

FAKE_CONTROL(fakeCuda, static_cast<long long>(g_memory.size() + g_objects.size()))

FAKE_EXPORT CUresult cuInit(unsigned int flags)
{
    FAKE_GUARD(CUresult);
    return flags ? kInvalid : CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuDeviceGetCount(int* count)
{
    FAKE_GUARD(CUresult);
    *count = static_cast<int>(g_rec.knob("devices"));
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuDeviceGet(CUdevice* device, int ordinal)
{
    FAKE_GUARD(CUresult);
    *device = ordinal;
    return ordinal >= 0 && ordinal < g_rec.knob("devices") ? CUDA_SUCCESS : kInvalid;
}
FAKE_EXPORT CUresult cuDeviceComputeCapability(int* major, int* minor, CUdevice)
{
    FAKE_GUARD(CUresult);
    *major = static_cast<int>(g_rec.knob("capability") / 10);
    *minor = static_cast<int>(g_rec.knob("capability") % 10);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuDeviceGetName(char* name, int length, CUdevice)
{
    FAKE_GUARD(CUresult);
    std::snprintf(name, size_t(length), "Fake GPU sm_%lld", g_rec.knob("capability"));
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuCtxGetDevice(CUdevice* device)
{
    FAKE_GUARD(CUresult);
    *device = 0; // every context of the fake is on the first device
    return current() ? CUDA_SUCCESS : kContext;
}
FAKE_EXPORT CUresult cuCtxCreate_v2(CUcontext* ctx, unsigned int, CUdevice)
{
    FAKE_GUARD(CUresult);
    *ctx = reinterpret_cast<CUcontext>(new char);
    g_objects[*ctx];
    t_current.push_back(*ctx);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuCtxDestroy_v2(CUcontext ctx)
{
    FAKE_GUARD(CUresult);
    if (!g_objects.erase(ctx))
        return kContext;
    delete reinterpret_cast<char*>(ctx);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuCtxPushCurrent_v2(CUcontext ctx)
{
    FAKE_GUARD(CUresult);
    t_current.push_back(ctx);
    return g_objects.count(ctx) ? CUDA_SUCCESS : kContext;
}
FAKE_EXPORT CUresult cuCtxPopCurrent_v2(CUcontext* ctx)
{
    FAKE_GUARD(CUresult);
    if (t_current.empty())
        return kContext;
    if (ctx)
        *ctx = t_current.back();
    t_current.pop_back();
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuModuleLoadDataEx(void** module, const char* ptx, unsigned int, void*, void**)
{
    FAKE_GUARD(CUresult);
    if (!current())
        return kContext;
    // Compiled for the device: refused when it is no PTX, or targets a newer GPU.
    const char* target = ptx ? std::strstr(ptx, ".target sm_") : nullptr;
    if (!target || !std::strstr(ptx, ".version "))
        return kInvalidPtx;
    if (std::atoi(target + 11) > g_rec.knob("capability"))
        return kNoBinaryForGpu;
    *module = new char;
    g_objects[*module] = ptx;
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuModuleUnload(void* module)
{
    FAKE_GUARD(CUresult);
    if (!current() || !g_objects.erase(module))
        return kInvalid;
    delete static_cast<char*>(module);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuModuleGetFunction(void** fn, void* module, const char* name)
{
    FAKE_GUARD(CUresult);
    *fn = module;
    return g_objects[module].find(std::string(".entry ") + name + "(") != std::string::npos
               ? CUDA_SUCCESS
               : kNotFound;
}
FAKE_EXPORT CUresult cuModuleGetTexRef(void** ref, void* module, const char* name)
{
    FAKE_GUARD(CUresult);
    *ref = module;
    return g_objects[module].find(std::string(".texref ") + name + ";") != std::string::npos
               ? CUDA_SUCCESS
               : kNotFound;
}
FAKE_EXPORT CUresult cuTexRefSetFormat(void*, int, int)
{
    FAKE_GUARD(CUresult);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuTexRefSetFlags(void*, unsigned int)
{
    FAKE_GUARD(CUresult);
    return CUDA_SUCCESS;
}
FAKE_EXPORT CUresult cuMemAlloc_v2(CUdeviceptr* ptr, size_t bytes)
{
    FAKE_GUARD(CUresult);
    return alloc(ptr, bytes);
}
FAKE_EXPORT CUresult cuMemAllocPitch_v2(CUdeviceptr* ptr, size_t* pitch, size_t width, size_t rows,
                                        unsigned int)
{
    FAKE_GUARD(CUresult);
    *pitch = (width + 255) / 256 * 256;
    return alloc(ptr, *pitch * rows);
}
FAKE_EXPORT CUresult cuMemAllocHost_v2(void** ptr, size_t bytes)
{
    FAKE_GUARD(CUresult);
    CUdeviceptr p = 0;
    const CUresult r = alloc(&p, bytes);
    *ptr = reinterpret_cast<void*>(p);
    return r;
}
FAKE_EXPORT CUresult cuMemFree_v2(CUdeviceptr ptr)
{
    FAKE_GUARD(CUresult);
    return release(ptr);
}
FAKE_EXPORT CUresult cuMemFreeHost(void* ptr)
{
    FAKE_GUARD(CUresult);
    return release(reinterpret_cast<CUdeviceptr>(ptr));
}
FAKE_EXPORT CUresult cuMemcpyHtoD_v2(CUdeviceptr dst, const void* src, size_t bytes)
{
    FAKE_GUARD(CUresult);
    return linear(dst, src, bytes, false);
}
FAKE_EXPORT CUresult cuMemcpyDtoD_v2(CUdeviceptr dst, CUdeviceptr src, size_t bytes)
{
    FAKE_GUARD(CUresult);
    return linear(dst, reinterpret_cast<const void*>(src), bytes, true);
}
FAKE_EXPORT CUresult cuMemcpy2D_v2(const CUDA_MEMCPY2D* c)
{
    FAKE_GUARD(CUresult);
    return copy(*c);
}
