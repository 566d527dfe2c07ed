#pragma once

// Call counts, one-shot failures and integer knobs of one fake runtime (see FakeNvControl.h).
// Every member is used under the fake's own lock.

#include <map>
#include <string>

struct FakeRecorder
{
    struct Failure
    {
        int status = 0;
        int skip = 0;
    };

    // Counts the call; the status it must fail with, or 0.
    int enter(const char* call)
    {
        ++counts[call];
        auto it = failures.find(call);
        if (it == failures.end())
            return 0;
        if (it->second.skip-- > 0)
            return 0;
        const int status = it->second.status;
        failures.erase(it);
        return status;
    }
    long long knob(const char* name) const
    {
        auto it = knobs.find(name);
        return it == knobs.end() ? 0 : it->second;
    }

    std::map<std::string, int> counts;
    std::map<std::string, Failure> failures;
    std::map<std::string, long long> knobs;
};
