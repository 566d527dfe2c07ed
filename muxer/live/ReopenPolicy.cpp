#include "muxer/live/ReopenPolicy.h"

#include <algorithm>

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
