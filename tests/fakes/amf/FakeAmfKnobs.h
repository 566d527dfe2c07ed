#pragma once

// What tests steer and read in the fake AMF runtime: dlsym(its handle, "fakeAmfKnobs")().

#include <atomic>
#include <map>
#include <mutex>
#include <string>

struct FakeAmfKnobs
{
    std::atomic<int> loads{0}; // AMFInit calls
    // Fail the next call of this name once ("CreateContext", "AMFInit", "Init:<component id>",
    // "SetProperty:<name>", "SubmitInput:<component id>", "QueryOutput:<component id>",
    // "AllocSurface", "Convert", "InitDX11", ...), answering AMF_FAIL.
    void failOnce(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        failing = call;
    }
    // The encoder keeps its output while set (a GPU that is behind); the next drain or frame
    // finds it.
    std::atomic<bool> hold{false};
    // The encoder hands out an empty buffer in front of its output number N (from 0).
    std::atomic<int> emptyBefore{-1};

    std::mutex mutex;
    std::string failing; // guarded by mutex
    // guarded by mutex: the last encoder's checked properties at Init (rates as num*10000+den)
    std::map<std::string, long long> encoder;
};

using FakeAmfKnobsFn = FakeAmfKnobs* (*)();
