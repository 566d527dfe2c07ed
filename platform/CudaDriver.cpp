#include "platform/CudaDriver.h"

#include <QDebug>
#include <dlfcn.h>
#include <memory>
#include <mutex>

namespace {

const char* const kCudaLibrary = "libcuda.so.1";

struct DlClose
{
    void operator()(void* handle) const { dlclose(handle); }
};

std::mutex& driverMutex()
{
    static std::mutex m;
    return m;
}

// guarded by driverMutex() while written; read after a successful loadCudaDriver()
CudaDriver& table()
{
    static CudaDriver t;
    return t;
}

template <class F> void resolve(void* lib, F& fn, const char* name)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn)
        qWarning("Failed to find required function \"%s\" in %s", name, kCudaLibrary);
}

} // namespace

CUresult loadCudaDriver(unsigned int flags, int apiVersion)
{
    std::lock_guard<std::mutex> lock(driverMutex());
    // Kept open for the process's life: the table's addresses point into it.
    static std::unique_ptr<void, DlClose> library;
    if (!library) {
        library.reset(dlopen(kCudaLibrary, RTLD_NOW | RTLD_LOCAL));
        if (!library) {
            qWarning("LoadLibrary \"%s\" failed!", kCudaLibrary);
            return kCudaDriverMissing;
        }
    }
    void* lib = library.get();
    CudaDriver& t = table();
    resolve(lib, t.cuInit, "cuInit");
    if (!t.cuInit)
        return kCudaDriverMissing;
    if (const CUresult r = t.cuInit(flags))
        return r;
    t.cuDriverGetVersion =
        reinterpret_cast<decltype(t.cuDriverGetVersion)>(dlsym(lib, "cuDriverGetVersion"));
    int driverVersion = 1000;
    if (t.cuDriverGetVersion) {
        if (const CUresult r = t.cuDriverGetVersion(&driverVersion))
            return r;
    }

    const bool v2 = apiVersion >= 3020;
    const bool v2Context = apiVersion >= 4000;
    resolve(lib, t.cuDeviceGetCount, "cuDeviceGetCount");
    resolve(lib, t.cuDeviceGet, "cuDeviceGet");
    resolve(lib, t.cuDeviceComputeCapability, "cuDeviceComputeCapability");
    resolve(lib, t.cuCtxCreate, v2 ? "cuCtxCreate_v2" : "cuCtxCreate");
    resolve(lib, t.cuCtxDestroy, v2Context ? "cuCtxDestroy_v2" : "cuCtxDestroy");
    resolve(lib, t.cuCtxPushCurrent, v2Context ? "cuCtxPushCurrent_v2" : "cuCtxPushCurrent");
    resolve(lib, t.cuCtxPopCurrent, v2Context ? "cuCtxPopCurrent_v2" : "cuCtxPopCurrent");
    resolve(lib, t.cuMemAlloc, v2 ? "cuMemAlloc_v2" : "cuMemAlloc");
    resolve(lib, t.cuMemAllocPitch, v2 ? "cuMemAllocPitch_v2" : "cuMemAllocPitch");
    resolve(lib, t.cuMemAllocHost, v2 ? "cuMemAllocHost_v2" : "cuMemAllocHost");
    resolve(lib, t.cuMemFree, v2 ? "cuMemFree_v2" : "cuMemFree");
    resolve(lib, t.cuMemFreeHost, "cuMemFreeHost");
    resolve(lib, t.cuMemcpyHtoD, v2 ? "cuMemcpyHtoD_v2" : "cuMemcpyHtoD");
    resolve(lib, t.cuMemcpyDtoD, v2 ? "cuMemcpyDtoD_v2" : "cuMemcpyDtoD");
    resolve(lib, t.cuMemcpy2D, v2 ? "cuMemcpy2D_v2" : "cuMemcpy2D");
    resolve(lib, t.cuModuleGetFunction, "cuModuleGetFunction");
    resolve(lib, t.cuModuleGetTexRef, "cuModuleGetTexRef");
    resolve(lib, t.cuModuleUnload, "cuModuleUnload");
    resolve(lib, t.cuTexRefSetFormat, "cuTexRefSetFormat");
    resolve(lib, t.cuTexRefSetFlags, "cuTexRefSetFlags");
    // JIT options arrived with driver 2.1.
    if (driverVersion >= 2010)
        resolve(lib, t.cuModuleLoadDataEx, "cuModuleLoadDataEx");
    return CUDA_SUCCESS;
}

const CudaDriver& cudaDriver()
{
    return table();
}

namespace {

// Reports a failing driver call the way every CUDA step of the library does.
bool failed(CUresult r, const char* call)
{
    if (r == CUDA_SUCCESS)
        return false;
    qWarning("%s has returned CUDA error %d", call, static_cast<int>(r));
    return true;
}

constexpr int kGeneric = 20;       // NV_ENC_ERR_GENERIC
constexpr int kNoDevice = 1;       // NV_ENC_ERR_NO_ENCODE_DEVICE
constexpr int kInvalidDevice = 3;  // NV_ENC_ERR_INVALID_ENCODERDEVICE
constexpr int kMinCapability = 48; // compute capability 3.0 as major * 16 + minor

} // namespace

int createCudaEncodeContext(int ordinal, CUcontext* context)
{
    const CudaDriver& cu = cudaDriver();
    *context = nullptr;
    if (!cu.cuDeviceGetCount || !cu.cuDeviceGet || !cu.cuDeviceComputeCapability ||
        !cu.cuCtxCreate || !cu.cuCtxPopCurrent) {
        qWarning("The CUDA driver %s lacks the device and context calls", kCudaLibrary);
        return kGeneric;
    }
    int count = 0;
    if (failed(cu.cuDeviceGetCount(&count), "cuDeviceGetCount(&deviceCount)"))
        return kGeneric;
    if (count == 0) {
        qWarning("No CUDA device found");
        return kNoDevice;
    }
    if (ordinal < 0 || ordinal >= count) {
        qWarning("%s line %d: Invalid Device Id = %d", __FILE__, __LINE__, ordinal);
        return kInvalidDevice;
    }
    CUdevice device = 0;
    if (failed(cu.cuDeviceGet(&device, ordinal), "cuDeviceGet(&cuDevice, deviceID)"))
        return kGeneric;
    int major = 0, minor = 0;
    if (failed(cu.cuDeviceComputeCapability(&major, &minor, ordinal),
               "cuDeviceComputeCapability(&SMmajor, &SMminor, deviceID)"))
        return kGeneric;
    if (major * 16 + minor < kMinCapability) {
        qWarning("%s line %d: GPU %d does not have NVENC capabilities exiting", __FILE__, __LINE__,
                 ordinal);
        return kNoDevice;
    }
    CUcontext created = nullptr;
    if (failed(cu.cuCtxCreate(&created, 0, device), "cuCtxCreate(&m_cuContext, 0, cuDevice)"))
        return kGeneric;
    CUcontext current = nullptr;
    if (failed(cu.cuCtxPopCurrent(&current), "cuCtxPopCurrent(&cuContextCurr)")) {
        if (cu.cuCtxDestroy)
            cu.cuCtxDestroy(created);
        return kGeneric;
    }
    *context = created;
    return 0;
}

CudaContextScope::CudaContextScope(CUcontext context)
{
    const CudaDriver& cu = cudaDriver();
    m_pushed = context && cu.cuCtxPushCurrent &&
               !failed(cu.cuCtxPushCurrent(context), "cuCtxPushCurrent(m_cuContext)");
}

CudaContextScope::~CudaContextScope()
{
    if (!m_pushed)
        return;
    CUcontext popped = nullptr;
    failed(cudaDriver().cuCtxPopCurrent(&popped), "cuCtxPopCurrent(&cuContextCurr)");
}
