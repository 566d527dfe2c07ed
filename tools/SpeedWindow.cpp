#include "tools/SpeedWindow.h"

namespace {

// The speed is the media time written over this much of the recent past.
constexpr auto kWindow = std::chrono::seconds(3);

} // namespace

double SpeedWindow::add(Clock::time_point now, double seconds)
{
    m_recent.emplace_back(now, seconds);
    while (m_recent.size() > 2 && now - m_recent.front().first > kWindow)
        m_recent.pop_front();
    const double span = std::chrono::duration<double>(now - m_recent.front().first).count();
    return span >= 1.0 ? (seconds - m_recent.front().second) / span : -1.0;
}
