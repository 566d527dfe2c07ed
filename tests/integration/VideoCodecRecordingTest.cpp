#include "Probe.h"
#include "RecordingHarness.h"

#include "common/CodecTable.h"
#include "muxer/StreamSetup.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using ContainerCodecs = ::testing::TestWithParam<const char*>;

// The media type GStreamer gives a stream of the codec (PCM: raw sound).
std::string gstType(int codecId)
{
    static const std::map<int, std::string> types{
        {AV_CODEC_ID_H264, "video/x-h264"},     {AV_CODEC_ID_HEVC, "video/x-h265"},
        {AV_CODEC_ID_AV1, "video/x-av1"},       {AV_CODEC_ID_VP8, "video/x-vp8"},
        {AV_CODEC_ID_VP9, "video/x-vp9"},       {AV_CODEC_ID_MJPEG, "image/jpeg"},
        {AV_CODEC_ID_PRORES, "video/x-prores"}, {AV_CODEC_ID_QTRLE, "video/x-rle"},
        {AV_CODEC_ID_AAC, "audio/mpeg"},        {AV_CODEC_ID_MP3, "audio/mpeg"},
        {AV_CODEC_ID_VORBIS, "audio/x-vorbis"}, {AV_CODEC_ID_OPUS, "audio/x-opus"},
        {AV_CODEC_ID_FLAC, "audio/x-flac"}};
    const auto found = types.find(codecId);
    return found != types.end() ? found->second : "audio/x-raw";
}

} // namespace

// Every container against every codec (audio with VP8 in webm, with x264 elsewhere): a pair the
// codec table says fits records 2 s that FFmpeg decodes whole, with the sound as long as the
// picture, and that GStreamer, which did not write it, reads the same (streams, codecs,
// duration within a frame, every picture) and plays to its end; any other pair fails to start
// (-3), leaving no file.
TEST_P(ContainerCodecs, AcceptedPairsReadTheSameEverywhereAndOthersFailAtStart)
{
    const QString container = QLatin1String(GetParam());
    using B = CodecTable::Backend;
    constexpr double kFps = 30.0;
    // GStreamer finds no duration in a transport stream of less than about 64 kB (FFmpeg's own
    // command line's files included), which 2 s at this size can be: those record 5 s.
    const bool transport = container == QLatin1String("ts") || container == QLatin1String("m2ts");
    const int kFrames = transport ? 150 : 60;
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
        CodecPreset preset = RecordingHarness::preset(dir.path(), container, 320, 240, kFps);
        preset.videoCodec().codecName =
            !audio ? codec : QLatin1String(container == "webm" ? "VP8" : "X264");
        preset.audioCodec().enabled = audio;
        preset.audioCodec().codecName = audio ? codec : QStringLiteral("AAC");
        const bool fits = CodecTable::fits(*entry, container);
        const RecordingHarness::Result r = RecordingHarness().record(preset, fits ? kFrames : 8);
        if (!fits) {
            EXPECT_EQ(r.initResult, -3);
            EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
            continue;
        }
        ASSERT_EQ(r.initResult, 0);
        const Probe::Media m = Probe::inspect(r.lastPath);
        Probe::expectDecodes(r.lastPath);
        EXPECT_EQ((audio ? m.audio : m.video).value(QStringLiteral("codec_name")).toString(),
                  avcodec_get_name(static_cast<AVCodecID>(entry->avCodecId)));
        EXPECT_EQ(m.frames(), r.packets);
        // The sound ends within one of its frames of the picture: an MP3 frame, or the
        // codec's own longer one (FLAC's).
        const double audioFrame =
            std::max(1152, StreamSetup::audioFrameSize(entry->avCodecId, 48000)) / 48000.0;
        EXPECT_NEAR(audio ? Probe::span(m.audioPackets) : 0.0,
                    audio ? Probe::span(m.videoPackets) : 0.0, audioFrame);
        const Probe::GstView gst = Probe::gstreamer(r.lastPath);
        EXPECT_TRUE(gst.plays && gst.video == 1 && gst.audio == (audio ? 1 : 0) && !gst.other)
            << gst.video << " video, " << gst.audio << " audio, " << gst.other << " other streams\n"
            << gst.errors.constData();
        EXPECT_EQ((audio ? gst.audioType : gst.videoType).toStdString(), gstType(entry->avCodecId));
        EXPECT_EQ(gst.pictures, r.packets);
        EXPECT_NEAR(gst.duration, r.packets / kFps, 1.0 / kFps + (audio ? audioFrame : 0.0));
    }
}

INSTANTIATE_TEST_SUITE_P(Recording, ContainerCodecs,
                         ::testing::Values("mp4", "mov", "flv", "ts", "m2ts", "m3u8", "mkv", "avi",
                                           "wmv", "webm"),
                         [](const auto& info) { return std::string(info.param); });
