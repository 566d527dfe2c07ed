#include "common/CodecTable.h"

#include "common/PixelFormat.h"

#include <cmath>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
}

namespace CodecTable {

namespace {

// Searched in order; the first matching name wins. "HEVC(AMF)" is served by the AMF encoder,
// which always codes H.264: its stream is declared as H.264, so recordings made under that name
// are playable.
constexpr Entry kEntries[] = {
    {"X264", Kind::Video, AV_CODEC_ID_H264, Backend::X264, nullptr, PIX_NV12, AV_PIX_FMT_YUV420P,
     16384},
    // OpenH264 itself refuses pictures above level 5.2's 36864 macroblocks (4096x2304).
    {"H264", Kind::Video, AV_CODEC_ID_H264, Backend::OpenH264, nullptr, PIX_YUV420P,
     AV_PIX_FMT_YUV420P, 8192},
    {"H264(QuickSync)", Kind::Video, AV_CODEC_ID_H264, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096},
    {"H264(NVENC)", Kind::Video, AV_CODEC_ID_H264, Backend::Nvenc, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096},
    {"H264(AMF)", Kind::Video, AV_CODEC_ID_H264, Backend::Amf, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096},
    {"HEVC(QuickSync)", Kind::Video, AV_CODEC_ID_HEVC, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 8192},
    {"HEVC(NVENC)", Kind::Video, AV_CODEC_ID_HEVC, Backend::Nvenc, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 8192},
    {"HEVC(AMF)", Kind::Video, AV_CODEC_ID_H264, Backend::Amf, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096},
    {"VP8", Kind::Video, AV_CODEC_ID_VP8, Backend::Vpx, nullptr, PIX_YUV420P, AV_PIX_FMT_YUV420P,
     16383},
    {"VP9", Kind::Video, AV_CODEC_ID_VP9, Backend::Vpx, nullptr, PIX_YUV420P, AV_PIX_FMT_YUV420P,
     16384},
    {"QuickTime Animation (RLE)", Kind::Video, AV_CODEC_ID_QTRLE, Backend::FFmpegVideo, "qtrle",
     PIX_ARGB, AV_PIX_FMT_ARGB, 16384},
    // The pipeline delivers YUV420P; MJPEG passes it on as it is, without range conversion.
    {"MJPEG", Kind::Video, AV_CODEC_ID_MJPEG, Backend::FFmpegVideo, "mjpeg", PIX_YUV420P,
     AV_PIX_FMT_YUVJ420P, 16384},
    // prores_ks takes every ProRes profile (4444 and XQ too) from 4:2:2 input.
    {"Apple ProRes", Kind::Video, AV_CODEC_ID_PRORES, Backend::FFmpegVideo, "prores_ks",
     PIX_YUV422P10, AV_PIX_FMT_YUV422P10LE, 16384},
    {"AAC", Kind::Audio, AV_CODEC_ID_AAC, Backend::FFmpegAudio, "aac", PIX_NONE, -1, 0},
    {"MP3", Kind::Audio, AV_CODEC_ID_MP3, Backend::ShineMp3, nullptr, PIX_NONE, -1, 0},
    {"AC3", Kind::Audio, AV_CODEC_ID_AC3, Backend::None, nullptr, PIX_NONE, -1, 0},
    // libvorbis and libopus: the webm sound codecs.
    {"VORBIS", Kind::Audio, AV_CODEC_ID_VORBIS, Backend::FFmpegAudio, "libvorbis", PIX_NONE, -1, 0},
    {"OPUS", Kind::Audio, AV_CODEC_ID_OPUS, Backend::FFmpegAudio, "libopus", PIX_NONE, -1, 0},
    {"PCM", Kind::Audio, AV_CODEC_ID_PCM_S16LE, Backend::Pcm, nullptr, PIX_NONE, -1, 0},
};

} // namespace

const Entry* find(const QString& name)
{
    for (const Entry& entry : kEntries) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

const Entry* entries(int* count)
{
    if (count)
        *count = static_cast<int>(sizeof(kEntries) / sizeof(kEntries[0]));
    return kEntries;
}

AVRational frameRate(double fps)
{
    if (!std::isfinite(fps) || !(fps > 0.0))
        return AVRational{0, 1};
    const double whole = std::round(fps);
    if (std::fabs(fps - whole) < 1e-6 && whole <= 1e6)
        return AVRational{static_cast<int>(whole), 1};
    // N/1.001, written with the usual few decimals (29.97, 23.976, 59.94, 119.88).
    const double ntsc = std::round(fps * 1.001);
    if (ntsc >= 1.0 && ntsc <= 1e6 && std::fabs(fps - ntsc * 1000.0 / 1001.0) < 0.0015)
        return AVRational{static_cast<int>(ntsc) * 1000, 1001};
    return av_d2q(fps, 100000);
}

} // namespace CodecTable
