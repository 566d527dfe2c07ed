#pragma once

#include <QString>
#include <chrono>

// The free space of a recording's volume as the pipeline watches it while it encodes: the
// volume is asked at most once a second, and in between the last answer stands.
//
// Threads: the thread that encodes the pipeline's video (its own video thread, or the one of
// the pipeline that encodes for it), one at a time.
class DiskSpaceWatch
{
public:
    // The next low() asks the volume at once.
    void restart() { m_nextCheck = std::chrono::steady_clock::now(); }
    // Whether `folder`'s volume has less than DiskSpace::kMinimumMegabytes free.
    bool low(const QString& folder);

private:
    std::chrono::steady_clock::time_point m_nextCheck;
    bool m_low = false;
};
