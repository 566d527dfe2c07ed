#pragma once

// The control interface of the fake NVENC runtime (libnvidia-encode.so.1) and the fake CUDA
// driver (libcuda.so.1) that the NVENC tests load through LD_LIBRARY_PATH. Each fake exports
// <prefix>Reset/Set/FailOnce/Calls/Get ("fakeNvenc", "fakeCuda"); a test reaches them with FakeNv.
//
// Knobs (Set; Reset restores the defaults):
//   CUDA:  "devices" (1), "major" (7), "minor" (5): compute capability, "pitchAlign" (256): the
//          row alignment of cuMemAllocPitch, "hide:cuCtxDestroy_v2", "hide:cuModuleGetTexRef"
//          (0): 1 hides that entry point from a driver loaded afterwards.
//   NVENC: "async" (0): asynchronous-encode support, "maxBFrames" (0): the B-frame cap, "depth"
//          (0): pictures a submitted one waits behind before it completes, "noEncode" (0): a
//          token packet per picture instead of a real encode (benchmarks).
// FailOnce(call, status, skip): the call after `skip` further calls of that entry point returns
// `status`, once. Calls(name): calls of an entry point since Reset. Get("live"): objects not
// released (CUDA: allocations, host blocks, contexts, modules; NVENC: sessions, bitstream buffers,
// registered resources, events); Get(other): how often the fake saw that misuse (CUDA:
// "noContext", "badCopy"; NVENC: "lockUnsubmitted", "lockNotReady").

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

// Fake side: counts, one-shot failures and knobs, all under `mutex`.
struct FakeRecorder
{
    explicit FakeRecorder(const char* defaults) : defaults(defaults) { reset(); }
    void reset()
    {
        counts.clear();
        failures.clear();
        std::istringstream in(defaults);
        for (std::string kv; in >> kv;)
            knobs[kv.substr(0, kv.find('='))] = std::stoll(kv.substr(kv.find('=') + 1));
    }
    // Counts the call; the status it must fail with, or 0.
    int enter(const char* call)
    {
        ++counts[call];
        auto it = failures.find(call);
        if (it == failures.end() || it->second.second-- > 0)
            return 0;
        const int status = it->second.first;
        failures.erase(it);
        return status;
    }
    void count(const char* what) { ++counts[what]; }
    long long knob(const char* name) { return knobs[name]; }

    std::mutex mutex;
    const char* defaults;
    std::map<std::string, int> counts;
    std::map<std::string, std::pair<int, int>> failures; // status, calls to let pass first
    std::map<std::string, long long> knobs;
};

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
// First line of every entry point: the fake's lock, the call counted, an injected failure.
#define FAKE_GUARD(Result)                                                                         \
    std::lock_guard<std::mutex> guard_(g_rec.mutex);                                               \
    if (const int fail_ = g_rec.enter(__func__))                                                   \
    return static_cast<Result>(fail_)
#define FAKE_CONTROL(prefix, live)                                                                 \
    FAKE_EXPORT void prefix##Reset()                                                               \
    {                                                                                              \
        std::lock_guard<std::mutex> guard_(g_rec.mutex);                                           \
        g_rec.reset();                                                                             \
    }                                                                                              \
    FAKE_EXPORT void prefix##Set(const char* knob, long long value)                                \
    {                                                                                              \
        std::lock_guard<std::mutex> guard_(g_rec.mutex);                                           \
        g_rec.knobs[knob] = value;                                                                 \
    }                                                                                              \
    FAKE_EXPORT void prefix##FailOnce(const char* call, int status, int skip)                      \
    {                                                                                              \
        std::lock_guard<std::mutex> guard_(g_rec.mutex);                                           \
        g_rec.failures[call] = {status, skip};                                                     \
    }                                                                                              \
    FAKE_EXPORT int prefix##Calls(const char* call)                                                \
    {                                                                                              \
        std::lock_guard<std::mutex> guard_(g_rec.mutex);                                           \
        return g_rec.counts[call];                                                                 \
    }                                                                                              \
    FAKE_EXPORT long long prefix##Get(const char* what)                                            \
    {                                                                                              \
        std::lock_guard<std::mutex> guard_(g_rec.mutex);                                           \
        return std::string(what) == "live" ? (live) : g_rec.counts[what];                          \
    }

// Test side: one fake's controls, from the copy the process has loaded (or loads now). Not
// loaded() where the library on the path is not a fake.
struct FakeNv
{
    FakeNv(const char* library, const std::string& prefix)
        : handle(dlopen(library, RTLD_NOW | RTLD_LOCAL))
    {
        auto sym = [&](const char* name) {
            return handle ? dlsym(handle, (prefix + name).c_str()) : nullptr;
        };
        reset = reinterpret_cast<void (*)()>(sym("Reset"));
        set = reinterpret_cast<void (*)(const char*, long long)>(sym("Set"));
        failOnce = reinterpret_cast<void (*)(const char*, int, int)>(sym("FailOnce"));
        calls = reinterpret_cast<int (*)(const char*)>(sym("Calls"));
        get = reinterpret_cast<long long (*)(const char*)>(sym("Get"));
    }
    ~FakeNv()
    {
        if (handle)
            dlclose(handle);
    }
    bool loaded() const { return get != nullptr; }
    template <class T> const T* last(const char* name) const // the fake's record of `name`
    {
        return static_cast<const T*>(dlsym(handle, name));
    }

    void* handle;
    void (*reset)() = nullptr;
    void (*set)(const char*, long long) = nullptr;
    void (*failOnce)(const char*, int, int) = nullptr;
    int (*calls)(const char*) = nullptr;
    long long (*get)(const char*) = nullptr;
};
