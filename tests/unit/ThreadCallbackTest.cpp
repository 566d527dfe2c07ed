#include "common/ThreadCallback.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>

namespace {

// A looping body as the library's workers write them: sleeps until there is work.
class LoopingBody : public IThreadCallback
{
public:
    void threadCallback() override
    {
        for (;;) {
            thread->waitUntil([this] { return work.load() > done.load(); });
            if (thread->isExitThread())
                break;
            done.fetch_add(1);
        }
        finished.store(true);
    }
    ThreadCallback* thread = nullptr;
    std::atomic<int> work{0};
    std::atomic<int> done{0};
    std::atomic<bool> finished{false};
};

} // namespace

TEST(ThreadCallback, WaitEndsOnWorkOrExitAndDeletionJoins)
{
    QElapsedTimer timer;
    timer.start();
    LoopingBody body;
    auto* thread = new ThreadCallback(&body);
    body.thread = thread;
    thread->start();
    for (int i = 1; i <= 3; ++i) {
        body.work.store(i);
        thread->wakeThread();
        while (body.done.load() < i)
            QThread::yieldCurrentThread();
    }
    delete thread; // wakes the untimed wait and joins
    EXPECT_TRUE(body.finished.load());
    EXPECT_LT(timer.elapsed(), 5000);
}
