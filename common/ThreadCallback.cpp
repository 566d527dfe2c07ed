#include "common/ThreadCallback.h"

ThreadCallback::ThreadCallback(IThreadCallback* body) : m_body(body) {}

ThreadCallback::~ThreadCallback()
{
    finish();
}

void ThreadCallback::requestExit()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_exit.store(true, std::memory_order_release);
    }
    wakeThread();
}

void ThreadCallback::finish()
{
    requestExit();
    wait();
    // The body took m_mutex after its last step: taking it here orders everything the body
    // did before whatever the caller frees next.
    std::lock_guard<std::mutex> lock(m_mutex);
}

void ThreadCallback::run()
{
    if (m_body)
        m_body->threadCallback();
    std::lock_guard<std::mutex> lock(m_mutex);
}

void ThreadCallback::waitThread(unsigned long ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_woken && !isExitThread())
        m_cond.wait_for(lock, std::chrono::milliseconds(ms),
                        [this] { return m_woken || isExitThread(); });
    m_woken = false;
}

void ThreadCallback::wakeThread()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_woken = true;
    m_cond.notify_all();
}
