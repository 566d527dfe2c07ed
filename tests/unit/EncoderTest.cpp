#include "encoder/Encoder.h"
#include "FakeVideoCodec.h"
#include "H264Decoder.h"
#include "codec/video/VideoCodecFactory.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/IEncodingStatus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sys/mount.h>

namespace {

// Collects what a pipeline hands to the host; called on the worker threads.
class PacketLog : public IEncodingCallback
{
public:
    struct Video
    {
        QString codec;
        std::vector<unsigned char> data;
        int width, height;
        unsigned int key;
        std::vector<unsigned char> header;
    };
    void videoEncoded(const QString& codecName, unsigned char* data, unsigned int size, int width,
                      int height, unsigned int key, unsigned char* extraData,
                      unsigned int extraDataSize) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        video.push_back({codecName,
                         {data, data + size},
                         width,
                         height,
                         key,
                         extraData
                             ? std::vector<unsigned char>(extraData, extraData + extraDataSize)
                             : std::vector<unsigned char>()});
    }
    void audioEncoded(unsigned char* data, unsigned int size, unsigned char*, unsigned int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        audio.emplace_back(data, data + size);
    }
    size_t videoCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return video.size();
    }
    size_t audioCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return audio.size();
    }

    std::mutex mutex;
    std::vector<Video> video;                      // guarded by mutex
    std::vector<std::vector<unsigned char>> audio; // guarded by mutex
};

class StatusLog : public IEncodingStatus
{
public:
    void ecoderStateCallback(IEncoder*, int type, int state) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back({type, state});
    }
    QVector<IEncoder*> encoders() override { return {}; }
    std::mutex mutex;
    std::vector<std::pair<int, int>> reports; // guarded by mutex
};

CodecPreset outputlessPreset(const QString& codec = QStringLiteral("X264"), int width = 160,
                             int height = 120)
{
    CodecPreset p;
    p.videoOutput().frameRate = 30;
    auto& v = p.videoCodec();
    v.codecName = codec;
    v.width = width;
    v.height = height;
    v.frameRate = 30;
    v.bitrate = 500;
    v.preset = QStringLiteral("ultrafast");
    v.tune = QStringLiteral("zerolatency");
    p.audioCodec().enabled = false;
    p.local().enabled = false;
    p.streaming().enabled = false;
    return p;
}

template <class Pred> bool waitFor(Pred pred, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(2);
    }
    return true;
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

// Registers a FakeVideoCodec factory entry for one test.
class FakeCodecScope
{
public:
    FakeCodecScope(const QString& name, int delay, int format = PIX_NV12, bool failInit = false)
        : m_name(name)
    {
        VideoCodecFactory::addCodec(name, [=] {
            auto* c = new FakeVideoCodec(delay, 30, format);
            c->failInitialize = failInit;
            return c;
        });
    }
    ~FakeCodecScope() { VideoCodecFactory::addCodec(m_name, nullptr); }

private:
    QString m_name;
};

std::vector<unsigned char> solidBgra(int w, int h, unsigned char b, unsigned char g,
                                     unsigned char r)
{
    std::vector<unsigned char> f(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < f.size(); i += 4) {
        f[i] = b;
        f[i + 1] = g;
        f[i + 2] = r;
        f[i + 3] = 255;
    }
    return f;
}

} // namespace

TEST(Encoder, FreshPipelineAnswersDefaults)
{
    Encoder encoder;
    EXPECT_EQ(encoder.startTime(), -1.0);
    EXPECT_TRUE(encoder.recordingPath().isEmpty());
    EXPECT_FALSE(encoder.isHWSupport());
    EXPECT_TRUE(encoder.pause());
    EXPECT_FALSE(encoder.start()) << "nothing to run before initialize";
    EXPECT_EQ(encoder.videoCodec(), nullptr);
    EXPECT_EQ(encoder.muxer(), nullptr);
    encoder.abortMuxer(); // no muxer: nothing happens
}

TEST(Encoder, ResultCodesForCodecs)
{
    struct Case
    {
        QString video;
        QString audio;
        bool audioEnabled;
        int width;
    };
    const Case cases[] = {
        {QStringLiteral("x264"), QString(), false, 160}, // mis-cased
        {QString(), QString(), false, 160},              // empty
        {QStringLiteral("H265"), QString(), false, 160}, // unknown
        {QStringLiteral("X264"), QString(), false, 0},   // codec's initialize fails
        {QStringLiteral("X264"), QString(), true, 160},  // audio enabled, empty name
        {QStringLiteral("X264"), QStringLiteral("aac"), true, 160},
    };
    for (const Case& c : cases) {
        CodecPreset preset = outputlessPreset(c.video, c.width);
        preset.audioCodec().enabled = c.audioEnabled;
        preset.audioCodec().codecName = c.audio;
        Encoder encoder;
        EXPECT_EQ(encoder.initialize(nullptr, &preset, false), -2)
            << c.video.toStdString() << "/" << c.audio.toStdString() << " " << c.width;
    }
    // The video encoder created before the audio failure stays with the pipeline.
    CodecPreset preset = outputlessPreset();
    preset.audioCodec().enabled = true;
    preset.audioCodec().codecName.clear();
    Encoder encoder;
    EXPECT_EQ(encoder.initialize(nullptr, &preset, false), -2);
    EXPECT_NE(encoder.videoCodec(), nullptr);
}

TEST(Encoder, WithoutOutputsEveryFrameReachesTheCallback)
{
    CodecPreset preset = outputlessPreset();
    preset.encoderType = 42;
    PacketLog log;
    StatusLog status;
    {
        Encoder encoder;
        ASSERT_EQ(encoder.initialize(&status, &preset, false), 0);
        EXPECT_EQ(encoder.encoderType(), 42);
        EXPECT_TRUE(encoder.recordingPath().isEmpty());
        EXPECT_EQ(encoder.muxer(), nullptr);
        encoder.encodingCallback(&log);
        ASSERT_TRUE(encoder.start());
        EXPECT_FALSE(encoder.start()) << "second start";

        std::vector<unsigned char> frame(160 * 120 * 3 / 2, 90);
        TimeStamp ts;
        ts.startFlag = 1;
        for (int i = 0; i < 60; ++i) {
            frame[i] = 200; // every frame differs
            encoder.enqueueVideo(frame.data(), 160, 120, PIX_NV12, &ts);
        }
        // Wait until the video thread is busy, then stop: frames still queued are encoded.
        ASSERT_TRUE(waitFor([&] { return log.videoCount() > 0; }));
        encoder.encodingCallback(nullptr);
        encoder.encodingCallback(&log);
        encoder.stop();
        EXPECT_EQ(encoder.encodedVideo().frameCount.load(), 60u);
        EXPECT_EQ(encoder.encodedVideo().missedFrames.load(), 0u);
    }
    // stop() removes the callback, so packets after it are not reported; those before are.
    ASSERT_GE(log.video.size(), 1u);
    ASSERT_LE(log.video.size(), 60u);
    const PacketLog::Video& first = log.video.front();
    EXPECT_EQ(first.codec, QStringLiteral("X264"));
    EXPECT_EQ(first.width, 160);
    EXPECT_EQ(first.height, 120);
    EXPECT_EQ(first.key, 1u);
    EXPECT_GT(first.data.size(), 0u);
    ASSERT_GT(first.header.size(), 4u);
    EXPECT_EQ(first.header[4] & 0x1f, 7) << "the global header starts with the SPS";
    for (size_t i = 1; i < log.video.size(); ++i)
        EXPECT_EQ(log.video[i].key, 0u);
    std::lock_guard<std::mutex> lock(status.mutex);
    for (const auto& r : status.reports)
        EXPECT_NE(r.first, 0) << "no failure report: " << r.second;
}

TEST(Encoder, ConvertsFramesOfOtherFormatsAndSizes)
{
    CodecPreset preset = outputlessPreset(QStringLiteral("X264"), 160, 120);
    PacketLog log;
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    encoder.encodingCallback(&log);
    ASSERT_TRUE(encoder.start());
    TimeStamp ts;
    ts.startFlag = 1;
    // Red BGRA at twice the size, then blue NV12-ish grey at the right size, then green RGB24.
    const auto red = solidBgra(320, 240, 0, 0, 255);
    for (int i = 0; i < 10; ++i)
        encoder.enqueueVideo(const_cast<unsigned char*>(red.data()), 320, 240, PIX_BGRA, &ts);
    std::vector<unsigned char> grey(160 * 120 * 3 / 2, 128);
    std::fill(grey.begin(), grey.begin() + 160 * 120, 180);
    for (int i = 0; i < 10; ++i)
        encoder.enqueueVideo(grey.data(), 160, 120, PIX_NV12, &ts);
    std::vector<unsigned char> green(200 * 100 * 3);
    for (size_t i = 0; i < green.size(); i += 3) {
        green[i] = 0;
        green[i + 1] = 255;
        green[i + 2] = 0;
    }
    for (int i = 0; i < 10; ++i)
        encoder.enqueueVideo(green.data(), 200, 100, PIX_RGB24, &ts);
    encoder.encodingCallback(&log);
    ASSERT_TRUE(waitFor([&] { return log.videoCount() == 30; }));
    encoder.stop();

    H264Decoder decoder;
    std::vector<H264Decoder::Picture> pictures;
    for (size_t i = 0; i < log.video.size(); ++i) {
        std::vector<unsigned char> packet =
            i == 0 ? log.video[0].header : std::vector<unsigned char>();
        packet.insert(packet.end(), log.video[i].data.begin(), log.video[i].data.end());
        for (auto& p : decoder.decode(packet.data(), packet.size()))
            pictures.push_back(std::move(p));
    }
    for (auto& p : decoder.flush())
        pictures.push_back(std::move(p));
    ASSERT_EQ(pictures.size(), 30u);
    auto centre = [](const H264Decoder::Picture& p, const std::vector<unsigned char>& plane,
                     int div) {
        return static_cast<int>(plane[(p.height / div / 2) * (p.width / div) + p.width / div / 2]);
    };
    // BT.601 limited range: red Y 81 V 240; grey passes through; green Y 145 U 54.
    const H264Decoder::Picture& r = pictures[9];
    EXPECT_EQ(r.width, 160);
    EXPECT_NEAR(centre(r, r.y, 1), 81, 6);
    EXPECT_NEAR(centre(r, r.v, 2), 240, 8);
    const H264Decoder::Picture& g = pictures[19];
    EXPECT_NEAR(centre(g, g.y, 1), 180, 6);
    const H264Decoder::Picture& gr = pictures[29];
    EXPECT_NEAR(centre(gr, gr.y, 1), 145, 6);
    EXPECT_NEAR(centre(gr, gr.u, 2), 54, 8);
}

TEST(Encoder, ConverterIsRebuiltWhenTheInputFormatChanges)
{
    FakeCodecScope scope(QStringLiteral("FAKE-YUV"), 0, PIX_YUV420P);
    CodecPreset preset = outputlessPreset(QStringLiteral("FAKE-YUV"), 64, 48);
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    auto* fake = dynamic_cast<FakeVideoCodec*>(encoder.videoCodec());
    ASSERT_NE(fake, nullptr);
    ASSERT_TRUE(encoder.start());
    TimeStamp ts;
    ts.startFlag = 1;
    std::vector<unsigned char> yuv(64 * 48 * 3 / 2, 100);
    const auto white = solidBgra(64, 48, 255, 255, 255);
    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_YUV420P, &ts); // as it is
    encoder.enqueueVideo(const_cast<unsigned char*>(white.data()), 64, 48, PIX_BGRA,
                         &ts);                                  // converted
    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_NV12, &ts);    // converted anew
    encoder.enqueueVideo(yuv.data(), 64, 48, PIX_YUV420P, &ts); // as it is again
    int texture = 0;
    encoder.enqueueVideo(reinterpret_cast<unsigned char*>(&texture), 0, 0, PIX_TEXTURE,
                         &ts); // cannot encode
    encoder.stop();
    EXPECT_EQ(fake->formats,
              (std::vector<int>{PIX_YUV420P, PIX_YUV420P, PIX_YUV420P, PIX_YUV420P}));
    EXPECT_EQ(fake->sizes, std::vector<unsigned int>(4, 64 * 48 * 3 / 2));
    EXPECT_EQ(fake->firstBytes[0], 100);
    EXPECT_NEAR(fake->firstBytes[1], 235, 2); // white BGRA -> Y 235
    EXPECT_EQ(fake->firstBytes[3], 100);
    EXPECT_EQ(encoder.getSyncInfo().videoOutputDrops.load(), 1) << "the texture frame is dropped";
}

TEST(Encoder, NullFramesAreInputDrops)
{
    CodecPreset preset = outputlessPreset();
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    ASSERT_TRUE(encoder.start());
    std::vector<unsigned char> frame(160 * 120 * 3 / 2, 50);
    TimeStamp ts;
    ts.startFlag = 1;
    encoder.enqueueVideo(frame.data(), 160, 120, PIX_NV12, &ts);
    encoder.enqueueVideo(nullptr, 160, 120, PIX_NV12, &ts);
    encoder.enqueueVideo(frame.data(), 160, 120, PIX_NV12, &ts);
    encoder.stop();
    const AVSync& sync = encoder.getSyncInfo();
    EXPECT_EQ(sync.videoInputDrops.load(), 1);
    EXPECT_EQ(sync.videoFrames.load(), 4) << "three queued plus the drop";
    EXPECT_EQ(sync.videoWritten.load(), 1);
    EXPECT_NEAR(sync.inputClock.load(), 4.0 / 30, 1e-9);
    EXPECT_EQ(encoder.encodedVideo().frameCount.load(), 2u);
}

TEST(Encoder, CodecDelayHoldsAudioBack)
{
    FakeCodecScope scope(QStringLiteral("FAKE-DELAY3"), 3);
    CodecPreset preset = outputlessPreset(QStringLiteral("FAKE-DELAY3"), 64, 48);
    preset.videoOutput().frameRate = 25;
    preset.videoCodec().frameRate = 25;
    preset.audioOutput() = {2, 48000, 16, 3840};
    preset.audioCodec() = {true, QStringLiteral("PCM"), 48000, 1536, 16, 2};
    PacketLog log;
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    encoder.encodingCallback(&log);
    ASSERT_TRUE(encoder.start());
    std::vector<unsigned char> frame(64 * 48 * 3 / 2, 50);
    TimeStamp ts;
    ts.startFlag = 1;
    for (int i = 0; i < 5; ++i)
        encoder.enqueueVideo(frame.data(), 64, 48, PIX_NV12, &ts);
    ASSERT_TRUE(waitFor([&] { return log.videoCount() == 2; }));
    EXPECT_EQ(encoder.encodedVideo().missedFrames.load(), 3u);
    // 3 frames x 7680 bytes of audio per frame / 3840-byte chunks.
    EXPECT_EQ(encoder.encodedAudio().holdChunks.load(), 6);

    // The audio thread encodes only while holdChunks - 4 = 2 buffers are queued, so one buffer
    // always stays behind.
    std::vector<unsigned char> audio(3840, 1);
    encoder.enqueueAudio(audio.data(), 3840);
    QThread::msleep(100);
    EXPECT_EQ(log.audioCount(), 0u);
    encoder.enqueueAudio(audio.data(), 3840);
    ASSERT_TRUE(waitFor([&] { return log.audioCount() == 1; }));
    for (int i = 0; i < 3; ++i)
        encoder.enqueueAudio(audio.data(), 3840);
    ASSERT_TRUE(waitFor([&] { return log.audioCount() == 4; }));
    QThread::msleep(50);
    EXPECT_EQ(log.audioCount(), 4u);
    EXPECT_EQ(log.audio[0], audio) << "PCM packets are the input";
    EXPECT_EQ(encoder.getSyncInfo().audioBytesEncoded.load(), 4 * 3840);
    EXPECT_EQ(encoder.getSyncInfo().audioFrames.load(), 2); // 15360 bytes = 2 frames at 25 fps

    // Stopping drains the three held-back frames and ends the audio with the video: the last
    // queued buffer, then silence up to 5 frames = 200 ms = 10 chunks.
    encoder.stop();
    EXPECT_EQ(encoder.encodedVideo().frameCount.load(), 5u);
    EXPECT_EQ(encoder.getSyncInfo().audioBytesEncoded.load(), 10 * 3840);
    EXPECT_EQ(encoder.getSyncInfo().audioFrames.load(), 5);
}

TEST(Encoder, SecondInitializeReplacesCodecsAndDestructionJoinsEverything)
{
    // Start and join one thread first: runtimes (a sanitizer's) keep a helper thread of their
    // own from the first thread on, which must not count against the pipeline.
    std::unique_ptr<QThread> warmUp(QThread::create([] {}));
    warmUp->start();
    warmUp->wait();
    const int before = threadCount();
    const int aliveBefore = FakeVideoCodec::alive.load();
    {
        FakeCodecScope scope(QStringLiteral("FAKE-0"), 0);
        CodecPreset preset = outputlessPreset(QStringLiteral("FAKE-0"), 64, 48);
        preset.audioCodec() = {true, QStringLiteral("PCM"), 48000, 1536, 16, 2};
        auto* encoder = new Encoder();
        ASSERT_EQ(encoder->initialize(nullptr, &preset, false), 0);
        ASSERT_TRUE(encoder->start());
        std::vector<unsigned char> first(64 * 48 * 3 / 2, 50);
        TimeStamp start;
        start.startFlag = 1;
        encoder->enqueueVideo(first.data(), 64, 48, PIX_NV12, &start);
        ASSERT_EQ(encoder->initialize(nullptr, &preset, false), 0);
        EXPECT_EQ(encoder->getSyncInfo().videoFrames.load(), 0)
            << "a new initialize starts the counts anew";
        EXPECT_EQ(encoder->getSyncInfo().inputClock.load(), 0.0);
        EXPECT_EQ(encoder->encodedVideo().frameCount.load(), 0u);
        encoder->enqueueVideo(first.data(), 64, 48, PIX_NV12, nullptr);
        EXPECT_EQ(encoder->getSyncInfo().videoFrames.load(), 0)
            << "and waits for a start stamp again";
        EXPECT_EQ(FakeVideoCodec::alive.load(), aliveBefore + 1) << "the first codec was released";
        ASSERT_TRUE(encoder->start());
        std::vector<unsigned char> frame(64 * 48 * 3 / 2, 50);
        std::vector<unsigned char> audio(3840, 1);
        TimeStamp ts;
        ts.startFlag = 1;
        for (int i = 0; i < 20; ++i) {
            encoder->enqueueVideo(frame.data(), 64, 48, PIX_NV12, &ts);
            encoder->enqueueAudio(audio.data(), 3840);
        }
        delete encoder; // without stop(): the destructor joins both threads
    }
    EXPECT_EQ(FakeVideoCodec::alive.load(), aliveBefore);
    EXPECT_TRUE(waitFor([&] { return threadCount() <= before; }, 2000))
        << threadCount() << " threads, " << before << " before";
}

TEST(Encoder, SharedVideoCodecLivesUntilItsLastHolder)
{
    FakeCodecScope scope(QStringLiteral("FAKE-SHARED"), 0);
    CodecPreset preset = outputlessPreset(QStringLiteral("FAKE-SHARED"), 64, 48);
    const int aliveBefore = FakeVideoCodec::alive.load();
    auto* a = new Encoder();
    ASSERT_EQ(a->initialize(nullptr, &preset, false), 0);
    IVideoCodec* codec = a->videoCodec();
    codec->m_refCount++; // a second holder, as a pipeline sharing the encoder takes it
    delete a;
    EXPECT_EQ(FakeVideoCodec::alive.load(), aliveBefore + 1);
    EXPECT_EQ(codec->m_refCount, 1);
    delete codec;
}

TEST(Encoder, DiskSpaceLimitOnARealVolume)
{
    QTemporaryDir small, large;
    const auto mountTmpfs = [](const QString& dir, long long bytes) {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        return ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0,
                       options.constData()) == 0;
    };
    if (!mountTmpfs(small.path(), 200000000LL))
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
    ASSERT_TRUE(mountTmpfs(large.path(), 201000000LL));

    CodecPreset preset = outputlessPreset();
    preset.local().enabled = true;
    preset.local().folder = small.path() + QStringLiteral("/recordings/today"); // not there yet
    {
        Encoder encoder;
        EXPECT_EQ(encoder.initialize(nullptr, &preset, false), -4);
        EXPECT_EQ(encoder.videoCodec(), nullptr) << "checked before any encoder is made";
    }
    preset.local().folder = large.path();
    {
        Encoder encoder;
        EXPECT_NE(encoder.initialize(nullptr, &preset, false), -4);
        EXPECT_NE(encoder.videoCodec(), nullptr);
    }
    ::umount(QFile::encodeName(small.path()).constData());
    ::umount(QFile::encodeName(large.path()).constData());
}

TEST(Encoder, StopDrainsTheFramesTheCodecHeldBack)
{
    CodecPreset preset = outputlessPreset();
    preset.videoCodec().tune.clear();
    preset.videoCodec().preset = QStringLiteral("medium");
    PacketLog log;
    Encoder encoder;
    ASSERT_EQ(encoder.initialize(nullptr, &preset, false), 0);
    ASSERT_TRUE(encoder.start());
    std::vector<unsigned char> frame(160 * 120 * 3 / 2, 90);
    TimeStamp ts;
    ts.startFlag = 1;
    for (int i = 0; i < 40; ++i) {
        frame[i * 7] = 250;
        encoder.enqueueVideo(frame.data(), 160, 120, PIX_NV12, &ts);
    }
    encoder.stop();
    EXPECT_GT(encoder.encodedVideo().missedFrames.load(), 0u) << "the codec did hold frames back";
    EXPECT_EQ(encoder.encodedVideo().frameCount.load(), 40u);
}
