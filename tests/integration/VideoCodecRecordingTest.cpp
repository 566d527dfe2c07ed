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

using ContainerCase = std::pair<const char*, QStringList>; // container, the codecs it takes
using ContainerCodecs = ::testing::TestWithParam<ContainerCase>;

} // namespace

// Every container the library offers against every codec: a pair the container takes records
// and decodes; any other fails to start at once (-3), with no file left behind. The audio rows
// go with VP8 in webm, with x264 elsewhere.
TEST_P(ContainerCodecs, AcceptedPairsDecodeAndOthersFailAtStart)
{
    const auto& [container, accepted] = GetParam();
    for (int i = 0; i < 10; ++i) {
        const QString codec = QLatin1String(kCodecs[i]);
        const bool audio = i >= 7;
        SCOPED_TRACE(codec.toStdString() + " in " + container);
        QTemporaryDir dir;
        CodecPreset preset = RecordingHarness::preset(dir.path(), QLatin1String(container), 64, 48);
        preset.videoCodec().codecName =
            !audio ? codec : QLatin1String(container == std::string("webm") ? "VP8" : "X264");
        preset.audioCodec().enabled = audio;
        preset.audioCodec().codecName = audio ? codec : QStringLiteral("AAC");
        QElapsedTimer timer;
        timer.start();
        const RecordingHarness::Result r = RecordingHarness().record(preset, 8);
        if (!accepted.contains(codec)) {
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

const QStringList kStreamable = {"X264", "H264", "AAC", "MP3"}; // PCM in flv: not at 48 kHz
INSTANTIATE_TEST_SUITE_P(
    Recording, ContainerCodecs,
    ::testing::Values(
        ContainerCase{"mp4", {"X264", "H264", "VP9", "MJPEG", "AAC", "MP3"}},
        ContainerCase{"mov",
                      {"X264", "H264", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)", "AAC",
                       "PCM", "MP3"}},
        ContainerCase{"flv", kStreamable}, ContainerCase{"ts", kStreamable},
        ContainerCase{"m2ts", kStreamable}, ContainerCase{"m3u8", kStreamable},
        ContainerCase{"mkv",
                      {"X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "AAC", "PCM", "MP3"}},
        ContainerCase{"avi", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
        ContainerCase{"wmv", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
        ContainerCase{"webm", {"VP8", "VP9"}}),
    [](const auto& info) { return std::string(info.param.first); });
