#pragma once

#include "common/IThreadCallback.h"

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>

// A QThread whose body is IThreadCallback::threadCallback(). Deleting the object raises the
// exit flag, wakes the body and joins the thread without time limit; so it must not be deleted
// on its own thread (requestExit() is what a body or its callbacks may call there).
class ThreadCallback : public QThread
{
public:
    explicit ThreadCallback(IThreadCallback* body);
    ~ThreadCallback() override;

    bool isExitThread() const { return m_exit.load(std::memory_order_acquire); }

    // Sleeps until ready() holds or the exit flag is raised. ready() runs with the thread's
    // own mutex held, so it must not take a lock that is held while wakeThread() is called.
    // Whoever makes ready() true calls wakeThread() afterwards; no wake is then lost.
    template <class Ready> void waitUntil(Ready ready)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return isExitThread() || ready(); });
        m_woken = false;
    }
    // Sleeps until wakeThread(), the exit flag, or ms milliseconds have passed.
    void waitThread(unsigned long ms);
    void wakeThread();
    // Raises the exit flag and wakes the body without joining; safe on any thread.
    void requestExit();

protected:
    // Raises the exit flag, wakes the body and joins. A subclass whose own members the body
    // uses calls it first in its destructor; calling it again does nothing more.
    void finish();
    void run() override;

private:
    IThreadCallback* m_body;
    std::atomic<bool> m_exit{false}; // set once by requestExit, read by the body
    bool m_woken = false;            // guarded by m_mutex: a wake that came before the wait
    // std:: primitives rather than Qt's, whose lock-free paths ThreadSanitizer cannot follow.
    std::mutex m_mutex;
    std::condition_variable m_cond;
};
