#pragma once

#include <QString>

struct AVOutputFormat;

// How the muxer writes each container it offers, in one place: the libavformat muxer, which of
// the codec table's codecs it takes and when that is checked, how its packets are interleaved,
// the options that keep a recording playable after a crash, and the few extras a container
// needs (QuickTime sample tags, the 192-byte packets of .m2ts, a live stream's header options).
// A recording's row is found by the preset's container format ("mkv"), a live output's by its
// URL's scheme ("srt"). The muxer reads its behaviour from the row and compares no names.
// Read-only and safe on any thread.
//
// Adding a container: one row here (and, for a recording, its column in CodecTable).
namespace ContainerTable {

// The most of a local recording that libavformat holds in memory, whatever the key-frame
// interval: a crash-safe mp4/mov fragment and a matroska cluster never span more, so a
// recording cut off by a crash or kill -9 loses at most this much of them (plus what the
// pipeline had not handed over yet). Every other byte goes to the file with its packet.
constexpr int kCrashLossMs = 1000;

enum class Interleave
{
    // libavformat's interleaving, which holds packets up to 0.1 s to order them.
    Buffered,
    // No delay in libavformat: the muxer itself writes the earlier stamp first and a packet
    // only when nothing earlier can still arrive (MPEG-TS, whose players expect no gaps).
    ByStamp,
    // Each packet goes to the container as soon as the muxer takes it, the earlier stamp of
    // those waiting first, without libavformat's queue: a live RTMP stream, whose server keeps
    // audio and video apart by their own stamps. Interleaving would hold each picture until
    // sound of a later stamp is encoded, a frame interval or more behind real time.
    Direct,
};

// When the codec table's column of a container is asked whether it takes the codecs.
enum class CodecCheck
{
    None,        // libavformat alone decides (live streams over rtsp)
    BeforeTrial, // up front: libavformat would write anything, but players could not use it
    AfterTrial,  // after libavformat took the pair, whose reasons say more
};

struct Row
{
    const char* name;  // a recording: the preset's container format ("mkv"); live: the scheme
    bool live;         // found by a URL's scheme, not by a recording's format
    const char* muxer; // libavformat's muxer
    // The muxer of the files a playlist writes, or null. The codecs are checked with a trial
    // header written offline, which a playlist muxer would write as files of its own: its
    // segments' muxer is tried in its place. (A container that opens its own connection, RTSP,
    // is not tried at all.)
    const char* segmentMuxer;
    const char* codecColumn; // CodecTable::containers() name whose codecs it takes, or null
    CodecCheck codecCheck;
    const char* refusal; // why a codec outside the column is refused
    Interleave interleave;
    // Sample entries carry QuickTime tags: an encoder's own tag is kept, ProRes is tagged by
    // profile, and it is the only container that carries QuickTime RLE.
    bool quickTimeTags;
    // The movflags of a crash-safe recording (fragments, the movie header first); null where
    // the container is crash-safe as it is written or never.
    const char* crashSafeMovflags;
    bool clusterLimit; // closes a cluster at least every kCrashLossMs (matroska)
    bool m2tsFraming;  // a plain transport stream, framed into 192-byte packets by M2tsWriter
    // One header option the container always gets (a live stream's), or null.
    const char* optionName;
    const char* optionValue;
};

// Every row, `count` of them: the recordings first, in the codec table's container order.
const Row* rows(int* count);

// The container a recording in `format` ("mkv") is written with, and its row. A format the
// table does not list gets the row of the first listed one that libavformat writes the same
// way ("mts" that of "ts"), without its codec-table check, which speaks for listed containers
// only; or a plain row when none matches. Null when libavformat knows no such container.
const AVOutputFormat* forFile(const QString& format, Row* row);

// The row of a live stream of `scheme` ("rtmp"); null for a scheme without one.
const Row* forScheme(const QString& scheme);

} // namespace ContainerTable
