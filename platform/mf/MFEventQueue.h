#pragma once

#include "platform/mf/IMFMediaEventGenerator.h"

#include <condition_variable>
#include <deque>
#include <mutex>

// An event source that a transform feeds with QueueEvent() from any thread and the client
// reads with GetEvent(). A reader that waits is woken by the next event or by Shutdown().
class MFEventQueue : public IMFMediaEventGenerator
{
public:
    HRESULT GetEvent(uint32_t flags, std::shared_ptr<MFMediaEvent>* event,
                     int timeoutMs = 0) override;
    HRESULT QueueEvent(uint32_t type, HRESULT status = S_OK);
    // Drops the pending events and wakes a waiting reader; later events are refused.
    void Shutdown();

private:
    std::deque<std::shared_ptr<MFMediaEvent>> m_events; // guarded by m_mutex
    bool m_shutdown = false;                            // guarded by m_mutex
    std::mutex m_mutex;
    std::condition_variable m_wake;
};
