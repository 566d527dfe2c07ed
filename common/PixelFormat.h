#pragma once

/// @file
/// The pixel-format codes that frames carry between the host, the pipelines and the codecs.
/// A code is the index into the preset library's name table. Planar formats are packed plane
/// after plane with each plane's stride equal to its width in samples (no row padding).

/// A pixel-format code; frames carry it as an int.
enum PixelFormat
{
    PIX_NONE = 0,      ///< no format
    PIX_YUV420P = 1,   ///< planar Y, U, V; chroma at half width and height (4:2:0), 8 bits
    PIX_YUVJ420P = 2,  ///< as YUV420P, at full (JPEG) range
    PIX_YUV422P = 3,   ///< planar Y, U, V; chroma at half width (4:2:2), 8 bits
    PIX_YUV422P10 = 4, ///< as YUV422P, 10 bits in little-endian 16-bit samples
    PIX_YUV444P = 5,   ///< planar Y, U, V at full size (4:4:4), 8 bits
    PIX_YUVA420P = 6,  ///< as YUV420P, then an alpha plane at full size
    PIX_YUVA422P = 7,  ///< as YUV422P, then an alpha plane at full size
    PIX_YUVA444P = 8,  ///< as YUV444P, then an alpha plane
    PIX_YV12 = 9,      ///< as YUV420P with the V plane before the U plane
    PIX_NV12 = 10,     ///< Y plane, then interleaved U, V at 4:2:0
    PIX_NV21 = 11,     ///< Y plane, then interleaved V, U at 4:2:0
    PIX_NV16 = 12,     ///< Y plane, then interleaved U, V at 4:2:2
    PIX_NV61 = 13,     ///< Y plane, then interleaved V, U at 4:2:2; no fixed layout here
    PIX_UYVY = 14,     ///< packed 4:2:2, bytes U, Y, V, Y
    PIX_YUYV = 15,     ///< packed 4:2:2, bytes Y, U, Y, V
    PIX_UYVA = 16,     ///< packed 4:2:2 with alpha; no fixed layout here
    PIX_V210 = 17,     ///< packed 4:2:2, 10 bits (see pixelFormatFrameSize())
    PIX_BGR24 = 18,    ///< bytes B, G, R
    PIX_BGR32 = 19,    ///< libavutil's BGR32, a native-endian word (on x86 bytes R, G, B, A)
    PIX_RGB24 = 20,    ///< bytes R, G, B
    PIX_RGB32 = 21,    ///< libavutil's RGB32, a native-endian word (on x86 bytes B, G, R, A)
    PIX_ARGB = 22,     ///< bytes A, R, G, B
    PIX_BGRA = 23,     ///< bytes B, G, R, A
    PIX_BGRX = 24,     ///< bytes B, G, R and one unused
    PIX_RGBA = 25,     ///< bytes R, G, B, A
    PIX_RGBX = 26,     ///< bytes R, G, B and one unused
    PIX_MJPG = 27,     ///< a JPEG picture (compressed: no fixed layout)
    PIX_H264 = 28,     ///< an H.264 access unit (compressed: no fixed layout)
    PIX_H265 = 29,     ///< an HEVC access unit (compressed: no fixed layout)
    PIX_TEXTURE = 30, ///< a GPU texture: the frame's data is the host's texture pointer, not pixels
    PIX_FORMAT_COUNT = 31 ///< the number of codes
};

/// The table's name for a code ("NV12"), or nullptr outside 0..30.
const char* pixelFormatName(int format);

/// The code for a table name (exact case), or -1.
int pixelFormatFromName(const char* name);

/// The libavutil pixel format (an AVPixelFormat value) that has the same memory layout, or -1
/// (AV_PIX_FMT_NONE) for codes libswscale cannot read: NONE, NV61, UYVA, V210, the compressed
/// codes and TEXTURE. YV12 maps to YUV420P; its chroma planes are stored V before U, which
/// pixelFormatSwapsChroma() tells the caller.
/// RGB32/BGR32 follow libavutil's native-endian names (on x86: RGB32 = B,G,R,A bytes,
/// BGR32 = R,G,B,A bytes).
int pixelFormatToAV(int format);
/// Whether the code stores its chroma planes V before U (YV12), which the caller of
/// pixelFormatToAV() must swap.
bool pixelFormatSwapsChroma(int format);

/// Bytes of one packed frame of this code and size, or 0 when the code has no fixed layout
/// (see pixelFormatToAV) or the size is not positive. V210 has a layout of its own although
/// libswscale cannot read it: 4:2:2 10-bit, six pixels in four little-endian 32-bit words,
/// each row padded to whole groups of 48 pixels (pixelFormatV210RowBytes()).
int pixelFormatFrameSize(int format, int width, int height);
/// Bytes of one V210 row: ceil(width / 48) * 128.
int pixelFormatV210RowBytes(int width);

/// ProRes profile names by profile index: 0 "PROXY" ... 5 "XQ"; nullptr outside 0..5.
const char* proResProfileName(int profile);
