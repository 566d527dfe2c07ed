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

// Checks one finished recording the way a user would: it decodes, holds every encoded frame,
// and its streams line up.
void expectGoodRecording(const QString& path, long long packets, const QString& frameRate,
                         bool withAudio = true)
{
    SCOPED_TRACE(path.toStdString());
    ASSERT_TRUE(QFileInfo::exists(path));
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
    const QJsonObject video = Probe::stream(path, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString().toLongLong(), packets);
    EXPECT_EQ(video.value(QStringLiteral("r_frame_rate")).toString(), frameRate);

    const QVector<Probe::Packet> v = Probe::packets(path, QStringLiteral("v:0"));
    ASSERT_EQ(v.size(), packets);
    EXPECT_TRUE(v.front().key);
    for (int i = 1; i < v.size(); ++i)
        ASSERT_GT(v[i].dts, v[i - 1].dts) << "packet " << i;
    if (withAudio) {
        const QVector<Probe::Packet> a = Probe::packets(path, QStringLiteral("a:0"));
        ASSERT_FALSE(a.isEmpty());
        const double fps = frameRate == QLatin1String("30/1") ? 30 : 30000.0 / 1001;
        EXPECT_NEAR(Probe::span(a), Probe::span(v), 1.0 / fps + 1e-3);
    }
}

} // namespace

class RecordingContainers : public ::testing::TestWithParam<const char*>
{
};

TEST_P(RecordingContainers, TenSecondsOfX264AndAacDecodeCompletely)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    const RecordingHarness::Result r = harness.record(
        RecordingHarness::preset(dir.path(), QLatin1String(GetParam()), 1280, 720), 300);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, 300);
    EXPECT_EQ(r.lastPath, dir.path() + QStringLiteral("/take.") + QLatin1String(GetParam()));
    expectGoodRecording(r.lastPath, r.packets, QStringLiteral("30/1"));
    // The muxer keeps writing while the pipeline runs (not only when it stops).
    EXPECT_GE(r.writtenBeforeStop, 9.0);
    // Progress: one report per written packet with the muxer's frame count.
    ASSERT_FALSE(r.reports.empty());
    EXPECT_EQ(r.reports.back(), std::make_pair(1, 300));
}

INSTANTIATE_TEST_SUITE_P(Recording, RecordingContainers,
                         ::testing::Values("mp4", "mov", "mkv", "flv", "ts", "m2ts", "avi"));

TEST(Recording, NtscRateAndM2tsPackets)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset =
        RecordingHarness::preset(dir.path(), QStringLiteral("m2ts"), 320, 240, 29.97);
    preset.audioCodec().codecName = QStringLiteral("MP3"); // Blu-ray transport streams carry no AAC
    const RecordingHarness::Result r = harness.record(preset, 60);
    ASSERT_EQ(r.initResult, 0);
    expectGoodRecording(r.lastPath, r.packets, QStringLiteral("30000/1001"));
    // An .m2ts name gives 192-byte packets (a 4-byte time code before each 188-byte packet).
    QFile f(r.lastPath);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray head = f.read(192 * 3);
    EXPECT_EQ(f.size() % 192, 0);
    EXPECT_EQ(head[4], 0x47);
    EXPECT_EQ(head[192 + 4], 0x47);
}

TEST(Recording, WmvAndHlsOutputs)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset wmv = RecordingHarness::preset(dir.path(), QStringLiteral("wmv"));
    wmv.audioCodec().codecName = QStringLiteral("MP3");
    wmv.audioCodec().sampleRate = 48000;
    const RecordingHarness::Result w = harness.record(wmv, 60);
    ASSERT_EQ(w.initResult, 0);
    expectGoodRecording(w.lastPath, w.packets, QStringLiteral("30/1"), false);
    EXPECT_EQ(Probe::stream(w.lastPath, QStringLiteral("audio"), false)
                  .value(QStringLiteral("codec_name"))
                  .toString(),
              QStringLiteral("mp3"));

    QTemporaryDir hlsDir;
    const RecordingHarness::Result h =
        harness.record(RecordingHarness::preset(hlsDir.path(), QStringLiteral("m3u8")), 150);
    ASSERT_EQ(h.initResult, 0);
    ASSERT_TRUE(h.lastPath.endsWith(QStringLiteral(".m3u8")));
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(h.lastPath, &errors)) << errors.toStdString();
    const QStringList segments = QDir(hlsDir.path()).entryList({QStringLiteral("*.ts")});
    EXPECT_GE(segments.size(), 2);
    const QJsonObject video = Probe::stream(h.lastPath, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString().toLongLong(), h.packets);
}

TEST(Recording, ContainerThatRefusesTheCodecFailsToStart)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    // AAC in webm, and a container name nobody knows.
    for (const char* container : {"webm", "nosuchformat"}) {
        const RecordingHarness::Result r =
            harness.record(RecordingHarness::preset(dir.path(), QLatin1String(container)), 10);
        EXPECT_EQ(r.initResult, -3) << container;
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty())
        << "a failed start leaves no file behind";
}

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
        const QJsonObject v = Probe::stream(r.lastPath, QStringLiteral("video"), false);
        SCOPED_TRACE(c.w);
        EXPECT_EQ(v.value(QStringLiteral("color_range")).toString(), QStringLiteral("tv"));
        for (const char* key : {"color_primaries", "color_transfer", "color_space"}) {
            if (c.value)
                EXPECT_EQ(v.value(QLatin1String(key)).toString(), QLatin1String(c.value)) << key;
            else
                EXPECT_TRUE(v.value(QLatin1String(key)).isUndefined() ||
                            v.value(QLatin1String(key)).toString() == QLatin1String("unknown"))
                    << key << " " << v.value(QLatin1String(key)).toString().toStdString();
        }
    }
}

TEST(Recording, TimeSplitGivesFilesThatHoldEveryFrameOnce)
{
    QTemporaryDir whole, split;
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
    const QStringList files{split.filePath(QStringLiteral("take.mp4")),
                            split.filePath(QStringLiteral("take 2.mp4")),
                            split.filePath(QStringLiteral("take 3.mp4"))};
    EXPECT_EQ(QDir(split.path()).entryList(QDir::Files).size(), 3);
    EXPECT_EQ(parts.lastPath, files.last());

    QVector<Probe::Packet> joined;
    const QVector<int> expectedFrames{250, 250, 125};
    for (int i = 0; i < files.size(); ++i) {
        QString errors;
        EXPECT_TRUE(Probe::decodesCleanly(files[i], &errors)) << errors.toStdString();
        const QVector<Probe::Packet> p = Probe::packets(files[i], QStringLiteral("v:0"));
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(p.front().key) << files[i].toStdString();
        EXPECT_EQ(p.size(), expectedFrames[i]) << files[i].toStdString();
        joined += p;
    }
    const QVector<Probe::Packet> reference = Probe::packets(one.lastPath, QStringLiteral("v:0"));
    ASSERT_EQ(joined.size(), reference.size());
    for (int i = 0; i < joined.size(); ++i)
        ASSERT_EQ(joined[i].hash, reference[i].hash) << "packet " << i;
}

TEST(Recording, UnwritableFolderFailsToStart)
{
    // A folder below a plain file can be neither created nor written, whoever runs the test.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    RecordingHarness harness;
    const RecordingHarness::Result r =
        harness.record(RecordingHarness::preset(file.fileName() + QStringLiteral("/recordings"),
                                                QStringLiteral("mkv")),
                       5);
    EXPECT_EQ(r.initResult, -3);
}

TEST(Recording, LowDiskSpaceStopsVideoAndLeavesReadableFiles)
{
    for (const char* container : {"mkv", "ts", "mp4"}) {
        QTemporaryDir dir;
        if (::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0,
                    "size=300000000") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
        // Leave 201.05 MB free: the recording crosses the 201 MB limit after about 50 kB.
        {
            QFile filler(dir.filePath(QStringLiteral("filler")));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            const QByteArray block(1 << 20, 'x');
            const long long target = 300000000LL - 201050000LL;
            for (long long written = 0; written < target; written += block.size())
                filler.write(block.constData(),
                             std::min<long long>(block.size(), target - written));
        }
        RecordingHarness harness;
        CodecPreset preset =
            RecordingHarness::preset(dir.path(), QLatin1String(container), 640, 360);
        preset.videoCodec().bitrate = 8000;
        preset.videoCodec().tune.clear();
        preset.videoCodec().preset = QStringLiteral("ultrafast");
        const RecordingHarness::Result r = harness.record(preset, 3000, 1);
        ASSERT_EQ(r.initResult, 0);
        EXPECT_NE(std::find(r.reports.begin(), r.reports.end(), std::make_pair(0, -4)),
                  r.reports.end())
            << container;
        const QJsonObject v = Probe::stream(r.lastPath, QStringLiteral("video"));
        EXPECT_GT(v.value(QStringLiteral("nb_read_frames")).toString().toInt(), 0) << container;
        ::umount(QFile::encodeName(dir.path()).constData());
    }
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
    EXPECT_NE(std::find(r.reports.begin(), r.reports.end(), std::make_pair(0, -1)),
              r.reports.end());
    EXPECT_LT(r.packets, 60) << "packets after the refusal are not written";
}

TEST(Recording, TimeSplitKeepsTheSoundWithItsPictureInEveryFile)
{
    QTemporaryDir dir;
    RecordingHarness harness;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mkv"), 320, 240, 25);
    preset.local().splitSeconds = 4;
    const RecordingHarness::Result r = harness.record(preset, 250);
    ASSERT_EQ(r.initResult, 0);
    const QStringList files =
        QDir(dir.path()).entryList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 3);
    for (const QString& name : files) {
        const QString path = dir.filePath(name);
        SCOPED_TRACE(path.toStdString());
        const double video = Probe::span(Probe::packets(path, QStringLiteral("v:0")));
        const double audio = Probe::span(Probe::packets(path, QStringLiteral("a:0")));
        EXPECT_GT(video, 1.9);
        // Within one video frame and one AAC frame (the encoder's priming carries over).
        EXPECT_NEAR(audio, video, 1.0 / 25 + 1024.0 / 48000 + 1e-3);
    }
}
