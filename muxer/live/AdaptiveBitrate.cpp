#include "muxer/live/AdaptiveBitrate.h"

#include <algorithm>
#include <cmath>

namespace {

using std::chrono::seconds;

constexpr auto kWindow = seconds(3);    // what the link carried is measured over this
constexpr auto kDownEvery = seconds(2); // steps down are at least this far apart
constexpr auto kFirstUpWait = seconds(3);
constexpr auto kLongestUpWait = seconds(12);
constexpr auto kUpProven = seconds(6); // a step up that holds this long was right
constexpr double kProbeRise = 0.25;    // growth of what waits, in s, that undoes a step up

} // namespace

AdaptiveBitrate::AdaptiveBitrate(int configuredKbps, int minimumKbps, int audioKbps)
    : m_configured(std::max(1, configuredKbps)),
      m_minimum(std::clamp(minimumKbps, 1, std::max(1, configuredKbps))),
      m_audio(std::max(0, audioKbps)), m_current(m_configured), m_upWait(kFirstUpWait)
{
}

void AdaptiveBitrate::linkReopened()
{
    m_acked.clear();
    m_carried = -1.0;
    m_clear = false;
}

int AdaptiveBitrate::change(Clock::time_point now, int kbps, bool up)
{
    kbps = std::clamp(kbps, m_minimum, m_configured);
    if (kbps == m_current)
        return 0;
    m_current = kbps;
    m_lastChange = now;
    m_probing = up;
    m_clear = false;
    return kbps;
}

int AdaptiveBitrate::update(Clock::time_point now, long long acknowledged, long long waitingBytes,
                            double queuedSeconds)
{
    // What the link carried: the acknowledged bytes over the last few seconds.
    if (acknowledged >= 0) {
        if (!m_acked.empty() && acknowledged < m_acked.back().second)
            m_acked.clear(); // a new connection counts from 0
        m_acked.emplace_back(now, acknowledged);
        while (m_acked.size() > 2 && now - m_acked.front().first > kWindow)
            m_acked.pop_front();
        const double span =
            std::chrono::duration<double>(m_acked.back().first - m_acked.front().first).count();
        if (span >= 1.0)
            m_carried = (m_acked.back().second - m_acked.front().second) * 8.0 / 1000.0 / span;
    }
    // How long what waits needs to leave at that pace.
    const double leaving = m_carried > 0.0 ? m_carried : m_current + m_audio;
    m_delay = std::max(0.0, queuedSeconds) +
              (waitingBytes > 0 ? waitingBytes * 8.0 / 1000.0 / leaving : 0.0);

    // A step up that makes what waits grow was too far: back to where it came from, before a
    // second of backlog builds up.
    if (m_probing && m_delay > m_delayBeforeUp + kProbeRise && now - m_lastChange >= kDownEvery) {
        m_upWait = std::min<seconds>(m_upWait * 2, kLongestUpWait);
        return change(now, m_beforeUp, false);
    }
    if (m_delay > kCongestedSeconds) {
        m_clear = false;
        if (m_probing) // the last step up was too far: wait longer before the next
            m_upWait = std::min<seconds>(m_upWait * 2, kLongestUpWait);
        m_probing = false;
        if (m_current <= m_minimum ||
            (m_lastChange != Clock::time_point{} && now - m_lastChange < kDownEvery))
            return 0;
        int target = static_cast<int>(std::lround(m_current * 0.85));
        if (m_carried > 0.0)
            target = std::min(target, static_cast<int>(std::lround(m_carried * 0.8)) - m_audio);
        else
            target = static_cast<int>(std::lround(m_current * 0.75));
        return change(now, target, false);
    }
    if (m_delay >= kClearSeconds) {
        m_clear = false;
        return 0;
    }
    if (!m_clear) {
        m_clear = true;
        m_clearSince = now;
    }
    if (m_probing && now - m_clearSince >= kUpProven) {
        m_probing = false; // the last step up held
        m_upWait = kFirstUpWait;
    }
    if (m_current >= m_configured || now - m_clearSince < m_upWait || now - m_lastChange < m_upWait)
        return 0;
    // Doubling while the steps up hold; by half after one that did not.
    const int step = std::max(m_upWait == kFirstUpWait ? m_current : m_current / 2,
                              std::max(1, m_configured / 20));
    m_beforeUp = m_current;
    m_delayBeforeUp = m_delay;
    return change(now, m_current + step, true);
}
