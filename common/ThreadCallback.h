#pragma once

#include "common/IThreadCallback.h"

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>

// A QThread whose body is IThreadCallback::threadCallback(). Deleting the object raises the
// exit flag, wakes the body and joins the thread without time limit.
class ThreadCallback : public QThread
{
public:
    explicit ThreadCallback(IThreadCallback* body);
    ~ThreadCallback() override;

    bool isExitThread() const { return m_exit.load(std::memory_order_acquire); }
    // Sleeps until wakeThread() or ms milliseconds have passed.
    void waitThread(unsigned long ms);
    void wakeThread();

protected:
    // Raises the exit flag, wakes the body and joins. A subclass whose own members the body
    // uses calls it first in its destructor; calling it again does nothing more.
    void finish();
    void run() override;

private:
    IThreadCallback* m_body;
    std::atomic<bool> m_exit{false}; // set once by the destructor, read by the body
    bool m_woken = false;            // guarded by m_mutex: a wake that came before the wait
    // std:: primitives rather than Qt's, whose lock-free paths ThreadSanitizer cannot follow.
    std::mutex m_mutex;
    std::condition_variable m_cond;
};
