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

// Refusals: the waits double from 1 s to 30 s, with jitter.
TEST(ReopenPolicy, RefusalsBackOffToHalfAMinute)
{
    ReopenPolicy policy;
    Clock::time_point now{};
    EXPECT_EQ(policy.nextAttempt(), Clock::time_point{}) << "the first attempt starts at once";
    expectBackoff(refusals(policy, now, 8), 1000);
}

// A settled link that breaks gets three reopens 500 ms apart, then the back-off from 1 s.
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

// A link that breaks within 5 s of opening counts as a refusal: the back-off goes on.
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

// Policies made as a live link makes them draw waits of their own: links that fail together
// spread apart.
TEST(ReopenPolicy, EachPolicyDrawsItsOwnWaits)
{
    ReopenPolicy first, second;
    Clock::time_point a{}, b{};
    EXPECT_NE(refusals(first, a, 5), refusals(second, b, 5));
}
