#pragma once

#include <chrono>
#include <deque>
#include <utility>

// The speed of a run as a multiple of real time over its last few seconds: a real-time source
// reads 1.00x once it runs, not the average since a start that took a while (the set-up and
// the encoder's own delay would read as falling behind).
//
// Threads: one owner.
class SpeedWindow
{
public:
    using Clock = std::chrono::steady_clock;

    // Takes the media seconds written by `now` and returns the speed over the window, or -1
    // while less than a second has been seen.
    double add(Clock::time_point now, double seconds);

private:
    // Media seconds written at recent moments, oldest first.
    std::deque<std::pair<Clock::time_point, double>> m_recent;
};
