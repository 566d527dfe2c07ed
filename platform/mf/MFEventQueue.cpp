#include "platform/mf/MFEventQueue.h"

#include <chrono>

HRESULT MFEventQueue::GetEvent(uint32_t flags, std::shared_ptr<MFMediaEvent>* event, int timeoutMs)
{
    if (!event)
        return E_POINTER;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!(flags & MF_EVENT_FLAG_NO_WAIT) && timeoutMs > 0)
        m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return !m_events.empty() || m_shutdown; });
    if (m_events.empty())
        return m_shutdown ? MF_E_SHUTDOWN : MF_E_NO_EVENTS_AVAILABLE;
    *event = std::move(m_events.front());
    m_events.pop_front();
    return S_OK;
}

HRESULT MFEventQueue::QueueEvent(uint32_t type, HRESULT status)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdown)
            return MF_E_SHUTDOWN;
        m_events.push_back(std::make_shared<MFMediaEvent>(type, status));
    }
    m_wake.notify_all();
    return S_OK;
}

void MFEventQueue::Shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
        m_events.clear();
    }
    m_wake.notify_all();
}
