#include "api/ObserverDispatch.h"

#include "api/IStrevoObserver.h"
#include "common/StrevoLog.h"

#include <chrono>
#include <exception>

namespace {

constexpr auto kStatsInterval = std::chrono::seconds(1);

} // namespace

ObserverDispatch::ObserverDispatch(StatsSource stats) : m_stats(std::move(stats))
{
    m_thread = std::thread([this] { run(); });
}

ObserverDispatch::~ObserverDispatch()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_end = true;
        m_wake.notify_all();
    }
    m_thread.join();
}

void ObserverDispatch::setObserver(IStrevoObserver* observer)
{
    if (std::this_thread::get_id() == m_thread.get_id()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_observer = observer;
        return;
    }
    // Taken in the dispatch thread's order: a call in progress ends first.
    std::lock_guard<std::mutex> calling(m_callMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = observer;
}

void ObserverDispatch::flush(std::chrono::milliseconds timeout)
{
    if (std::this_thread::get_id() == m_thread.get_id())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_told.wait_for(lock, timeout, [this] { return m_end || (m_events.empty() && !m_telling); });
}

bool ObserverDispatch::post(int index, strevo::OutputState state, const QString& reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_outputs.find(index);
    if (found != m_outputs.end()) {
        const Output& last = found->second;
        if (last.state == state && last.reason == reason)
            return false;
        if (last.state == strevo::OutputState::Stopped && state != strevo::OutputState::Starting)
            return false;
    }
    Output& output = m_outputs[index];
    output.state = state;
    output.reason = reason;
    m_events.push_back({index, state, reason, false, QString(), false});
    m_wake.notify_all();
    return true;
}

void ObserverDispatch::postReplay(int index, const QString& path, bool ok, const QString& reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({index, strevo::OutputState::Starting, reason, true, path, ok});
    m_wake.notify_all();
}

strevo::OutputState ObserverDispatch::state(int index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_outputs.find(index);
    return found == m_outputs.end() ? strevo::OutputState::Starting : found->second.state;
}

double ObserverDispatch::bitrateKbps(int index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_outputs.find(index);
    return found == m_outputs.end() ? 0.0 : found->second.bitrateKbps;
}

template <class Call> void ObserverDispatch::deliver(Call call)
{
    std::lock_guard<std::mutex> calling(m_callMutex);
    IStrevoObserver* observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        observer = m_observer;
    }
    if (!observer)
        return;
    QString what; // copied: the exception is gone once its handler ends
    try {
        call(observer);
        return;
    } catch (const std::exception& e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
        what = QStringLiteral("not a std::exception");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_threwWarned) {
        m_threwWarned = true;
        qCWarning(lcStrevo, "Strevo: the observer threw (%s); the exception is ignored (said once)",
                  qPrintable(what));
    }
}

// The bit rate of each output over the time since the last tick, kept for the snapshots.
void ObserverDispatch::measure(std::vector<std::pair<int, strevo::OutputStats>>& stats)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [index, snapshot] : stats) {
        Output& output = m_outputs[index];
        if (output.lastBytes >= 0) {
            const double seconds = std::chrono::duration<double>(now - output.lastTick).count();
            if (seconds > 0.0)
                output.bitrateKbps =
                    (snapshot.bytesDelivered - output.lastBytes) * 8.0 / 1000.0 / seconds;
        }
        output.lastBytes = snapshot.bytesDelivered;
        output.lastTick = now;
        snapshot.bitrateKbps = output.bitrateKbps;
        snapshot.state = output.state;
    }
}

void ObserverDispatch::run()
{
    auto nextTick = std::chrono::steady_clock::now() + kStatsInterval;
    for (;;) {
        std::deque<Event> events;
        bool tick = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_until(lock, nextTick, [this] { return m_end || !m_events.empty(); });
            if (m_end)
                return;
            events.swap(m_events);
            m_telling = !events.empty();
            tick = std::chrono::steady_clock::now() >= nextTick;
        }
        for (const Event& event : events)
            deliver([&event](IStrevoObserver* observer) {
                if (event.replay)
                    observer->replaySaved(event.index, event.path, event.ok, event.reason);
                else
                    observer->outputStateChanged(event.index, event.state, event.reason);
            });
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_telling = false;
            m_told.notify_all();
        }
        if (!tick)
            continue;
        // The next tick a second after this one, however long the observer took: a slow
        // observer gets fewer statistics, never a backlog of them.
        std::vector<std::pair<int, strevo::OutputStats>> stats = m_stats();
        measure(stats);
        for (const auto& [index, snapshot] : stats)
            deliver(
                [&, i = index](IStrevoObserver* observer) { observer->outputStats(i, snapshot); });
        nextTick = std::chrono::steady_clock::now() + kStatsInterval;
    }
}
