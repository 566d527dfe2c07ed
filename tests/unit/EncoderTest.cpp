#include "encoder/Encoder.h"
#include "FakeVideoCodec.h"
#include "MessageCapture.h"
#include "codec/video/VideoCodecFactory.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/IEncodingCallback.h"

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>
#include <set>

namespace {

// Counts packets, keeps the first header and audio packet; `reenter` runs inside each callback.
struct PacketLog : public IEncodingCallback
{
    void videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                      unsigned char* extra, unsigned int extraSize) override
    {
        if (videos.load() == 0)
            header.assign(extra, extra + extraSize);
        ++videos;
        if (reenter)
            reenter();
    }
    void audioEncoded(unsigned char* data, unsigned int size, unsigned char*, unsigned int) override
    {
        if (audios.load() == 0)
            firstAudio.assign(data, data + size);
        ++audios;
        if (reenter)
            reenter();
    }
    std::function<void()> reenter;
    std::atomic<int> videos{0}, audios{0};
    std::vector<unsigned char> header, firstAudio;
};

template <class Pred> bool waitFor(Pred pred, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms)
        QThread::msleep(2);
    return pred();
}

// A pipeline on a FakeVideoCodec: 64x48 at 30 fps, no outputs, PCM audio when asked.
class FakePipeline
{
public:
    explicit FakePipeline(int delay = 0, int format = PIX_NV12, bool audio = false)
    {
        VideoCodecFactory::addCodec(name, [=] { return new FakeVideoCodec(delay, 30, format); });
        preset.videoOutput().frameRate = preset.videoCodec().frameRate = 30;
        preset.videoCodec().codecName = name;
        preset.videoCodec().width = 64;
        preset.videoCodec().height = 48;
        preset.audioCodec() = {audio, QStringLiteral("PCM"), 48000, 1536, 16, 2};
        preset.local().enabled = preset.streaming().enabled = false;
    }
    ~FakePipeline()
    {
        encoder.reset();
        VideoCodecFactory::addCodec(name, nullptr);
    }
    FakeVideoCodec* start()
    {
        encoder = std::make_unique<Encoder>();
        EXPECT_EQ(encoder->initialize(nullptr, &preset, false), 0);
        EXPECT_TRUE(encoder->start());
        return dynamic_cast<FakeVideoCodec*>(encoder->videoCodec());
    }
    void offer(unsigned char fill, int count = 1, int startFlag = 1)
    {
        std::vector<unsigned char> frame(64 * 48 * 3 / 2, fill);
        TimeStamp ts{startFlag};
        for (int i = 0; i < count; ++i)
            encoder->enqueueVideo(frame.data(), 64, 48, PIX_NV12, &ts);
    }

    const QString name = QStringLiteral("FAKE");
    CodecPreset preset;
    std::unique_ptr<Encoder> encoder;
};

// Copies queued for each offered frame (frames the full FIFO refuses count as queued).
std::vector<int> queuedPerFrame(double inputRate, double outputRate, int frames,
                                double* inputClock = nullptr)
{
    FakePipeline pipeline;
    pipeline.preset.videoOutput().frameRate = inputRate;
    pipeline.preset.videoCodec().frameRate = outputRate;
    pipeline.start();
    const AVSync& sync = pipeline.encoder->getSyncInfo();
    std::vector<int> counts;
    for (int i = 0; i < frames; ++i) {
        const long long before = sync.videoFrames.load();
        pipeline.offer(16, 1, i == 0 ? 1 : 0);
        counts.push_back(static_cast<int>(sync.videoFrames.load() - before));
    }
    if (inputClock)
        *inputClock = sync.inputClock.load();
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
    // 30 to 25 fps: the first drop is the 15th frame, 10 s queue 250 frames, none repeats.
    const std::vector<int> counts = queuedPerFrame(30, 25, 300);
    EXPECT_EQ(std::find(counts.begin(), counts.end(), 0) - counts.begin() + 1, 15);
    EXPECT_NEAR(std::accumulate(counts.begin(), counts.end(), 0), 250, 2);
    EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 1);
}

TEST(Encoder, ResultCodesForCodecsAndInputNumbers)
{
    using Change = std::function<void(CodecPreset&)>;
    const std::vector<std::pair<const char*, Change>> cases = {
        {"", [](CodecPreset& p) { p.videoCodec().codecName = "x264"; }}, // unknown (mis-cased)
        {"", [](CodecPreset& p) { p.videoCodec().width = 0; }}, // the codec's initialize fails
        {"", [](CodecPreset& p) { p.audioCodec() = {true, "", 48000, 1536, 16, 2}; }},
        {"videoOutput.frameRate 0", [](CodecPreset& p) { p.videoOutput().frameRate = 0; }},
        {"videoCodec.scanMode 3", [](CodecPreset& p) { p.videoCodec().scanMode = 3; }},
        {"audioOutput.channels 9", [](CodecPreset& p) { p.audioOutput().channels = 9; }},
        {"audioOutput.bitsPerSample 24",
         [](CodecPreset& p) { p.audioOutput().bitsPerSample = 24; }},
    };
    for (const auto& c : cases) {
        CodecPreset preset = FakePipeline(0, PIX_NV12, true).preset;
        preset.videoCodec().codecName = QStringLiteral("X264");
        c.second(preset);
        MessageCapture capture;
        Encoder encoder;
        EXPECT_EQ(encoder.initialize(nullptr, &preset, false), -2) << c.first;
        if (*c.first) {
            EXPECT_EQ(capture.count(QString::fromLatin1(c.first)), 1) << "names field and value";
        }
    }
}

// Input is converted per format; unreadable formats and input outside start/stop are refused.
TEST(Encoder, InputIsConvertedPerFormatOrRefused)
{
    Encoder fresh;
    EXPECT_FALSE(fresh.start()) << "nothing to run before initialize";
    EXPECT_FALSE(fresh.waitForVideoRoom(0));
    EXPECT_EQ(fresh.lendVideoBuffer(64, 48, PIX_NV12, 0), nullptr);
    FakePipeline pipeline(0, PIX_YUV420P);
    FakeVideoCodec* fake = pipeline.start();
    Encoder& encoder = *pipeline.encoder;
    EXPECT_FALSE(encoder.start()) << "second start";
    MessageCapture capture;
    TimeStamp ts{1}; // a start stamp
    std::vector<unsigned char> yuv(64 * 48 * 3 / 2, 100), white(128 * 96 * 4, 255);
    encoder.enqueueVideo(white.data(), 64, 48, PIX_MJPG, &ts);
    encoder.enqueueVideo(white.data(), 64, 48, PIX_MJPG);
    encoder.enqueueVideo(white.data(), 64, 48, 99, &ts);
    EXPECT_EQ(encoder.getSyncInfo().videoFrames.load(), 0);
    EXPECT_EQ(capture.count(QStringLiteral("pixel format 27")), 1) << "one warning per format";
    EXPECT_EQ(capture.count(QStringLiteral("pixel format 99")), 1);

    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_YUV420P, &ts); // as it is
    encoder.enqueueVideo(white.data(), 128, 96, PIX_BGRA, &ts); // converted and scaled
    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_NV12, &ts);    // converted anew
    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_YUV420P, &ts); // as it is again
    int texture = 0;
    encoder.enqueueVideo(reinterpret_cast<unsigned char*>(&texture), 0, 0, PIX_TEXTURE, &ts);
    encoder.stop();
    pipeline.offer(2);
    EXPECT_EQ(encoder.getSyncInfo().videoFrames.load(), 5) << "nothing piles up after stop";
    EXPECT_FALSE(encoder.waitForVideoRoom(0));
    EXPECT_EQ(fake->formats, std::vector<int>(4, PIX_YUV420P));
    EXPECT_EQ(fake->sizes, std::vector<unsigned int>(4, 64 * 48 * 3 / 2));
    EXPECT_EQ(fake->firstBytes[0], 100);
    EXPECT_NEAR(fake->firstBytes[1], 235, 2); // white BGRA -> Y 235
    EXPECT_EQ(fake->firstBytes[3], 100);
    EXPECT_EQ(encoder.getSyncInfo().videoOutputDrops.load(), 1) << "the texture frame is dropped";
}

// A pipeline at 25 fps whose codec holds 3 frames back, with the host's sound in buffers of
// `bufferBytes`, that has been offered 5 frames and given out the first 2 packets.
static void startDelayed(FakePipeline& pipeline, PacketLog& log, int bufferBytes)
{
    pipeline.preset.videoOutput().frameRate = 25;
    pipeline.preset.videoCodec().frameRate = 25;
    pipeline.preset.audioOutput() = {2, 48000, 16, bufferBytes};
    pipeline.start();
    pipeline.encoder->encodingCallback(&log);
    pipeline.offer(50, 5);
    ASSERT_TRUE(waitFor([&] { return log.videos.load() == 2; }));
}

TEST(Encoder, CodecDelayHoldsAudioBackAndStopDrainsBoth)
{
    FakePipeline pipeline(3, PIX_NV12, true);
    PacketLog log;
    ASSERT_NO_FATAL_FAILURE(startDelayed(pipeline, log, 3840));
    Encoder& encoder = *pipeline.encoder;
    EXPECT_EQ(encoder.encodedVideo().missedFrames.load(), 3u);
    EXPECT_EQ(log.header, (std::vector<unsigned char>{0, 0, 0, 1})) << "the codec's header";
    // 3 frames x 7680 bytes of audio per frame / 3840-byte chunks.
    EXPECT_EQ(encoder.encodedAudio().holdChunks.load(), 6);

    // Audio is encoded only while holdChunks - 4 = 2 buffers are queued: one stays behind.
    std::vector<unsigned char> audio(3840, 1);
    for (int i = 0; i < 5; ++i)
        encoder.enqueueAudio(audio.data(), 3840);
    ASSERT_TRUE(waitFor([&] { return log.audios.load() == 4; }));
    EXPECT_EQ(log.firstAudio, audio) << "PCM packets are the input";
    EXPECT_EQ(encoder.getSyncInfo().audioFrames.load(), 2); // 15360 bytes = 2 frames at 25 fps

    // Stop drains the codec; audio ends with the video (the queued buffer, silence to 10 chunks).
    encoder.stop();
    EXPECT_EQ(encoder.encodedVideo().frameCount.load(), 5u);
    EXPECT_EQ(encoder.getSyncInfo().audioBytesEncoded.load(), 10 * 3840);
    EXPECT_EQ(encoder.getSyncInfo().audioFrames.load(), 5);
}

// The hold-back is sound, not buffers: 6 chunks of 20 ms less the slack of 4 is 40 ms, one
// of these 40 ms buffers, so none of three stays behind.
TEST(Encoder, CodecDelayHoldsBackSoundWhateverTheBufferSize)
{
    FakePipeline pipeline(3, PIX_NV12, true);
    PacketLog log;
    ASSERT_NO_FATAL_FAILURE(startDelayed(pipeline, log, 7680));
    Encoder& encoder = *pipeline.encoder;
    ASSERT_EQ(encoder.encodedAudio().holdChunks.load(), 6);
    std::vector<unsigned char> audio(7680, 1);
    for (int i = 0; i < 3; ++i)
        encoder.enqueueAudio(audio.data(), 7680);
    EXPECT_TRUE(
        waitFor([&] { return encoder.getSyncInfo().audioBytesEncoded.load() == 3 * 7680; }, 3000));
}

// Through the codec's delay and its drain, each packet names the frame it was coded from.
TEST(Encoder, EachPacketCarriesTheStampOfItsFrame)
{
    FakePipeline pipeline(3);
    std::vector<long long> stamps;
    PacketLog log;
    log.reenter = [&] { stamps.push_back(pipeline.encoder->encodedVideo().stampUs); };
    pipeline.start();
    pipeline.encoder->encodingCallback(&log);
    std::vector<unsigned char> frame(64 * 48 * 3 / 2, 9);
    std::vector<long long> pushed;
    for (int i = 0; i < 8; ++i) {
        TimeStamp ts{1, false, 1000000 + i * 33333LL};
        pipeline.encoder->enqueueVideo(frame.data(), 64, 48, PIX_NV12, &ts);
        pushed.push_back(ts.pts);
    }
    pipeline.encoder->stop();
    EXPECT_EQ(stamps, pushed);
}

// A live output that comes up asks for no key frame by itself (the encoder's first packet is one
// anyway); its muxer asks when the packet it is offered is none, and the next frame is coded as
// one.
TEST(Encoder, AKeyFrameIsAskedForOnlyWhenTheLiveStreamWaitsForOne)
{
    FakePipeline pipeline(3);
    PacketLog log;
    FakeVideoCodec* fake = pipeline.start();
    pipeline.encoder->encodingCallback(&log);
    IMuxerCallback& muxerSide = *pipeline.encoder; // as the muxer reports
    pipeline.offer(16, 2);
    muxerSide.liveStateChanged(LiveState::Live, 0, 0);
    pipeline.offer(16, 3);
    ASSERT_TRUE(waitFor([&] { return log.videos.load() == 2; }));
    EXPECT_EQ(fake->keyRequests.load(), 0);
    muxerSide.keyFrameWanted();
    pipeline.offer(16);
    ASSERT_TRUE(waitFor([&] { return log.videos.load() == 3; }));
    EXPECT_EQ(fake->keyRequests.load(), 1);
}

TEST(Encoder, CallbacksMayCallBackIntoThePipeline)
{
    FakePipeline pipeline(0, PIX_NV12, true);
    PacketLog log;
    pipeline.start();
    Encoder& encoder = *pipeline.encoder;
    std::vector<unsigned char> frame(64 * 48 * 3 / 2, 7), audio(3840, 1);
    std::atomic<bool> stopped{false};
    log.reenter = [&] {
        encoder.getSyncInfo().videoFrames.load();
        encoder.recordingPath();
        encoder.enqueueVideo(frame.data(), 64, 48, PIX_NV12, nullptr);
        encoder.enqueueAudio(audio.data(), 3840);
        if (log.audios.load() > 0 && log.videos.load() > 20 && !stopped.exchange(true))
            encoder.stop();
    };
    encoder.encodingCallback(&log);
    pipeline.offer(1, 3);
    encoder.enqueueAudio(audio.data(), 3840);
    ASSERT_TRUE(waitFor([&] { return stopped.load(); }));
    encoder.stop(); // joins the threads the callback could only ask to end
}

// Frames the full FIFO refuses and null (lost) frames are input drops, skipped in the output.
TEST(Encoder, FullFifoAndNullFramesAreInputDrops)
{
    FakePipeline pipeline;
    FakeVideoCodec* fake = pipeline.start();
    Encoder& encoder = *pipeline.encoder;
    // The encoder stalls on its first frame while the host pushes ten times the bound (60).
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    fake->onEncode = [released] { released.wait(); };
    pipeline.offer(1, 600);
    const AVSync& sync = encoder.getSyncInfo();
    EXPECT_GE(sync.videoInputDrops.load(), 600 - 61);
    release.set_value();
    EXPECT_TRUE(encoder.waitForVideoRoom(5000));
    const long long drops = sync.videoInputDrops.load();
    TimeStamp ts;
    encoder.enqueueVideo(nullptr, 64, 48, PIX_NV12, &ts);
    pipeline.offer(2);
    encoder.stop();
    EXPECT_EQ(sync.videoInputDrops.load(), drops + 1);
    EXPECT_NEAR(sync.inputClock.load(), 602 / 30.0, 1e-9) << "the lost frame is one frame interval";
    EXPECT_LE(fake->sizes.size(), 62u);
    EXPECT_EQ(fake->sizes.size() + sync.videoInputDrops.load(), 602u);
    EXPECT_EQ(sync.videoWritten.load(), sync.videoInputDrops.load());
}

TEST(Encoder, LentBuffersAreEncodedInPlaceAndComeBack)
{
    FakePipeline pipeline;
    FakeVideoCodec* fake = pipeline.start();
    Encoder& encoder = *pipeline.encoder;
    TimeStamp ts{1}; // a start stamp
    std::set<unsigned char*> buffers;
    for (int i = 0; i < 20; ++i) { // more than the pool holds: buffers must come back
        unsigned char* buffer = encoder.lendVideoBuffer(64, 48, PIX_NV12, 5000);
        ASSERT_NE(buffer, nullptr) << i;
        buffers.insert(buffer);
        std::fill(buffer, buffer + 64 * 48 * 3 / 2, static_cast<unsigned char>(i));
        encoder.submitVideoBuffer(buffer, &ts);
    }

    // Once the small pool is lent out, lending answers null; returned buffers are lent again.
    std::vector<unsigned char*> lent;
    while (unsigned char* b = encoder.lendVideoBuffer(64, 48, PIX_NV12, 100))
        lent.push_back(b);
    EXPECT_GE(lent.size(), buffers.size());
    EXPECT_LE(lent.size(), 8u);
    for (unsigned char* b : lent)
        encoder.returnVideoBuffer(b);
    unsigned char* again = encoder.lendVideoBuffer(64, 48, PIX_NV12, 0);
    EXPECT_NE(again, nullptr);
    encoder.returnVideoBuffer(again);
    encoder.stop();
    ASSERT_EQ(fake->firstBytes.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(fake->firstBytes[i], i);
        EXPECT_EQ(buffers.count(const_cast<unsigned char*>(fake->pointers[i])), 1u)
            << "encoded where the host wrote it";
    }
    EXPECT_EQ(encoder.lendVideoBuffer(64, 48, PIX_NV12, 0), nullptr) << "stopped";
}

// A second initialize resets counts, codec and start-stamp gate; destruction without stop().
TEST(Encoder, SecondInitializeStartsAnewAndDestructionReleasesTheCodec)
{
    const int aliveBefore = FakeVideoCodec::alive.load();
    {
        FakePipeline pipeline(0, PIX_NV12, true);
        pipeline.start();
        Encoder& encoder = *pipeline.encoder;
        pipeline.offer(50);
        ASSERT_EQ(encoder.initialize(nullptr, &pipeline.preset, false), 0);
        const AVSync& sync = encoder.getSyncInfo();
        EXPECT_EQ(sync.videoFrames.load(), 0) << "counts start anew";
        EXPECT_EQ(FakeVideoCodec::alive.load(), aliveBefore + 1) << "the first codec was released";
        ASSERT_TRUE(encoder.start());
        std::vector<unsigned char> buffer(64 * 48 * 2, 1);
        pipeline.offer(50, 1, 0);
        pipeline.offer(50, 1, 2);
        encoder.enqueueVideo(buffer.data(), 64, 48, PIX_NV12, nullptr);
        encoder.enqueueAudio(buffer.data(), 3840);
        EXPECT_EQ(sync.videoFrames.load(), 0) << "waits for a start stamp again";
        EXPECT_EQ(sync.audioBytesQueued.load(), 0);
        pipeline.offer(50, 1, 1);
        pipeline.offer(50, 1, 0); // later frames need no flag
        EXPECT_EQ(sync.videoFrames.load(), 2);
        encoder.enqueueAudio(buffer.data(), 3840);
        encoder.enqueueAudio(buffer.data(), 3840);
        encoder.enqueueAudio(buffer.data(), 0); // empty, not lost: ignored
        EXPECT_EQ(sync.audioBytesQueued.load(), 7680);
        EXPECT_EQ(sync.audioQueuedFrames.load(), 1); // 40 ms, 1.2 frames at 30 fps
        for (int i = 0; i < 20; ++i) {
            pipeline.offer(50);
            encoder.enqueueAudio(buffer.data(), 3840);
        }
    } // destroyed without stop(): the destructor joins both threads
    EXPECT_EQ(FakeVideoCodec::alive.load(), aliveBefore);
}
