#include "muxer/live/AdaptiveBitrate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

// What a real link and server do with the rate is tested end to end (AdaptiveLive); here,
// links that would make those tests slow or flaky.

namespace {

constexpr double kTick = 0.25; // seconds between looks, as the link's watch

// A stream through a link that carries `linkKbps` (a function of the time): the encoder makes
// the rate it is set to, up to what the picture needs (`sourceKbps`), plus the audio; the
// connection holds up to 2 s of the configured stream, and what does not fit waits in the
// output's queue.
struct LinkRun
{
    int configured = 2000, minimum = 100, audio = 128;
    double sourceKbps = 600;
    std::function<double(double)> linkKbps;
    bool acknowledges = true;

    int rate = configured;
    double maxDelay = 0.0;
    std::vector<std::pair<double, int>> steps; // (seconds, new rate)

    // Runs from `from` to `to` seconds, the rate changes applied at once.
    void play(AdaptiveBitrate& adaptive, double from, double to)
    {
        const double socketCapacity = (configured + audio) * 1000.0 / 8 * 2;
        for (double t = from; t < to; t += kTick) {
            const double bytesPerSecond = (std::min<double>(rate, sourceKbps) + audio) * 125.0;
            queue += bytesPerSecond * kTick;
            const double moved = std::min(queue, socketCapacity - socket);
            queue -= moved;
            const double sent = std::min(socket += moved, linkKbps(t) * 125.0 * kTick);
            socket -= sent;
            acked += sent;
            const int next = adaptive.update(
                start + std::chrono::milliseconds(static_cast<long long>(t * 1000)),
                acknowledges ? static_cast<long long>(acked) : -1,
                acknowledges ? static_cast<long long>(socket) : -1, queue / bytesPerSecond);
            if (t > 20)
                maxDelay = std::max(maxDelay, adaptive.delaySeconds());
            if (next > 0)
                steps.emplace_back(t, rate = next);
        }
    }
    AdaptiveBitrate::Clock::time_point start = AdaptiveBitrate::Clock::now();
    double queue = 0, socket = 0, acked = 0;
};

} // namespace

// A link whose rate swings every second between a fifth and twice the stream's: the rate stays
// within its bounds, changes at most every 2 s, and the steps up slow down rather than swing.
TEST(AdaptiveBitrate, ASwingingLinkGivesBoundedStableSteps)
{
    LinkRun run;
    run.linkKbps = [](double t) { return static_cast<int>(t) % 2 == 0 ? 150.0 : 1500.0; };
    AdaptiveBitrate adaptive(run.configured, run.minimum, run.audio);
    run.play(adaptive, 0, 300);
    for (size_t i = 0; i < run.steps.size(); ++i) {
        EXPECT_TRUE(i == 0 || run.steps[i].first - run.steps[i - 1].first >= 1.99);
        EXPECT_TRUE(run.steps[i].second >= run.minimum && run.steps[i].second <= run.configured);
    }
    EXPECT_LE(run.steps.size(), 40u);
    EXPECT_LT(run.maxDelay, 10.0);
}

// A connection that cannot tell what was acknowledged: judged by the queue alone, each step
// takes a quarter off, never below the minimum.
TEST(AdaptiveBitrate, WithoutAcknowledgementsStepsByAQuarterToTheMinimum)
{
    LinkRun run;
    run.acknowledges = false;
    run.minimum = 400;
    run.sourceKbps = 5000;
    run.linkKbps = [](double) { return 100.0; };
    AdaptiveBitrate adaptive(run.configured, run.minimum, run.audio);
    run.play(adaptive, 0, 60);
    ASSERT_GE(run.steps.size(), 2u);
    EXPECT_EQ(run.steps[0].second, 1500); // 2000 less a quarter
    EXPECT_EQ(run.rate, run.minimum);
}
