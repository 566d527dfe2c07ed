#include "muxer/MuxerReports.h"
#include "muxer/replay/ReplayBuffer.h"
#include "muxer/replay/ReplaySaver.h"

#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>

namespace {

constexpr int kRate = 48000, kFps = 30, kAac = 1024;

AVPacketPtr packet(int size)
{
    AVPacketPtr p(av_packet_alloc());
    av_new_packet(p.get(), size);
    return p;
}

ReplayBuffer::Limits limits(double seconds, long long maxBytes)
{
    ReplayBuffer::Limits l;
    l.seconds = seconds;
    l.maxBytes = maxBytes;
    l.frameRate = AVRational{kFps, 1};
    l.sampleRate = kRate;
    return l;
}

// A pipeline's packets: pictures at 30 frames/s with a key frame every `gop`, and 1024-sample
// sound packets handed `lag` frames behind the pictures (none while `sound` is off). `check`
// runs after every picture.
struct Feed
{
    ReplayBuffer& buffer;
    int gop, videoBytes, audioBytes = 400, lag = 0;
    bool sound = true;
    long long frame = 0, samples = 0;
    void run(int frames, const std::function<void()>& check = {})
    {
        for (int i = 0; i < frames; ++i, ++frame) {
            buffer.addVideo(packet(videoBytes), frame % gop == 0);
            for (; sound && (samples + kAac) * kFps <= (frame + 1 - lag) * kRate; samples += kAac)
                buffer.addAudio(packet(audioBytes), kAac);
            if (check)
                check();
        }
    }
};

ReplayBuffer::Snapshot snap(const ReplayBuffer& buffer)
{
    ReplayBuffer::Snapshot s;
    EXPECT_TRUE(buffer.snapshot(&s));
    return s;
}

double seconds(const ReplayBuffer::Snapshot& s)
{
    return (s.video.back().stamp + 1 - s.video.front().stamp) / double(kFps);
}

} // namespace

// Nothing before the first key frame counts; then the buffer holds the seconds asked for and
// less than one key-frame interval more, from a key frame, with the sound from that picture
// on (within half a packet) to the picture's end.
TEST(ReplayBuffer, KeepsTheSecondsFromAKeyFrameWithTheSoundInStep)
{
    ReplayBuffer buffer(limits(3.0, 1LL << 30));
    buffer.addVideo(packet(500), false);
    buffer.addAudio(packet(400), kAac);
    EXPECT_FALSE(buffer.holdsPicture());
    EXPECT_EQ(buffer.frames(), 0);

    Feed feed{buffer, 60, 1000};
    feed.run(1800, [&] {
        if (feed.frame < 90)
            return;
        ASSERT_GE(buffer.seconds(), 3.0);
        ASSERT_LT(buffer.seconds(), 5.0);
    });
    const ReplayBuffer::Snapshot s = snap(buffer);
    EXPECT_TRUE(s.video.front().key);
    EXPECT_EQ(s.video.front().stamp % 60, 0);
    EXPECT_NEAR(seconds(s), buffer.seconds(), 1e-9);
    const double start = s.video.front().stamp / double(kFps);
    EXPECT_NEAR(s.audio.front().stamp / double(kRate), start, kAac / 2.0 / kRate);
    const double soundEnd = (s.audio.back().stamp + kAac) / double(kRate);
    EXPECT_NEAR(soundEnd, (s.video.back().stamp + 1) / double(kFps), 1.0 / kFps);
    // A snapshot shares the packets: the buffer's own stay as they are.
    EXPECT_EQ(s.video.back().packet->data, s.video.back().packet->buf->data);
}

// Over a long run the bytes never pass the bound: the oldest intervals go first, and an
// interval that alone is over it empties the buffer, which starts again at a key frame.
TEST(ReplayBuffer, StaysUnderItsByteBoundOverALongRun)
{
    constexpr long long kBound = 200000;
    ReplayBuffer buffer(limits(30.0, kBound));
    Feed feed{buffer, 30, 3000};
    long long most = 0;
    feed.run(1800, [&] {
        most = std::max(most, buffer.bytes());
        ASSERT_LE(buffer.bytes(), kBound);
    });
    EXPECT_GT(most, kBound - 3 * 30 * 3000); // within an interval of the bound
    EXPECT_GE(buffer.seconds(), 1.0);        // one interval at least
    EXPECT_EQ(buffer.restarts(), 0);

    feed.videoBytes = 8000; // 240 kB an interval
    feed.run(900, [&] { ASSERT_LE(buffer.bytes(), kBound); });
    EXPECT_GT(buffer.restarts(), 0);
    feed.run(45);
    ASSERT_TRUE(buffer.holdsPicture());
    EXPECT_TRUE(snap(buffer).video.front().key);
}

// Sound handed later than the pictures ends what is held whole; sound that stopped does not
// hold the pictures back.
TEST(ReplayBuffer, EndsWhereTheSoundEndsUnlessTheSoundStopped)
{
    ReplayBuffer buffer(limits(2.0, 1LL << 30));
    Feed feed{buffer, 30, 1000};
    feed.lag = 9;
    feed.run(150);
    ReplayBuffer::Snapshot s = snap(buffer);
    EXPECT_NEAR(s.video.back().stamp + 1, 150 - 9, 1);
    EXPECT_GE(seconds(s), 2.0);
    feed.sound = false;
    feed.run(60);
    s = snap(buffer);
    EXPECT_EQ(s.video.back().stamp, 209);
}

// One save at a time: a second is refused while the first is written, and taken once it is;
// the saver finishes a save begun before it goes.
TEST(ReplaySaver, WritesOneSaveAtATimeAndFinishesWhatItBegan)
{
    QTemporaryDir dir;
    MuxerReports reports(nullptr);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> done{0};
    const auto save = [&] {
        ReplaySaver::Save s;
        s.preset.local().folder = dir.path();
        s.preset.container().format = QStringLiteral("mkv");
        s.headers = std::make_unique<StreamHeaders>();
        return s;
    };
    {
        std::promise<void> entered;
        ReplaySaver saver(reports, [&](const ReplaySaver::Result&) {
            if (done++ == 0) {
                entered.set_value();
                released.wait();
            }
        });
        QString why;
        ASSERT_TRUE(saver.begin(save(), &why));
        entered.get_future().wait();
        EXPECT_FALSE(saver.begin(save(), &why));
        EXPECT_TRUE(why.contains(QLatin1String("still being written"))) << qPrintable(why);
        release.set_value();
        saver.waitIdle();
        EXPECT_TRUE(saver.begin(save(), &why));
    }
    EXPECT_EQ(done.load(), 2);
}
