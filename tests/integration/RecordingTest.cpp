#include "../unit/FakeVideoCodec.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "codec/video/VideoCodecFactory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/mount.h>

namespace {

// Checks one finished recording the way a user would: it decodes, holds every encoded frame
// at the expected rate, and its streams line up.
Probe::Media expectGoodRecording(const QString& path, long long packets, const QString& frameRate,
                                 bool withAudio = true)
{
    SCOPED_TRACE(path.toStdString());
    EXPECT_TRUE(QFileInfo::exists(path));
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
    const Probe::Media m = Probe::inspect(path);
    EXPECT_EQ(m.frames(), packets);
    EXPECT_EQ(m.videoValue("r_frame_rate"), frameRate);
    const QVector<Probe::Packet>& v = m.videoPackets;
    EXPECT_EQ(v.size(), packets);
    EXPECT_TRUE(!v.isEmpty() && v.front().key);
    for (int i = 1; i < v.size(); ++i)
        EXPECT_GT(v[i].dts, v[i - 1].dts) << "packet " << i;
    if (withAudio) {
        EXPECT_FALSE(m.audioPackets.isEmpty());
        const QStringList rate = frameRate.split(QLatin1Char('/'));
        const double frame = rate.value(1).toDouble() / rate.value(0).toDouble();
        // Within one video frame and one AAC frame.
        EXPECT_NEAR(Probe::span(m.audioPackets), Probe::span(v), frame + 1024.0 / 48000 + 1e-3);
    }
    return m;
}

// Collects the warnings logged while it lives (one at a time).
struct WarningLog
{
    static QStringList& lines()
    {
        static QStringList l; // written by the handler, read once the pipeline is gone
        return l;
    }
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message)
    {
        static std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
        if (type == QtWarningMsg)
            lines() << message;
    }
    QtMessageHandler previous = qInstallMessageHandler(&WarningLog::handle);
    ~WarningLog() { qInstallMessageHandler(previous); }
};

// A tmpfs mounted on a temporary folder, unmounted however the test ends.
struct TmpfsMount
{
    QTemporaryDir dir;
    bool mounted;
    explicit TmpfsMount(const char* options)
        : mounted(
              ::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, options) == 0)
    {
    }
    ~TmpfsMount()
    {
        if (mounted)
            ::umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH);
    }
};

bool hasReport(const RecordingHarness::Result& r, int state)
{
    return std::find(r.reports.begin(), r.reports.end(), std::make_pair(0, state)) !=
           r.reports.end();
}

QString writeJob(const QTemporaryDir& dir, const QByteArray& json)
{
    QFile f(dir.filePath(QStringLiteral("job.json")));
    f.open(QIODevice::WriteOnly);
    f.write(json);
    return f.fileName();
}

QStringList filesIn(const QTemporaryDir& dir, const char* pattern)
{
    return QDir(dir.path()).entryList({QLatin1String(pattern)}, QDir::Files, QDir::Name);
}

} // namespace

struct ContainerRun
{
    const char* container;
    int dropEvery; // every n-th frame is lost at the source; 0 none
};

void PrintTo(const ContainerRun& c, std::ostream* os)
{
    *os << c.container << " dropping every " << c.dropEvery;
}

class RecordingContainers : public ::testing::TestWithParam<ContainerRun>
{
};

// Ten seconds of x264 and AAC decode completely. The muxer writes while the pipeline runs, not
// only when it stops: a lost frame still counts as written video, so the sound that waits for
// the picture and the MPEG-TS interleaving move on.
TEST_P(RecordingContainers, TenSecondsDecodeCompletelyAndAreWrittenWhileRunning)
{
    const ContainerRun c = GetParam();
    QTemporaryDir dir;
    RecordingHarness harness;
    harness.dropEvery = c.dropEvery;
    const RecordingHarness::Result r =
        harness.record(RecordingHarness::preset(dir.path(), QLatin1String(c.container)), 300);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, c.dropEvery ? 300 - 300 / c.dropEvery : 300);
    EXPECT_EQ(r.lastPath, dir.path() + QStringLiteral("/take.") + QLatin1String(c.container));
    const Probe::Media m = expectGoodRecording(r.lastPath, r.packets, QStringLiteral("30/1"));
    EXPECT_NEAR(Probe::span(m.audioPackets), 10.0, 0.1);
    EXPECT_GE(r.writtenBeforeStop, 9.0);
    EXPECT_GT(r.bytesBeforeStop, QFileInfo(r.lastPath).size() / 4);
    // Progress: one report per written packet with the muxer's frame count.
    ASSERT_FALSE(r.reports.empty());
    // (with drops the last frame is a lost one, counted after the last report)
    EXPECT_EQ(r.reports.back(), std::make_pair(1, c.dropEvery ? 299 : 300));
}

INSTANTIATE_TEST_SUITE_P(Recording, RecordingContainers,
                         ::testing::Values(ContainerRun{"mp4", 0}, ContainerRun{"mov", 0},
                                           ContainerRun{"mkv", 0}, ContainerRun{"flv", 0},
                                           ContainerRun{"ts", 0}, ContainerRun{"m2ts", 0},
                                           ContainerRun{"avi", 0}, ContainerRun{"mp4", 5},
                                           ContainerRun{"mkv", 5}, ContainerRun{"ts", 5}));

TEST(Recording, M2tsPacketsAndHlsSegments)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    const RecordingHarness::Result m2ts =
        harness.record(RecordingHarness::preset(dir.path(), QStringLiteral("m2ts")), 30);
    ASSERT_EQ(m2ts.initResult, 0);
    // An .m2ts name gives 192-byte packets (a 4-byte time code before each 188-byte packet).
    QFile f(m2ts.lastPath);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray head = f.read(192 * 2);
    EXPECT_EQ(f.size() % 192, 0);
    EXPECT_TRUE(head.size() == 384 && head[4] == 0x47 && head[192 + 4] == 0x47);

    QTemporaryDir hlsDir;
    const RecordingHarness::Result h =
        harness.record(RecordingHarness::preset(hlsDir.path(), QStringLiteral("m3u8")), 150);
    ASSERT_EQ(h.initResult, 0);
    ASSERT_TRUE(h.lastPath.endsWith(QStringLiteral(".m3u8")));
    EXPECT_GE(filesIn(hlsDir, "*.ts").size(), 2);
    expectGoodRecording(h.lastPath, h.packets, QStringLiteral("30/1"), false);
}

struct RateCase
{
    double fps;
    const char* rational;
};

void PrintTo(const RateCase& c, std::ostream* os)
{
    *os << c.fps << " fps";
}

class FrameRates : public ::testing::TestWithParam<RateCase>
{
};

// The stream declares the exact rate (NTSC rates as N*1000/1001) and over 20 s the sound
// keeps the picture's length.
TEST_P(FrameRates, StreamRateIsExactAndSoundKeepsUp)
{
    const RateCase c = GetParam();
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"), 64, 48, c.fps);
    const int frames = static_cast<int>(std::lround(20 * c.fps));
    const RecordingHarness::Result r = harness.record(preset, frames);
    ASSERT_EQ(r.initResult, 0);
    const Probe::Media m = expectGoodRecording(r.lastPath, frames, QLatin1String(c.rational));
    EXPECT_NEAR(Probe::span(m.videoPackets), frames / c.fps, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Recording, FrameRates,
    ::testing::Values(RateCase{7.5, "15/2"}, RateCase{12.5, "25/2"}, RateCase{15, "15/1"},
                      RateCase{23.976, "24000/1001"}, RateCase{24, "24/1"}, RateCase{25, "25/1"},
                      RateCase{29.97, "30000/1001"}, RateCase{30, "30/1"}, RateCase{50, "50/1"},
                      RateCase{59.94, "60000/1001"}, RateCase{60, "60/1"}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::to_string(info.index); });

TEST(Recording, ColourValuesFollowThePictureSize)
{
    struct Case
    {
        int w, h;
        const char* value; // primaries, transfer and matrix; null: unspecified
    };
    for (const Case& c :
         {Case{1920, 1080, "bt709"}, Case{720, 576, "smpte170m"}, Case{3840, 2160, nullptr}}) {
        QTemporaryDir dir;
        RecordingHarness harness;
        CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"), c.w, c.h);
        preset.audioCodec().enabled = false;
        const RecordingHarness::Result r = harness.record(preset, 3);
        ASSERT_EQ(r.initResult, 0);
        const Probe::Media m = Probe::inspect(r.lastPath, false);
        SCOPED_TRACE(c.w);
        EXPECT_EQ(m.videoValue("color_range"), QStringLiteral("tv"));
        for (const char* key : {"color_primaries", "color_transfer", "color_space"}) {
            const QString value = m.videoValue(key);
            if (c.value)
                EXPECT_EQ(value, QLatin1String(c.value)) << key;
            else
                EXPECT_TRUE(value.isEmpty() || value == QLatin1String("unknown")) << key;
        }
    }
}

TEST(Recording, TimeSplitGivesFilesThatHoldEveryFrameOnce)
{
    QTemporaryDir whole, split, fixed;
    RecordingHarness harness;
    CodecPreset preset =
        RecordingHarness::preset(whole.path(), QStringLiteral("mp4"), 320, 240, 25);
    preset.audioCodec().enabled = false;
    const RecordingHarness::Result one = harness.record(preset, 625);
    ASSERT_EQ(one.initResult, 0);

    preset.local().folder = split.path();
    preset.local().splitSeconds = 10;
    const RecordingHarness::Result parts = harness.record(preset, 625);
    ASSERT_EQ(parts.initResult, 0);
    const QStringList names{QStringLiteral("take.mp4"), QStringLiteral("take 2.mp4"),
                            QStringLiteral("take 3.mp4")};
    EXPECT_EQ(filesIn(split, "*"), (QStringList{names[1], names[2], names[0]}));
    EXPECT_EQ(parts.lastPath, split.filePath(names.last()));

    QVector<Probe::Packet> joined;
    const QVector<int> expectedFrames{250, 250, 125};
    for (int i = 0; i < names.size(); ++i) {
        const QString path = split.filePath(names[i]);
        QString errors;
        EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
        const QVector<Probe::Packet> p = Probe::inspect(path, false).videoPackets;
        ASSERT_EQ(p.size(), expectedFrames[i]) << path.toStdString();
        EXPECT_TRUE(p.front().key) << path.toStdString();
        joined += p;
    }
    const QVector<Probe::Packet> reference = Probe::inspect(one.lastPath, false).videoPackets;
    ASSERT_EQ(joined.size(), reference.size());
    for (int i = 0; i < joined.size(); ++i)
        ASSERT_EQ(joined[i].hash, reference[i].hash) << "packet " << i;

    // A fixed path (a transcoding) is numbered the same way instead of being overwritten.
    preset.transcoding().enabled = true;
    preset.local().recordingPath = fixed.filePath(QStringLiteral("clip.mp4"));
    preset.local().splitSeconds = 2;
    ASSERT_EQ(harness.record(preset, 125).initResult, 0);
    EXPECT_EQ(filesIn(fixed, "*"),
              (QStringList{QStringLiteral("clip 2.mp4"), QStringLiteral("clip 3.mp4"),
                           QStringLiteral("clip.mp4")}));
    for (const QString& name : filesIn(fixed, "*"))
        EXPECT_EQ(Probe::inspect(fixed.filePath(name), false).videoPackets.size(),
                  name == QLatin1String("clip 3.mp4") ? 25 : 50);
}

TEST(Recording, TimeSplitKeepsTheSoundWithItsPictureInEveryFile)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mkv"), 320, 240, 25);
    preset.local().splitSeconds = 4;
    const RecordingHarness::Result r = harness.record(preset, 250);
    ASSERT_EQ(r.initResult, 0);
    const QStringList files = filesIn(dir, "*.mkv");
    ASSERT_EQ(files.size(), 3);
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        const Probe::Media m = Probe::inspect(dir.filePath(name), false);
        const double video = Probe::span(m.videoPackets);
        EXPECT_GT(video, 1.9);
        // Within one video frame and one AAC frame (the encoder's priming carries over).
        EXPECT_NEAR(Probe::span(m.audioPackets), video, 1.0 / 25 + 1024.0 / 48000 + 1e-3);
    }
}

// Starts that cannot work fail with -3 and runs that never got a frame leave no file.
TEST(Recording, FailedStartsAndEmptyRunsLeaveNoFiles)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    RecordingHarness harness;
    // A folder below a plain file can be neither created nor written, whoever runs the test.
    EXPECT_EQ(harness
                  .record(RecordingHarness::preset(file.fileName() + QStringLiteral("/recordings"),
                                                   QStringLiteral("mkv")),
                          5)
                  .initResult,
              -3);
    EXPECT_EQ(
        harness.record(RecordingHarness::preset(dir.path(), QStringLiteral("nosuchformat")), 5)
            .initResult,
        -3);
    for (const char* container : {"mp4", "mkv", "ts", "mov"})
        EXPECT_EQ(harness.record(RecordingHarness::preset(dir.path(), QLatin1String(container)), 0)
                      .initResult,
                  0);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("not-a-folder")});
}

TEST(Recording, LowDiskSpaceStopsVideoAndLeavesReadableFiles)
{
    for (const char* container : {"mkv", "ts", "mp4"}) {
        TmpfsMount tmpfs("size=300000000");
        if (!tmpfs.mounted)
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
        // Leave 201.05 MB free: the recording crosses the 201 MB limit after about 50 kB.
        {
            QFile filler(tmpfs.dir.filePath(QStringLiteral("filler")));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            const QByteArray block(1 << 20, 'x');
            const long long target = 300000000LL - 201050000LL;
            for (long long written = 0; written < target; written += block.size())
                filler.write(block.constData(),
                             std::min<long long>(block.size(), target - written));
        }
        RecordingHarness harness;
        CodecPreset preset =
            RecordingHarness::preset(tmpfs.dir.path(), QLatin1String(container), 640, 360);
        preset.videoCodec().bitrate = 8000;
        preset.videoCodec().tune.clear();
        const RecordingHarness::Result r = harness.record(preset, 3000, 1);
        ASSERT_EQ(r.initResult, 0);
        EXPECT_TRUE(hasReport(r, -4)) << container;
        EXPECT_GT(Probe::inspect(r.lastPath).frames(), 0) << container;
    }
}

// A recording whose folder is deleted stops with a warning that says so and a failure report.
TEST(Recording, DeletedFolderStopsTheOutput)
{
    QTemporaryDir parent;
    const QString folder = parent.filePath(QStringLiteral("rec"));
    WarningLog log;
    RecordingHarness harness;
    harness.onFrame = [&](int frame, Encoder&) {
        if (frame == 30)
            QDir(folder).removeRecursively();
    };
    const RecordingHarness::Result r =
        harness.record(RecordingHarness::preset(folder, QStringLiteral("mkv")), 150);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_TRUE(hasReport(r, -1));
    const QString warnings = WarningLog::lines().join(QLatin1Char('\n'));
    EXPECT_TRUE(warnings.contains(QStringLiteral("the file was deleted")))
        << warnings.toStdString();
}

// A file-size limit (a full volume looks the same to the muxer) ends each output at once with
// the system's reason, and what was written before plays: mkv and MPEG-TS as they are, mp4 as
// strevo-cli writes it by default (fragmented).
TEST(Recording, WriteFailureEndsTheOutputAndKeepsWhatWasWritten)
{
    QTemporaryDir dir;
    const QString job = writeJob(dir, R"({"project": {"videoOutput": {"width": 320, "height": 240}},
        "duration": 20, "outputs": [
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "mkv"}},
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "ts"}},
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "mp4"}}]})");
    // 400 kB per file; SIGXFSZ ignored so that writes fail with EFBIG instead.
    const Probe::Result r = Probe::run(
        QStringLiteral("bash"),
        {QStringLiteral("-c"), QStringLiteral("ulimit -f 400; trap '' XFSZ; exec \"$0\" \"$@\""),
         QStringLiteral(STREVO_CLI), job, QStringLiteral("--fast"), QStringLiteral("--verbose"),
         QStringLiteral("-o"), dir.path()});
    EXPECT_TRUE(r.err.contains("File too large")) << r.err.constData();
    for (const char* pattern : {"*.mkv", "*.ts", "*.mp4"}) {
        const QStringList files = filesIn(dir, pattern);
        ASSERT_EQ(files.size(), 1) << pattern;
        const Probe::Media m = Probe::inspect(dir.filePath(files.front()));
        EXPECT_GT(m.frames(), 30) << pattern;
        EXPECT_GT(Probe::span(m.audioPackets), 1.0) << pattern;
    }
}

// strevo-cli writes mp4 crash-safe by default: a recording killed 4 s in plays at least 3 s.
TEST(Recording, KilledRecordingStillPlays)
{
    QTemporaryDir dir;
    const QString job = writeJob(dir, R"({"project": {"videoOutput": {"width": 320, "height": 240}},
        "duration": 20, "outputs": [{"videoCodec": {"bitrate": 500, "keyframeInterval": 1},
                                     "container": {"format": "mp4"}}]})");
    QProcess cli;
    cli.start(QStringLiteral(STREVO_CLI), {job, QStringLiteral("-o"), dir.path()});
    ASSERT_TRUE(cli.waitForStarted());
    cli.waitForFinished(4000); // runs in real time: still recording after 4 s
    ASSERT_EQ(cli.state(), QProcess::Running);
    cli.kill();
    cli.waitForFinished();
    const QStringList files = filesIn(dir, "*.mp4");
    ASSERT_EQ(files.size(), 1);
    const Probe::Media m = Probe::inspect(dir.filePath(files.front()));
    EXPECT_GE(Probe::span(m.videoPackets), 3.0);
    EXPECT_GE(m.frames(), 90);
}

TEST(Recording, PacketTheMuxerRefusesIsReportedAndThePipelineGoesOn)
{
    // An H.264 stream whose first packet carries no start code: the MPEG-TS muxer refuses it.
    // The double stands in for a hardware encoder name, which maps to H.264.
    const QString name = QStringLiteral("H264(AMF)");
    VideoCodecFactory::addCodec(name, [] { return new FakeVideoCodec(0, 10); });
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("ts"));
    preset.videoCodec().codecName = name;
    preset.audioCodec().enabled = false;
    const RecordingHarness::Result r = harness.record(preset, 60);
    VideoCodecFactory::addCodec(name, nullptr);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_TRUE(hasReport(r, -1));
    EXPECT_LT(r.packets, 60) << "packets after the refusal are not written";
}
