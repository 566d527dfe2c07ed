#include "common/ThreadCallback.h"
#include "common/DirectX11Manager.h"
#include "common/DirectX9Manager.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>

namespace {

// A looping body as the library's workers write them.
class LoopingBody : public IThreadCallback
{
public:
    void threadCallback() override
    {
        while (!thread->isExitThread()) {
            passes.fetch_add(1);
            thread->waitThread(10000);
        }
        finished.store(true);
    }
    ThreadCallback* thread = nullptr;
    std::atomic<int> passes{0};
    std::atomic<bool> finished{false};
};

} // namespace

TEST(ThreadCallback, WakeRunsAPassAndDeletionJoins)
{
    LoopingBody body;
    QElapsedTimer timer;
    timer.start();
    auto* thread = new ThreadCallback(&body);
    body.thread = thread;
    thread->start();
    while (body.passes.load() < 1)
        QThread::msleep(1);
    thread->wakeThread();
    while (body.passes.load() < 2)
        QThread::msleep(1);
    delete thread; // must wake the 10 s wait and join
    EXPECT_TRUE(body.finished.load());
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST(ThreadCallback, WakeBeforeWaitIsNotLost)
{
    LoopingBody body;
    ThreadCallback thread(&body);
    thread.wakeThread();
    QElapsedTimer timer;
    timer.start();
    thread.waitThread(5000);
    EXPECT_LT(timer.elapsed(), 1000);
}

TEST(DirectXManagers, AreSingletonsThatAnswerNullUntilSet)
{
    DirectX11Manager* d3d11 = Singleton<DirectX11Manager>::getInstancePtr();
    ASSERT_NE(d3d11, nullptr);
    EXPECT_EQ(d3d11, Singleton<DirectX11Manager>::getInstancePtr());
    EXPECT_EQ(d3d11->d3ddev(), nullptr);
    EXPECT_EQ(d3d11->d3dctx(), nullptr);
    auto* device = reinterpret_cast<D3D11Device*>(0x1000);
    auto* context = reinterpret_cast<D3D11DeviceContext*>(0x2000);
    d3d11->setDevice(device, context);
    EXPECT_EQ(Singleton<DirectX11Manager>::getInstancePtr()->d3ddev(), device);
    EXPECT_EQ(Singleton<DirectX11Manager>::getInstancePtr()->d3dctx(), context);
    d3d11->setDevice(nullptr, nullptr);

    DirectX9Manager* d3d9 = Singleton<DirectX9Manager>::getInstancePtr();
    ASSERT_NE(d3d9, nullptr);
    EXPECT_EQ(d3d9->m_pD3D9Device, nullptr);
    EXPECT_EQ(d3d9->m_pDXVA2VideoProcessService, nullptr);
}
