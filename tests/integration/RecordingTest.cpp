#include "../unit/FakeVideoCodec.h"
#include "../unit/MessageCapture.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "codec/video/VideoCodecFactory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <tuple>

namespace {

// Checks one finished recording the way a user would: it decodes, holds every encoded frame
// at the expected rate, and its streams line up.
Probe::Media expectGoodRecording(const QString& path, long long packets, const QString& frameRate,
                                 bool withAudio = true)
{
    SCOPED_TRACE(path.toStdString());
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
        const QStringList rate = frameRate.split(QLatin1Char('/'));
        const double frame = rate.value(1).toDouble() / rate.value(0).toDouble();
        // Within one video frame and one AAC frame.
        EXPECT_NEAR(Probe::span(m.audioPackets), Probe::span(v), frame + 1024.0 / 48000 + 1e-3);
    }
    return m;
}

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

QStringList filesIn(const QTemporaryDir& dir, const char* pattern)
{
    return QDir(dir.path()).entryList({QLatin1String(pattern)}, QDir::Files, QDir::Name);
}

} // namespace

// (container, every n-th frame is lost at the source; 0: none)
using RecordingContainers = ::testing::TestWithParam<std::pair<std::string, int>>;

// Ten seconds of x264 and AAC decode completely. The muxer writes while the pipeline runs, not
// only when it stops: a lost frame still counts as written video, so the sound that waits for
// the picture and the MPEG-TS interleaving move on.
TEST_P(RecordingContainers, TenSecondsDecodeCompletelyAndAreWrittenWhileRunning)
{
    const auto [container, dropEvery] = GetParam();
    QTemporaryDir dir;
    RecordingHarness harness;
    harness.dropEvery = dropEvery;
    const RecordingHarness::Result r = harness.record(
        RecordingHarness::preset(dir.path(), QString::fromStdString(container)), 300);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, dropEvery ? 300 - 300 / dropEvery : 300);
    EXPECT_EQ(r.lastPath,
              dir.path() + QStringLiteral("/take.") + QString::fromStdString(container));
    const Probe::Media m = expectGoodRecording(r.lastPath, r.packets, QStringLiteral("30/1"));
    EXPECT_NEAR(Probe::span(m.audioPackets), 10.0, 0.1);
    EXPECT_GE(r.writtenBeforeStop, 9.0);
    EXPECT_GT(r.bytesBeforeStop, QFileInfo(r.lastPath).size() / 4);
    // Progress: one report per written packet with the muxer's frame count.
    ASSERT_FALSE(r.reports.empty());
    // (with drops the last frame is a lost one, counted after the last report)
    EXPECT_EQ(r.reports.back(), std::make_pair(1, dropEvery ? 299 : 300));
    if (container == "m3u8") {
        EXPECT_GE(filesIn(dir, "*.ts").size(), 2) << "segments beside the playlist";
    }
    if (container == "m2ts") {
        // 192-byte packets: a 4-byte time code before each 188-byte packet.
        QFile f(r.lastPath);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray head = f.read(192 * 2);
        EXPECT_EQ(f.size() % 192, 0);
        EXPECT_TRUE(head.size() == 384 && head[4] == 0x47 && head[192 + 4] == 0x47);
    }
}

const std::pair<std::string, int> kContainerRuns[] = {
    {"mp4", 0}, {"mov", 0},  {"mkv", 0}, {"flv", 0}, {"ts", 0}, {"m2ts", 0},
    {"avi", 0}, {"m3u8", 0}, {"mp4", 5}, {"mkv", 5}, {"ts", 5}};
INSTANTIATE_TEST_SUITE_P(Recording, RecordingContainers, ::testing::ValuesIn(kContainerRuns));

// (frames per second, as the stream declares them)
using FrameRates = ::testing::TestWithParam<std::pair<double, std::string>>;

// The stream declares the exact rate (NTSC rates as N*1000/1001) and over 20 s the sound
// keeps the picture's length.
TEST_P(FrameRates, StreamRateIsExactAndSoundKeepsUp)
{
    const auto [fps, rational] = GetParam();
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"), 64, 48, fps);
    const int frames = static_cast<int>(std::lround(20 * fps));
    const RecordingHarness::Result r = harness.record(preset, frames);
    ASSERT_EQ(r.initResult, 0);
    const Probe::Media m =
        expectGoodRecording(r.lastPath, frames, QString::fromStdString(rational));
    EXPECT_NEAR(Probe::span(m.videoPackets), frames / fps, 1e-3);
}

const std::pair<double, std::string> kRates[] = {
    {7.5, "15/2"}, {12.5, "25/2"},        {15, "15/1"},          {23.976, "24000/1001"},
    {24, "24/1"},  {25, "25/1"},          {29.97, "30000/1001"}, {30, "30/1"},
    {50, "50/1"},  {59.94, "60000/1001"}, {60, "60/1"}};
INSTANTIATE_TEST_SUITE_P(Recording, FrameRates, ::testing::ValuesIn(kRates));

// Primaries, transfer and matrix follow the picture size (empty: left unspecified).
TEST(Recording, ColourValuesFollowThePictureSize)
{
    for (const auto& [w, h, value] :
         {std::make_tuple(1920, 1080, "bt709"), std::make_tuple(720, 576, "smpte170m"),
          std::make_tuple(3840, 2160, "")}) {
        QTemporaryDir dir;
        CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"), w, h);
        preset.audioCodec().enabled = false;
        const RecordingHarness::Result r = RecordingHarness().record(preset, 3);
        ASSERT_EQ(r.initResult, 0);
        const Probe::Media m = Probe::inspect(r.lastPath, false);
        EXPECT_EQ(m.videoValue("color_range"), QStringLiteral("tv"));
        for (const char* key : {"color_primaries", "color_transfer", "color_space"})
            EXPECT_EQ(m.videoValue(key).replace(QStringLiteral("unknown"), QString()),
                      QLatin1String(value))
                << key << " at " << w;
    }
}

TEST(Recording, TimeSplitGivesFilesThatHoldEveryFrameOnceWithTheirSound)
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

    // A fixed path (a transcoding) is numbered the same way instead of being overwritten, and
    // the sound stays with its picture in every file (the encoder's priming carries over).
    preset.transcoding().enabled = true;
    preset.audioCodec().enabled = true;
    preset.container().format = QStringLiteral("mkv");
    preset.local().recordingPath = fixed.filePath(QStringLiteral("clip.mkv"));
    preset.local().splitSeconds = 4;
    ASSERT_EQ(harness.record(preset, 250).initResult, 0);
    const QStringList clips = filesIn(fixed, "*");
    EXPECT_EQ(clips, (QStringList{"clip 2.mkv", "clip 3.mkv", "clip.mkv"}));
    for (const QString& name : clips) {
        SCOPED_TRACE(name.toStdString());
        const Probe::Media m = Probe::inspect(fixed.filePath(name), false);
        EXPECT_EQ(m.videoPackets.size(), name == QLatin1String("clip 3.mkv") ? 50 : 100);
        // Within one video frame and one AAC frame.
        EXPECT_NEAR(Probe::span(m.audioPackets), Probe::span(m.videoPackets),
                    1.0 / 25 + 1024.0 / 48000 + 1e-3);
    }
}

// Starts that cannot work fail with -3 and runs that never got a frame leave no file.
TEST(Recording, FailedStartsAndEmptyRunsLeaveNoFiles)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("not-a-folder"));
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    const auto initResult = [](const QString& folder, const char* container, int frames) {
        return RecordingHarness()
            .record(RecordingHarness::preset(folder, QLatin1String(container)), frames)
            .initResult;
    };
    // A folder below a plain file can be neither created nor written, whoever runs the test.
    EXPECT_EQ(initResult(file + QStringLiteral("/recordings"), "mkv", 5), -3);
    EXPECT_EQ(initResult(dir.path(), "nosuchformat", 5), -3);
    for (const char* container : {"mp4", "mkv", "ts", "mov"})
        EXPECT_EQ(initResult(dir.path(), container, 0), 0);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("not-a-folder")});
}

// Less than 201 MB free refuses a start, checked on the volume of the nearest folder that
// exists before any encoder is made; crossing the limit while recording stops the video.
TEST(Recording, LowDiskSpaceStopsVideoAndLeavesReadableFiles)
{
    for (const char* container : {"mkv", "ts", "mp4"}) {
        TmpfsMount tmpfs("size=300000000");
        if (!tmpfs.mounted)
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
        QFile filler(tmpfs.dir.filePath(QStringLiteral("filler")));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        ASSERT_EQ(::posix_fallocate(filler.handle(), 0, 300000000LL - 200950000LL), 0);
        CodecPreset preset =
            RecordingHarness::preset(tmpfs.dir.path(), QLatin1String(container), 640, 360);
        CodecPreset deeper = preset;
        deeper.local().folder += QStringLiteral("/recordings/today"); // not there yet
        Encoder refused;
        EXPECT_EQ(refused.initialize(nullptr, &deeper, false), -4);
        EXPECT_EQ(refused.videoCodec(), nullptr);
        // 201.05 MB free: the recording crosses the limit after about 50 kB.
        ASSERT_TRUE(filler.resize(300000000LL - 201050000LL));
        RecordingHarness harness;
        preset.videoCodec().bitrate = 8000;
        preset.videoCodec().tune.clear();
        const RecordingHarness::Result r = harness.record(preset, 3000, 1);
        ASSERT_EQ(r.initResult, 0);
        EXPECT_TRUE(r.failedWith(-4)) << container;
        EXPECT_GT(Probe::inspect(r.lastPath).frames(), 0) << container;
    }
}

// Write failures are reported (-1) and the pipeline goes on: a recording whose folder is
// deleted, with a warning that says so, and an H.264 stream whose first packet carries no start
// code, which the MPEG-TS muxer refuses (the double stands in for a hardware encoder name).
TEST(Recording, WriteFailuresAreReportedAndThePipelineGoesOn)
{
    QTemporaryDir parent;
    const QString folder = parent.filePath(QStringLiteral("rec"));
    MessageCapture log;
    RecordingHarness harness;
    harness.onFrame = [&](int frame, Encoder&) {
        if (frame == 30)
            QDir(folder).removeRecursively();
    };
    RecordingHarness::Result r =
        harness.record(RecordingHarness::preset(folder, QStringLiteral("mkv")), 150);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_TRUE(r.failedWith(-1));
    EXPECT_GT(log.count(QStringLiteral("the file was deleted")), 0)
        << log.messages().join(QLatin1Char('\n')).toStdString();

    const QString name = QStringLiteral("H264(AMF)");
    VideoCodecFactory::addCodec(name, [] { return new FakeVideoCodec(0, 10); });
    CodecPreset preset = RecordingHarness::preset(parent.path(), QStringLiteral("ts"));
    preset.videoCodec().codecName = name;
    preset.audioCodec().enabled = false;
    r = RecordingHarness().record(preset, 60);
    VideoCodecFactory::addCodec(name, nullptr);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_TRUE(r.failedWith(-1));
    EXPECT_LT(r.packets, 60) << "packets after the refusal are not written";
}
