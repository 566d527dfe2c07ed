#include "common/ThreadCallback.h"
#include "common/DirectX11Manager.h"
#include "common/DirectX9Manager.h"

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
            if (done.fetch_add(1) + 1 == exitAt)
                thread->requestExit(); // on its own thread: must not join itself
        }
        finished.store(true);
    }
    ThreadCallback* thread = nullptr;
    std::atomic<int> work{0};
    std::atomic<int> done{0};
    int exitAt = -1;
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

    LoopingBody selfStopping;
    selfStopping.exitAt = 1;
    ThreadCallback other(&selfStopping);
    selfStopping.thread = &other;
    other.start();
    selfStopping.work.store(5);
    other.wakeThread();
    EXPECT_TRUE(other.wait(5000)) << "a body may ask for its own exit";
    EXPECT_EQ(selfStopping.done.load(), 1);
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST(DirectXManagers, AreSingletonsThatAnswerNullUntilSet)
{
    DirectX11Manager* d3d11 = Singleton<DirectX11Manager>::getInstancePtr();
    ASSERT_NE(d3d11, nullptr);
    EXPECT_EQ(d3d11, Singleton<DirectX11Manager>::getInstancePtr());
    EXPECT_EQ(d3d11->d3ddev(), nullptr);
    auto* device = reinterpret_cast<D3D11Device*>(0x1000);
    auto* context = reinterpret_cast<D3D11DeviceContext*>(0x2000);
    d3d11->setDevice(device, context);
    EXPECT_EQ(Singleton<DirectX11Manager>::getInstancePtr()->d3ddev(), device);
    EXPECT_EQ(Singleton<DirectX11Manager>::getInstancePtr()->d3dctx(), context);
    d3d11->setDevice(nullptr, nullptr);
    DirectX9Manager* d3d9 = Singleton<DirectX9Manager>::getInstancePtr();
    ASSERT_NE(d3d9, nullptr);
    EXPECT_EQ(d3d9->m_pD3D9Device, nullptr);
}
