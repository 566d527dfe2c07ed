#include "Probe.h"
#include "RecordingHarness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The video codecs, then the audio ones.
const char* const kCodecs[] = {
    "X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)",
    "AAC",  "PCM",  "MP3"};

// The codecs each container takes (PCM in flv: not at 48 kHz).
const QStringList kStreamable = {"X264", "H264", "AAC", "MP3"};
const QMap<QString, QStringList> kAccepted = {
    {"mp4", {"X264", "H264", "VP9", "MJPEG", "AAC", "MP3"}},
    {"mov",
     {"X264", "H264", "MJPEG", "Apple ProRes", "QuickTime Animation (RLE)", "AAC", "PCM", "MP3"}},
    {"flv", kStreamable},
    {"ts", kStreamable},
    {"m2ts", kStreamable},
    {"m3u8", kStreamable},
    {"mkv", {"X264", "H264", "VP8", "VP9", "MJPEG", "Apple ProRes", "AAC", "PCM", "MP3"}},
    {"avi", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
    {"wmv", {"X264", "H264", "VP8", "VP9", "MJPEG", "AAC", "PCM", "MP3"}},
    {"webm", {"VP8", "VP9"}}};

using ContainerCodecs = ::testing::TestWithParam<const char*>;

} // namespace

// Every container the library offers against every codec: a pair the container takes records
// and decodes; any other fails to start at once (-3), with no file left behind. The audio rows
// go with VP8 in webm, with x264 elsewhere.
TEST_P(ContainerCodecs, AcceptedPairsDecodeAndOthersFailAtStart)
{
    const char* const container = GetParam();
    const QStringList accepted = kAccepted.value(QLatin1String(container));
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

INSTANTIATE_TEST_SUITE_P(Recording, ContainerCodecs,
                         ::testing::Values("mp4", "mov", "flv", "ts", "m2ts", "m3u8", "mkv", "avi",
                                           "wmv", "webm"),
                         [](const auto& info) { return std::string(info.param); });
