#include "common/PixelFormat.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

namespace {

const char* const kNames[PIX_FORMAT_COUNT] = {
    "NONE",     "YUV420P", "YUVJ420P", "YUV422P", "YUV422P10", "YUV444P", "YUVA420P", "YUVA422P",
    "YUVA444P", "YV12",    "NV12",     "NV21",    "NV16",      "NV61",    "UYVY",     "YUYV",
    "UYVA",     "V210",    "BGR24",    "BGR32",   "RGB24",     "RGB32",   "ARGB",     "BGRA",
    "BGRX",     "RGBA",    "RGBX",     "MJPG",    "H264",      "H265",    "TEXTURE"};

const char* const kProResProfiles[] = {"PROXY", "LT", "STANDARD", "HQ", "4444", "XQ"};

} // namespace

const char* pixelFormatName(int format)
{
    return format >= 0 && format < PIX_FORMAT_COUNT ? kNames[format] : nullptr;
}

int pixelFormatFromName(const char* name)
{
    if (!name)
        return -1;
    for (int i = 0; i < PIX_FORMAT_COUNT; ++i)
        if (std::strcmp(kNames[i], name) == 0)
            return i;
    return -1;
}

int pixelFormatToAV(int format)
{
    switch (format) {
    case PIX_YUV420P:
        return AV_PIX_FMT_YUV420P;
    case PIX_YUVJ420P:
        return AV_PIX_FMT_YUVJ420P;
    case PIX_YUV422P:
        return AV_PIX_FMT_YUV422P;
    case PIX_YUV422P10:
        return AV_PIX_FMT_YUV422P10LE;
    case PIX_YUV444P:
        return AV_PIX_FMT_YUV444P;
    case PIX_YUVA420P:
        return AV_PIX_FMT_YUVA420P;
    case PIX_YUVA422P:
        return AV_PIX_FMT_YUVA422P;
    case PIX_YUVA444P:
        return AV_PIX_FMT_YUVA444P;
    case PIX_YV12:
        return AV_PIX_FMT_YUV420P;
    case PIX_NV12:
        return AV_PIX_FMT_NV12;
    case PIX_NV21:
        return AV_PIX_FMT_NV21;
    case PIX_NV16:
        return AV_PIX_FMT_NV16;
    case PIX_UYVY:
        return AV_PIX_FMT_UYVY422;
    case PIX_YUYV:
        return AV_PIX_FMT_YUYV422;
    case PIX_BGR24:
        return AV_PIX_FMT_BGR24;
    case PIX_BGR32:
        return AV_PIX_FMT_BGR32;
    case PIX_RGB24:
        return AV_PIX_FMT_RGB24;
    case PIX_RGB32:
        return AV_PIX_FMT_RGB32;
    case PIX_ARGB:
        return AV_PIX_FMT_ARGB;
    case PIX_BGRA:
        return AV_PIX_FMT_BGRA;
    case PIX_BGRX:
        return AV_PIX_FMT_BGR0;
    case PIX_RGBA:
        return AV_PIX_FMT_RGBA;
    case PIX_RGBX:
        return AV_PIX_FMT_RGB0;
    default:
        return AV_PIX_FMT_NONE;
    }
}

bool pixelFormatSwapsChroma(int format)
{
    return format == PIX_YV12;
}

int pixelFormatV210RowBytes(int width)
{
    return width > 0 ? (width + 47) / 48 * 128 : 0;
}

int pixelFormatFrameSize(int format, int width, int height)
{
    if (format == PIX_V210) {
        const long long size = static_cast<long long>(pixelFormatV210RowBytes(width)) * height;
        return width > 0 && height > 0 && size <= INT_MAX ? static_cast<int>(size) : 0;
    }
    const int av = pixelFormatToAV(format);
    if (av == AV_PIX_FMT_NONE || width <= 0 || height <= 0)
        return 0;
    const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(av), width, height, 1);
    return size > 0 ? size : 0;
}

const char* proResProfileName(int profile)
{
    return profile >= 0 && profile <= 5 ? kProResProfiles[profile] : nullptr;
}
