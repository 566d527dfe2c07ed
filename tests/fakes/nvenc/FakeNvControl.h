#pragma once

// The control interface of the fake NVENC runtime (libnvidia-encode.so.1) and the fake CUDA
// driver (libcuda.so.1) that the NVENC tests load through LD_LIBRARY_PATH. Both record their calls
// and take knobs; a test reaches them with dlsym on the loaded fake (FakeNv below).
//
// Knobs (set, reset to the defaults by reset):
//   CUDA:  "devices" (1), "major" (7), "minor" (5): compute capability, "pitchAlign" (256): the
//          row alignment of cuMemAllocPitch.
//   NVENC: "async" (0): asynchronous-encode support, "maxBFrames" (0): the B-frame cap,
//          "depth" (0): pictures a submitted one waits behind before it completes,
//          "noEncode" (0): a token packet per picture instead of a real encode (benchmarks).
// failOnce(call, status, skip): the call after `skip` further calls of that entry point returns
// `status` once. calls(name): how often an entry point was called since reset. get(what):
//   CUDA:  "live" (allocations, host blocks, contexts and modules not freed), "noContext" (calls
//          made without a current context), "badCopy" (copies outside an allocation).
//   NVENC: "live" (sessions, bitstream buffers, registered resources and events not released),
//          "lockUnsubmitted" (locks of a buffer never submitted), "lockNotReady" (locks of a
//          submitted picture not yet complete).

#include <ffnvcodec/nvEncodeAPI.h>

#include <dlfcn.h>
#include <string>

extern "C" {
typedef void (*FakeNvReset)();
typedef void (*FakeNvSet)(const char* knob, long long value);
typedef void (*FakeNvFailOnce)(const char* call, int status, int skip);
typedef int (*FakeNvCalls)(const char* call);
typedef long long (*FakeNvGet)(const char* what);
// NVENC only: the parameters of the last nvEncInitializeEncoder (its config copied alongside).
typedef const NV_ENC_INITIALIZE_PARAMS* (*FakeNvLastInit)();
typedef const NV_ENC_CONFIG* (*FakeNvLastConfig)();
}

// One fake's controls, resolved from the copy the process has loaded (or loads now).
struct FakeNv
{
    explicit FakeNv(const char* library, const char* prefix)
    {
        handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        auto sym = [&](const char* name) {
            return dlsym(handle, (std::string(prefix) + name).c_str());
        };
        reset = reinterpret_cast<FakeNvReset>(sym("Reset"));
        set = reinterpret_cast<FakeNvSet>(sym("Set"));
        failOnce = reinterpret_cast<FakeNvFailOnce>(sym("FailOnce"));
        calls = reinterpret_cast<FakeNvCalls>(sym("Calls"));
        get = reinterpret_cast<FakeNvGet>(sym("Get"));
        lastInit = reinterpret_cast<FakeNvLastInit>(sym("LastInit"));
        lastConfig = reinterpret_cast<FakeNvLastConfig>(sym("LastConfig"));
    }
    ~FakeNv()
    {
        if (handle)
            dlclose(handle);
    }
    FakeNv(const FakeNv&) = delete;
    FakeNv& operator=(const FakeNv&) = delete;
    // False where the library on the path is not a fake (or none is there).
    bool loaded() const { return reset && set && failOnce && calls && get; }

    void* handle = nullptr;
    FakeNvReset reset = nullptr;
    FakeNvSet set = nullptr;
    FakeNvFailOnce failOnce = nullptr;
    FakeNvCalls calls = nullptr;
    FakeNvGet get = nullptr;
    FakeNvLastInit lastInit = nullptr;
    FakeNvLastConfig lastConfig = nullptr;
};
