#pragma once

// The pixel-format codes that frames carry between the host, the pipelines and the codecs.
// A code is the index into the preset library's name table. Planar formats are packed plane
// after plane with each plane's stride equal to its width in samples (no row padding).

enum PixelFormat
{
    PIX_NONE = 0,
    PIX_YUV420P = 1,
    PIX_YUVJ420P = 2,
    PIX_YUV422P = 3,
    PIX_YUV422P10 = 4,
    PIX_YUV444P = 5,
    PIX_YUVA420P = 6,
    PIX_YUVA422P = 7,
    PIX_YUVA444P = 8,
    PIX_YV12 = 9,
    PIX_NV12 = 10,
    PIX_NV21 = 11,
    PIX_NV16 = 12,
    PIX_NV61 = 13,
    PIX_UYVY = 14,
    PIX_YUYV = 15,
    PIX_UYVA = 16,
    PIX_V210 = 17,
    PIX_BGR24 = 18,
    PIX_BGR32 = 19,
    PIX_RGB24 = 20,
    PIX_RGB32 = 21,
    PIX_ARGB = 22,
    PIX_BGRA = 23,
    PIX_BGRX = 24,
    PIX_RGBA = 25,
    PIX_RGBX = 26,
    PIX_MJPG = 27,
    PIX_H264 = 28,
    PIX_H265 = 29,
    PIX_TEXTURE = 30,
    PIX_FORMAT_COUNT = 31
};

// The table's name for a code ("NV12"), or nullptr outside 0..30.
const char* pixelFormatName(int format);

// The code for a table name (exact case), or -1.
int pixelFormatFromName(const char* name);

// The libavutil pixel format (an AVPixelFormat value) that has the same memory layout, or -1
// (AV_PIX_FMT_NONE) for codes libswscale cannot read: NONE, NV61, UYVA, V210, the compressed
// codes and TEXTURE. YV12 maps to YUV420P; its chroma planes are stored V before U, which
// pixelFormatSwapsChroma() tells the caller.
// RGB32/BGR32 follow libavutil's native-endian names (on x86: RGB32 = B,G,R,A bytes,
// BGR32 = R,G,B,A bytes).
int pixelFormatToAV(int format);
bool pixelFormatSwapsChroma(int format);

// Bytes of one packed frame of this code and size, or 0 when the code has no fixed layout
// (see pixelFormatToAV) or the size is not positive. V210 has a layout of its own although
// libswscale cannot read it: 4:2:2 10-bit, six pixels in four little-endian 32-bit words,
// each row padded to whole groups of 48 pixels (pixelFormatV210RowBytes()).
int pixelFormatFrameSize(int format, int width, int height);
// Bytes of one V210 row: ceil(width / 48) * 128.
int pixelFormatV210RowBytes(int width);

// ProRes profile names by profile index: 0 "PROXY" ... 5 "XQ"; nullptr outside 0..5.
const char* proResProfileName(int profile);
