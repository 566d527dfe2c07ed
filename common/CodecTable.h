#pragma once

#include <QString>

extern "C" {
#include <libavutil/rational.h>
}

// What the library knows about each codec name it offers, in one place: the libavcodec
// identifier, which encoder class makes it, the pixel format its encoder takes and the one
// its stream carries, the libavcodec encoder behind the libavcodec-backed classes, its key in
// the facade's catalogue, the containers it records into, the words of recording names and
// the preset names its encoder takes. The facade and its catalogue, both codec factories, the
// codecs, the muxer, the live output, recording names and the job parser read this table;
// nothing else keeps its own list of codecs. Read-only and safe on any thread.
//
// Adding a codec: its own encoder class (its files, listed in CMakeLists.txt), one row in
// CodecTable.cpp, and one case in its factory (VideoCodecFactory or AudioCodecFactory) when it
// needs a new encoder class. Nothing else names codecs.
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
    Amf,     // the AMF runtime interface (AmfEncoder); no name of the table opens it on Linux
};

// The containers a recording can be written in, each a bit of Entry::containers; the values
// are the keys of Strevo::availableContainers() and never change.
enum Container : unsigned
{
    Mp4 = 1,
    Mov = 2,
    Flv = 4, // also what rtmp and rtmps streams carry
    Ts = 8,  // also what srt, tcp and udp streams carry
    M2ts = 32,
    Mkv = 64,
    Avi = 128,
    Wmv = 256,
    Webm = 512,
    M3u8 = 1024,
};

// How a recording name spells a codec's bit rate (the %B token).
enum class RateWord
{
    Kbps,         // the bit rate in kbit/s: "4000Kbps"
    Mbps,         // whole Mbit/s, truncated: "25Mbps"
    ProResProfile // no rate: the ProRes profile's name ("HQ")
};

struct Entry
{
    const char* name; // the library's codec name, exact case ("X264")
    Kind kind;
    int avCodecId; // AVCodecID; AV_CODEC_ID_H264 for every name whose stream is H.264
    Backend backend;
    const char* libavEncoder; // libavcodec encoder name for the libav-backed classes, or null
    int inputFormat;          // PixelFormat code encode() takes (video), PIX_NONE otherwise
    int streamPixelFormat;    // AVPixelFormat the coded stream declares (video), -1 otherwise
    int maxSide;              // largest width or height the encoder codes (video), 0 otherwise
    // Key in Strevo's catalogue (availableVideoCodecs/availableAudioCodecs): a power of two
    // that never changes once published; 0 for a name the catalogue does not list.
    int catalogueKey;
    unsigned containers; // the Container values a recording with this codec can be written in
    // Recording names: how %B spells the rate, and the rate (kbit/s) and picture size a codec
    // always codes whatever its record says; 0 where the record's own values are used.
    RateWord rateWord = RateWord::Kbps;
    int fixedKbps = 0;
    int fixedWidth = 0;
    int fixedHeight = 0;
    // The preset and tune names the encoder accepts (null-terminated lists), for codecs that
    // silently fall back to defaults on an unknown name; null where names are not checked.
    const char* const* presets = nullptr;
    const char* const* tunes = nullptr;
};

// Largest picture any video encoder here is asked to code, in pixels: 8192x4352, the frame
// size of H.264 level 6.2 (139264 macroblocks). Larger pictures open in some encoders and then
// never finish a frame.
constexpr long long kMaxVideoPixels = 8192LL * 4352;

// The entry for a name (exact case), or null.
const Entry* find(const QString& name);

// Every entry, `count` of them, in the table's order.
const Entry* entries(int* count);

struct ContainerName
{
    Container key;
    const char* name; // the file extension, as a preset's container format names it ("mkv")
};
// Every container, `count` of them, by key.
const ContainerName* containers(int* count);
// Whether a recording with the codec can be written in the container named `format` ("mp4").
bool fits(const Entry& entry, const QString& format);
// Whether the codec's encoder changes its bit rate while it encodes (IVideoCodec::setBitrate),
// as a live output that adapts to its link needs.
bool changesBitrate(const Entry& entry);

// The exact frame rate as a rational: whole rates as N/1, the NTSC family (N/1.001, such as
// 23.976, 29.97, 59.94) as 1000N/1001, any other rate as its exact fraction (12.5 -> 25/2,
// 7.5 -> 15/2). {0, 1} for a rate that is not a positive finite number.
AVRational frameRate(double fps);

} // namespace CodecTable
