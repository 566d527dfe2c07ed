#include "Probe.h"
#include "RecordingHarness.h"

#include "common/CodecTable.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using ContainerCodecs = ::testing::TestWithParam<const char*>;

} // namespace

// Every container against every codec (audio with VP8 in webm, with x264 elsewhere): a pair the
// codec table says fits records and decodes; any other fails to start (-3), leaving no file.
TEST_P(ContainerCodecs, AcceptedPairsDecodeAndOthersFailAtStart)
{
    const QString container = QLatin1String(GetParam());
    using B = CodecTable::Backend;
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (const CodecTable::Entry* entry = entries; entry != entries + count; ++entry) {
        // The codecs this build encodes without a GPU.
        if (entry->backend == B::None || entry->backend == B::MFVideo ||
            entry->backend == B::Nvenc || entry->backend == B::Amf)
            continue;
        const QString codec = QLatin1String(entry->name);
        const bool audio = entry->kind == CodecTable::Kind::Audio;
        SCOPED_TRACE((codec + " in " + container).toStdString());
        QTemporaryDir dir;
        CodecPreset preset = RecordingHarness::preset(dir.path(), container, 64, 48);
        preset.videoCodec().codecName =
            !audio ? codec : QLatin1String(container == "webm" ? "VP8" : "X264");
        preset.audioCodec().enabled = audio;
        preset.audioCodec().codecName = audio ? codec : QStringLiteral("AAC");
        const RecordingHarness::Result r = RecordingHarness().record(preset, 8);
        if (!CodecTable::fits(*entry, container)) {
            EXPECT_EQ(r.initResult, -3);
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
