#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace {

CodecPreset pacedPreset(double inputRate, double outputRate)
{
    CodecPreset p;
    p.videoOutput().frameRate = inputRate;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = 64;
    v.height = 48;
    v.frameRate = outputRate;
    v.preset = QStringLiteral("ultrafast");
    v.tune = QStringLiteral("zerolatency");
    p.audioCodec() = {true, QStringLiteral("PCM"), 48000, 1536, 16, 2};
    p.local().enabled = false;
    p.streaming().enabled = false;
    return p;
}

// Copies queued for each offered frame (frames the full FIFO refuses count as queued).
std::vector<int> queuedPerFrame(double inputRate, double outputRate, int frames,
                                double* inputClock = nullptr)
{
    CodecPreset preset = pacedPreset(inputRate, outputRate);
    Encoder encoder;
    EXPECT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    encoder.start();
    std::vector<unsigned char> picture(64 * 48 * 3 / 2, 16);
    TimeStamp ts;
    ts.startFlag = 1;
    std::vector<int> counts;
    for (int i = 0; i < frames; ++i) {
        const long long before = encoder.getSyncInfo().videoFrames.load();
        encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &ts);
        ts.startFlag = 0;
        counts.push_back(static_cast<int>(encoder.getSyncInfo().videoFrames.load() - before));
    }
    if (inputClock)
        *inputClock = encoder.getSyncInfo().inputClock.load();
    return counts;
}

} // namespace

TEST(EncoderPacing, RepeatsAndDropsFollowTheRates)
{
    EXPECT_EQ(queuedPerFrame(25, 50, 20), std::vector<int>(20, 2));
    EXPECT_EQ(queuedPerFrame(25, 25, 100), std::vector<int>(100, 1));
    EXPECT_EQ(queuedPerFrame(29.97, 30, 20), std::vector<int>(20, 1));
    EXPECT_EQ(queuedPerFrame(30, 29.97, 20), std::vector<int>(20, 1));
    double clock = 0;
    EXPECT_EQ(queuedPerFrame(50, 25, 16, &clock),
              (std::vector<int>{1, 1, 1, 1, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0}));
    EXPECT_NEAR(clock, 16 / 50.0, 1e-9) << "the clock counts every offered frame";
}

TEST(EncoderPacing, ThirtyToTwentyFiveFirstDropsTheFifteenthFrame)
{
    const std::vector<int> counts = queuedPerFrame(30, 25, 300);
    const auto firstDrop = std::find(counts.begin(), counts.end(), 0) - counts.begin();
    EXPECT_EQ(firstDrop + 1, 15);
    // Over ten seconds 250 frames are queued, give or take the one-frame dead band.
    EXPECT_NEAR(std::accumulate(counts.begin(), counts.end(), 0), 250, 2);
    EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 1) << "never repeats";
}

TEST(EncoderPacing, StampGateHoldsVideoAndAudioUntilTheStartFrame)
{
    CodecPreset preset = pacedPreset(25, 25);
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    ASSERT_TRUE(encoder.start());
    std::vector<unsigned char> picture(64 * 48 * 3 / 2, 16);
    std::vector<unsigned char> audio(3840, 0);
    const AVSync& sync = encoder.getSyncInfo();

    TimeStamp notStart;
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &notStart);
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, nullptr);
    notStart.startFlag = 2;
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &notStart);
    encoder.enqueueAudio(audio.data(), 3840);
    EXPECT_EQ(sync.videoFrames.load(), 0);
    EXPECT_EQ(sync.inputClock.load(), 0.0);
    EXPECT_EQ(sync.audioBytesQueued.load(), 0);

    TimeStamp start;
    start.startFlag = 1;
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &start);
    EXPECT_EQ(sync.videoFrames.load(), 1);
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &notStart); // later frames need no flag
    EXPECT_EQ(sync.videoFrames.load(), 2);
    encoder.enqueueAudio(audio.data(), 3840);
    encoder.enqueueAudio(audio.data(), 3840);
    encoder.enqueueAudio(audio.data(), 0); // empty, not lost: ignored
    EXPECT_EQ(sync.audioBytesQueued.load(), 7680);
    // 7680 bytes of 48 kHz stereo 16-bit = 40 ms = one frame at 25 fps.
    EXPECT_EQ(sync.audioQueuedFrames.load(), 1);
}

TEST(EncoderPacing, FollowerTakesAudioAtOnceAndNoStampedVideo)
{
    CodecPreset preset = pacedPreset(25, 25);
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    encoder.setRefVideoCodec(true);
    ASSERT_TRUE(encoder.start());
    std::vector<unsigned char> picture(64 * 48 * 3 / 2, 16);
    std::vector<unsigned char> audio(3840, 0);
    TimeStamp start;
    start.startFlag = 1;
    encoder.enqueueVideo(picture.data(), 64, 48, PIX_NV12, &start);
    EXPECT_EQ(encoder.getSyncInfo().videoFrames.load(), 0);
    encoder.enqueueAudio(audio.data(), 3840);
    EXPECT_EQ(encoder.getSyncInfo().audioBytesQueued.load(), 3840);
}
