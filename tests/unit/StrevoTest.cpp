#include "api/Strevo.h"
#include "MessageCapture.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/IEncoder.h"

#include <QRegularExpression>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int W = 64, H = 32;
const int kFrameBytes = pixelFormatFrameSize(PIX_NV12, W, H);

// A pipeline that only records what reaches it, for checking what the facade hands over.
class RecordingPipeline : public IEncoder
{
public:
    struct Frame
    {
        int width, height, format;
        unsigned char first; // first byte of the pixels (a texture: 0)
        const void* data;
        bool stamped;
    };
    explicit RecordingPipeline(bool* deleted = nullptr) : m_deleted(deleted) {}
    ~RecordingPipeline() override
    {
        if (m_deleted)
            *m_deleted = true;
    }

    std::vector<Frame> frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::vector<int> audio() const // first byte of each buffer
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_audio;
    }
    std::atomic<int> stops{0}, pauses{0};

    void enqueueVideo(unsigned char* d, int w, int h, int f, TimeStamp* ts) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(
            {w, h, f, static_cast<unsigned char>(f == PIX_TEXTURE ? 0 : d[0]), d, ts != nullptr});
    }
    void enqueueVideo(unsigned char* d, int w, int h, int f) override
    {
        enqueueVideo(d, w, h, f, nullptr);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.back().stamped = false;
    }
    void enqueueAudio(unsigned char* d, int) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_audio.push_back(d[0]);
    }
    bool stop() override { return ++stops, true; }
    bool pause() override { return ++pauses, true; }

    int encoderType() override { return 0; }
    bool isHWSupport() override { return false; }
    int initialize(IEncodingStatus*, CodecPreset*, bool) override { return 0; }
    bool checkTimeSplit() override { return false; }
    bool start() override { return true; }
    void abortMuxer() override {}
    void encodingCallback(IEncodingCallback*) override {}
    CodecPreset* codecPreset() override { return nullptr; }
    AVSync& getSyncInfo() override { return m_sync; }
    IVideoCodec* videoCodec() override { return nullptr; }
    IAudioCodec* audioCodec() override { return nullptr; }
    const EncodedVideo& encodedVideo() const override { return m_video; }
    const EncodedAudio& encodedAudio() const override { return m_audioOut; }
    bool writeVideoMuxer(unsigned char*, unsigned, unsigned, long long, long long,
                         unsigned) override
    {
        return false;
    }
    void writeVideoInputDrop() override {}
    void writeVideoOutputDrop() override {}
    void setRefVideoCodec(bool) override {}
    const QString& recordingPath() override { return m_emptyPath; }
    IMuxer* muxer() override { return nullptr; }
    bool waitForVideoRoom(int) override { return true; }
    unsigned char* lendVideoBuffer(int, int, int, int) override { return nullptr; }
    void submitVideoBuffer(unsigned char*, TimeStamp*) override {}
    void returnVideoBuffer(unsigned char*) override {}

private:
    bool* m_deleted;
    AVSync m_sync;
    EncodedVideo m_video;
    EncodedAudio m_audioOut;
    mutable std::mutex m_mutex;
    std::vector<Frame> m_frames; // guarded by m_mutex
    std::vector<int> m_audio;    // guarded by m_mutex
};

class DeletionPreset : public CodecPreset
{
public:
    explicit DeletionPreset(bool* deleted, int w = 1280, int h = 720) : m_deleted(deleted)
    {
        videoCodec().width = w;
        videoCodec().height = h;
    }
    ~DeletionPreset() override { *m_deleted = true; }

private:
    bool* m_deleted;
};

// A facade for a 64×32 project, with one output preset.
struct Job
{
    explicit Job(bool textures = false)
    {
        ProjectPreset project;
        project.videoOutput().width = W;
        project.videoOutput().height = H;
        project.processing().textureInput = textures ? 1 : 0;
        strevo.initialize(&project);
        strevo.addCodecProfile(new CodecPreset);
    }
    // Feeds one call with frames of source 0..2 filled with `fill`.
    void video(unsigned char fill, QSize size = QSize(W, H), int format = PIX_NV12)
    {
        for (auto& f : pixels)
            f.assign(kFrameBytes, fill);
        unsigned char* planes[2][3] = {{pixels[0].data(), pixels[1].data(), pixels[2].data()},
                                       {nullptr, nullptr, nullptr}};
        QSize sizes[3] = {size, size, size};
        int formats[3] = {format, format, format};
        TimeStamp ts{1};
        strevo.enqueueVideo(planes, sizes, formats, &ts);
    }
    void audio(unsigned char fill)
    {
        buffer.assign(64, fill);
        unsigned char* buffers[3] = {buffer.data(), buffer.data(), buffer.data()};
        strevo.enqueueAudio(buffers, 64);
    }
    Strevo strevo;
    std::vector<unsigned char> pixels[3], buffer;
};

std::vector<int> firstBytes(const RecordingPipeline& p)
{
    std::vector<int> out;
    for (const auto& f : p.frames())
        out.push_back(f.first);
    return out;
}

} // namespace

TEST(Strevo, StartNeedsAPresetAndStartsOneWorker)
{
    Strevo strevo;
    EXPECT_FALSE(strevo.start(5));
    EXPECT_FALSE(strevo.isEncoding());
    strevo.addCodecProfile(new CodecPreset);
    EXPECT_TRUE(strevo.start(5));
    EXPECT_TRUE(strevo.start(5));
    EXPECT_TRUE(strevo.isEncoding());
    EXPECT_TRUE(strevo.stop());
    EXPECT_FALSE(strevo.isEncoding());
}

TEST(Strevo, MasterPresetIsTheFirstLargestAndDestructionFreesPresets)
{
    bool deleted[3] = {};
    CodecPreset* second = nullptr;
    MessageCapture log;
    {
        Strevo strevo;
        ProjectPreset project;
        project.videoOutput().useMasterPreset = true;
        strevo.addCodecProfile(new DeletionPreset(&deleted[0], 1280, 720));
        strevo.addCodecProfile(second = new DeletionPreset(&deleted[1], 1920, 1080));
        strevo.addCodecProfile(new DeletionPreset(&deleted[2], 1080, 1920));
        EXPECT_EQ(strevo.masterCodecPreset(), nullptr); // useMasterPreset still off
        strevo.initialize(&project);
        EXPECT_EQ(strevo.masterCodecPreset(), second);
    }
    EXPECT_TRUE(deleted[0] && deleted[1] && deleted[2]);
    EXPECT_TRUE(log.contains(QStringLiteral("debug: destroy Strevo")));
}

TEST(Strevo, MetaObjectVersionAndRequests)
{
    Strevo strevo;
    EXPECT_STREQ(strevo.metaObject()->className(), "Strevo");
    EXPECT_EQ(strevo.qt_metacast("IThreadCallback"), static_cast<IThreadCallback*>(&strevo));
    EXPECT_EQ(strevo.qt_metacast("IEncodingStatus"), static_cast<IEncodingStatus*>(&strevo));
    EXPECT_EQ(strevo.qt_metacast("Strevo"), &strevo);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^strevo \\d+\\.\\d+\\.\\d+\\.\\d+ [0-9a-f]{8}$"))
                    .match(strevo.moduleVersion())
                    .hasMatch())
        << qPrintable(strevo.moduleVersion());
    EXPECT_EQ(strevo.requestMaxFormat(1, 2, 23), 23);
    EXPECT_EQ(strevo.requestMaxSize(0, QSize(640, 360), 0), QSize(640, 360));
    EXPECT_TRUE(strevo.requestSources(1).isEmpty());

    std::vector<int> results;
    QObject::connect(&strevo, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
    IEncodingStatus& status = strevo;
    status.ecoderStateCallback(nullptr, 1, 300); // progress: not a result
    status.ecoderStateCallback(nullptr, 0, -4);
    EXPECT_EQ(results, std::vector<int>{-4});
}

// Skip counts, source filtering and audio routing, seen from the pipelines.
TEST(Strevo, HandsQueuedInputToThePipelinesOfEachSource)
{
    bool deleted = false;
    auto* p0 = new RecordingPipeline(&deleted);
    auto* p2 = new RecordingPipeline;
    auto* list1 = new RecordingPipeline; // audio input 1, whose source is not in the set
    auto* list8 = new RecordingPipeline; // the last audio input
    {
        MessageCapture log;
        Job job;
        ASSERT_TRUE(job.strevo.addEncoder(p0, 0));
        ASSERT_TRUE(job.strevo.addEncoder(p2, 2));
        ASSERT_TRUE(job.strevo.addEncoder(list1, 2, 1));
        ASSERT_TRUE(job.strevo.addEncoder(list8, 2, 8));
        RecordingPipeline stray;
        EXPECT_FALSE(job.strevo.addEncoder(&stray, 3));
        EXPECT_EQ(job.strevo.inputSources(), (QSet<int>{0, 2}));
        ASSERT_TRUE(job.strevo.start(2));
        EXPECT_FALSE(job.strevo.addEncoder(p0, 1)); // not while encoding

        job.audio(1);
        job.video(1);
        job.audio(2); // audio does not count down
        job.video(2);
        job.video(3);
        job.audio(3);
        EXPECT_EQ(job.strevo.syncInfo().videoFrames.load(), 1);

        std::vector<unsigned char> bufs[12];
        QList<AudioOutputData> list;
        for (int i = 0; i < 12; ++i) {
            bufs[i].assign(16, static_cast<unsigned char>(10 + i));
            list.append({i == 3 ? nullptr : bufs[i].data(), i});
        }
        job.strevo.enqueueAudio(list, 16);
        job.strevo.stop();

        EXPECT_EQ(firstBytes(*p0), std::vector<int>{3});
        EXPECT_EQ(firstBytes(*p2), std::vector<int>{3});
        EXPECT_TRUE(p0->frames()[0].stamped);
        EXPECT_EQ(p0->frames()[0].width, W);
        EXPECT_EQ(p0->audio(), (std::vector<int>{3, 10}));
        EXPECT_EQ(p2->audio(), (std::vector<int>{3, 12}));
        EXPECT_EQ(list1->audio(), std::vector<int>{11});
        EXPECT_EQ(list8->audio(), std::vector<int>{18});
        EXPECT_EQ(p0->stops.load(), 1);
        EXPECT_EQ(log.count(QStringLiteral("debug: skip Strevo::enqueueAudio 2")), 1);
        EXPECT_EQ(log.count(QStringLiteral("debug: skip Strevo::enqueueAudio 1")), 1);
        EXPECT_EQ(job.strevo.encoders().size(), 4);
        job.strevo.pause();
        EXPECT_EQ(list8->pauses.load(), 1);
    }
    EXPECT_TRUE(deleted);
}

TEST(Strevo, TextureOnlyEntries)
{
    auto* p = new RecordingPipeline;
    Job job(true);
    job.strevo.addEncoder(p, 1);
    job.strevo.start(0);
    int texture = 0;
    unsigned char* planes[2][3] = {{nullptr, nullptr, nullptr},
                                   {nullptr, reinterpret_cast<unsigned char*>(&texture), nullptr}};
    TimeStamp ts{1};
    job.strevo.enqueueVideo(planes, nullptr, nullptr, &ts);
    job.strevo.stop();
    ASSERT_EQ(p->frames().size(), 1u);
    const auto f = p->frames()[0];
    EXPECT_EQ(f.format, PIX_TEXTURE);
    EXPECT_EQ(f.width, 0);
    EXPECT_EQ(f.height, 0);
    EXPECT_EQ(f.data, &texture);
}

// Input the facade cannot take is refused with a warning that says why, and nothing reaches
// the pipelines.
TEST(Strevo, RefusesBadInput)
{
    auto* p = new RecordingPipeline;
    MessageCapture log;
    Job job;
    job.strevo.addEncoder(p, 0);
    job.video(1); // before start
    job.audio(1);
    ASSERT_TRUE(job.strevo.start(0));
    job.video(2, QSize(W, H + 2));
    job.video(3, QSize(W, H), 99);
    job.strevo.enqueueVideo(nullptr, nullptr, nullptr, nullptr);
    unsigned char* planes[2][3] = {{job.pixels[0].data(), nullptr, nullptr}, {}};
    job.strevo.enqueueVideo(planes, nullptr, nullptr, nullptr);
    job.strevo.enqueueAudio(nullptr, 64);
    unsigned char* buffers[3] = {job.buffer.data(), nullptr, nullptr};
    job.strevo.enqueueAudio(buffers, 0);
    job.strevo.stop();
    job.video(4); // after stop
    job.audio(4);
    EXPECT_TRUE(p->frames().empty());
    EXPECT_TRUE(p->audio().empty());
    EXPECT_EQ(job.strevo.syncInfo().videoFrames.load(), 0);
    for (const char* why : {"frame is 64x34, the project's is 64x32", "pixel format 99",
                            "no planes", "but no size", "no buffers", "size 0"})
        EXPECT_EQ(log.count(QLatin1String(why)), 1) << why;
    EXPECT_EQ(log.count(QStringLiteral("not encoding")), 2); // once before start, once after stop
}

// Host threads keep feeding while another stops the job (checked by the ThreadSanitizer build).
TEST(Strevo, FeedingWhileStopping)
{
    auto* p = new RecordingPipeline;
    Job job;
    job.strevo.addEncoder(p, 0);
    ASSERT_TRUE(job.strevo.start(1));
    std::atomic<bool> go{false};
    auto feed = [&](bool video) {
        std::vector<unsigned char> frame(kFrameBytes, 7), audio(64, 7);
        unsigned char* planes[2][3] = {{frame.data(), nullptr, nullptr}, {}};
        QSize sizes[3] = {QSize(W, H), QSize(W, H), QSize(W, H)};
        int formats[3] = {PIX_NV12, PIX_NV12, PIX_NV12};
        unsigned char* buffers[3] = {audio.data(), nullptr, nullptr};
        TimeStamp ts{1};
        while (!go.load()) {
        }
        for (int i = 0; i < 2000; ++i) {
            if (video)
                job.strevo.enqueueVideo(planes, sizes, formats, &ts);
            else
                job.strevo.enqueueAudio(buffers, 64);
        }
    };
    std::thread a(feed, true), b(feed, false);
    go.store(true);
    std::this_thread::yield();
    job.strevo.stop();
    a.join();
    b.join();
    EXPECT_FALSE(job.strevo.isEncoding());
    EXPECT_LE(static_cast<long long>(p->frames().size()), job.strevo.syncInfo().videoFrames.load());
}
