#pragma once

#include <mutex>

class IMuxerCallback;

// The pipeline's IMuxerCallback as the parts of a muxer share it: every report is made under
// one lock, so that once detach() has returned no report reaches the pipeline.
//
// Threads: any; send() and detach() lock m_mutex.
class MuxerReports
{
public:
    explicit MuxerReports(IMuxerCallback* callback) : m_callback(callback) {}

    // Calls `report(callback)` under the lock, unless detached. `report` may keep state of its
    // own that only reports touch: the lock guards it too.
    template <class Report> void send(Report&& report)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_callback)
            report(*m_callback);
    }
    void detach();

private:
    std::mutex m_mutex;         // guards m_callback: held while a report is being made
    IMuxerCallback* m_callback; // the pipeline's; kept, never deleted; null once detached
};
