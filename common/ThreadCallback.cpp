#include "common/ThreadCallback.h"

ThreadCallback::ThreadCallback(IThreadCallback* body) : m_body(body) {}

ThreadCallback::~ThreadCallback()
{
    finish();
}

void ThreadCallback::finish()
{
    m_exit.store(true, std::memory_order_release);
    wakeThread();
    wait();
}

void ThreadCallback::run()
{
    if (m_body)
        m_body->threadCallback();
}

void ThreadCallback::waitThread(unsigned long ms)
{
    QMutexLocker lock(&m_mutex);
    if (!m_woken && !isExitThread())
        m_cond.wait(&m_mutex, ms);
    m_woken = false;
}

void ThreadCallback::wakeThread()
{
    QMutexLocker lock(&m_mutex);
    m_woken = true;
    m_cond.wakeOne();
}
