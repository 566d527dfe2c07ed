#include "Probe.h"
#include "RecordingHarness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

CodecPreset videoOnly(const QString& folder, const QString& codec, const QString& container,
                      int w = 320, int h = 240)
{
    CodecPreset p = RecordingHarness::preset(folder, container, w, h);
    p.videoCodec().codecName = codec;
    p.audioCodec().enabled = false;
    return p;
}

const char* const kVideoCodecs[] = {
    "X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)"};
const char* const kAudioCodecs[] = {"AAC", "PCM", "MP3"};

struct ContainerCase
{
    const char* container;
    const char* video;    // the codec that carries the audio rows
    QStringList accepted; // codec names the container takes
};

void PrintTo(const ContainerCase& c, std::ostream* os)
{
    *os << c.container;
}

} // namespace

class ContainerCodecs : public ::testing::TestWithParam<ContainerCase>
{
};

// Every container the library offers against every codec: a pair the container takes records
// and decodes; any other fails to start at once (-3), with no file left behind.
TEST_P(ContainerCodecs, AcceptedPairsDecodeAndOthersFailAtStart)
{
    const ContainerCase& c = GetParam();
    QStringList names;
    for (const char* v : kVideoCodecs)
        names << QLatin1String(v);
    for (const char* a : kAudioCodecs)
        names << QLatin1String(a);
    for (const QString& codec : names) {
        SCOPED_TRACE(codec.toStdString() + " in " + c.container);
        const bool audio = names.indexOf(codec) >= 7;
        QTemporaryDir dir;
        CodecPreset preset = videoOnly(dir.path(), audio ? QLatin1String(c.video) : codec,
                                       QLatin1String(c.container), 64, 48);
        if (audio) {
            preset.audioCodec().enabled = true;
            preset.audioCodec().codecName = codec;
        }
        QElapsedTimer timer;
        timer.start();
        const RecordingHarness::Result r = RecordingHarness().record(preset, 8);
        if (!c.accepted.contains(codec)) {
            EXPECT_EQ(r.initResult, -3);
            EXPECT_LT(timer.elapsed(), 2000);
            EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
            continue;
        }
        ASSERT_EQ(r.initResult, 0);
        const Probe::Media m = Probe::inspect(r.lastPath);
        QString errors;
        EXPECT_TRUE(Probe::decodesCleanly(r.lastPath, &errors)) << errors.toStdString();
        EXPECT_EQ(m.frames(), r.packets);
        EXPECT_TRUE(!audio || !m.audioPackets.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recording, ContainerCodecs,
    ::testing::Values(
        ContainerCase{"mp4", "X264", {"X264", "H264", "VP9", "MJPEG", "AAC", "MP3"}},
        ContainerCase{"mov",
                      "X264",
                      {"X264", "H264", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)", "AAC",
                       "PCM", "MP3"}},
        ContainerCase{"flv", "X264", {"X264", "H264", "AAC", "MP3"}}, // PCM: not at 48 kHz
        ContainerCase{"ts", "X264", {"X264", "H264", "AAC", "MP3"}},
        ContainerCase{"m2ts", "X264", {"X264", "H264", "AAC", "MP3"}},
        ContainerCase{"m3u8", "X264", {"X264", "H264", "AAC", "MP3"}},
        ContainerCase{"mkv",
                      "X264",
                      {"X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "AAC", "PCM", "MP3"}},
        ContainerCase{"avi", "X264", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
        ContainerCase{"wmv", "X264", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
        ContainerCase{"webm", "VP8", {"VP8", "VP9"}}),
    [](const ::testing::TestParamInfo<ContainerCase>& info) {
        return std::string(info.param.container);
    });

// The stream description the muxer writes for ProRes: profile and field order as the preset
// asks (players read both from the container).
TEST(VideoCodecRecording, ProResProfilesAndFieldOrderInMov)
{
    struct Case
    {
        int profile, scan;
        const char* name;
        const char* fieldOrder;
    };
    for (const Case& c : {Case{0, 0, "Proxy", "progressive"}, Case{1, 0, "LT", "progressive"},
                          Case{2, 1, "Standard", "tt"}, Case{3, 2, "HQ", "bb"},
                          Case{4, 0, "4444", "progressive"}, Case{5, 0, "XQ", "progressive"}}) {
        QTemporaryDir dir;
        RecordingHarness harness;
        CodecPreset preset =
            videoOnly(dir.path(), QStringLiteral("Apple ProRes"), QStringLiteral("mov"), 720, 576);
        preset.videoCodec().codecProfile = c.profile;
        preset.videoCodec().scanMode = c.scan;
        const RecordingHarness::Result r = harness.record(preset, 4);
        ASSERT_EQ(r.initResult, 0) << c.name;
        const Probe::Media m = Probe::inspect(r.lastPath);
        EXPECT_TRUE(Probe::decodesCleanly(r.lastPath)) << c.name;
        EXPECT_EQ(m.frames(), 4) << c.name;
        EXPECT_EQ(m.videoValue("profile"), QLatin1String(c.name));
        EXPECT_EQ(m.videoValue("field_order"), QLatin1String(c.fieldOrder)) << c.name;
    }
}
