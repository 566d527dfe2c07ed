#include "Probe.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"
#include "encoder/RefEncoder.h"

#include <QTemporaryDir>
#include <chrono>
#include <thread>

namespace {

constexpr int kW = 320, kH = 240;
constexpr double kRate = 30;
constexpr int kSamplesPerFrame = 1600; // 48 kHz stereo

// A job fed through the facade, one pipeline per container, each recording into a folder of its
// own: Encoders, or RefEncoders that share one video encoder; `skip` frames are left out first.
struct FacadeJob
{
    FacadeJob(const QTemporaryDir& dir, const std::vector<const char*>& containers,
              bool share = false, int skip = 0,
              const std::function<void(CodecPreset&)>& change = {})
    {
        for (size_t i = 0; i < containers.size(); ++i) {
            const QString folder = dir.filePath(QString::number(i));
            QDir().mkpath(folder);
            CodecPreset preset =
                RecordingHarness::preset(folder, QLatin1String(containers[i]), kW, kH, kRate);
            if (change)
                change(preset);
            if (i == 0) {
                ProjectPreset project = preset;
                project.videoOutput().width = kW;
                project.videoOutput().height = kH;
                job.initialize(&project);
            }
            job.addCodecProfile(new CodecPreset(preset));
            Encoder* e = share ? new RefEncoder : new Encoder;
            EXPECT_TRUE(job.addEncoder(e, 0));
            EXPECT_EQ(e->initialize(&job, &preset, share), 0);
            e->start();
            pipelines.push_back(e);
        }
        EXPECT_TRUE(job.start(skip));
    }
    // Frames with their sound, as fast as the job takes them or at the frame rate.
    void feed(int frames, bool realTime)
    {
        QSize sizes[3] = {QSize(kW, kH)};
        int formats[3] = {PIX_NV12};
        TimeStamp ts{1};
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            unsigned char* planes[2][3] = {{const_cast<uint8_t*>(pattern.frame(i))}, {}};
            job.enqueueVideo(planes, sizes, formats, &ts);
            unsigned char* buffers[3] = {reinterpret_cast<unsigned char*>(sound.data())};
            job.enqueueAudio(buffers, static_cast<int>(sound.size() * 2));
            next += std::chrono::microseconds(static_cast<long>(1e6 / kRate));
            if (realTime)
                std::this_thread::sleep_until(next);
        }
    }
    long long drops(int i) const { return pipelines[i]->getSyncInfo().videoInputDrops.load(); }
    Strevo job;
    std::vector<Encoder*> pipelines; // the job's
    TestPattern pattern{kW, kH};
    std::vector<int16_t> sound = std::vector<int16_t>(2 * kSamplesPerFrame, 3000); // a level
};

// The one file that pipeline i of a FacadeJob in `dir` wrote.
QString fileOf(const QTemporaryDir& dir, int i)
{
    const QDir folder(dir.filePath(QString::number(i)));
    const QStringList files = folder.entryList(QDir::Files);
    EXPECT_EQ(files.size(), 1) << qPrintable(folder.path());
    return files.isEmpty() ? QString() : folder.filePath(files[0]);
}

} // namespace

// Two outputs fed through the facade in real time, the first kSkip frames skipped: they share
// one video encoder (found through the facade's list of pipelines) and record every frame after.
TEST(StrevoJob, TwoOutputsFedThroughTheFacade)
{
    constexpr int kSkip = 5, kFrames = 300; // 10 s
    QTemporaryDir dir;
    std::vector<int> results;
    {
        FacadeJob job(dir, {"mp4", "mkv"}, true, kSkip);
        QObject::connect(&job.job, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
        EXPECT_TRUE(static_cast<RefEncoder*>(job.pipelines[1])->isFollower());
        job.feed(kSkip + kFrames, true);
        EXPECT_EQ(job.job.syncInfo().videoFrames.load(), kFrames);
        job.job.stop();
        EXPECT_EQ(job.drops(0) + job.drops(1), 0);
    } // deleting the facade deletes the pipelines, which finishes the files
    EXPECT_TRUE(results.empty());
    for (int i : {0, 1}) {
        Probe::expectDecodes(fileOf(dir, i));
        const Probe::Media m = Probe::inspect(fileOf(dir, i));
        EXPECT_EQ(m.frames(), kFrames) << i;
        EXPECT_NEAR(Probe::span(m.audioPackets), kFrames / kRate, 0.1) << i;
    }
}

// Two outputs, one whose host callback takes 60 ms a packet: the fast one keeps every frame; the
// slow one drops alone, counts it, and its recording still spans the whole 6 s.
TEST(StrevoJob, ASlowOutputCostsTheOthersNoFrame)
{
    constexpr int kFrames = 180;
    QTemporaryDir dir;
    PacketCounter fast, slow;
    slow.delay = std::chrono::milliseconds(60);
    long long drops = 0;
    {
        FacadeJob job(dir, {"mp4", "mkv"});
        job.pipelines[0]->encodingCallback(&fast);
        job.pipelines[1]->encodingCallback(&slow);
        job.feed(kFrames, true);
        job.job.stop();
        EXPECT_EQ(job.drops(0), 0);
        drops = job.drops(1);
    }
    EXPECT_GT(drops, 0);
    EXPECT_EQ(Probe::inspect(fileOf(dir, 0)).frames(), kFrames);
    Probe::expectDecodes(fileOf(dir, 1));
    const Probe::Media m = Probe::inspect(fileOf(dir, 1));
    EXPECT_EQ(m.frames() + drops, kFrames);
    EXPECT_NEAR(Probe::span(m.videoPackets), kFrames / kRate, 0.2);
    EXPECT_NEAR(Probe::span(m.audioPackets), kFrames / kRate, 0.2);
}

// stop() reports every packet the outputs make while they drain before it returns, to a host
// that calls back into the pipeline.
TEST(StrevoJob, StopReportsEveryPacketOfTheFile)
{
    QTemporaryDir dir;
    PacketCounter counter;
    long long reported = 0;
    {
        // Without zerolatency x264's look-ahead holds frames back until the drain.
        FacadeJob job(dir, {"mp4"}, false, 0, [](CodecPreset& p) { p.videoCodec().tune.clear(); });
        counter.asks = job.pipelines[0];
        job.job.encodingCallback(&counter);
        job.feed(85, false);
        job.job.stop();
        reported = counter.video.load();
        EXPECT_GT(counter.audio.load(), 0);
    }
    EXPECT_EQ(counter.video.load(), reported) << "reported after stop() returned";
    EXPECT_EQ(reported, Probe::inspect(fileOf(dir, 0), false).videoPackets.size());
}
