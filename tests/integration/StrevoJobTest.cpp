#include "Probe.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/RefEncoder.h"

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

constexpr int kW = 320, kH = 240;
constexpr double kRate = 30;
constexpr int kSamplesPerFrame = 1600; // 48 kHz stereo

// Counts the packets a pipeline reports to the host; optionally slow, as a host that writes
// each packet to a slow disk or network.
struct PacketCounter : IEncodingCallback
{
    void videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                      unsigned char*, unsigned int) override
    {
        ++video;
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
    }
    void audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) override
    {
        ++audio;
    }
    std::atomic<long long> video{0}, audio{0};
    std::chrono::milliseconds delay{0};
};

// Where a job or a pipeline gets its input: a frame of the test pattern and a 1 kHz tone for
// the same span, the same for both, so that their recordings compare.
struct Input
{
    // A second of pictures made beforehand, so that a burst comes as fast as the host can copy.
    Input()
    {
        TestPattern pattern{kW, kH};
        for (int i = 0; i < kRate; ++i) {
            const uint8_t* p = pattern.frame(i);
            pictures.emplace_back(p, p + pattern.frameSize());
        }
    }
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<int16_t> sound = std::vector<int16_t>(2 * kSamplesPerFrame);
    const uint8_t* frame(int i) { return pictures[i % pictures.size()].data(); }
    unsigned char* audio(int i)
    {
        for (size_t s = 0; s < sound.size(); ++s)
            sound[s] = static_cast<int16_t>(
                8000 * std::sin(2 * M_PI * 1000.0 * (i * kSamplesPerFrame + s / 2) / 48000.0));
        return reinterpret_cast<unsigned char*>(sound.data());
    }
    static constexpr int kAudioBytes = 2 * kSamplesPerFrame * 2;
};

// A job of one pipeline per preset, fed through the facade: Encoders, or RefEncoders that
// share one video encoder where they can; `skip` frames are left out at the start.
struct FacadeJob
{
    explicit FacadeJob(const std::vector<CodecPreset>& presets, bool share = false, int skip = 0)
    {
        ProjectPreset project = presets.front();
        project.videoOutput().width = kW;
        project.videoOutput().height = kH;
        job.initialize(&project);
        for (CodecPreset preset : presets) {
            job.addCodecProfile(new CodecPreset(preset));
            Encoder* e = share ? new RefEncoder : new Encoder;
            EXPECT_TRUE(job.addEncoder(e, 0));
            EXPECT_EQ(e->initialize(&job, &preset, share), 0);
            e->start();
            pipelines.push_back(e);
        }
        EXPECT_TRUE(job.start(skip));
    }
    // Frames [from, to), with their sound, as fast as the job takes them or at the frame rate.
    void feed(int from, int to, bool realTime)
    {
        QSize sizes[3] = {QSize(kW, kH)};
        int formats[3] = {PIX_NV12};
        TimeStamp ts{1};
        auto next = std::chrono::steady_clock::now();
        for (int i = from; i < to; ++i) {
            unsigned char* planes[2][3] = {{const_cast<uint8_t*>(input.frame(i))}, {}};
            job.enqueueVideo(planes, sizes, formats, &ts);
            unsigned char* buffers[3] = {input.audio(i)};
            job.enqueueAudio(buffers, Input::kAudioBytes);
            if (realTime) {
                next += std::chrono::microseconds(static_cast<long>(1e6 / kRate));
                std::this_thread::sleep_until(next);
            }
        }
    }
    Strevo job;
    std::vector<Encoder*> pipelines; // the job's
    Input input;
};

QString onlyFile(const QString& folder)
{
    const QStringList files = QDir(folder).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 1) << qPrintable(folder);
    return files.isEmpty() ? QString() : QDir(folder).filePath(files[0]);
}

} // namespace

// A job of two outputs that the host drives only through the facade: frames and audio go into
// the facade's queues in real time, its worker hands them to the pipelines. The outputs share
// one video encoder, which the second finds through the facade's list of pipelines.
TEST(StrevoJob, TwoOutputsFedThroughTheFacade)
{
    constexpr int kSkip = 5, kFrames = 300; // 10 s
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* sub : {"a", "b"})
        QDir(dir.path()).mkpath(QLatin1String(sub));
    std::vector<int> results;
    {
        FacadeJob job({RecordingHarness::preset(dir.filePath("a"), "mp4", kW, kH, kRate),
                       RecordingHarness::preset(dir.filePath("b"), "mkv", kW, kH, kRate)},
                      true, kSkip);
        QObject::connect(&job.job, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
        EXPECT_TRUE(static_cast<RefEncoder*>(job.pipelines[1])->isFollower());
        job.feed(0, kSkip + kFrames, true);
        EXPECT_EQ(job.job.syncInfo().videoFrames.load(), kFrames);
        job.job.stop();
        for (IEncoder* e : job.job.encoders())
            EXPECT_EQ(e->getSyncInfo().videoInputDrops.load(), 0);
    } // deleting the facade deletes the pipelines, which finishes the files
    EXPECT_TRUE(results.empty());
    for (const char* sub : {"a", "b"}) {
        const QString path = onlyFile(dir.filePath(sub));
        Probe::expectDecodes(path);
        const Probe::Media m = Probe::inspect(path);
        EXPECT_EQ(m.frames(), kFrames) << qPrintable(path);
        EXPECT_NEAR(Probe::span(m.audioPackets), kFrames / kRate, 0.1) << qPrintable(path);
    }
}

// 10 s of frames and sound pushed at once: through the facade the recording keeps its 10 s
// timeline, with the frames that did not fit as gaps, exactly as a pipeline fed directly does.
TEST(StrevoJob, ABurstKeepsItsTimelineAsInAPipeline)
{
    constexpr int kFrames = 300;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* sub : {"facade", "direct"})
        QDir(dir.path()).mkpath(QLatin1String(sub));
    long long facadeDrops = 0;
    {
        FacadeJob job({RecordingHarness::preset(dir.filePath("facade"), "mkv", kW, kH, kRate)});
        job.feed(0, kFrames, false);
        job.job.stop();
        facadeDrops = job.pipelines[0]->getSyncInfo().videoInputDrops.load();
    }
    {
        CodecPreset preset = RecordingHarness::preset(dir.filePath("direct"), "mkv", kW, kH, kRate);
        Encoder e;
        ASSERT_EQ(e.initialize(nullptr, &preset, false), 0);
        e.start();
        Input input;
        TimeStamp ts{1};
        for (int i = 0; i < kFrames; ++i) {
            e.enqueueVideo(const_cast<uint8_t*>(input.frame(i)), kW, kH, PIX_NV12, &ts);
            e.enqueueAudio(input.audio(i), Input::kAudioBytes);
        }
        e.stop();
    }
    EXPECT_GT(facadeDrops, 0) << "the burst was expected to overflow the queues";
    for (const char* sub : {"facade", "direct"}) {
        const QString path = onlyFile(dir.filePath(sub));
        Probe::expectDecodes(path);
        const Probe::Media m = Probe::inspect(path, false);
        EXPECT_NEAR(Probe::span(m.videoPackets), kFrames / kRate, 0.15) << sub;
        EXPECT_NEAR(Probe::span(m.audioPackets), kFrames / kRate, 0.15) << sub;
    }
}

// Two outputs, one of them slow (its host callback takes 60 ms a packet, so it manages about
// 16 of 30 frames a second): the fast one keeps every frame; the slow one drops alone, counts
// it, and its recording still spans the whole 6 s.
TEST(StrevoJob, ASlowOutputCostsTheOthersNoFrame)
{
    constexpr int kFrames = 180;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* sub : {"fast", "slow"})
        QDir(dir.path()).mkpath(QLatin1String(sub));
    PacketCounter fastCounter, slowCounter;
    slowCounter.delay = std::chrono::milliseconds(60);
    long long slowDrops = 0, fastDrops = 0;
    {
        FacadeJob job({RecordingHarness::preset(dir.filePath("fast"), "mp4", kW, kH, kRate),
                       RecordingHarness::preset(dir.filePath("slow"), "mkv", kW, kH, kRate)});
        job.pipelines[0]->encodingCallback(&fastCounter);
        job.pipelines[1]->encodingCallback(&slowCounter);
        job.feed(0, kFrames, true);
        job.job.stop();
        fastDrops = job.pipelines[0]->getSyncInfo().videoInputDrops.load();
        slowDrops = job.pipelines[1]->getSyncInfo().videoInputDrops.load();
    }
    EXPECT_EQ(fastDrops, 0);
    EXPECT_GT(slowDrops, 0);
    const Probe::Media fast = Probe::inspect(onlyFile(dir.filePath("fast")));
    EXPECT_EQ(fast.frames(), kFrames);
    const QString slowPath = onlyFile(dir.filePath("slow"));
    Probe::expectDecodes(slowPath);
    const Probe::Media slow = Probe::inspect(slowPath);
    EXPECT_EQ(slow.frames() + slowDrops, kFrames);
    EXPECT_NEAR(Probe::span(slow.videoPackets), kFrames / kRate, 0.2);
    EXPECT_NEAR(Probe::span(slow.audioPackets), kFrames / kRate, 0.2);
}

// stop() reports to the host every packet its outputs still make while they drain, before it
// returns: the video packets reported are the packets in the file.
TEST(StrevoJob, StopReportsEveryPacketOfTheFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    PacketCounter counter;
    CodecPreset preset = RecordingHarness::preset(dir.path(), "mp4", kW, kH, kRate);
    preset.videoCodec().tune.clear(); // x264's look-ahead holds frames back until the drain
    long long reported = 0;
    {
        FacadeJob job({preset});
        job.job.encodingCallback(&counter);
        job.feed(0, 85, false);
        job.job.stop();
        reported = counter.video.load();
        EXPECT_GT(counter.audio.load(), 0);
    }
    EXPECT_EQ(counter.video.load(), reported) << "reported after stop() returned";
    const Probe::Media m = Probe::inspect(onlyFile(dir.path()), false);
    EXPECT_EQ(reported, m.videoPackets.size());
}
