#pragma once

// platform/: the layers that stand in for platform runtimes (CUDA, Direct3D device types, Media
// Foundation in mf/, AMF in amf/). May include common/ and base/.

#include <ffnvcodec/dynlink_cuda.h>

#include <string>

// The CUDA driver (libcuda.so.1), loaded at run time and never linked: the library runs on
// machines without it. loadCudaDriver() opens it by its exact soname (a toolkit's stub library
// must not stand in for a driver), initialises it and resolves the entry points below into one
// process-wide table.
//
// Threads: loadCudaDriver() may be called from any thread, as often as wanted (each encoder
// set-up and each availability probe does). The table is filled once per process under a lock and
// never written again; a caller reads it only after its own loadCudaDriver() returned success,
// which orders the reads after the fill.

typedef struct CUtexref_st* CUtexref;

struct CudaDriver
{
    CUresult(CUDAAPI* cuInit)(unsigned int flags) = nullptr;
    CUresult(CUDAAPI* cuDriverGetVersion)(int* version) = nullptr;
    CUresult(CUDAAPI* cuDeviceGetCount)(int* count) = nullptr;
    CUresult(CUDAAPI* cuDeviceGet)(CUdevice* device, int ordinal) = nullptr;
    CUresult(CUDAAPI* cuDeviceComputeCapability)(int* major, int* minor, CUdevice dev) = nullptr;
    CUresult(CUDAAPI* cuDeviceGetName)(char* name, int length, CUdevice dev) = nullptr;
    CUresult(CUDAAPI* cuCtxCreate)(CUcontext* ctx, unsigned int flags, CUdevice dev) = nullptr;
    CUresult(CUDAAPI* cuCtxDestroy)(CUcontext ctx) = nullptr;
    CUresult(CUDAAPI* cuCtxPushCurrent)(CUcontext ctx) = nullptr;
    CUresult(CUDAAPI* cuCtxPopCurrent)(CUcontext* ctx) = nullptr;
    CUresult(CUDAAPI* cuCtxGetDevice)(CUdevice* device) = nullptr;
    CUresult(CUDAAPI* cuModuleLoadDataEx)(CUmodule* module, const void* image,
                                          unsigned int numOptions, CUjit_option* options,
                                          void** optionValues) = nullptr;
    CUresult(CUDAAPI* cuModuleUnload)(CUmodule module) = nullptr;
    CUresult(CUDAAPI* cuModuleGetFunction)(CUfunction* fn, CUmodule module,
                                           const char* name) = nullptr;
    CUresult(CUDAAPI* cuModuleGetTexRef)(CUtexref* ref, CUmodule module,
                                         const char* name) = nullptr;
    CUresult(CUDAAPI* cuTexRefSetFormat)(CUtexref ref, CUarray_format format,
                                         int components) = nullptr;
    CUresult(CUDAAPI* cuTexRefSetFlags)(CUtexref ref, unsigned int flags) = nullptr;
    CUresult(CUDAAPI* cuMemAlloc)(CUdeviceptr* ptr, size_t bytes) = nullptr;
    CUresult(CUDAAPI* cuMemAllocPitch)(CUdeviceptr* ptr, size_t* pitch, size_t widthBytes,
                                       size_t height, unsigned int elementSize) = nullptr;
    CUresult(CUDAAPI* cuMemAllocHost)(void** ptr, size_t bytes) = nullptr;
    CUresult(CUDAAPI* cuMemFree)(CUdeviceptr ptr) = nullptr;
    CUresult(CUDAAPI* cuMemFreeHost)(void* ptr) = nullptr;
    CUresult(CUDAAPI* cuMemcpyHtoD)(CUdeviceptr dst, const void* src, size_t bytes) = nullptr;
    CUresult(CUDAAPI* cuMemcpyDtoD)(CUdeviceptr dst, CUdeviceptr src, size_t bytes) = nullptr;
    CUresult(CUDAAPI* cuMemcpy2D)(const CUDA_MEMCPY2D* copy) = nullptr;
};

// CU_TRSF_READ_AS_INTEGER: texture reads return the stored integers, not normalised floats.
constexpr unsigned int kCudaTexReadAsInteger = 0x01;
// What loadCudaDriver() answers when libcuda.so.1 cannot be opened.
constexpr CUresult kCudaDriverMissing = static_cast<CUresult>(999);
// CUDA_ERROR_NOT_FOUND: what loadCudaDriver() answers when the driver lacks a required call.
constexpr CUresult kCudaEntryPointMissing = static_cast<CUresult>(500);
// CUDA_ERROR_INVALID_CONTEXT: the context could not be made current.
constexpr CUresult kCudaInvalidContext = static_cast<CUresult>(201);

// The first call opens the driver and fills the table; every call then runs cuInit(flags) and
// cuDriverGetVersion. From API version 3020 the memory, copy and context-creation calls take their
// "_v2" names, from 4000 also context push/pop/destroy (the first call's version decides). The
// device, context, memory, copy and module calls are required: after a success none of them is
// null. cuDriverGetVersion and the three texture-reference calls are optional and may be null.
// Returns 0 or the failing call's result; kCudaDriverMissing without the driver (or without
// cuInit), kCudaEntryPointMissing when it lacks a required call (both kept for the process).
CUresult loadCudaDriver(unsigned int flags, int apiVersion);
const CudaDriver& cudaDriver();

// Device `ordinal` checked for NVENC (compute capability 3.0 or newer) and a new context on it,
// which is popped again (not current on return). On failure, a warning names the failing call and
// *context stays null. Answers an NVENCSTATUS: 0, NV_ENC_ERR_GENERIC (20) for a failing CUDA
// call, NV_ENC_ERR_NO_ENCODE_DEVICE (1) without a device or with one too old,
// NV_ENC_ERR_INVALID_ENCODERDEVICE (3) for an ordinal beyond the device count. The driver must be
// loaded.
int createCudaEncodeContext(int ordinal, CUcontext* context);

// The name of the GPU a context runs on, as the driver gives it ("NVIDIA H100 80GB HBM3"), or
// "GPU (name unknown)" when the driver cannot tell. The driver must be loaded.
std::string cudaContextDeviceName(CUcontext context);

// Makes a context current on the calling thread for the holder's life (push, then pop).
class CudaContextScope
{
public:
    explicit CudaContextScope(CUcontext context);
    ~CudaContextScope();
    CudaContextScope(const CudaContextScope&) = delete;
    CudaContextScope& operator=(const CudaContextScope&) = delete;
    bool ok() const { return m_pushed; }

private:
    bool m_pushed = false;
};
