#pragma once

// Controls of the fake NVENC runtime and CUDA driver, which export <prefix>Reset/Set/Get
// ("fakeNvenc", "fakeCuda"; knobs and their defaults in each fake); tests reach them with FakeNv.
// Knobs "fail:<call>" (a status) and "skip:<call>": that call fails once, after `skip` more calls.

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>
#include <utility>

// Fake side: knobs and counts of calls and misuse, all under `mutex`.
struct FakeRecorder
{
    explicit FakeRecorder(std::map<std::string, long long> defaults) : defaults(std::move(defaults))
    {
        reset();
    }
    void reset()
    {
        counts.clear();
        knobs = defaults;
    }
    // Counts the call; the status it must fail with, or 0.
    int enter(const char* call)
    {
        ++counts[call];
        long long& status = knobs[std::string("fail:") + call];
        if (!status || knobs[std::string("skip:") + call]-- > 0)
            return 0;
        return int(std::exchange(status, 0));
    }
    long long knob(const char* name) { return knobs[name]; }

    std::mutex mutex;
    const std::map<std::string, long long> defaults;
    std::map<std::string, int> counts;
    std::map<std::string, long long> knobs;
};

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
// First line of every entry point: the fake's lock, the call counted, an injected failure.
#define FAKE_GUARD(Result)                                                                         \
    std::lock_guard<std::mutex> guard_(g_rec.mutex);                                               \
    if (const int fail_ = g_rec.enter(__func__))                                                   \
    return static_cast<Result>(fail_)
// Get("live"): objects not released; Get(other): calls of that entry point, or misuse counted.
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
    long long (*get)(const char*) = nullptr;
};
