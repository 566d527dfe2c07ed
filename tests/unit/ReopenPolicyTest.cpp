#include "muxer/live/ReopenPolicy.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Clock = ReopenPolicy::Clock;
using Ms = ReopenPolicy::Ms;

Ms after(const ReopenPolicy& policy, Clock::time_point now)
{
    return std::chrono::duration_cast<Ms>(policy.nextAttempt() - now);
}

// The waits between attempts against a server that refuses every one.
std::vector<Ms> refusals(ReopenPolicy& policy, Clock::time_point& now, int count)
{
    std::vector<Ms> waits;
    for (int i = 0; i < count; ++i) {
        policy.failed(now);
        waits.push_back(after(policy, now));
        now = policy.nextAttempt();
    }
    return waits;
}

void expectBackoff(const std::vector<Ms>& waits, long long firstMs)
{
    long long nominal = firstMs;
    for (size_t i = 0; i < waits.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(waits[i].count(), nominal * (1 - ReopenPolicy::kJitter) - 1);
        EXPECT_LE(waits[i].count(), nominal * (1 + ReopenPolicy::kJitter) + 1);
        nominal = std::min<long long>(nominal * 2, 30000);
    }
}

} // namespace

// A server that refuses: the waits double from 1 s to 30 s, with jitter, so that it sees at most
// six attempts in 15 s however fast it refuses.
TEST(ReopenPolicy, RefusalsBackOffToHalfAMinute)
{
    ReopenPolicy policy;
    Clock::time_point now{};
    EXPECT_EQ(policy.nextAttempt(), Clock::time_point{}) << "the first attempt starts at once";
    expectBackoff(refusals(policy, now, 8), 1000);

    ReopenPolicy fresh(42);
    Clock::time_point t{};
    int attempts = 0;
    for (; t < Clock::time_point{} + std::chrono::seconds(15); t = fresh.nextAttempt()) {
        ++attempts;
        fresh.failed(t);
    }
    EXPECT_LE(attempts, 6);
    EXPECT_GE(attempts, 4);
}

// A link that was live for a while and broke gets three quick reopens, 500 ms apart (a
// restarted server has the stream back within a second), then the back-off from 1 s; a link
// that stays up long enough resets it.
TEST(ReopenPolicy, ALiveLinkThatBreaksIsReopenedQuickly)
{
    ReopenPolicy policy;
    Clock::time_point now{};
    refusals(policy, now, 4); // back-off grown to 16 s
    policy.opened(now);
    EXPECT_TRUE(policy.isOpen());
    now += std::chrono::seconds(60);
    EXPECT_TRUE(policy.broke(now));
    EXPECT_EQ(after(policy, now), Ms(500));
    now = policy.nextAttempt();
    for (int i = 0; i < 2; ++i) {
        policy.failed(now);
        EXPECT_EQ(after(policy, now), Ms(500)) << i;
        now = policy.nextAttempt();
    }
    expectBackoff(refusals(policy, now, 3), 1000);
}

// A link that breaks within 5 s of opening (a server that takes the connection and then
// refuses the stream) counts as a failed attempt: no quick reopen, and the back-off goes on.
TEST(ReopenPolicy, ALinkThatBreaksAtOnceIsARefusal)
{
    ReopenPolicy policy;
    Clock::time_point now{};
    std::vector<Ms> waits;
    for (int i = 0; i < 6; ++i) {
        policy.opened(now);
        now += std::chrono::milliseconds(4900);
        EXPECT_FALSE(policy.settled(now));
        EXPECT_FALSE(policy.broke(now)) << i;
        waits.push_back(after(policy, now));
        now = policy.nextAttempt();
    }
    expectBackoff(waits, 1000);
}
