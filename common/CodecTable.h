#pragma once

#include <QString>

extern "C" {
#include <libavutil/rational.h>
}

// What the library knows about each codec name it offers, in one place: the libavcodec
// identifier, which encoder class makes it, the pixel format its encoder takes and the one
// its stream carries, and the libavcodec encoder behind the libavcodec-backed classes.
// The facade, both codec factories, the codecs and the muxer read this table; nothing else
// keeps its own copy. Read-only and safe on any thread.
namespace CodecTable {

enum class Kind
{
    Video,
    Audio
};

// The encoder class a codec factory constructs for a name.
enum class Backend
{
    None, // known identifier (hardware names, ...) with no software encoder in this build
    X264,
    OpenH264,
    Vpx,
    FFmpegVideo,
    FFmpegAudio,
    Pcm,
    ShineMp3,
    MFVideo, // Media Foundation transforms (QuickSync and the other GPU vendors' transforms)
    Nvenc,   // NVENC session over CUDA or the shared GPU device
    Amf,     // AMF runtime
};

struct Entry
{
    const char* name; // the library's codec name, exact case ("X264")
    Kind kind;
    int avCodecId; // AVCodecID
    Backend backend;
    const char* libavEncoder; // libavcodec encoder name for the libav-backed classes, or null
    int inputFormat;          // PixelFormat code encode() takes (video), PIX_NONE otherwise
    int streamPixelFormat;    // AVPixelFormat the coded stream declares (video), -1 otherwise
    int maxSide;              // largest width or height the encoder codes (video), 0 otherwise
};

// Largest picture any video encoder here is asked to code, in pixels: 8192x4352, the frame
// size of H.264 level 6.2 (139264 macroblocks). Larger pictures open in some encoders and then
// never finish a frame.
constexpr long long kMaxVideoPixels = 8192LL * 4352;

// The entry for a name (exact case), or null.
const Entry* find(const QString& name);

// Every entry, `count` of them, in the table's order.
const Entry* entries(int* count);

// The exact frame rate as a rational: whole rates as N/1, the NTSC family (N/1.001, such as
// 23.976, 29.97, 59.94) as 1000N/1001, any other rate as its exact fraction (12.5 -> 25/2,
// 7.5 -> 15/2). {0, 1} for a rate that is not a positive finite number.
AVRational frameRate(double fps);

} // namespace CodecTable
