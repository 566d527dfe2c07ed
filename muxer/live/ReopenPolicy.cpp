#include "muxer/live/ReopenPolicy.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <random>
#include <unistd.h>

namespace {

// splitmix64's finaliser: every bit of the input moves about half of the output's.
uint64_t mixed(uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

uint32_t freshSeed()
{
    static const uint64_t processSeed = []() -> uint64_t {
        try {
            std::random_device device;
            return uint64_t(device()) << 32 | device();
        } catch (const std::exception&) {
            // No entropy source: the start time and the process id still differ per process.
            return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   uint64_t(::getpid()) << 40;
        }
    }();
    static std::atomic<uint64_t> made{0};
    // Consecutive counts land far apart once mixed.
    return static_cast<uint32_t>(mixed(processSeed + made.fetch_add(1) * 0x9e3779b97f4a7c15ULL));
}

} // namespace

ReopenPolicy::ReopenPolicy() : ReopenPolicy(freshSeed()) {}

ReopenPolicy::ReopenPolicy(uint32_t seed) : m_random(seed ? seed : 1) {}

ReopenPolicy::Ms ReopenPolicy::jittered(Ms wait)
{
    // xorshift32: enough to spread the attempts of several outputs.
    m_random ^= m_random << 13;
    m_random ^= m_random >> 17;
    m_random ^= m_random << 5;
    const double unit = (m_random & 0xffffff) / double(0x1000000); // [0, 1)
    const double factor = 1.0 - kJitter + 2.0 * kJitter * unit;
    return Ms(static_cast<long long>(wait.count() * factor));
}

void ReopenPolicy::opened(Clock::time_point now)
{
    m_open = true;
    m_openedAt = now;
}

void ReopenPolicy::failed(Clock::time_point now)
{
    m_open = false;
    if (m_quickLeft > 0) {
        --m_quickLeft;
        m_next = now + kQuickInterval;
        return;
    }
    m_next = now + jittered(m_backoff);
    m_backoff = std::min(m_backoff * 2, kMaxBackoff);
}

bool ReopenPolicy::broke(Clock::time_point now)
{
    if (!settled(now)) {
        failed(now);
        return false;
    }
    m_open = false;
    m_backoff = kFirstBackoff;
    m_quickLeft = kQuickReopens - 1;
    m_next = now + kQuickInterval;
    return true;
}
