#include "CliRun.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"

#include <QTemporaryDir>
#include <condition_variable>
#include <gtest/gtest.h>

// Replay buffers: outputs that keep their last seconds in memory and save them on request,
// through the facade and through strevo-cli's SIGUSR1.

namespace {

constexpr int kW = 320, kH = 240;
constexpr double kRate = 30;

struct Save
{
    int index;
    QString path;
    bool ok;
    QString reason;
};

// A job with a replay output of 2 s (a key frame each second) and a recording (in a folder of
// its own) beside it, fed
// with frames without times (each one output frame, as fast as the outputs take them); the
// observer keeps the saves it is told of.
struct ReplayJob : IStrevoObserver
{
    explicit ReplayJob(const QString& folder)
    {
        QDir().mkpath(folder + QStringLiteral("-recording"));
        CodecPreset preset = RecordingHarness::preset(folder, QStringLiteral("mp4"), kW, kH, kRate);
        preset.videoCodec().keyframeInterval = 1;
        ProjectPreset project = preset;
        project.videoOutput().width = kW;
        project.videoOutput().height = kH;
        job.initialize(&project);
        job.setObserver(this);
        preset.local().replaySeconds = 2;
        replay = job.addOutput(preset);
        preset.local().replaySeconds = 0;
        preset.container().format = QStringLiteral("mkv");
        preset.local().folder = folder + QStringLiteral("-recording");
        recording = job.addOutput(preset);
        EXPECT_TRUE(replay >= 0 && recording >= 0 && job.start(0));
    }
    ~ReplayJob() override { job.setObserver(nullptr); }

    void push(int frames)
    {
        for (int i = 0; i < frames; ++i, ++pushed) {
            strevo::VideoFrame f;
            f.pixelFormat = PIX_NV12;
            f.width = kW;
            f.height = kH;
            f.planes[0] = pattern.frame(static_cast<int>(pushed));
            f.planes[1] = f.planes[0] + kW * kH;
            f.strides[0] = f.strides[1] = kW;
            EXPECT_TRUE(job.waitForVideoRoom(5000));
            EXPECT_TRUE(job.pushVideo(f));
            strevo::AudioChunk chunk;
            chunk.samples = sound.data();
            chunk.frames = static_cast<int>(sound.size() / 2);
            EXPECT_TRUE(job.pushAudio(chunk));
        }
    }
    // Waits (up to 20 s) until the replay output took every frame pushed.
    bool drained()
    {
        for (int i = 0; i < 2000 && job.outputStats(replay).framesWritten < pushed; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return job.outputStats(replay).framesWritten == pushed;
    }
    void replaySaved(int index, const QString& path, bool ok, const QString& reason) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        saves.push_back({index, path, ok, reason});
        told.notify_all();
    }
    // The n-th save told (from 1), waiting up to 20 s for it.
    Save save(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        told.wait_for(lock, std::chrono::seconds(20), [&] { return saves.size() >= n; });
        return saves.size() >= n ? saves[n - 1] : Save{-1, {}, false, QStringLiteral("none")};
    }

    Strevo job;
    int replay = -1, recording = -1;
    long long pushed = 0;
    TestPattern pattern{kW, kH};
    std::vector<int16_t> sound = std::vector<int16_t>(2 * 1600, 2000);
    std::mutex mutex;
    std::condition_variable told;
    std::vector<Save> saves;
};

// A saved replay as FFmpeg and GStreamer read it: a key frame first, the seconds asked for and
// less than a key-frame interval more, the sound as long as the picture from its start.
void expectReplay(const QString& path, double seconds, double interval)
{
    SCOPED_TRACE(path.toStdString());
    Probe::expectDecodes(path);
    const Probe::Media m = Probe::inspect(path, false);
    ASSERT_FALSE(m.videoPackets.isEmpty() || m.audioPackets.isEmpty());
    EXPECT_TRUE(m.videoPackets.front().key);
    const double picture = Probe::span(m.videoPackets);
    EXPECT_GE(picture, seconds - 0.5 / kRate);
    EXPECT_LE(picture, seconds + interval + 0.5 / kRate);
    EXPECT_NEAR(m.audioPackets.front().pts, m.videoPackets.front().pts, 0.025);
    EXPECT_NEAR(Probe::span(m.audioPackets), picture, 1024.0 / 48000 + 1 / kRate);
    const Probe::GstView gst = Probe::gstreamer(path);
    EXPECT_EQ(gst.video, 1);
    EXPECT_EQ(gst.audio, 1);
    EXPECT_NEAR(gst.duration, picture, 0.1);
    EXPECT_TRUE(gst.plays) << gst.errors.constData();
}

} // namespace

// Two saves in one run, each a file of its own with the last 2 s; what cannot be saved is
// refused with the reason: an output that is not a replay, no output, nothing buffered yet.
TEST(Replay, SavesTwiceWhileTheBufferKeepsFilling)
{
    QTemporaryDir dir;
    ReplayJob host(dir.path());
    QString why;
    EXPECT_FALSE(host.job.saveReplay(host.replay, &why));
    EXPECT_TRUE(why.contains(QLatin1String("holds nothing yet"))) << qPrintable(why);
    EXPECT_FALSE(host.job.saveReplay(host.recording, &why));
    EXPECT_TRUE(why.contains(QLatin1String("not a replay buffer"))) << qPrintable(why);
    EXPECT_FALSE(host.job.saveReplay(7, &why));
    EXPECT_TRUE(why.contains(QLatin1String("not running"))) << qPrintable(why);

    host.push(100);
    ASSERT_TRUE(host.drained());
    ASSERT_TRUE(host.job.saveReplay(host.replay, &why)) << qPrintable(why);
    const Save first = host.save(1);
    host.push(40);
    ASSERT_TRUE(host.drained());
    ASSERT_TRUE(host.job.saveReplay(host.replay, &why)) << qPrintable(why);
    const Save second = host.save(2);
    host.job.stop();
    for (const Save& s : {first, second}) {
        EXPECT_EQ(s.index, host.replay);
        EXPECT_TRUE(s.ok) << qPrintable(s.reason);
        expectReplay(s.path, 2.0, 1.0);
    }
    EXPECT_NE(first.path, second.path);
    // The second is later in the same timeline.
    EXPECT_NE(Probe::inspect(first.path, false).videoPackets.front().hash,
              Probe::inspect(second.path, false).videoPackets.front().hash);
    const strevo::OutputStats stats = host.job.outputStats(host.replay);
    EXPECT_GT(stats.files, 1);
    EXPECT_GT(stats.replayBytes, 0);
}

// A folder that cannot be written fails the save with the reason; the buffer and the job go on,
// and the next save, once the folder is back, has the file.
TEST(Replay, AnUnwritableFolderFailsTheSaveNotTheBuffer)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("replays"));
    auto host = std::make_unique<ReplayJob>(folder);
    host->push(45);
    ASSERT_TRUE(host->drained());
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder was
    blocker.close();
    QString why;
    ASSERT_TRUE(host->job.saveReplay(host->replay, &why)) << qPrintable(why);
    const Save failed = host->save(1);
    EXPECT_FALSE(failed.ok);
    EXPECT_TRUE(failed.reason.contains(QLatin1String("cannot create folder")))
        << qPrintable(failed.reason);

    ASSERT_TRUE(QFile::remove(folder) && QDir().mkpath(folder));
    host->push(45);
    ASSERT_TRUE(host->drained());
    ASSERT_TRUE(host->job.saveReplay(host->replay, &why)) << qPrintable(why);
    EXPECT_NE(host->job.outputStats(host->replay).state, strevo::OutputState::Failed);
    host->job.stop(); // returns once the save is written and told
    Save saved;
    {
        std::lock_guard<std::mutex> lock(host->mutex);
        ASSERT_EQ(host->saves.size(), 2u);
        saved = host->saves[1];
    }
    host.reset(); // finishes the recording
    EXPECT_TRUE(saved.ok) << qPrintable(saved.reason);
    expectReplay(saved.path, 2.0, 1.0);
    EXPECT_EQ(Probe::inspect(folder + QStringLiteral("-recording/take.mkv")).frames(), 90);
}

// strevo-cli saves a replay of every replay output at each SIGUSR1: a line per save in the
// --progress report and on standard error; a save that does not fit (a file-size limit, as a
// full volume) is reported, the job goes on and ends failed.
TEST(Replay, CliSavesOnSigusr1)
{
    QTemporaryDir dir;
    const QString job = writeFile(dir, "replay.json", R"({"duration": 0,
        "project": {"videoOutput": {"width": 320, "height": 240}}, "outputs": [
          {"videoCodec": {"bitrate": 800, "keyframeInterval": 1}, "container": {"format": "mkv"},
           "local": {"replaySeconds": 2, "fileNameTemplate": "moment"}}]})");
    const QString progress = dir.filePath(QStringLiteral("progress"));
    // Signals once the buffer holds 2 s, and again once the first save is reported; Ctrl-C
    // once `saves` lines are in.
    const auto script = [&](const char* limit, const char* saved, int saves) {
        return QStringLiteral(
                   "rm -f %2; %1 \"$0\" \"$@\" & pid=$!\n"
                   "until_in() { for i in $(seq 300); do [ $(grep -c \"$1\" %2 2>/dev/null) -ge "
                   "$2 ] && return; sleep 0.1; done; }\n"
                   "until_in '^output1_replay_seconds=[2-9]' 1; kill -USR1 $pid\n"
                   "until_in '%3' 1; kill -USR1 $pid\n"
                   "until_in '%3' %4; kill -INT $pid; wait $pid")
            .arg(QLatin1String(limit), progress, QLatin1String(saved))
            .arg(saves);
    };
    const QStringList args{job, "--fast", "-o", dir.path(), "--progress", progress};
    CliRun run = cli(args, {}, script("", "^output1_replay=", 2));
    EXPECT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    QFile report(progress);
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    QStringList paths;
    for (const QByteArray& line : report.readAll().split('\n'))
        if (line.startsWith("output1_replay="))
            paths << QString::fromUtf8(line.mid(15));
    ASSERT_EQ(paths.size(), 2);
    for (const QString& path : paths) {
        EXPECT_TRUE(run.r.err.contains("output 1: replay saved: " + path.toUtf8()));
        expectReplay(path, 2.0, 1.0);
    }

    run = cli(args, {}, script("ulimit -f 48; trap '' XFSZ;", "^output1_replay_failed=", 2));
    EXPECT_EQ(run.r.exitCode, 1) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("output 1: replay not saved: ")) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("File too large")) << run.r.err.constData();
}
