#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

// Outputs made, fed and followed through the typed calls a host uses: addOutput, removeOutput,
// pushVideo, pushAudio and the observer.

namespace {

using strevo::OutputState;
using Clock = std::chrono::steady_clock;

constexpr int kW = 320, kH = 240;
constexpr double kRate = 30;
// Rows of each plane are padded: the padding is white, so that a frame read without its strides
// shows stripes.
constexpr int kPad = 48;

// What an observer saw, and on which threads.
struct Recorder : IStrevoObserver
{
    void outputStateChanged(int index, OutputState state, const QString& reason) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        states[index].push_back(state);
        reasons[index].push_back(reason);
        if (job) // a host may call back into the job from here
            inside.push_back(job->outputStats(index).state);
    }
    void outputStats(int index, const strevo::OutputStats& stats) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        last[index] = stats;
        ++ticks[index];
    }
    std::vector<OutputState> statesOf(int index)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return states[index];
    }
    // Waits up to 5 s until the observer was told that output `index` is in `state`.
    bool saw(int index, OutputState state)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            const auto s = statesOf(index);
            if (std::find(s.begin(), s.end(), state) != s.end())
                return true;
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::mutex mutex;
    Strevo* job = nullptr;
    std::set<std::thread::id> threads;
    std::map<int, std::vector<OutputState>> states;
    std::map<int, QStringList> reasons;
    std::map<int, strevo::OutputStats> last;
    std::map<int, int> ticks;
    std::vector<OutputState> inside;
};

// A host: a project of kW x kH at kRate, the observer set, and strided YUV420P frames of one
// still picture with its sound, pushed at the frame rate.
struct Host
{
    Host()
    {
        ProjectPreset project = RecordingHarness::preset(QString(), QStringLiteral("mp4"));
        project.videoOutput().width = kW;
        project.videoOutput().height = kH;
        job.initialize(&project);
        job.setObserver(&observer);
        observer.job = &job;
        const uint8_t* picture = pattern.frame(0);
        for (int p = 0; p < 3; ++p) {
            const int w = p ? kW / 2 : kW, h = p ? kH / 2 : kH;
            strides[p] = w + kPad;
            planes[p].assign(static_cast<size_t>(strides[p]) * h, 255);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    planes[p][static_cast<size_t>(y) * strides[p] + x] =
                        p ? 128 : picture[y * kW + x];
        }
    }
    ~Host() { job.setObserver(nullptr); }

    strevo::VideoFrame frame(int i) const
    {
        strevo::VideoFrame f;
        f.pixelFormat = PIX_YUV420P;
        f.width = kW;
        f.height = kH;
        for (int p = 0; p < 3; ++p) {
            f.planes[p] = planes[p].data();
            f.strides[p] = strides[p];
        }
        f.timestampUs = static_cast<long long>(i * 1e6 / kRate);
        return f;
    }
    // Pushes `frames` frames in real time from frame `first`; `at(i)` runs before frame i.
    // Not in real time: frames without a time, each as soon as every output has room for it,
    // as a transcoding host pushes them.
    void push(int first, int frames, const std::function<void(int)>& at = {}, bool realTime = true)
    {
        auto next = Clock::now();
        for (int i = first; i < first + frames; ++i) {
            if (at)
                at(i);
            QString why;
            strevo::VideoFrame f = frame(i);
            if (!realTime) {
                f.timestampUs = -1;
                EXPECT_TRUE(job.waitForVideoRoom(5000));
            }
            EXPECT_TRUE(job.pushVideo(f, &why)) << qPrintable(why);
            strevo::AudioChunk chunk;
            chunk.samples = sound.data();
            chunk.frames = static_cast<int>(sound.size() / 2);
            EXPECT_TRUE(job.pushAudio(chunk, &why)) << qPrintable(why);
            next += std::chrono::microseconds(static_cast<long>(1e6 / kRate));
            if (realTime)
                std::this_thread::sleep_until(next);
        }
    }
    static CodecPreset recording(const QString& folder, const char* container = "mp4")
    {
        return RecordingHarness::preset(folder, QLatin1String(container), kW, kH, kRate);
    }

    Recorder observer;
    Strevo job;
    TestPattern pattern{kW, kH};
    std::vector<uint8_t> planes[3];
    int strides[3] = {};
    std::vector<int16_t> sound = std::vector<int16_t>(2 * 1600, 2000);
};

QString onlyFile(const QString& folder)
{
    const QStringList files = QDir(folder).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 1) << qPrintable(folder);
    return files.isEmpty() ? QString() : QDir(folder).filePath(files[0]);
}

// The mean difference between a decoded frame's luma and the picture pushed.
double lumaError(const QString& file, const uint8_t* picture)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-i", file, "-vf", "select=eq(n\\,10)", "-frames:v", "1", "-f",
                  "rawvideo", "-pix_fmt", "yuv420p", "-"});
    ffmpeg.waitForFinished(30000);
    const QByteArray y = ffmpeg.readAllStandardOutput(); // the luma plane comes first
    if (y.size() != kW * kH * 3 / 2)
        return 255.0;
    double sum = 0;
    for (int i = 0; i < kW * kH; ++i)
        sum += std::abs(static_cast<uint8_t>(y[i]) - picture[i]);
    return sum / (kW * kH);
}

} // namespace

// Two recordings from one preset share one encoder and keep the pictures of strided frames; the
// observer sees each output start, record and stop, on one thread, and its statistics about
// once a second; a host may read the statistics from inside the observer.
TEST(HostOutputs, OnePresetTwiceSharesAnEncoderAndRecordsStridedFrames)
{
    QTemporaryDir dir;
    const QString a = dir.filePath("a"), b = dir.filePath("b");
    constexpr int kFrames = 90;
    long long delivered = 0;
    {
        Host host;
        CodecPreset preset = Host::recording(a);
        const int first = host.job.addOutput(preset);
        preset.local().folder = b;
        preset.container().format = QStringLiteral("mkv");
        const int second = host.job.addOutput(preset);
        ASSERT_EQ(first, 0);
        ASSERT_EQ(second, 1);
        EXPECT_EQ(host.job.outputStats(second).sharesEncoderWith, first);
        EXPECT_EQ(host.job.outputStats(first).sharesEncoderWith, -1);
        ASSERT_TRUE(host.job.start(0));
        host.push(0, kFrames);
        host.job.stop();
        const strevo::OutputStats stats = host.job.outputStats(first);
        EXPECT_EQ(stats.framesWritten, kFrames);
        EXPECT_EQ(stats.inputDrops, 0);
        delivered = stats.bytesDelivered;
        EXPECT_NEAR(stats.secondsWritten, kFrames / kRate, 0.1);
        EXPECT_EQ(stats.files, 1);
        EXPECT_EQ(stats.state, OutputState::Stopped);
        for (int i : {first, second}) {
            EXPECT_TRUE(host.observer.saw(i, OutputState::Stopped));
            EXPECT_EQ(host.observer.statesOf(i),
                      (std::vector<OutputState>{OutputState::Starting, OutputState::Recording,
                                                OutputState::Stopped}));
            std::lock_guard<std::mutex> lock(host.observer.mutex);
            EXPECT_GE(host.observer.ticks[i], 2);
            EXPECT_GT(host.observer.last[i].framesWritten, 0);
            EXPECT_GT(host.observer.last[i].bitrateKbps, 100);
        }
        std::lock_guard<std::mutex> lock(host.observer.mutex);
        EXPECT_EQ(host.observer.threads.size(), 1u);
        EXPECT_EQ(host.observer.inside.size(), host.observer.states[0].size() * 2);
        EXPECT_NE(*host.observer.threads.begin(), std::this_thread::get_id());
    }
    for (const QString& folder : {a, b}) {
        const QString file = onlyFile(folder);
        Probe::expectPlayable(file);
        EXPECT_EQ(Probe::inspect(file).frames(), kFrames);
        TestPattern pattern(kW, kH);
        EXPECT_LT(lumaError(file, pattern.frame(0)), 3.0) << qPrintable(file);
    }
    // The file's size but for the index the trailer added after stop() (8% of this short file).
    const double size = QFileInfo(onlyFile(a)).size();
    EXPECT_LE(delivered, size);
    EXPECT_GT(delivered, size * 0.85);
}

// A stream runs; a recording with the same video joins it mid-stream and leaves again: the
// recording starts at a key frame and plays, and the stream loses no frame. Then the stream's
// own encoder goes: with the recording it made the video for, the recording goes on.
TEST(HostOutputs, ARecordingJoinsAndLeavesARunningStream)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    QTemporaryDir dir;
    CodecPreset stream = RecordingHarness::livePreset(nginx.url(), QStringLiteral("flv"));
    stream.streaming().streamKey = QStringLiteral("cam");
    long long delivered = 0;
    {
        Host host;
        const int live = host.job.addOutput(stream);
        ASSERT_EQ(live, 0);
        ASSERT_TRUE(host.job.start(0));
        int recording = -1;
        host.push(0, 210, [&](int i) {
            if (i == 45) {
                recording = host.job.addOutput(Host::recording(dir.filePath("r")));
                EXPECT_EQ(host.job.outputStats(recording).sharesEncoderWith, live);
            }
            if (i == 135) {
                EXPECT_TRUE(host.job.removeOutput(recording));
                EXPECT_FALSE(host.job.removeOutput(recording));
            }
        });
        host.job.stop();
        const strevo::OutputStats stats = host.job.outputStats(live);
        // Only what was encoded before the server took the stream is dropped.
        EXPECT_EQ(stats.inputDrops + stats.outputDrops, 0);
        EXPECT_LT(stats.liveDrops, 15);
        EXPECT_EQ(stats.framesWritten, 210);
        delivered = stats.bytesDelivered;
        EXPECT_TRUE(host.observer.saw(live, OutputState::Stopped));
        EXPECT_EQ(host.observer.statesOf(live),
                  (std::vector<OutputState>{OutputState::Starting, OutputState::Connecting,
                                            OutputState::Live, OutputState::Stopped}));
        EXPECT_EQ(host.observer.statesOf(recording),
                  (std::vector<OutputState>{OutputState::Starting, OutputState::Recording,
                                            OutputState::Stopped}));
        EXPECT_EQ(host.job.outputStats(recording).state, OutputState::Stopped);
    }
    ASSERT_TRUE(nginx.waitForStreamsEnded());
    nginx.stop();
    ASSERT_EQ(nginx.recordings().size(), 1);
    const Probe::Media streamed = Probe::expectPlayable(nginx.recordings().front());
    const double size = QFileInfo(nginx.recordings().front()).size(); // as the server kept it
    EXPECT_NEAR(delivered, size, size * 0.1);
    EXPECT_GE(streamed.videoPackets.size(), 200);
    for (int i = 1; i < streamed.videoPackets.size(); ++i)
        EXPECT_LT(streamed.videoPackets[i].dts - streamed.videoPackets[i - 1].dts, 70) << i;
    const QString file = onlyFile(dir.filePath("r"));
    Probe::expectPlayable(file);
    const Probe::Media recorded = Probe::inspect(file);
    // 3 s between joining and leaving, less the wait for the stream's next key frame (2 s apart).
    EXPECT_GE(recorded.frames(), 30);
    EXPECT_LE(recorded.frames(), 92);
}

// The output that encodes for another is removed halfway through a transcoding, by another
// thread while frames flow: the other takes the encoder over and its file goes on without a
// hole, every frame in it.
TEST(HostOutputs, RemovingTheEncodingOutputHandsTheEncoderOver)
{
    QTemporaryDir dir;
    {
        Host host;
        const int first = host.job.addOutput(Host::recording(dir.filePath("a")));
        const int second = host.job.addOutput(Host::recording(dir.filePath("b"), "mkv"));
        ASSERT_TRUE(host.job.start(0));
        std::thread control; // the host's control thread removes it while frames flow
        host.push(
            0, 120,
            [&](int i) {
                if (i == 60)
                    control = std::thread([&] { EXPECT_TRUE(host.job.removeOutput(first)); });
            },
            false);
        control.join();
        host.job.stop();
        const strevo::OutputStats stats = host.job.outputStats(second);
        EXPECT_EQ(stats.sharesEncoderWith, -1);
        EXPECT_EQ(stats.inputDrops, 0);
        EXPECT_EQ(stats.framesWritten, 120);
    }
    Probe::expectPlayable(onlyFile(dir.filePath("b")));
    const Probe::Media m = Probe::inspect(onlyFile(dir.filePath("b")));
    EXPECT_EQ(m.frames(), 120);
    EXPECT_NEAR(Probe::span(m.videoPackets), 4.0, 0.1);
}

// A server that is never reached: the output fails with the reason, keeps trying, and stops
// when removed.
TEST(HostOutputs, AnUnreachableServerFailsWithTheReason)
{
    Host host;
    const int live = host.job.addOutput(RecordingHarness::livePreset(
        QStringLiteral("rtmp://127.0.0.1:%1/live/x").arg(live::freePort()), QStringLiteral("flv")));
    ASSERT_TRUE(host.job.start(0));
    host.push(0, 30);
    ASSERT_TRUE(host.job.removeOutput(live));
    EXPECT_TRUE(host.observer.saw(live, OutputState::Stopped));
    EXPECT_EQ(host.observer.statesOf(live),
              (std::vector<OutputState>{OutputState::Starting, OutputState::Connecting,
                                        OutputState::Failed, OutputState::Stopped}));
    std::lock_guard<std::mutex> lock(host.observer.mutex);
    EXPECT_TRUE(host.observer.reasons[live].value(2).contains("does not accept connections"))
        << qPrintable(host.observer.reasons[live].join('|'));
}

// Presets that cannot work, removals that cannot happen, frames and sound that do not match
// what they say: each is refused with a reason and nothing else changes.
TEST(HostOutputs, BadOutputsAndBadInputAreRefusedWithAReason)
{
    QTemporaryDir dir;
    Host host;
    QString why;
    CodecPreset vp9 = Host::recording(dir.path(), "avi");
    vp9.videoCodec().codecName = QStringLiteral("VP9");
    EXPECT_EQ(host.job.addOutput(vp9, 0, -1, &why), -1);
    EXPECT_EQ(why, QStringLiteral("VP9 cannot be recorded in avi"));
    CodecPreset hevcLive = RecordingHarness::livePreset(QStringLiteral("rtmp://127.0.0.1/live/x"),
                                                        QStringLiteral("flv"));
    hevcLive.videoCodec().codecName = QStringLiteral("X265");
    EXPECT_EQ(host.job.addOutput(hevcLive, 0, -1, &why), -1);
    EXPECT_EQ(why, QStringLiteral("X265 cannot go over rtmp: an RTMP stream is FLV, which does not "
                                  "carry it"));
    EXPECT_EQ(host.job.addOutput(Host::recording("/proc/strevo"), 0, -1, &why), -1);
    EXPECT_TRUE(why.contains("/proc/strevo")) << qPrintable(why);
    CodecPreset hardware = Host::recording(dir.path());
    hardware.videoCodec().codecName = QStringLiteral("H264(NVENC)");
    if (Strevo::codecDevice(hardware.videoCodec().codecName).isEmpty()) {
        EXPECT_EQ(host.job.addOutput(hardware, 0, -1, &why), -1);
        EXPECT_EQ(why, QStringLiteral("H264(NVENC) cannot encode on this machine"));
    }
    EXPECT_EQ(host.job.addOutput(Host::recording(dir.path()), 3, -1, &why), -1);
    EXPECT_FALSE(host.job.removeOutput(7));

    const int output = host.job.addOutput(Host::recording(dir.path()), 0, -1, &why);
    ASSERT_EQ(output, 0) << qPrintable(why);
    EXPECT_FALSE(host.job.pushVideo(host.frame(0), &why)); // before start
    ASSERT_TRUE(host.job.start(0));
    strevo::VideoFrame narrow = host.frame(0);
    narrow.strides[1] = kW / 2 - 1;
    EXPECT_FALSE(host.job.pushVideo(narrow, &why));
    EXPECT_TRUE(why.contains("shorter")) << qPrintable(why);
    strevo::VideoFrame otherSource = host.frame(0);
    otherSource.source = 1;
    EXPECT_FALSE(host.job.pushVideo(otherSource, &why));
    strevo::AudioChunk mono{0, host.sound.data(), 1600, 1, 48000};
    EXPECT_FALSE(host.job.pushAudio(mono, &why));
    EXPECT_TRUE(why.contains("1 channels at 48000 Hz")) << qPrintable(why);
    host.push(0, 30);
    host.job.stop();
    EXPECT_EQ(host.job.outputStats(output).framesWritten, 30);
    EXPECT_TRUE(host.job.removeOutput(output));
    EXPECT_FALSE(host.job.removeOutput(output));
}

// An observer that throws and one that blocks for over a second cost no output a frame.
TEST(HostOutputs, ASlowOrThrowingObserverCostsNoFrame)
{
    struct Rude : IStrevoObserver
    {
        void outputStateChanged(int, OutputState, const QString&) override
        {
            throw std::runtime_error("host bug");
        }
        void outputStats(int, const strevo::OutputStats&) override
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        }
    } rude;
    QTemporaryDir dir;
    MessageCapture capture;
    Host host;
    host.job.setObserver(&rude);
    const int output = host.job.addOutput(Host::recording(dir.path()));
    ASSERT_TRUE(host.job.start(0));
    host.push(0, 120);
    host.job.stop();
    const strevo::OutputStats stats = host.job.outputStats(output);
    EXPECT_EQ(stats.framesWritten, 120);
    EXPECT_EQ(stats.inputDrops, 0);
    EXPECT_EQ(capture.count("the observer threw (host bug)"), 1);
}
