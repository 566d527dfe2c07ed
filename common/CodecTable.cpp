#include "common/CodecTable.h"

#include "common/PixelFormat.h"

#include <cmath>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
#include <x264.h>
}

namespace CodecTable {

namespace {

// The containers of the streams most containers take (H.264, AAC, MP3): all but webm.
constexpr unsigned kAllButWebm = Mp4 | Mov | Flv | Ts | M2ts | Mkv | Avi | Wmv | M3u8;
// HEVC as recorded with x265 and read back: FLV has none (the enhanced FLV of newer
// libavformat excepted), AVI and ASF have no mapping libavformat writes.
constexpr unsigned kHevc = Mp4 | Mov | Ts | M2ts | Mkv | M3u8;

// x265 takes x264's preset names, and tunes of its own (one at a time).
constexpr const char* kX265Tunes[] = {"psnr",       "ssim",      "grain", "zerolatency",
                                      "fastdecode", "animation", nullptr};
// SVT-AV1 takes x264's preset names, which FFmpegVideo maps to its own presets, or those
// presets' numbers, 0 (slowest) to 13 (fastest); the tunes are FFmpegVideo's words for its
// settings.
constexpr const char* kAv1Presets[] = {
    "ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow",
    "placebo",   "0",         "1",        "2",      "3",    "4",      "5",    "6",      "7",
    "8",         "9",         "10",       "11",     "12",   "13",     nullptr};
constexpr const char* kAv1Tunes[] = {"vq", "psnr", "zerolatency", "fastdecode", nullptr};

// Searched in order; the first matching name wins. The GPU vendors' names are served by the
// platform's encoder transforms: QuickSync and AMF through VA-API on an Intel or AMD GPU (or
// Intel's runtime). VP9 has no catalogue key; DV25 and AC3 have no encoder here and are known
// for their identifiers and recording names only.
constexpr Entry kEntries[] = {
    {"X264", Kind::Video, AV_CODEC_ID_H264, Backend::X264, nullptr, PIX_NV12, AV_PIX_FMT_YUV420P,
     16384, 64, kAllButWebm, RateWord::Kbps, 0, 0, 0, x264_preset_names, x264_tune_names},
    // OpenH264 itself refuses pictures above level 5.2's 36864 macroblocks (4096x2304).
    {"H264", Kind::Video, AV_CODEC_ID_H264, Backend::OpenH264, nullptr, PIX_YUV420P,
     AV_PIX_FMT_YUV420P, 8192, 8192, kAllButWebm},
    {"H264(QuickSync)", Kind::Video, AV_CODEC_ID_H264, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096, 1, kAllButWebm},
    {"H264(NVENC)", Kind::Video, AV_CODEC_ID_H264, Backend::Nvenc, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096, 2, kAllButWebm},
    {"H264(AMF)", Kind::Video, AV_CODEC_ID_H264, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 4096, 4, kAllButWebm},
    {"HEVC(QuickSync)", Kind::Video, AV_CODEC_ID_HEVC, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 8192, 8, kHevc},
    {"HEVC(NVENC)", Kind::Video, AV_CODEC_ID_HEVC, Backend::Nvenc, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 8192, 16, kHevc},
    {"HEVC(AMF)", Kind::Video, AV_CODEC_ID_HEVC, Backend::MFVideo, nullptr, PIX_NV12,
     AV_PIX_FMT_YUV420P, 8192, 16384, kHevc},
    // x265 through libavcodec.
    {"X265", Kind::Video, AV_CODEC_ID_HEVC, Backend::FFmpegVideo, "libx265", PIX_YUV420P,
     AV_PIX_FMT_YUV420P, 8192, 32768, kHevc, RateWord::Kbps, 0, 0, 0, x264_preset_names,
     kX265Tunes},
    {"VP8", Kind::Video, AV_CODEC_ID_VP8, Backend::Vpx, nullptr, PIX_YUV420P, AV_PIX_FMT_YUV420P,
     16383, 128, Mkv | Avi | Wmv | Webm},
    // VP9 has no mapping in AVI or ASF that players other than FFmpeg's read.
    {"VP9", Kind::Video, AV_CODEC_ID_VP9, Backend::Vpx, nullptr, PIX_YUV420P, AV_PIX_FMT_YUV420P,
     16384, 0, Mp4 | Mkv | Webm},
    // SVT-AV1 through libavcodec. libavformat writes AV1 in AVI and ASF under a tag no other
    // player knows, and as an opaque stream in MPEG-TS; mov and FLV refuse it.
    {"AV1", Kind::Video, AV_CODEC_ID_AV1, Backend::FFmpegVideo, "libsvtav1", PIX_YUV420P,
     AV_PIX_FMT_YUV420P, 16384, 65536, Mp4 | Mkv | Webm, RateWord::Kbps, 0, 0, 0, kAv1Presets,
     kAv1Tunes},
    {"QuickTime Animation (RLE)", Kind::Video, AV_CODEC_ID_QTRLE, Backend::FFmpegVideo, "qtrle",
     PIX_ARGB, AV_PIX_FMT_ARGB, 16384, 512, Mov},
    // The pipeline delivers YUV420P; MJPEG passes it on as it is, without range conversion.
    {"MJPEG", Kind::Video, AV_CODEC_ID_MJPEG, Backend::FFmpegVideo, "mjpeg", PIX_YUV420P,
     AV_PIX_FMT_YUVJ420P, 16384, 2048, Mp4 | Mov | Mkv | Avi | Wmv, RateWord::Mbps},
    // prores_ks takes every ProRes profile (4444 and XQ too) from 4:2:2 input.
    {"Apple ProRes", Kind::Video, AV_CODEC_ID_PRORES, Backend::FFmpegVideo, "prores_ks",
     PIX_YUV422P10, AV_PIX_FMT_YUV422P10LE, 16384, 4096, Mov | Mkv, RateWord::ProResProfile},
    // NTSC DV: 25 Mbit/s of video, 28770 kbit/s with audio, subcode and error correction.
    {"DV25", Kind::Video, AV_CODEC_ID_DVVIDEO, Backend::None, nullptr, PIX_NONE, AV_PIX_FMT_YUV411P,
     0, 0, 0, RateWord::Kbps, 28770, 720, 480},
    {"AAC", Kind::Audio, AV_CODEC_ID_AAC, Backend::FFmpegAudio, "aac", PIX_NONE, -1, 0, 1,
     kAllButWebm},
    {"MP3", Kind::Audio, AV_CODEC_ID_MP3, Backend::ShineMp3, nullptr, PIX_NONE, -1, 0, 2,
     kAllButWebm},
    {"AC3", Kind::Audio, AV_CODEC_ID_AC3, Backend::None, nullptr, PIX_NONE, -1, 0, 0, 0},
    // libvorbis and libopus: the webm sound codecs, which some other containers take too. AVI
    // counts sound in packets of one fixed length, which Vorbis packets do not have; GStreamer
    // takes Vorbis in ASF for an unknown sound and plays the picture alone.
    {"VORBIS", Kind::Audio, AV_CODEC_ID_VORBIS, Backend::FFmpegAudio, "libvorbis", PIX_NONE, -1, 0,
     64, Mp4 | Mkv | Webm},
    {"OPUS", Kind::Audio, AV_CODEC_ID_OPUS, Backend::FFmpegAudio, "libopus", PIX_NONE, -1, 0, 32,
     Mp4 | Mkv | Webm},
    // Lossless. libavformat 5.1 writes it in mp4 only as an experiment; mov, FLV and webm
    // refuse it, MPEG-TS would carry it as opaque data, and AVI and ASF under tags no other
    // player knows (ASF's millisecond stamps also jumble its blocks).
    {"FLAC", Kind::Audio, AV_CODEC_ID_FLAC, Backend::FFmpegAudio, "flac", PIX_NONE, -1, 0, 128,
     Mkv},
    // PCM in flv: not at 48 kHz.
    {"PCM", Kind::Audio, AV_CODEC_ID_PCM_S16LE, Backend::Pcm, nullptr, PIX_NONE, -1, 0, 16,
     Mov | Mkv | Avi | Wmv},
};

constexpr ContainerName kContainers[] = {
    {Mp4, "mp4"}, {Mov, "mov"}, {Flv, "flv"}, {Ts, "ts"},     {M2ts, "m2ts"},
    {Mkv, "mkv"}, {Avi, "avi"}, {Wmv, "wmv"}, {Webm, "webm"}, {M3u8, "m3u8"},
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

const ContainerName* containers(int* count)
{
    if (count)
        *count = static_cast<int>(sizeof(kContainers) / sizeof(kContainers[0]));
    return kContainers;
}

bool fits(const Entry& entry, const QString& format)
{
    for (const ContainerName& c : kContainers) {
        if (format == QLatin1String(c.name))
            return (entry.containers & c.key) != 0;
    }
    return false;
}

bool changesBitrate(const Entry& entry)
{
    return entry.backend == Backend::X264 || entry.backend == Backend::OpenH264 ||
           entry.backend == Backend::Vpx;
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
