#include "MessageCapture.h"
#include "api/Strevo.h"
#include "codec/audio/AudioCodecFactory.h"
#include "codec/audio/FFmpegAudio.h"
#include "codec/audio/PCMEnc.h"
#include "codec/audio/ShineMP3.h"
#include "codec/video/FFmpegVideo.h"
#include "codec/video/MFVideo.h"
#include "codec/video/OpenH264.h"
#include "codec/video/VPX.h"
#include "codec/video/VideoCodecFactory.h"
#include "codec/video/X264.h"
#include "codec/video/amf/AmfEncoder.h"
#include "codec/video/amf/DownloadAmf.h"
#include "codec/video/nvenc/NvEncoder.h"
#include "common/CodecTable.h"

#include <gtest/gtest.h>

#include <memory>
#include <typeinfo>

// The documented ids (hosts store them), written out, and the encoder class made per name.
TEST(CodecTable, NamesMapToDocumentedIdsAndEncoderClasses)
{
    struct Row
    {
        const char* name;
        int id;
        const std::type_info* encoder; // null: no software encoder
    };
    // Names are exact, with case: the last six have no id and no encoder.
    // clang-format off
    const Row rows[] = {
        {"X264", 27, &typeid(X264)}, {"H264", 27, &typeid(OpenH264)},
        {"H264(QuickSync)", 27, &typeid(MFVideo)}, {"H264(NVENC)", 27, &typeid(NvEncoder)}, {"H264(AMF)", 27, &typeid(MFVideo)},
        {"HEVC(QuickSync)", 173, &typeid(MFVideo)}, {"HEVC(NVENC)", 173, &typeid(NvEncoder)}, {"HEVC(AMF)", 173, &typeid(MFVideo)},
        {"VP8", 139, &typeid(VPX)}, {"VP9", 167, &typeid(VPX)},
        {"AV1", 226, &typeid(FFmpegVideo)}, {"X265", 173, &typeid(FFmpegVideo)},
        {"QuickTime Animation (RLE)", 55, &typeid(FFmpegVideo)}, {"MJPEG", 7, &typeid(FFmpegVideo)},
        {"Apple ProRes", 147, &typeid(FFmpegVideo)}, {"DV25", 24, nullptr}, {"AAC", 86018, &typeid(FFmpegAudio)},
        {"MP3", 86017, &typeid(ShineMP3)}, {"AC3", 86019, nullptr},
        {"VORBIS", 86021, &typeid(FFmpegAudio)}, {"OPUS", 86076, &typeid(FFmpegAudio)},
        {"FLAC", 86028, &typeid(FFmpegAudio)}, {"HEVC", 0, nullptr}, {"x265", 0, nullptr},
        {"PCM", 65536, &typeid(PCMEnc)}, {"h264", 0, nullptr}, {"", 0, nullptr},
        {"aac", 0, nullptr}, {"X264 ", 0, nullptr}, {"Mp3", 0, nullptr},
    };
    // clang-format on
    for (const Row& row : rows) {
        const QString name = QString::fromLatin1(row.name);
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Strevo::codecIdFromName(name), row.id);
        std::unique_ptr<IVideoCodec> video(VideoCodecFactory::create(name));
        std::unique_ptr<IAudioCodec> audio(AudioCodecFactory::create(name));
        const std::type_info* made = video ? &typeid(*video) : audio ? &typeid(*audio) : nullptr;
        EXPECT_STREQ(made ? made->name() : "none", row.encoder ? row.encoder->name() : "none");
        EXPECT_FALSE(video && audio);
    }
}

// Without a GPU: the published keys of codecs the factories make and containers that fit them;
// asking warns of nothing the machine lacks.
TEST(Catalogue, ListsWhatTheFactoriesMake)
{
    MessageCapture log;
    const QMap<int, QString> video = Strevo::availableVideoCodecs();
    EXPECT_EQ(log.count(QStringLiteral("warning: ")), 0) << qPrintable(log.messages().join('\n'));
    const QMap<int, QString> audio = Strevo::availableAudioCodecs();
    EXPECT_EQ(video, (QMap<int, QString>{{64, "X264"},
                                         {128, "VP8"},
                                         {512, "QuickTime Animation (RLE)"},
                                         {2048, "MJPEG"},
                                         {4096, "Apple ProRes"},
                                         {8192, "H264"},
                                         {32768, "X265"},
                                         {65536, "AV1"}}));
    EXPECT_EQ(
        audio,
        (QMap<int, QString>{
            {1, "AAC"}, {2, "MP3"}, {16, "PCM"}, {32, "OPUS"}, {64, "VORBIS"}, {128, "FLAC"}}));
    for (const QString& name : video)
        EXPECT_TRUE(std::unique_ptr<IVideoCodec>(VideoCodecFactory::create(name)))
            << qPrintable(name);
    for (const QString& name : audio)
        EXPECT_TRUE(std::unique_ptr<IAudioCodec>(AudioCodecFactory::create(name)))
            << qPrintable(name);
    const QMap<int, QString> containers = Strevo::availableContainers();
    EXPECT_EQ(containers.keys(), (QList<int>{1, 2, 4, 8, 32, 64, 128, 256, 512, 1024}));
    EXPECT_EQ(QStringList(containers.values()).join(' '),
              "mp4 mov flv ts m2ts mkv avi wmv webm m3u8");
    const auto fitting = [](const QMap<int, QString>& codecs, const QString& container) {
        QStringList names;
        for (const QString& name : codecs)
            if (CodecTable::fits(*CodecTable::find(name), container))
                names << name;
        return names;
    };
    for (const QString& container : containers) {
        EXPECT_FALSE(fitting(video, container).isEmpty()) << qPrintable(container);
        EXPECT_FALSE(fitting(audio, container).isEmpty()) << qPrintable(container);
    }
    EXPECT_EQ(fitting(video, "webm"), (QStringList{"VP8", "AV1"}));
    EXPECT_EQ(fitting(audio, "webm"), (QStringList{"OPUS", "VORBIS"}));
}

// Without an AMF runtime a frame download fails to open, naming the missing runtime.
TEST(AmfWithoutRuntime, FailsWithAClearMessage)
{
    DownloadAmf download;
    EXPECT_EQ(download.data(), nullptr);
    MessageCapture log;
    EXPECT_FALSE(download.initialize(64, 48));
    EXPECT_EQ(log.count(QStringLiteral("the AMF runtime (libamfrt64.so.1) is missing")), 1);
    EXPECT_EQ(download.data(), nullptr);
}
