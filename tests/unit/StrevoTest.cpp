#include "api/Strevo.h"
#include "MessageCapture.h"
#include "api/OutputFeed.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr int W = 64, H = 32;
const int kFrameBytes = pixelFormatFrameSize(PIX_NV12, W, H);

// Records per frame format, size, first byte (-1: lost), stamped; per audio buffer first byte.
class RecordingPipeline : public Encoder
{
public:
    using Frame = std::tuple<int, int, int, int, bool>;
    ~RecordingPipeline() override { deleted = true; }
    void enqueueVideo(unsigned char* d, int w, int h, int f, TimeStamp* ts) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.emplace_back(f, w, h, d ? d[0] : -1, ts != nullptr);
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
        audio.push_back(d ? d[0] : -1);
    }
    bool stop() override { return ++stops, true; }
    bool pause() override { return ++pauses, true; }

    static inline bool deleted = false;
    std::mutex mutex;
    std::vector<Frame> frames; // guarded by mutex while the job runs
    std::vector<int> audio;    // likewise
    int stops = 0, pauses = 0;
};

// A facade for a 64×32 project with one output preset; feeds every source bytes of `fill`.
struct Job
{
    Job()
    {
        ProjectPreset project;
        project.videoOutput() = {W, H, 30.0, true};
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

} // namespace

// start() needs an output, and says so; the master preset is the largest; only failures
// are results.
TEST(Strevo, JobControlAndQueries)
{
    Strevo strevo;
    {
        MessageCapture log;
        EXPECT_FALSE(strevo.start(5));
        EXPECT_EQ(log.count(QStringLiteral("no output was added (addOutput, or addCodecProfile "
                                           "with addEncoder)")),
                  1);
    }
    for (const auto& [w, h] :
         {std::pair(1280, 720), std::pair(1920, 1080), std::pair(1080, 1920)}) {
        auto* p = new CodecPreset;
        p->videoCodec().width = w;
        p->videoCodec().height = h;
        strevo.addCodecProfile(p);
    }
    EXPECT_EQ(strevo.masterCodecPreset(), nullptr); // the project's useMasterPreset is off
    ProjectPreset project;
    project.videoOutput().useMasterPreset = true;
    strevo.initialize(&project);
    EXPECT_EQ(strevo.masterCodecPreset()->videoCodec().width, 1920);
    EXPECT_TRUE(strevo.start(5) && strevo.start(5) && strevo.isEncoding());
    EXPECT_TRUE(strevo.stop());
    EXPECT_FALSE(strevo.isEncoding());

    std::vector<int> results;
    QObject::connect(&strevo, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
    strevo.ecoderStateCallback(nullptr, 1, 300); // progress, not a result
    strevo.ecoderStateCallback(nullptr, 0, -4);
    EXPECT_EQ(results, std::vector<int>{-4});
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

// A lent buffer reaches every pipeline of its source uncopied; unused ones are lent again.
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
    for (const char* why : {"pixel format 99", "no planes", "but no size", "no buffers", "size 0"})
        EXPECT_EQ(log.count(QLatin1String(why)), 1) << why;
    EXPECT_EQ(log.count(QStringLiteral("not encoding")), 2); // once before start, once after
}

// Each source is queued at its own size and format, neither the project's; a source whose frames
// have no layout is refused alone, with one warning per run of frames refused alike.
TEST(Strevo, EachSourceKeepsItsSizeAndIsRefusedAlone)
{
    MessageCapture log;
    Job job;
    auto* p0 = new RecordingPipeline;
    auto* p1 = new RecordingPipeline;
    job.strevo.addEncoder(p0, 0);
    job.strevo.addEncoder(p1, 1);
    ASSERT_TRUE(job.strevo.start(0));
    const QSize small(48, 24), large(80, 40), none(0, 40);
    std::vector<unsigned char> first, second;
    const auto send = [&](unsigned char fill, QSize size1, int format1) {
        first.assign(size_t(pixelFormatFrameSize(PIX_NV12, small.width(), small.height())), fill);
        const int bytes = pixelFormatFrameSize(format1, size1.width(), size1.height());
        second.assign(size_t(std::max(bytes, 1)), fill);
        unsigned char* planes[2][3] = {{first.data(), second.data()}, {}};
        QSize sizes[3] = {small, size1};
        int formats[3] = {PIX_NV12, format1};
        TimeStamp ts{1};
        job.strevo.enqueueVideo(planes, sizes, formats, &ts);
    };
    send(1, large, PIX_BGRA);
    send(2, none, PIX_BGRA); // warns
    send(3, none, PIX_BGRA);
    send(4, large, 99); // warns: another reason
    send(5, large, 99);
    send(6, large, PIX_BGRA);
    send(7, large, 99); // warns: refused again after an accepted frame
    job.strevo.stop();

    ASSERT_EQ(p0->frames.size(), 7u);
    EXPECT_EQ(p0->frames.back(), RecordingPipeline::Frame(PIX_NV12, 48, 24, 7, true));
    EXPECT_EQ(p1->frames, (std::vector<RecordingPipeline::Frame>{{PIX_BGRA, 80, 40, 1, true},
                                                                 {PIX_BGRA, 80, 40, 6, true}}));
    EXPECT_EQ(job.strevo.syncInfo().videoFrames.load(), 7);
    EXPECT_EQ(log.count(QStringLiteral("has no frame layout")), 3);
    EXPECT_EQ(log.count(QStringLiteral("source 1 frame is 0x40 in pixel format 23")), 1);
    EXPECT_EQ(log.count(QStringLiteral("source 1 frame is 80x40 in pixel format 99")), 2);
}

class FullPipeline : public RecordingPipeline
{
public:
    bool waitForVideoRoom(int timeoutMs) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 20)));
        return false;
    }
};

// An output that reported failure (low disk space) is no longer waited for, nor by stop().
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
    EXPECT_EQ(fed, OutputFeed::kVideoDepth); // the output's own queue is full
    job.strevo.ecoderStateCallback(full, 0, -4);
    EXPECT_TRUE(job.strevo.waitForVideoRoom(0));
    for (; fed < 100; ++fed) {
        ASSERT_TRUE(job.strevo.waitForVideoRoom(5000));
        job.video(static_cast<unsigned char>(fed));
    }
    job.strevo.stop();
    EXPECT_EQ(ok->frames.size(), 100u);
}
