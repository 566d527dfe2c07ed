#include "api/Strevo.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

TEST(CodecId, MapsEveryLibraryNameToItsLibavcodecId)
{
    // The numbers are fixed: hosts and saved projects store them.
    static_assert(AV_CODEC_ID_H264 == 27 && AV_CODEC_ID_HEVC == 173 && AV_CODEC_ID_VP8 == 139 &&
                  AV_CODEC_ID_VP9 == 167 && AV_CODEC_ID_QTRLE == 55 && AV_CODEC_ID_MJPEG == 7 &&
                  AV_CODEC_ID_PRORES == 147 && AV_CODEC_ID_AAC == 86018 &&
                  AV_CODEC_ID_MP3 == 86017 && AV_CODEC_ID_AC3 == 86019 &&
                  AV_CODEC_ID_VORBIS == 86021 && AV_CODEC_ID_PCM_S16LE == 65536);

    const std::pair<const char*, int> table[] = {
        {"X264", AV_CODEC_ID_H264},
        {"H264", AV_CODEC_ID_H264},
        {"H264(QuickSync)", AV_CODEC_ID_H264},
        {"H264(NVENC)", AV_CODEC_ID_H264},
        {"H264(AMF)", AV_CODEC_ID_H264},
        {"HEVC(QuickSync)", AV_CODEC_ID_HEVC},
        {"HEVC(NVENC)", AV_CODEC_ID_HEVC},
        {"VP8", AV_CODEC_ID_VP8},
        {"VP9", AV_CODEC_ID_VP9},
        {"QuickTime Animation (RLE)", AV_CODEC_ID_QTRLE},
        {"MJPEG", AV_CODEC_ID_MJPEG},
        {"Apple ProRes", AV_CODEC_ID_PRORES},
        {"AAC", AV_CODEC_ID_AAC},
        {"MP3", AV_CODEC_ID_MP3},
        {"AC3", AV_CODEC_ID_AC3},
        {"VORBIS", AV_CODEC_ID_VORBIS},
        {"PCM", AV_CODEC_ID_PCM_S16LE},
    };
    for (const auto& [name, id] : table)
        EXPECT_EQ(Strevo::codecIdFromName(QString::fromLatin1(name)), id) << name;
}

TEST(CodecId, UnknownOrDifferentlyWrittenNamesGiveZero)
{
    for (const char* name :
         {"h264", "", "HEVC(AMF)", "aac", "HEVC", "X264 ", "Mp3", "pcm", "QuickTime Animation"})
        EXPECT_EQ(Strevo::codecIdFromName(QString::fromLatin1(name)), 0) << "'" << name << "'";
}
