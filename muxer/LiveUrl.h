#pragma once

#include "base/StrevoExport.h"
#include "common/CodecModel.h"

#include <QString>

class CodecPreset;

/// What a live output's streaming settings mean: whether they name a server we can reach,
/// which container goes over the wire, and the URL libavformat opens. Pure functions; safe on
/// any thread. Hosts may call check() to refuse bad settings before a pipeline is made.
class STREVO_EXPORT LiveUrl
{
public:
    /// The lower-cased scheme of a URL ("rtmp", "srt", ...); empty when it has none.
    static QString scheme(const QString& url);
    /// True for the schemes a live output can use: rtmp, rtmps, rtsp, srt, tcp, udp.
    static bool isLiveScheme(const QString& scheme);
    /// Checks the settings before anything is opened: an empty or malformed URL, an unknown
    /// scheme, a missing host, a port out of range, a TCP/UDP URL without port, an SRT port
    /// out of range. False with a one-line reason in *why (secrets masked).
    static bool check(const CodecModel::Streaming& streaming, QString* why);
    /// Whether the preset is a live output that adapts its video bit rate to its link.
    static bool adapts(const CodecPreset& preset);
    /// Checks a live output's adaptive bit rate: its video encoder must change its rate while
    /// it encodes (CodecTable::changesBitrate) and streaming.minBitrate must lie between 0 and
    /// videoCodec.bitrate. False with a one-line reason naming the field in *why.
    static bool checkAdaptive(const CodecPreset& preset, QString* why);
    /// Whether the stream of the preset's URL (FLV for rtmp and rtmps, MPEG-TS for srt, tcp and
    /// udp) carries the preset's video and audio codecs, as a recording in that container
    /// would: no HEVC or AV1 over RTMP, no AV1 over MPEG-TS. False with a one-line reason in
    /// *why ("X265 cannot go over rtmp: an RTMP stream is FLV, which does not carry it").
    /// RTSP's payloads are left to libavformat; a URL that check() refuses passes here.
    static bool carries(const CodecPreset& preset, QString* why);
    /// The container a scheme's stream is wrapped in: "flv" (rtmp, rtmps), "mpegts" (srt, tcp,
    /// udp), "rtsp"; null for any other scheme.
    static const char* containerFor(const QString& scheme);
    /// The URL the output opens: rtmp(s) gets "/" + the stream key appended and, with
    /// authentication, user name and password (percent-encoded) and an explicit port (1935 for
    /// rtmp, 443 for rtmps); the scheme is kept, so rtmps credentials never travel over plain
    /// RTMP. srt is rebuilt from the host and the SRT fields (latency in microseconds, 1000 when
    /// the latency is 0). Other schemes are used as they are. Holds secrets: never log it.
    static QString build(const CodecModel::Streaming& streaming);
    /// The secrets of the settings, to be masked in every text shown (redactSecrets): the
    /// stream key, the user name and password, the SRT passphrase, the user name and password
    /// written into the URL itself, and, for rtmp(s) without a stream key of its own, the last
    /// segment of the URL's path after the application ("rtmp://host/app/KEY": the stream key by
    /// convention), as written and percent-decoded. No empty or repeated entries.
    static QStringList secrets(const CodecModel::Streaming& streaming);
    /// build() with secrets() masked, for log lines.
    static QString masked(const CodecModel::Streaming& streaming);
    /// The stream's address as a person wrote it, for what a user reads: masked() for RTMP,
    /// RTSP, TCP and UDP; for SRT the host and port, then the mode, the latency in
    /// milliseconds and whether it is encrypted ("srt://10.0.0.5:9000 (caller, latency 120 ms,
    /// AES-128)"), without the options libsrt is given. Secrets masked.
    static QString shown(const CodecModel::Streaming& streaming);
    /// Whether the output goes through the library's own RTMP publisher rather than
    /// libavformat's: rtmp/rtmps, rtmpMode 0, an H.264 codec.
    static bool usesOwnRtmp(const CodecPreset& preset);
    /// The socket send buffer for a live output: about two seconds of its stream (video and
    /// audio bit rates), at least 128 KiB. The kernel's own grows to megabytes and would hide a
    /// server that stopped reading for half a minute; with this one the backlog waits in the
    /// output's queue, where liveBacklogSeconds governs it.
    static int sendBufferBytes(const CodecPreset& preset);
};
