// A fake CUDA driver (libcuda.so.1) for the NVENC tests: "device memory" is host memory, so the
// fake NVENC runtime reads a registered device pointer directly. It checks what a real driver
// would refuse (no current context, copies outside an allocation, a module without the named
// function) and counts what the library leaves behind.

#include "tests/fakes/nvenc/FakeRecorder.h"

#include <ffnvcodec/dynlink_cuda.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr CUresult kInvalidValue = static_cast<CUresult>(1);
constexpr CUresult kOutOfMemory = static_cast<CUresult>(2);
constexpr CUresult kNoDevice = static_cast<CUresult>(100);
constexpr CUresult kInvalidImage = static_cast<CUresult>(200);
constexpr CUresult kInvalidContext = static_cast<CUresult>(201);
constexpr CUresult kNotFound = static_cast<CUresult>(500);

struct Module
{
    std::string ptx;
};

std::mutex g_mutex;
FakeRecorder g_rec;                          // guarded by g_mutex
std::map<uintptr_t, size_t> g_device;        // allocations: address -> bytes; guarded by g_mutex
std::set<void*> g_host;                      // guarded by g_mutex
std::set<CUcontext> g_contexts;              // guarded by g_mutex
std::set<Module*> g_modules;                 // guarded by g_mutex
long long g_noContext = 0, g_badCopy = 0;    // guarded by g_mutex
thread_local std::vector<CUcontext> t_stack; // this thread's current contexts

void resetKnobs()
{
    g_rec = FakeRecorder();
    g_rec.knobs = {{"devices", 1}, {"major", 7}, {"minor", 5}, {"pitchAlign", 256}};
    g_noContext = g_badCopy = 0;
}

struct Init
{
    Init() { resetKnobs(); }
} g_init;

// Calls that need a current context, as the driver's do.
bool current()
{
    if (!t_stack.empty() && g_contexts.count(t_stack.back()))
        return true;
    ++g_noContext;
    return false;
}

bool inDevice(CUdeviceptr p, size_t bytes)
{
    auto it = g_device.upper_bound(static_cast<uintptr_t>(p));
    if (it == g_device.begin())
        return false;
    --it;
    return p >= it->first && p + bytes <= it->first + it->second;
}

#define ENTER(name)                                                                                \
    std::lock_guard<std::mutex> lock(g_mutex);                                                     \
    if (const int fail_ = g_rec.enter(name))                                                       \
    return static_cast<CUresult>(fail_)

} // namespace

EXPORT void fakeCudaReset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    resetKnobs();
}
EXPORT void fakeCudaSet(const char* knob, long long value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rec.knobs[knob] = value;
}
EXPORT void fakeCudaFailOnce(const char* call, int status, int skip)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rec.failures[call] = {status, skip};
}
EXPORT int fakeCudaCalls(const char* call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_rec.counts[call];
}
EXPORT long long fakeCudaGet(const char* what)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string w = what;
    if (w == "live")
        return static_cast<long long>(g_device.size() + g_host.size() + g_contexts.size() +
                                      g_modules.size());
    if (w == "noContext")
        return g_noContext;
    if (w == "badCopy")
        return g_badCopy;
    return -1;
}

EXPORT CUresult cuInit(unsigned int flags)
{
    ENTER("cuInit");
    return flags == 0 ? CUDA_SUCCESS : kInvalidValue;
}
EXPORT CUresult cuDriverGetVersion(int* version)
{
    ENTER("cuDriverGetVersion");
    *version = 12000;
    return CUDA_SUCCESS;
}
EXPORT CUresult cuDeviceGetCount(int* count)
{
    ENTER("cuDeviceGetCount");
    *count = static_cast<int>(g_rec.knob("devices"));
    return CUDA_SUCCESS;
}
EXPORT CUresult cuDeviceGet(CUdevice* device, int ordinal)
{
    ENTER("cuDeviceGet");
    if (ordinal < 0 || ordinal >= g_rec.knob("devices"))
        return kNoDevice;
    *device = ordinal;
    return CUDA_SUCCESS;
}
EXPORT CUresult cuDeviceComputeCapability(int* major, int* minor, CUdevice)
{
    ENTER("cuDeviceComputeCapability");
    *major = static_cast<int>(g_rec.knob("major"));
    *minor = static_cast<int>(g_rec.knob("minor"));
    return CUDA_SUCCESS;
}
EXPORT CUresult cuCtxCreate_v2(CUcontext* ctx, unsigned int, CUdevice)
{
    ENTER("cuCtxCreate_v2");
    *ctx = reinterpret_cast<CUcontext>(std::malloc(1));
    g_contexts.insert(*ctx);
    t_stack.push_back(*ctx);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuCtxDestroy_v2(CUcontext ctx)
{
    ENTER("cuCtxDestroy_v2");
    if (!g_contexts.erase(ctx))
        return kInvalidContext;
    std::free(ctx);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuCtxPushCurrent_v2(CUcontext ctx)
{
    ENTER("cuCtxPushCurrent_v2");
    if (!g_contexts.count(ctx))
        return kInvalidContext;
    t_stack.push_back(ctx);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuCtxPopCurrent_v2(CUcontext* ctx)
{
    ENTER("cuCtxPopCurrent_v2");
    if (t_stack.empty())
        return kInvalidContext;
    if (ctx)
        *ctx = t_stack.back();
    t_stack.pop_back();
    return CUDA_SUCCESS;
}
EXPORT CUresult cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned int, CUjit_option*,
                                   void**)
{
    ENTER("cuModuleLoadDataEx");
    if (!current())
        return kInvalidContext;
    const char* text = static_cast<const char*>(image);
    if (!text || !std::strstr(text, ".version") || !std::strstr(text, ".target"))
        return kInvalidImage;
    auto* m = new Module{text};
    g_modules.insert(m);
    *module = reinterpret_cast<CUmodule>(m);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuModuleUnload(CUmodule module)
{
    ENTER("cuModuleUnload");
    auto* m = reinterpret_cast<Module*>(module);
    if (!g_modules.erase(m))
        return kInvalidValue;
    delete m;
    return CUDA_SUCCESS;
}
EXPORT CUresult cuModuleGetFunction(CUfunction* fn, CUmodule module, const char* name)
{
    ENTER("cuModuleGetFunction");
    auto* m = reinterpret_cast<Module*>(module);
    if (!g_modules.count(m) ||
        m->ptx.find(std::string(".entry ") + name + "(") == std::string::npos)
        return kNotFound;
    *fn = reinterpret_cast<CUfunction>(const_cast<char*>(name));
    return CUDA_SUCCESS;
}
EXPORT CUresult cuModuleGetTexRef(void** ref, CUmodule module, const char* name)
{
    ENTER("cuModuleGetTexRef");
    auto* m = reinterpret_cast<Module*>(module);
    if (!g_modules.count(m) ||
        m->ptx.find(std::string(".texref ") + name + ";") == std::string::npos)
        return kNotFound;
    *ref = const_cast<char*>(name);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuTexRefSetFormat(void*, CUarray_format, int)
{
    ENTER("cuTexRefSetFormat");
    return CUDA_SUCCESS;
}
EXPORT CUresult cuTexRefSetFlags(void*, unsigned int)
{
    ENTER("cuTexRefSetFlags");
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemAlloc_v2(CUdeviceptr* ptr, size_t bytes)
{
    ENTER("cuMemAlloc_v2");
    if (!current())
        return kInvalidContext;
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p)
        return kOutOfMemory;
    *ptr = reinterpret_cast<uintptr_t>(p);
    g_device[*ptr] = bytes;
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemAllocPitch_v2(CUdeviceptr* ptr, size_t* pitch, size_t widthBytes,
                                   size_t height, unsigned int elementSize)
{
    ENTER("cuMemAllocPitch_v2");
    if (!current())
        return kInvalidContext;
    if (elementSize != 4 && elementSize != 8 && elementSize != 16)
        return kInvalidValue;
    const size_t align = static_cast<size_t>(g_rec.knob("pitchAlign"));
    *pitch = (widthBytes + align - 1) / align * align;
    void* p = std::calloc(1, *pitch * height);
    if (!p)
        return kOutOfMemory;
    *ptr = reinterpret_cast<uintptr_t>(p);
    g_device[*ptr] = *pitch * height;
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemAllocHost_v2(void** ptr, size_t bytes)
{
    ENTER("cuMemAllocHost_v2");
    if (!current())
        return kInvalidContext;
    *ptr = std::calloc(1, bytes ? bytes : 1);
    g_host.insert(*ptr);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemFree_v2(CUdeviceptr ptr)
{
    ENTER("cuMemFree_v2");
    if (!current())
        return kInvalidContext;
    if (!g_device.erase(ptr))
        return kInvalidValue;
    std::free(reinterpret_cast<void*>(ptr));
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemFreeHost(void* ptr)
{
    ENTER("cuMemFreeHost");
    if (!g_host.erase(ptr))
        return kInvalidValue;
    std::free(ptr);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemcpyHtoD_v2(CUdeviceptr dst, const void* src, size_t bytes)
{
    ENTER("cuMemcpyHtoD_v2");
    if (!current())
        return kInvalidContext;
    if (!inDevice(dst, bytes)) {
        ++g_badCopy;
        return kInvalidValue;
    }
    std::memcpy(reinterpret_cast<void*>(dst), src, bytes);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemcpyDtoH_v2(void* dst, CUdeviceptr src, size_t bytes)
{
    ENTER("cuMemcpyDtoH_v2");
    if (!current())
        return kInvalidContext;
    if (!inDevice(src, bytes)) {
        ++g_badCopy;
        return kInvalidValue;
    }
    std::memcpy(dst, reinterpret_cast<void*>(src), bytes);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemcpyDtoD_v2(CUdeviceptr dst, CUdeviceptr src, size_t bytes)
{
    ENTER("cuMemcpyDtoD_v2");
    if (!current())
        return kInvalidContext;
    if (!inDevice(dst, bytes) || !inDevice(src, bytes)) {
        ++g_badCopy;
        return kInvalidValue;
    }
    std::memmove(reinterpret_cast<void*>(dst), reinterpret_cast<void*>(src), bytes);
    return CUDA_SUCCESS;
}
EXPORT CUresult cuMemcpy2D_v2(const CUDA_MEMCPY2D* c)
{
    ENTER("cuMemcpy2D_v2");
    if (!current())
        return kInvalidContext;
    const size_t srcSpan = c->srcPitch * (c->Height ? c->Height - 1 : 0) + c->WidthInBytes;
    const size_t dstSpan = c->dstPitch * (c->Height ? c->Height - 1 : 0) + c->WidthInBytes;
    const bool srcDevice = c->srcMemoryType == CU_MEMORYTYPE_DEVICE;
    const bool dstDevice = c->dstMemoryType == CU_MEMORYTYPE_DEVICE;
    if ((srcDevice && !inDevice(c->srcDevice, srcSpan)) ||
        (dstDevice && !inDevice(c->dstDevice, dstSpan)) || c->srcPitch < c->WidthInBytes ||
        c->dstPitch < c->WidthInBytes) {
        ++g_badCopy;
        return kInvalidValue;
    }
    const uint8_t* src = srcDevice ? reinterpret_cast<const uint8_t*>(c->srcDevice)
                                   : static_cast<const uint8_t*>(c->srcHost);
    uint8_t* dst =
        dstDevice ? reinterpret_cast<uint8_t*>(c->dstDevice) : static_cast<uint8_t*>(c->dstHost);
    for (size_t row = 0; row < c->Height; ++row)
        std::memcpy(dst + row * c->dstPitch, src + row * c->srcPitch, c->WidthInBytes);
    return CUDA_SUCCESS;
}
