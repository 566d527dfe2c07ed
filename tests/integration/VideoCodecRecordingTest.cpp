#include "Probe.h"
#include "RecordingHarness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The video codecs, then the audio ones.
const char* const kCodecs[] = {
    "X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)",
    "AAC",  "PCM",  "MP3"};

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
    for (int i = 0; i < 10; ++i) {
        const QString codec = QLatin1String(kCodecs[i]);
        const bool audio = i >= 7;
        SCOPED_TRACE(codec.toStdString() + " in " + c.container);
        QTemporaryDir dir;
        CodecPreset preset =
            RecordingHarness::preset(dir.path(), QLatin1String(c.container), 64, 48);
        preset.videoCodec().codecName = audio ? QLatin1String(c.video) : codec;
        preset.audioCodec().enabled = audio;
        preset.audioCodec().codecName = audio ? codec : QStringLiteral("AAC");
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
        Probe::expectDecodes(r.lastPath);
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
