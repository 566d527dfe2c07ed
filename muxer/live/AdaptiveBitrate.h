#pragma once

#include <chrono>
#include <deque>
#include <utility>

// Decides a live output's video bit rate from what its link carries. Fed about four times a
// second with the link's measurements (the bytes the server has acknowledged so far, the bytes
// waiting in the connection, the seconds of video waiting for the connection), it steps the
// rate down while what waits would take more than a second to leave, and back up toward the
// configured rate once it has stayed near empty for a while.
//
// - Down, at most every 2 s: to 80 % of what the link carried over the last seconds (less the
//   audio), and at least 15 % below the current rate; never below the minimum.
// - Up, after 3 s near empty and 3 s after the last change: doubling, or by half after a step
//   up that did not hold (at least a twentieth of the configured rate each time), never above
//   the configured rate: from a tenth of it back to all of it in about 15 s.
// - A step up after which what waits grows by a quarter of a second is undone (at most 2 s
//   after it), and one followed by congestion before what waits stayed near empty for 6 s was
//   too much as well: the wait before the next step up doubles, to at most 12 s, so that a link
//   that carries a rate between two steps is probed every quarter minute rather than swung
//   about. A step up that holds brings the wait back to 3 s.
//
// A connection that cannot tell what was acknowledged (it reports -1) is judged by what waits
// in the output alone, and each step down takes a quarter off.
//
// Threads: one caller (the link's connection thread).
class AdaptiveBitrate
{
public:
    using Clock = std::chrono::steady_clock;

    // Kbit/s: the video's configured rate, the lowest it may go to and the audio's rate (what
    // the link must carry beside the video).
    AdaptiveBitrate(int configuredKbps, int minimumKbps, int audioKbps);

    // The link was reopened: the acknowledged count starts again, and what waited is gone.
    void linkReopened();
    // Takes the link's measurements at `now` and returns the video rate to switch to, or 0 to
    // keep the current one. `acknowledged` and `waitingBytes` are -1 when the connection
    // cannot tell.
    int update(Clock::time_point now, long long acknowledged, long long waitingBytes,
               double queuedSeconds);

    int current() const { return m_current; }
    // What the link carried over the last seconds, kbit/s; -1 before it is known.
    double carriedKbps() const { return m_carried; }
    // The seconds what waits needs to leave, as last measured.
    double delaySeconds() const { return m_delay; }

    // What waits may take this long to leave before the rate goes down, and this little for
    // the link to count as clear.
    static constexpr double kCongestedSeconds = 1.0;
    static constexpr double kClearSeconds = 0.25;

private:
    int change(Clock::time_point now, int kbps, bool up);

    const int m_configured;
    const int m_minimum;
    const int m_audio;
    int m_current;
    double m_carried = -1.0;
    double m_delay = 0.0;
    std::deque<std::pair<Clock::time_point, long long>> m_acked; // the last seconds' counts
    Clock::time_point m_lastChange{};
    Clock::time_point m_clearSince{};
    bool m_clear = false;
    bool m_probing = false;       // the last change was a step up that has not held 10 s yet
    int m_beforeUp = 0;           // the rate before that step
    double m_delayBeforeUp = 0.0; // and what waited then, in seconds
    std::chrono::seconds m_upWait;
};
