#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// The completion event that an encoder hands to the NVENC runtime with each asynchronous
// picture, standing in for a Win32 auto-reset event: set() wakes one wait (or the next one, when
// nobody waits yet) and the event resets as that wait returns. The runtime signals it from its
// own thread; the encoder sleeps on it. Header-only, so that a runtime built apart (the tests'
// fake) signals the same object.
class AutoResetEvent
{
public:
    void set()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_signalled = true;
        }
        m_cond.notify_one();
    }

    // Sleeps until the event is set or `timeout` has passed; true when it was set.
    bool wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cond.wait_for(lock, timeout, [this] { return m_signalled; }))
            return false;
        m_signalled = false;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false; // guarded by m_mutex
};
