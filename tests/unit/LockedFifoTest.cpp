#include "common/LockedFifo.h"
#include "common/AudioQueue.h"
#include "common/EncodeData.h"
#include "common/PixelFormat.h"
#include "common/VideoQueue.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
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

TEST(LockedFifo, FirstInFirstOutAndUnderflowThrows)
{
    LockedFifo<Counted> fifo;
    EXPECT_TRUE(fifo.isEmpty());
    try {
        fifo.take();
        FAIL() << "take() on an empty FIFO must throw";
    } catch (const std::underflow_error& e) {
        EXPECT_STREQ(e.what(), "SB Queue underflow !");
    }
    EXPECT_EQ(fifo.tryTake(), nullptr);

    for (int i = 0; i < 3; ++i)
        fifo.append(new Counted(i));
    EXPECT_EQ(fifo.count(), 3);
    for (int i = 0; i < 3; ++i) {
        Counted* c = fifo.take();
        EXPECT_EQ(c->value, i);
        delete c;
    }
    EXPECT_THROW(fifo.take(), std::underflow_error);
}

TEST(LockedFifo, ClearAndDestructionDeleteQueuedItems)
{
    {
        LockedFifo<Counted> fifo;
        fifo.append(new Counted(1));
        fifo.append(new Counted(2));
        fifo.clear();
        EXPECT_EQ(Counted::alive, 0);
        fifo.append(new Counted(3));
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(LockedFifo, OneProducerOneConsumerKeepOrder)
{
    LockedFifo<Counted> fifo;
    const int n = 20000;
    QThread* producer = QThread::create([&] {
        for (int i = 0; i < n; ++i)
            fifo.append(new Counted(i));
    });
    producer->start();
    int expected = 0;
    while (expected < n) {
        if (Counted* c = fifo.tryTake()) {
            ASSERT_EQ(c->value, expected);
            ++expected;
            delete c;
        }
    }
    producer->wait();
    delete producer;
    EXPECT_TRUE(fifo.isEmpty());
}

TEST(VideoQueue, CopiesPixelsAndKeepsTexturePointers)
{
    std::vector<unsigned char> nv12(4 * 2 * 3 / 2, 7);
    VideoQueue frame(nv12.data(), 4, 2, PIX_NV12);
    ASSERT_NE(frame.data(), nullptr);
    EXPECT_NE(frame.data(), nv12.data());
    EXPECT_EQ(frame.size(), 12);
    nv12[0] = 99;
    EXPECT_EQ(frame.data()[0], 7);
    EXPECT_EQ(frame.width(), 4);
    EXPECT_EQ(frame.height(), 2);
    EXPECT_EQ(frame.format(), PIX_NV12);

    VideoQueue drop(nullptr, 4, 2, PIX_NV12);
    EXPECT_EQ(drop.data(), nullptr);
    EXPECT_EQ(drop.size(), 0);

    int texture = 0;
    VideoQueue tex(&texture, 0, 0, PIX_TEXTURE);
    EXPECT_EQ(tex.data(), reinterpret_cast<unsigned char*>(&texture));
    EXPECT_TRUE(tex.isTexture());

    const unsigned char jpeg[] = {0xff, 0xd8, 0xff, 0xd9};
    VideoQueue compressed(jpeg, 4, 640, 480, PIX_MJPG);
    EXPECT_EQ(compressed.size(), 4);
    EXPECT_EQ(compressed.data()[1], 0xd8);
}

TEST(AudioQueue, CopiesBytesAndMarksDrops)
{
    const unsigned char pcm[] = {1, 2, 3, 4};
    AudioQueue a(pcm, 4);
    EXPECT_EQ(a.size(), 4);
    EXPECT_EQ(a.data()[3], 4);
    EXPECT_NE(a.data(), pcm);
    AudioQueue drop(nullptr, 3840);
    EXPECT_EQ(drop.data(), nullptr);
}

TEST(EncodeData, CopiesPacketAndStampsSourceTime)
{
    const unsigned char bytes[] = {0, 0, 1, 0x65};
    EncodeData first(bytes, 4, 1, 10, 9);
    EncodeData second(bytes, 4, 0, 11, 10);
    EXPECT_EQ(first.size(), 4u);
    EXPECT_EQ(first.data()[3], 0x65);
    EXPECT_EQ(first.key(), 1u);
    EXPECT_EQ(first.pts(), 10);
    EXPECT_EQ(first.dts(), 9);
    EXPECT_GT(first.sourceTime(), 0);
    EXPECT_GE(second.sourceTime(), first.sourceTime());
}
