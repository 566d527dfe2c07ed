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

    // The documented numbering, written out rather than taken from the headers.
    const std::pair<const char*, int> table[] = {
        {"X264", 27},
        {"H264", 27},
        {"H264(QuickSync)", 27},
        {"H264(NVENC)", 27},
        {"H264(AMF)", 27},
        {"HEVC(QuickSync)", 173},
        {"HEVC(NVENC)", 173},
        {"VP8", 139},
        {"VP9", 167},
        {"QuickTime Animation (RLE)", 55},
        {"MJPEG", 7},
        {"Apple ProRes", 147},
        {"AAC", 86018},
        {"MP3", 86017},
        {"AC3", 86019},
        {"VORBIS", 86021},
        {"PCM", 65536},
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
