#pragma once

#include <QThread>

#include <atomic>
#include <functional>
#include <mutex>

// A thread that runs one loop of an SRT transport (receive, accept or events). The loop polls
// isStopped() between its waits, which are short; the destructor sets the flag and joins.
class SrtThread : public QThread
{
public:
    explicit SrtThread(std::function<void(SrtThread&)> loop);
    ~SrtThread() override;
    SrtThread(const SrtThread&) = delete;
    SrtThread& operator=(const SrtThread&) = delete;

    bool isStopped() const { return m_stopped.load(); }

protected:
    void run() override;

private:
    std::function<void(SrtThread&)> m_loop;
    std::atomic<bool> m_stopped{false}; // set by the destructor, polled by the loop
    // Taken by run() after the loop and by the destructor after the join: orders everything
    // the loop did before the owner frees what it used, in a way ThreadSanitizer can follow
    // (it does not see through QThread::wait).
    std::mutex m_finished;
};
