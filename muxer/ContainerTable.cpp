#include "muxer/ContainerTable.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>

namespace ContainerTable {

namespace {

// MPEG-TS stores any codec it has no stream type for as opaque data, which players skip.
constexpr const char* kOpaque = "MPEG-TS would carry it as an opaque data stream";
// A live stream over RTMP is FLV, whose codecs are the flv recording's (no HEVC, no AV1).
constexpr const char* kRtmpFlv = "an RTMP stream is FLV, which does not carry it";
// libavformat writes a few pairs (VP9 in AVI, Vorbis in AVI) that players besides FFmpeg
// do not read.
constexpr const char* kPlayers = "other players do not read it in this container";
// A recording cut off at any moment (a crash, kill -9, a full disk) plays up to its last
// complete fragment: one starts at each key frame and at least every kCrashLossMs.
constexpr const char* kFragments = "frag_keyframe+empty_moov+default_base_moof";

using CC = CodecCheck;
using IL = Interleave;

constexpr Row kRows[] = {
    // name, live, muxer, segments, column, check, refusal, interleave, QuickTime tags,
    // crash-safe movflags, cluster limit, m2ts framing, option
    {"mp4", false, "mp4", nullptr, "mp4", CC::AfterTrial, kPlayers, IL::Buffered, false, kFragments,
     false, false, nullptr, nullptr},
    {"mov", false, "mov", nullptr, "mov", CC::AfterTrial, kPlayers, IL::Buffered, true, kFragments,
     false, false, nullptr, nullptr},
    {"flv", false, "flv", nullptr, "flv", CC::AfterTrial, kPlayers, IL::Buffered, false, nullptr,
     false, false, nullptr, nullptr},
    {"ts", false, "mpegts", nullptr, "ts", CC::BeforeTrial, kOpaque, IL::ByStamp, false, nullptr,
     false, false, nullptr, nullptr},
    {"m2ts", false, "mpegts", nullptr, "m2ts", CC::BeforeTrial, kOpaque, IL::ByStamp, false,
     nullptr, false, true, nullptr, nullptr},
    // Matroska closes a cluster by default only at a key frame or after 5 s; a cluster per
    // kCrashLossMs costs a few bytes and keeps every recording crash-safe.
    {"mkv", false, "matroska", nullptr, "mkv", CC::AfterTrial, kPlayers, IL::Buffered, false,
     nullptr, true, false, nullptr, nullptr},
    {"avi", false, "avi", nullptr, "avi", CC::AfterTrial, kPlayers, IL::Buffered, false, nullptr,
     false, false, nullptr, nullptr},
    {"wmv", false, "asf", nullptr, "wmv", CC::AfterTrial, kPlayers, IL::Buffered, false, nullptr,
     false, false, nullptr, nullptr},
    {"webm", false, "webm", nullptr, "webm", CC::AfterTrial, kPlayers, IL::Buffered, false, nullptr,
     true, false, nullptr, nullptr},
    {"m3u8", false, "hls", "mpegts", "m3u8", CC::BeforeTrial, kOpaque, IL::Buffered, false, nullptr,
     false, false, nullptr, nullptr},
    // A live stream has nothing to seek back to for its length fields.
    {"rtmp", true, "flv", nullptr, "flv", CC::BeforeTrial, kRtmpFlv, IL::Direct, false, nullptr,
     false, false, "flvflags", "no_duration_filesize"},
    {"rtmps", true, "flv", nullptr, "flv", CC::BeforeTrial, kRtmpFlv, IL::Direct, false, nullptr,
     false, false, "flvflags", "no_duration_filesize"},
    {"srt", true, "mpegts", nullptr, "ts", CC::BeforeTrial, kOpaque, IL::ByStamp, false, nullptr,
     false, false, nullptr, nullptr},
    {"tcp", true, "mpegts", nullptr, "ts", CC::BeforeTrial, kOpaque, IL::ByStamp, false, nullptr,
     false, false, nullptr, nullptr},
    {"udp", true, "mpegts", nullptr, "ts", CC::BeforeTrial, kOpaque, IL::ByStamp, false, nullptr,
     false, false, nullptr, nullptr},
    // RTP over the RTSP connection itself: one TCP connection that gets through firewalls and
    // loses nothing.
    {"rtsp", true, "rtsp", nullptr, nullptr, CC::None, nullptr, IL::Buffered, false, nullptr, false,
     false, "rtsp_transport", "tcp"},
};

const Row* find(const QString& name, bool live)
{
    for (const Row& row : kRows) {
        if (row.live == live && name == QLatin1String(row.name))
            return &row;
    }
    return nullptr;
}

} // namespace

const Row* rows(int* count)
{
    if (count)
        *count = static_cast<int>(sizeof(kRows) / sizeof(kRows[0]));
    return kRows;
}

const AVOutputFormat* forFile(const QString& format, Row* row)
{
    const QByteArray fileName = "file." + format.toUtf8();
    const AVOutputFormat* guessed = av_guess_format(nullptr, fileName.constData(), nullptr);
    if (!guessed)
        return nullptr;
    if (const Row* listed = find(format, false)) {
        *row = *listed;
        return guessed;
    }
    for (const Row& other : kRows) {
        if (!other.live && std::strcmp(other.muxer, guessed->name) == 0) {
            *row = other;
            if (row->codecCheck == CodecCheck::AfterTrial)
                row->codecCheck = CodecCheck::None;
            return guessed;
        }
    }
    *row = Row{guessed->name, false, guessed->name, nullptr, nullptr, CodecCheck::None, nullptr,
               IL::Buffered,  false, nullptr,       false,   false,   nullptr,          nullptr};
    return guessed;
}

const Row* forScheme(const QString& scheme)
{
    return find(scheme, true);
}

} // namespace ContainerTable
