#include "platform/CudaDriver.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <dlfcn.h>
#include <mutex>

namespace {

const char* const kCudaLibrary = "libcuda.so.1";

std::mutex& driverMutex()
{
    static std::mutex m;
    return m;
}

// written once by resolveTable() under driverMutex(); read after a successful loadCudaDriver()
CudaDriver& table()
{
    static CudaDriver t;
    return t;
}

// False, with the message, when the driver lacks `name`.
template <class F> bool resolve(void* lib, F& fn, const char* name)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn)
        qCWarning(lcStrevo, "Failed to find required function \"%s\" in %s", name, kCudaLibrary);
    return fn != nullptr;
}

// Opens the driver and fills the table; runs once per process, under driverMutex().
CUresult resolveTable(int apiVersion)
{
    // Never closed: the table's addresses point into it for the process's life.
    void* lib = dlopen(kCudaLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        // No fault by itself (the catalogue asks on every machine): whoever needed the driver
        // says so.
        qCDebug(lcStrevo, "CUDA: the NVIDIA driver is missing (%s cannot be loaded)", kCudaLibrary);
        return kCudaDriverMissing;
    }
    CudaDriver& t = table();
    if (!resolve(lib, t.cuInit, "cuInit"))
        return kCudaDriverMissing;
    const bool v2 = apiVersion >= 3020;
    const bool v2Context = apiVersion >= 4000;
    const bool required[] = {
        resolve(lib, t.cuDeviceGetCount, "cuDeviceGetCount"),
        resolve(lib, t.cuDeviceGet, "cuDeviceGet"),
        resolve(lib, t.cuDeviceComputeCapability, "cuDeviceComputeCapability"),
        resolve(lib, t.cuDeviceGetName, "cuDeviceGetName"),
        resolve(lib, t.cuCtxCreate, v2 ? "cuCtxCreate_v2" : "cuCtxCreate"),
        resolve(lib, t.cuCtxDestroy, v2Context ? "cuCtxDestroy_v2" : "cuCtxDestroy"),
        resolve(lib, t.cuCtxPushCurrent, v2Context ? "cuCtxPushCurrent_v2" : "cuCtxPushCurrent"),
        resolve(lib, t.cuCtxPopCurrent, v2Context ? "cuCtxPopCurrent_v2" : "cuCtxPopCurrent"),
        resolve(lib, t.cuCtxGetDevice, "cuCtxGetDevice"),
        resolve(lib, t.cuMemAlloc, v2 ? "cuMemAlloc_v2" : "cuMemAlloc"),
        resolve(lib, t.cuMemAllocPitch, v2 ? "cuMemAllocPitch_v2" : "cuMemAllocPitch"),
        resolve(lib, t.cuMemAllocHost, v2 ? "cuMemAllocHost_v2" : "cuMemAllocHost"),
        resolve(lib, t.cuMemFree, v2 ? "cuMemFree_v2" : "cuMemFree"),
        resolve(lib, t.cuMemFreeHost, "cuMemFreeHost"),
        resolve(lib, t.cuMemcpyHtoD, v2 ? "cuMemcpyHtoD_v2" : "cuMemcpyHtoD"),
        resolve(lib, t.cuMemcpyDtoD, v2 ? "cuMemcpyDtoD_v2" : "cuMemcpyDtoD"),
        resolve(lib, t.cuMemcpy2D, v2 ? "cuMemcpy2D_v2" : "cuMemcpy2D"),
        resolve(lib, t.cuModuleLoadDataEx, "cuModuleLoadDataEx"),
        resolve(lib, t.cuModuleGetFunction, "cuModuleGetFunction"),
        resolve(lib, t.cuModuleUnload, "cuModuleUnload"),
    };
    for (bool found : required)
        if (!found)
            return kCudaEntryPointMissing;
    // Optional: without them the planar path's texture references stay null.
    t.cuDriverGetVersion =
        reinterpret_cast<decltype(t.cuDriverGetVersion)>(dlsym(lib, "cuDriverGetVersion"));
    t.cuModuleGetTexRef =
        reinterpret_cast<decltype(t.cuModuleGetTexRef)>(dlsym(lib, "cuModuleGetTexRef"));
    t.cuTexRefSetFormat =
        reinterpret_cast<decltype(t.cuTexRefSetFormat)>(dlsym(lib, "cuTexRefSetFormat"));
    t.cuTexRefSetFlags =
        reinterpret_cast<decltype(t.cuTexRefSetFlags)>(dlsym(lib, "cuTexRefSetFlags"));
    return CUDA_SUCCESS;
}

} // namespace

CUresult loadCudaDriver(unsigned int flags, int apiVersion)
{
    std::lock_guard<std::mutex> lock(driverMutex());
    // The table is written here once and only read afterwards, so encoders already running on
    // other threads never see it change; a driver that cannot be used stays so.
    static const CUresult resolved = resolveTable(apiVersion);
    if (resolved != CUDA_SUCCESS)
        return resolved;
    const CudaDriver& t = table();
    if (const CUresult r = t.cuInit(flags))
        return r;
    int version = 0;
    if (t.cuDriverGetVersion) {
        if (const CUresult r = t.cuDriverGetVersion(&version))
            return r;
    }
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
    qCWarning(lcStrevo, "%s has returned CUDA error %d", call, static_cast<int>(r));
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
    int count = 0;
    if (failed(cu.cuDeviceGetCount(&count), "cuDeviceGetCount(&deviceCount)"))
        return kGeneric;
    if (count == 0) {
        qCWarning(lcStrevo, "No CUDA device found");
        return kNoDevice;
    }
    if (ordinal < 0 || ordinal >= count) {
        qCWarning(lcStrevo, "%s line %d: Invalid Device Id = %d", __FILE__, __LINE__, ordinal);
        return kInvalidDevice;
    }
    CUdevice device = 0;
    if (failed(cu.cuDeviceGet(&device, ordinal), "cuDeviceGet(&cuDevice, deviceID)"))
        return kGeneric;
    int major = 0, minor = 0;
    if (failed(cu.cuDeviceComputeCapability(&major, &minor, device),
               "cuDeviceComputeCapability(&SMmajor, &SMminor, deviceID)"))
        return kGeneric;
    if (major * 16 + minor < kMinCapability) {
        qCWarning(lcStrevo, "%s line %d: GPU %d does not have NVENC capabilities exiting", __FILE__,
                  __LINE__, ordinal);
        return kNoDevice;
    }
    CUcontext created = nullptr;
    if (failed(cu.cuCtxCreate(&created, 0, device), "cuCtxCreate(&m_cuContext, 0, cuDevice)"))
        return kGeneric;
    CUcontext current = nullptr;
    if (failed(cu.cuCtxPopCurrent(&current), "cuCtxPopCurrent(&cuContextCurr)")) {
        cu.cuCtxDestroy(created);
        return kGeneric;
    }
    *context = created;
    return 0;
}

std::string cudaContextDeviceName(CUcontext context)
{
    const CudaDriver& cu = cudaDriver();
    char name[256] = {};
    CUdevice device = 0;
    CudaContextScope scope(context);
    if (!scope.ok() || cu.cuCtxGetDevice(&device) != CUDA_SUCCESS ||
        cu.cuDeviceGetName(name, static_cast<int>(sizeof(name) - 1), device) != CUDA_SUCCESS ||
        !name[0])
        return "GPU (name unknown)";
    return name;
}

CudaContextScope::CudaContextScope(CUcontext context)
{
    const CudaDriver& cu = cudaDriver();
    m_pushed = context && !failed(cu.cuCtxPushCurrent(context), "cuCtxPushCurrent(m_cuContext)");
}

CudaContextScope::~CudaContextScope()
{
    if (!m_pushed)
        return;
    CUcontext popped = nullptr;
    failed(cudaDriver().cuCtxPopCurrent(&popped), "cuCtxPopCurrent(&cuContextCurr)");
}
