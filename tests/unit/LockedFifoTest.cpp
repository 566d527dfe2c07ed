#include "common/LockedFifo.h"
#include "common/AudioQueue.h"
#include "common/PixelFormat.h"
#include "common/VideoQueue.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct Counted
{
    explicit Counted(int v) : value(v) { ++alive; }
    ~Counted() { --alive; }
    int value;
    static std::atomic<int> alive;
};
std::atomic<int> Counted::alive{0};

} // namespace

TEST(LockedFifo, FirstInFirstOutUnderflowAndOwnership)
{
    {
        LockedFifo<Counted> fifo;
        EXPECT_EQ(fifo.tryTake(), nullptr);
        EXPECT_THROW(fifo.take(), std::underflow_error);
        for (int i = 0; i < 3; ++i)
            fifo.append(std::make_unique<Counted>(i));
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(fifo.take()->value, i);
        EXPECT_EQ(Counted::alive, 1) << "a taken item is gone with its pointer";
        fifo.clear();
        EXPECT_EQ(Counted::alive, 0);
        fifo.append(std::make_unique<Counted>(3));
    }
    EXPECT_EQ(Counted::alive, 0) << "destruction frees what is queued";
}

TEST(LockedFifo, LimitRefusesAndWaitForRoomWakesOnTakeOrClose)
{
    LockedFifo<Counted> fifo;
    fifo.setLimit(2);
    EXPECT_TRUE(fifo.append(std::make_unique<Counted>(1)));
    EXPECT_TRUE(fifo.append(std::make_unique<Counted>(2)));
    EXPECT_FALSE(fifo.append(std::make_unique<Counted>(3)));
    EXPECT_EQ(Counted::alive, 2) << "the refused item is destroyed";
    EXPECT_FALSE(fifo.waitForRoom(10));
    for (bool close : {false, true}) {
        QElapsedTimer timer;
        timer.start();
        std::thread other([&] { close ? fifo.setOpen(false) : void(fifo.take()); });
        EXPECT_EQ(fifo.waitForRoom(10000), !close);
        EXPECT_LT(timer.elapsed(), 5000) << "woken at once, not by the timeout";
        other.join();
        fifo.append(std::make_unique<Counted>(4));
    }
}

// Lent buffers (not copied, given back): the pipeline's buffer-pool test in EncoderTest.
TEST(VideoQueue, CopiesPixelsAndKeepsTextures)
{
    std::vector<unsigned char> nv12(4 * 2 * 3 / 2, 7);
    VideoQueue frame(nv12.data(), 4, 2, PIX_NV12);
    ASSERT_NE(frame.data(), nullptr);
    EXPECT_EQ(frame.size(), 12);
    nv12[0] = 99;
    EXPECT_EQ(frame.data()[0], 7);
    EXPECT_EQ(VideoQueue(nullptr, 4, 2, PIX_NV12).data(), nullptr);

    int texture = 0;
    EXPECT_EQ(VideoQueue(&texture, 0, 0, PIX_TEXTURE).data(), (unsigned char*)&texture);

    AudioQueue audio(nv12.data(), 4);
    EXPECT_NE(audio.data(), nv12.data());
    EXPECT_EQ(AudioQueue(nullptr, 3840).data(), nullptr);
}
