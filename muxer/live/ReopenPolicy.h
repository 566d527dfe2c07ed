#pragma once

#include <chrono>
#include <cstdint>

// When a live link tries again, and whether an opened link counts as having been live. One
// policy for every transport:
// - A link that was live for a while (kSettled) and breaks is reopened quickly: the first
//   kQuickReopens attempts come kQuickInterval apart, so that a restarted server gets the
//   stream back within a second.
// - After that, and after any failed attempt (refused connection, a server that refuses the
//   publish, a failed handshake, a link that breaks within kSettled of opening), the wait
//   doubles from kFirstBackoff up to kMaxBackoff, with jitter (so that many outputs of one
//   host do not knock at once), and starts again once a link has been live for a while.
// Not thread-safe: the link's connection thread owns it.
class ReopenPolicy
{
public:
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    static constexpr Ms kQuickInterval{500};
    static constexpr int kQuickReopens = 3;
    static constexpr Ms kFirstBackoff{1000};
    static constexpr Ms kMaxBackoff{30000};
    // How long a link must stay up to count as live (and reset the back-off).
    static constexpr Ms kSettled{5000};
    // Each back-off wait is drawn from [wait * (1 - kJitter), wait * (1 + kJitter)].
    static constexpr double kJitter = 0.2;

    // Seeds the jitter afresh for every policy: from a random source read once per process,
    // mixed with a count of the policies made so far, so that the links of one process, and
    // those of processes started together, spread their attempts apart.
    ReopenPolicy();
    // A given seed draws the same waits every time.
    explicit ReopenPolicy(uint32_t seed);

    // The link opened (the server took the stream) at `now`.
    void opened(Clock::time_point now);
    // An attempt at `now` failed before the link opened.
    void failed(Clock::time_point now);
    // The open link broke at `now`. False when it had not been up for kSettled: the attempt
    // then counts as failed (paced like one) and not as live time.
    bool broke(Clock::time_point now);

    // When the next attempt may start; the first attempt may start at once.
    Clock::time_point nextAttempt() const { return m_next; }
    // Whether the link is up now, and whether it has been up for kSettled at `now`.
    bool isOpen() const { return m_open; }
    Clock::time_point openedAt() const { return m_openedAt; }
    bool settled(Clock::time_point now) const { return m_open && now - m_openedAt >= kSettled; }

private:
    Ms jittered(Ms wait);

    Clock::time_point m_next{};
    Clock::time_point m_openedAt{};
    bool m_open = false;
    int m_quickLeft = 0;
    Ms m_backoff = kFirstBackoff;
    uint32_t m_random;
};
