#include "api/Strevo.h"
#include "MessageCapture.h"
#include "api/OutputFeed.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"

#include <QRegularExpression>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr int W = 64, H = 32;
constexpr std::intptr_t kLost = -1;
const int kFrameBytes = pixelFormatFrameSize(PIX_NV12, W, H);

// A pipeline that only records what reaches it: per audio buffer its first byte.
class RecordingPipeline : public Encoder
{
public:
    // format, width, height, first byte (a texture: its pointer; a lost frame: kLost), stamped
    using Frame = std::tuple<int, int, int, std::intptr_t, bool>;
    ~RecordingPipeline() override { deleted = true; }
    void enqueueVideo(unsigned char* d, int w, int h, int f, TimeStamp* ts) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.emplace_back(f, w, h,
                            f == PIX_TEXTURE ? std::intptr_t(d)
                            : d              ? d[0]
                                             : kLost,
                            ts != nullptr);
    }
    void enqueueVideo(unsigned char* d, int w, int h, int f) override
    {
        enqueueVideo(d, w, h, f, nullptr);
    }
    void enqueueSharedVideo(std::shared_ptr<const void>, unsigned char* d, int w, int h, int f,
                            TimeStamp* ts) override
    {
        enqueueVideo(d, w, h, f, ts);
    }
    void enqueueAudio(unsigned char* d, int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        audio.push_back(d ? d[0] : int(kLost));
    }
    // One buffer to lend; what comes back is counted.
    unsigned char* lendVideoBuffer(int, int, int, int) override { return pool.data(); }
    void submitVideoBuffer(unsigned char* b, TimeStamp* ts) override
    {
        enqueueVideo(b, W, H, PIX_NV12, ts);
    }
    void returnVideoBuffer(unsigned char*) override { ++returned; }
    bool stop() override { return ++stops, true; }
    bool pause() override { return ++pauses, true; }

    static inline bool deleted = false;
    std::mutex mutex;
    std::vector<Frame> frames; // guarded by mutex while the job runs
    std::vector<int> audio;    // likewise
    int stops = 0, pauses = 0, returned = 0;
    std::vector<unsigned char> pool = std::vector<unsigned char>(kFrameBytes, 7);
};

// A facade for a 64×32 project with one output preset, and feeding helpers: every source gets a
// frame (or audio buffer) whose bytes all hold `fill`.
struct Job
{
    explicit Job(bool textures = false)
    {
        ProjectPreset project;
        project.videoOutput() = {W, H, 30.0, true};
        project.processing().textureInput = textures ? 1 : 0;
        strevo.initialize(&project);
        strevo.addCodecProfile(new CodecPreset);
    }
    void video(unsigned char fill, QSize size = QSize(W, H), int format = PIX_NV12)
    {
        frame.assign(kFrameBytes, fill);
        unsigned char* planes[2][3] = {{frame.data(), frame.data(), frame.data()}, {}};
        QSize sizes[3] = {size, size, size};
        int formats[3] = {format, format, format};
        TimeStamp ts{1};
        strevo.enqueueVideo(planes, sizes, formats, &ts);
    }
    void audio(unsigned char fill, int size = 64)
    {
        buffer.assign(64, fill);
        unsigned char* buffers[3] = {buffer.data(), buffer.data(), buffer.data()};
        strevo.enqueueAudio(buffers, size);
    }
    Strevo strevo;
    std::vector<unsigned char> frame, buffer;
};

CodecPreset* sized(int w, int h)
{
    auto* p = new CodecPreset;
    p->videoCodec().width = w;
    p->videoCodec().height = h;
    return p;
}

} // namespace

TEST(Strevo, JobControlAndQueries)
{
    MessageCapture log;
    {
        Strevo strevo;
        EXPECT_FALSE(strevo.start(5)); // no output preset
        EXPECT_FALSE(strevo.isEncoding());
        strevo.addCodecProfile(sized(1280, 720));
        strevo.addCodecProfile(sized(1920, 1080));
        strevo.addCodecProfile(sized(1080, 1920));
        EXPECT_EQ(strevo.masterCodecPreset(), nullptr); // the project's useMasterPreset is off
        ProjectPreset project;
        project.videoOutput().useMasterPreset = true;
        strevo.initialize(&project);
        EXPECT_EQ(strevo.masterCodecPreset()->videoCodec().width, 1920);
        EXPECT_TRUE(strevo.start(5) && strevo.start(5) && strevo.isEncoding());
        EXPECT_TRUE(strevo.stop());
        EXPECT_FALSE(strevo.isEncoding());

        EXPECT_EQ(strevo.qt_metacast("IThreadCallback"), static_cast<IThreadCallback*>(&strevo));
        EXPECT_EQ(strevo.qt_metacast("IEncodingStatus"), static_cast<IEncodingStatus*>(&strevo));
        EXPECT_STREQ(strevo.metaObject()->className(), "Strevo");
        const QRegularExpression version(QStringLiteral("^strevo \\d+(\\.\\d+){3} [0-9a-f]{8}$"));
        EXPECT_TRUE(version.match(strevo.moduleVersion()).hasMatch());

        std::vector<int> results;
        QObject::connect(&strevo, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
        strevo.ecoderStateCallback(nullptr, 1, 300); // progress, not a result
        strevo.ecoderStateCallback(nullptr, 0, -4);
        EXPECT_EQ(results, std::vector<int>{-4});
    }
    EXPECT_TRUE(log.contains(QStringLiteral("debug: destroy Strevo")));
}

// Skip counts, source filtering and audio routing, as the pipelines see them.
TEST(Strevo, HandsQueuedInputToThePipelinesOfEachSource)
{
    RecordingPipeline::deleted = false;
    MessageCapture log;
    {
        Job job;
        RecordingPipeline* p[4] = {new RecordingPipeline, new RecordingPipeline,
                                   new RecordingPipeline, new RecordingPipeline};
        job.strevo.addEncoder(p[0], 0);
        job.strevo.addEncoder(p[1], 2);
        job.strevo.addEncoder(p[2], 2, 1); // audio input 1, whose source 1 is not in the set
        job.strevo.addEncoder(p[3], 2, 8);
        EXPECT_FALSE(job.strevo.addEncoder(p[0], 3));
        ASSERT_TRUE(job.strevo.start(2));
        EXPECT_FALSE(job.strevo.addEncoder(p[0], 1)); // not while encoding
        job.audio(1);
        job.video(1);
        job.audio(2);
        job.video(2);
        job.video(3);
        job.audio(3);
        EXPECT_EQ(job.strevo.syncInfo().videoFrames.load(), 1);
        std::vector<unsigned char> bytes(12 * 16);
        QList<AudioOutputData> list;
        for (int i = 0; i < 12; ++i) {
            std::fill_n(&bytes[16 * i], 16, 10 + i);
            list.append({i == 3 ? nullptr : &bytes[16 * i], i});
        }
        job.strevo.enqueueAudio(list, 16);
        job.strevo.stop();
        job.strevo.pause();

        const RecordingPipeline::Frame third{PIX_NV12, W, H, 3, true};
        EXPECT_EQ(p[0]->frames, std::vector<RecordingPipeline::Frame>{third});
        EXPECT_EQ(p[1]->frames, std::vector<RecordingPipeline::Frame>{third});
        EXPECT_EQ(p[0]->audio, (std::vector<int>{3, 10}));
        EXPECT_EQ(p[1]->audio, (std::vector<int>{3, 12}));
        EXPECT_EQ(p[2]->audio, std::vector<int>{11});
        EXPECT_EQ(p[3]->audio, std::vector<int>{18});
        EXPECT_TRUE(p[3]->stops == 1 && p[3]->pauses == 1);
        EXPECT_EQ(log.count(QStringLiteral("debug: skip Strevo::enqueueAudio ")), 2);
    }
    EXPECT_TRUE(RecordingPipeline::deleted);
}

TEST(Strevo, TextureOnlyEntries)
{
    auto* p = new RecordingPipeline;
    Job job(true);
    job.strevo.addEncoder(p, 1);
    job.strevo.start(0);
    int texture = 0;
    unsigned char* planes[2][3] = {{}, {nullptr, reinterpret_cast<unsigned char*>(&texture)}};
    job.strevo.enqueueVideo(planes, nullptr, nullptr, nullptr);
    job.strevo.stop();
    const RecordingPipeline::Frame entry{PIX_TEXTURE, 0, 0, std::intptr_t(&texture), false};
    EXPECT_EQ(p->frames, std::vector<RecordingPipeline::Frame>{entry});
}

// The job lends its own buffers, for any number of pipelines of a source: a submitted one
// reaches each of them without a copy, skipped, refused and returned ones go back for reuse.
TEST(Strevo, LentBuffersReachEveryPipelineOfTheSource)
{
    auto* p = new RecordingPipeline;
    auto* q = new RecordingPipeline;
    Job job;
    job.strevo.addEncoder(p, 0);
    job.strevo.addEncoder(q, 0);
    EXPECT_EQ(job.strevo.lendVideoBuffer(0, PIX_NV12, 0), nullptr); // before start
    ASSERT_TRUE(job.strevo.start(1));
    EXPECT_EQ(job.strevo.lendVideoBuffer(1, PIX_NV12, 0), nullptr); // no pipeline
    EXPECT_EQ(job.strevo.lendVideoBuffer(0, 99, 0), nullptr);       // no frame layout
    TimeStamp ts{1};
    std::set<unsigned char*> seen;
    for (int i = 0; i < 4; ++i) {
        unsigned char* buffer = job.strevo.lendVideoBuffer(0, PIX_NV12, 0);
        ASSERT_NE(buffer, nullptr);
        seen.insert(buffer);
        std::fill_n(buffer, kFrameBytes, 10 + i);
        if (i == 2)
            job.strevo.returnVideoBuffer(0, buffer);
        else
            job.strevo.submitVideoBuffer(0, buffer, &ts); // the first is skipped
    }
    job.strevo.stop();
    unsigned char* late = job.strevo.lendVideoBuffer(0, PIX_NV12, 0);
    EXPECT_EQ(late, nullptr); // after stop
    const std::vector<RecordingPipeline::Frame> frames{{PIX_NV12, W, H, 11, true},
                                                       {PIX_NV12, W, H, 13, true}};
    EXPECT_EQ(p->frames, frames);
    EXPECT_EQ(q->frames, frames);
    EXPECT_LE(seen.size(), 2u) << "buffers that came back are lent again";
}

// Input the facade cannot take is refused with a warning that says why; nothing is queued.
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
    unsigned char* planes[2][3] = {{job.frame.data()}, {}};
    job.strevo.enqueueVideo(planes, nullptr, nullptr, nullptr);
    job.strevo.enqueueAudio(nullptr, 64);
    job.audio(4, 0);
    job.strevo.stop();
    job.video(5); // after stop
    job.audio(5);
    EXPECT_TRUE(p->frames.empty() && p->audio.empty());
    EXPECT_EQ(job.strevo.syncInfo().videoFrames.load(), 0);
    for (const char* why : {"frame is 64x34, the project's is 64x32", "pixel format 99",
                            "no planes", "but no size", "no buffers", "size 0"})
        EXPECT_EQ(log.count(QLatin1String(why)), 1) << why;
    EXPECT_EQ(log.count(QStringLiteral("not encoding")), 2); // once before start, once after
}

// Host threads keep feeding while another stops the job (run it in the ThreadSanitizer build).
TEST(Strevo, FeedingWhileStopping)
{
    Job job;
    job.strevo.addEncoder(new RecordingPipeline, 0);
    ASSERT_TRUE(job.strevo.start(1));
    auto feed = [&](bool video) {
        std::vector<unsigned char> frame(kFrameBytes), audio(64);
        unsigned char* planes[2][3] = {{frame.data()}, {}};
        QSize sizes[3] = {QSize(W, H)};
        int formats[3] = {PIX_NV12};
        unsigned char* buffers[3] = {audio.data()};
        for (int i = 0; i < 2000; ++i)
            video ? job.strevo.enqueueVideo(planes, sizes, formats, nullptr)
                  : job.strevo.enqueueAudio(buffers, 64);
    };
    std::thread a(feed, true), b(feed, false);
    while (job.strevo.syncInfo().videoFrames.load() < 100)
        std::this_thread::yield();
    job.strevo.stop();
    a.join();
    b.join();
    EXPECT_FALSE(job.strevo.isEncoding());
}

// A pipeline that cannot keep up: it holds the first frame it is given until released (or
// 10 s), and then says whether the host had finished feeding by then.
class StuckPipeline : public RecordingPipeline
{
public:
    void enqueueVideo(unsigned char* d, int w, int h, int f, TimeStamp* ts) override
    {
        if (!held) {
            held = true;
            released.wait_for(std::chrono::seconds(10));
            hostWasDone = hostDone.load();
        }
        RecordingPipeline::enqueueVideo(d, w, h, f, ts);
    }
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool held = false;        // hand-off thread only
    bool hostWasDone = false; // likewise; read after stop()
    static inline std::atomic<bool> hostDone{false};
};

// One output that cannot keep up costs the host nothing and the other output no frame; it
// loses frames alone, each as a lost-frame marker in its place, and keeps every audio buffer.
TEST(Strevo, AStuckOutputLosesFramesAloneAndInOrder)
{
    constexpr int kFrames = 100;
    auto* fast = new RecordingPipeline;
    auto* stuck = new StuckPipeline;
    Job job;
    job.strevo.addEncoder(fast, 0);
    job.strevo.addEncoder(stuck, 0);
    ASSERT_TRUE(job.strevo.start(0));
    StuckPipeline::hostDone = false;
    // A live host: a frame every few milliseconds, which the fast output's hand-off keeps up with.
    for (int i = 0; i < kFrames; ++i) {
        job.video(static_cast<unsigned char>(i));
        job.audio(static_cast<unsigned char>(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    StuckPipeline::hostDone = true;
    stuck->release.set_value();
    job.strevo.stop();

    EXPECT_TRUE(stuck->hostWasDone) << "the host waited for the stuck output";
    ASSERT_EQ(fast->frames.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; ++i)
        EXPECT_EQ(std::get<3>(fast->frames[i]), i);
    // The stuck output: the frame it held, one marker per frame lost while it was stuck, then
    // the 16 frames its queue kept (the losses go first, as a pipeline's own do).
    ASSERT_EQ(stuck->frames.size(), size_t(kFrames));
    const int lost = kFrames - 1 - OutputFeed::kVideoDepth;
    for (int i = 0; i < kFrames; ++i)
        EXPECT_EQ(std::get<3>(stuck->frames[i]), i == 0 ? 0 : i <= lost ? kLost : i - lost) << i;
    EXPECT_EQ(stuck->audio.size(), size_t(kFrames));
    EXPECT_EQ(fast->audio, stuck->audio);
}

// A pipeline that never has room for a frame.
class FullPipeline : public RecordingPipeline
{
public:
    bool waitForVideoRoom(int timeoutMs) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 20)));
        return false;
    }
};

// A transcoding host waits for the slowest output; once that output reports that it failed
// (low disk space), nobody waits for it and stop() does not hang on it.
TEST(Strevo, AFailedOutputIsNotWaitedFor)
{
    auto* ok = new RecordingPipeline;
    auto* full = new FullPipeline;
    Job job;
    job.strevo.addEncoder(ok, 0);
    job.strevo.addEncoder(full, 0);
    ASSERT_TRUE(job.strevo.start(0));
    int fed = 0;
    while (fed < 100 && job.strevo.waitForVideoRoom(300)) {
        job.video(static_cast<unsigned char>(fed));
        ++fed;
    }
    // The frames wait in the output's own queue until it is full.
    EXPECT_EQ(fed, OutputFeed::kVideoDepth);
    job.strevo.ecoderStateCallback(full, 0, -4);
    EXPECT_TRUE(job.strevo.waitForVideoRoom(0));
    for (; fed < 100; ++fed) {
        ASSERT_TRUE(job.strevo.waitForVideoRoom(5000));
        job.video(static_cast<unsigned char>(fed));
    }
    job.strevo.stop();
    EXPECT_EQ(ok->frames.size(), 100u);
}
