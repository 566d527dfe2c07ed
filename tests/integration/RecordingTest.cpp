#include "Probe.h"
#include "RecordingHarness.h"

#include "common/StrevoLog.h"
#include "muxer/IMuxer.h"
#include "muxer/IPacketTiming.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/mount.h>
#include <tuple>
#include <unistd.h>

namespace {

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

struct RecordingCase
{
    const char* container;
    int dropEvery; // every n-th frame is lost at the source; 0: none
    double fps;
    const char* rate; // as the stream declares it
};

void PrintTo(const RecordingCase& c, std::ostream* os)
{
    *os << c.container << " " << c.fps << " fps, drop every " << c.dropEvery;
}

} // namespace

using Recordings = ::testing::TestWithParam<RecordingCase>;

// Ten seconds of x264 and AAC decode completely, every frame at the exact rate, with the sound as
// long as the picture, written while the pipeline runs (a lost frame counts as written video, so
// the sound that waits for the picture moves on).
TEST_P(Recordings, TenSecondsDecodeCompletelyAtTheExactRateAndAreWrittenWhileRunning)
{
    const RecordingCase& c = GetParam();
    const int frames = static_cast<int>(std::lround(10 * c.fps));
    QTemporaryDir dir;
    RecordingHarness harness;
    harness.dropEvery = c.dropEvery;
    const RecordingHarness::Result r = harness.record(
        RecordingHarness::preset(dir.path(), QLatin1String(c.container), 320, 240, c.fps), frames);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, c.dropEvery ? frames - frames / c.dropEvery : frames);
    EXPECT_EQ(r.lastPath, dir.path() + QStringLiteral("/take.") + QLatin1String(c.container));
    Probe::expectDecodes(r.lastPath);
    const Probe::Media m = Probe::inspect(r.lastPath);
    EXPECT_EQ(m.frames(), r.packets);
    EXPECT_EQ(m.videoValue("r_frame_rate"), QLatin1String(c.rate));
    const QVector<Probe::Packet>& v = m.videoPackets;
    ASSERT_EQ(v.size(), r.packets);
    EXPECT_TRUE(v.front().key);
    for (int i = 1; i < v.size(); ++i)
        EXPECT_GT(v[i].dts, v[i - 1].dts) << "packet " << i;
    // Within one video frame and one AAC frame.
    EXPECT_NEAR(Probe::span(m.audioPackets), Probe::span(v), 1 / c.fps + 1024.0 / 48000 + 1e-3);
    // The sound ends within half an AAC frame of the last frame pushed.
    EXPECT_NEAR(Probe::span(m.audioPackets), frames / c.fps, 0.5 * 1024 / 48000 + 1e-3);
    EXPECT_GE(r.writtenBeforeStop, (frames - 20) / c.fps);
    EXPECT_GT(r.bytesBeforeStop, 0);
    // One progress report per written packet (with drops the last frame is a lost one).
    ASSERT_FALSE(r.reports.empty());
    EXPECT_EQ(r.reports.back(), std::make_pair(1, c.dropEvery ? frames - 1 : frames));
    if (c.container == std::string("m3u8")) {
        EXPECT_GE(QDir(dir.path()).entryList({"*.ts"}).size(), 2) << "segments beside the playlist";
    }
    if (c.container == std::string("m2ts")) {
        // 192-byte packets: a 4-byte time code before each 188-byte packet.
        QFile f(r.lastPath);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray head = f.read(192 * 2);
        EXPECT_EQ(f.size() % 192, 0);
        EXPECT_TRUE(head.size() == 384 && head[4] == 0x47 && head[192 + 4] == 0x47);
    }
}

// Rates: whole, halves and NTSC's N*1000/1001 (every fraction: VideoCodecTest).
const RecordingCase kRecordings[] = {
    {"mp4", 0, 30, "30/1"}, {"mov", 0, 30, "30/1"},          {"mkv", 0, 30, "30/1"},
    {"flv", 0, 30, "30/1"}, {"ts", 0, 30, "30/1"},           {"m2ts", 0, 30, "30/1"},
    {"avi", 0, 30, "30/1"}, {"m3u8", 0, 30, "30/1"},         {"mp4", 5, 30, "30/1"},
    {"mkv", 5, 30, "30/1"}, {"ts", 5, 30, "30/1"},           {"mp4", 0, 12.5, "25/2"},
    {"mp4", 0, 25, "25/1"}, {"mp4", 0, 29.97, "30000/1001"}, {"mp4", 0, 59.94, "60000/1001"}};
INSTANTIATE_TEST_SUITE_P(Recording, Recordings, ::testing::ValuesIn(kRecordings));

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

// Time splits of a fixed path (a transcoding) are numbered, every 4 s, and the sound stays with
// its picture in every part (how the parts join up: RefEncoderTest).
// The parts are crash-safe mp4 files, each of which says its own length in its header: GStreamer
// reads it from there.
TEST(Recording, TimeSplitsOfAFixedPathAreNumberedAndKeepTheirSound)
{
    QTemporaryDir fixed;
    RecordingHarness harness;
    CodecPreset preset =
        RecordingHarness::preset(fixed.path(), QStringLiteral("mp4"), 320, 240, 25);
    preset.transcoding().enabled = true;
    preset.local().recordingPath = fixed.filePath(QStringLiteral("clip.mp4"));
    preset.local().splitSeconds = 4;
    ASSERT_EQ(harness.record(preset, 250).initResult, 0);
    const QStringList clips = QDir(fixed.path()).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(clips, (QStringList{"clip 2.mp4", "clip 3.mp4", "clip.mp4"}));
    for (const QString& name : clips) {
        SCOPED_TRACE(name.toStdString());
        const Probe::Media m = Probe::inspect(fixed.filePath(name), false);
        const int frames = name == QLatin1String("clip 3.mp4") ? 50 : 100;
        EXPECT_EQ(m.videoPackets.size(), frames);
        const double slack = 1.0 / 25 + 1024.0 / 48000 + 1e-3;
        EXPECT_NEAR(Probe::span(m.audioPackets), Probe::span(m.videoPackets), slack);
        EXPECT_NEAR(Probe::gstreamer(fixed.filePath(name)).duration, frames / 25.0, slack);
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

// A clean recording prints nothing at the default level; a host sink set to Debug gets every
// line with its severity and category, a refused codec as a warning, and nothing reaches stderr.
TEST(Recording, LogsNothingByDefaultAndEverythingToAHostSink)
{
    QTemporaryDir dir;
    QTemporaryFile stderrFile;
    ASSERT_TRUE(stderrFile.open());
    const int savedStderr = ::dup(2);
    ::dup2(stderrFile.handle(), 2);
    const CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"));
    strevo::setLogLevel(strevo::LogLevel::Warning); // the default, set: the routing is in place
    EXPECT_EQ(RecordingHarness().record(preset, 30).initResult, 0);

    std::mutex mutex;
    std::map<std::pair<strevo::LogLevel, QString>, int> lines; // (level, category) -> count
    strevo::setLogLevel(strevo::LogLevel::Debug);
    strevo::setLogHandler([&](strevo::LogLevel level, const QString& category, const QString&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++lines[{level, category}];
    });
    EXPECT_EQ(RecordingHarness().record(preset, 30).initResult, 0);
    CodecPreset unknown = preset;
    unknown.videoCodec().codecName = QStringLiteral("NoSuchCodec");
    EXPECT_NE(RecordingHarness().record(unknown, 1).initResult, 0);
    strevo::setLogHandler({});
    strevo::setLogLevel(strevo::LogLevel::Warning);
    ::dup2(savedStderr, 2);
    ::close(savedStderr);

    ASSERT_TRUE(stderrFile.seek(0));
    EXPECT_EQ(stderrFile.readAll().toStdString(), "");
    EXPECT_GT((lines[{strevo::LogLevel::Debug, QStringLiteral("strevo.x264")}]), 0);
    EXPECT_GT((lines[{strevo::LogLevel::Debug, QStringLiteral("strevo.libav")}]), 0);
    EXPECT_EQ((lines[{strevo::LogLevel::Warning, QStringLiteral("strevo")}]), 1);
}

// Less than 201 MB free on the nearest folder's volume refuses a start before any encoder is
// made; crossing the limit while recording stops the video and leaves a file that plays.
TEST(Recording, LowDiskSpaceStopsVideoAndLeavesAReadableFile)
{
    TmpfsMount tmpfs("size=300000000");
    if (!tmpfs.mounted)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    QFile filler(tmpfs.dir.filePath(QStringLiteral("filler")));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    ASSERT_EQ(::posix_fallocate(filler.handle(), 0, 300000000LL - 200950000LL), 0);
    CodecPreset preset =
        RecordingHarness::preset(tmpfs.dir.path(), QStringLiteral("mp4"), 640, 360);
    CodecPreset deeper = preset;
    deeper.local().folder += QStringLiteral("/recordings/today"); // not there yet
    Encoder refused;
    EXPECT_EQ(refused.initialize(nullptr, &deeper, false), -4);
    EXPECT_EQ(refused.videoCodec(), nullptr);
    // 201.05 MB free: the recording crosses the limit after about 50 kB.
    ASSERT_TRUE(filler.resize(300000000LL - 201050000LL));
    preset.videoCodec().bitrate = 8000;
    preset.videoCodec().tune.clear();
    const RecordingHarness::Result r = RecordingHarness().record(preset, 3000, 1);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_TRUE(r.failedWith(-4));
    EXPECT_GT(Probe::inspect(r.lastPath).frames(), 0);
}

// The muxer's timing reports name every stamped frame by its stamp, in order, once queued and
// once written: while the recording runs, and what the file's end flushes when it is finished.
TEST(Recording, PacketTimesNameEveryStampedFrame)
{
    struct Times : IPacketTiming
    {
        std::mutex mutex;
        std::vector<long long> queued, written;
        void packetTime(Stage stage, long long stampUs,
                        std::chrono::steady_clock::time_point) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            (stage == Stage::Queued ? queued : written).push_back(stampUs);
        }
    } times;
    QTemporaryDir dir;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"));
    auto encoder = std::make_unique<Encoder>();
    ASSERT_EQ(encoder->initialize(nullptr, &preset, false), 0);
    encoder->muxer()->setPacketTiming(&times);
    ASSERT_TRUE(encoder->start());
    TestPattern pattern(320, 240);
    std::vector<int16_t> sound(1600 * 2);
    std::vector<long long> stamps;
    for (int i = 0; i < 45; ++i) {
        TimeStamp ts{1, false, 7000000 + i * 33333LL};
        encoder->enqueueVideo(const_cast<uint8_t*>(pattern.frame(i)), 320, 240, PIX_NV12, &ts);
        encoder->enqueueAudio(reinterpret_cast<unsigned char*>(sound.data()), 6400);
        stamps.push_back(ts.pts);
        QThread::msleep(5);
    }
    const auto written = [&] {
        std::lock_guard<std::mutex> lock(times.mutex);
        return times.written.size();
    };
    QElapsedTimer clock;
    clock.start();
    while (written() < 40 && clock.elapsed() < 5000)
        QThread::msleep(5);
    EXPECT_GE(written(), 40u) << "written while the recording runs, not only at its end";
    encoder->stop();
    encoder.reset();
    EXPECT_EQ(times.queued, stamps);
    EXPECT_EQ(times.written, stamps);
}
