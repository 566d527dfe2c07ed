#pragma once

#include "tests/fakes/amf/FakeAmfKnobs.h"

#include <chrono>
#include <dlfcn.h>
#include <thread>

// The fake runtime the library loads (LD_LIBRARY_PATH), held open by the test to reach its knobs.
class FakeAmf
{
public:
    FakeAmf() : m_handle(dlopen("libamfrt64.so.1", RTLD_NOW)) {}
    ~FakeAmf()
    {
        if (m_handle)
            dlclose(m_handle);
    }
    FakeAmf(const FakeAmf&) = delete;
    FakeAmf& operator=(const FakeAmf&) = delete;

    bool loaded() const { return m_handle != nullptr; }
    FakeAmfKnobs& knobs() { return *reinterpret_cast<FakeAmfKnobsFn>(symbol("fakeAmfKnobs"))(); }

private:
    void* symbol(const char* name) { return dlsym(m_handle, name); }
    void* m_handle;
};

// Calls `get` until it answers something, for at most `ms` milliseconds.
template <class Get> auto pollFor(int ms, Get get)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    auto value = get();
    while (!value && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        value = get();
    }
    return value;
}
