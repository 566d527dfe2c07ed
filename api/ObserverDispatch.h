#pragma once

#include "common/OutputStats.h"

#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class IStrevoObserver;

// A job's notifications to its host's observer, on one thread of their own: the state changes
// and replay saves of its outputs, queued in the order they happened by whichever thread saw
// them, and about once a second each running output's statistics. No library lock is held
// while the observer runs, so it may call back into the job; a pipeline that reports never
// waits for it. The dispatcher also keeps each output's last state and its bit rate over the
// last second, which the job's snapshots read.
//
// Threads: every call from any thread. setObserver() waits for a call into the previous
// observer to end, except on the dispatch thread itself.
class ObserverDispatch
{
public:
    // The running outputs' snapshots, by index; called on the dispatch thread once a second.
    using StatsSource = std::function<std::vector<std::pair<int, strevo::OutputStats>>()>;

    explicit ObserverDispatch(StatsSource stats);
    ~ObserverDispatch();
    ObserverDispatch(const ObserverDispatch&) = delete;
    ObserverDispatch& operator=(const ObserverDispatch&) = delete;

    // Null: no more calls. After it returns, the previous observer is not called again.
    void setObserver(IStrevoObserver* observer);
    // Waits until the state changes posted so far have been told, at most `timeout` (an
    // observer that hangs must not hang its job). At once on the dispatch thread.
    void flush(std::chrono::milliseconds timeout);

    // Output `index` is now in `state`. Nothing is queued when neither the state nor the
    // reason changed, nor for a change away from Stopped other than to Starting (a stopped
    // output's link may still report while it drains). Returns whether it was queued.
    bool post(int index, strevo::OutputState state, const QString& reason = QString());
    // Replay output `index` finished a save (IStrevoObserver::replaySaved).
    void postReplay(int index, const QString& path, bool ok, const QString& reason);
    // The last state posted for `index` (Starting for an index never posted).
    strevo::OutputState state(int index) const;
    // The bit rate of output `index` measured at the last tick, in kbit/s.
    double bitrateKbps(int index) const;

private:
    struct Event
    {
        int index;
        strevo::OutputState state;
        QString reason;
        bool replay = false; // a replay save, told with `path` and `ok` (not a state)
        QString path;
        bool ok = false;
    };
    struct Output
    {
        strevo::OutputState state = strevo::OutputState::Starting;
        QString reason;
        long long lastBytes = -1;
        std::chrono::steady_clock::time_point lastTick{};
        double bitrateKbps = 0.0;
    };

    void run();
    // Calls the observer with m_callMutex held and nothing else; an exception is caught.
    template <class Call> void deliver(Call call);
    void measure(std::vector<std::pair<int, strevo::OutputStats>>& stats);

    StatsSource m_stats;
    mutable std::mutex m_mutex;     // guards the fields below
    std::condition_variable m_wake; // under m_mutex: an event came, or the end
    std::condition_variable m_told; // under m_mutex: the events taken were told
    bool m_telling = false;         // the dispatch thread tells events it has taken
    std::deque<Event> m_events;
    std::map<int, Output> m_outputs;
    IStrevoObserver* m_observer = nullptr;
    bool m_end = false;
    bool m_threwWarned = false;
    // Held by the dispatch thread while it calls the observer, so that setObserver() can wait
    // for a call to end.
    std::mutex m_callMutex;
    std::thread m_thread; // started by the constructor, joined by the destructor
};
