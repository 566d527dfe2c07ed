#pragma once

#include <QString>
#include <algorithm>

/// Per-output records of a CodecPreset. Field order is the declaration order the library
/// relies on (the video record is compared field by field when pipelines share an encoder).
/// Each record lists its fields once in visit(), under their JSON keys.
namespace CodecModel {

/// The output's video: codec, size, rate and the codec's settings.
struct VideoCodec
{
    bool enabled = true;                        ///< false: the output has no video stream
    QString codecName = QStringLiteral("X264"); ///< factory key, exact case
    int bitrate = 4000;                         ///< kbit/s
    double frameRate = 30.0;                    ///< output frames per second, may be 29.97
    int scanMode = 0; ///< 0 progressive, 1 top field first, 2 bottom first
    /// The host's own setting: kept, saved and compared (outputs that differ in it share no
    /// video encoder), never read by the library.
    int auxMode = 0;
    int width = 1280; ///< output picture width in pixels
    int height = 720; ///< output picture height in pixels
    /// The host's own setting, like auxMode.
    bool auxFlag = false;
    /// How a source picture of another shape becomes the output size: 0 stretches; 1 fits it
    /// inside, centred, with black bars; 2 fills the output, cropping the source's centre.
    int scaleMode = 0;
    /// Codec sub-profile: the ProRes profile index (0 PROXY ... 5 XQ, see proResProfileName());
    /// for OpenH264, non-zero selects its high-complexity mode.
    int codecProfile = 0;
    int keyframeInterval = 2; ///< seconds between key frames
    /// The host's own setting, like auxMode.
    int auxValue = 0;
    /// Encoder speed preset: an x264 preset name, an NVENC preset name ("lowLatencyHP", ...)
    /// or an AMF quality ("Balanced", "Speed", "Quality").
    QString preset = QStringLiteral("veryfast");
    QString tune; ///< x264 tune; empty for none
    /// H.264 profile (x264, NVENC): 66 baseline, 77 main, 88 extended, 100 high.
    int profileIdc = 100;
    /// B-frames between reference frames; read by NVENC H.264 only (at most what the GPU
    /// allows), other encoders code none.
    int bFrames = 0;

    /// Calls v(key, field) for every field, in declaration order; the JSON reader and writer
    /// walk it.
    template <class V> void visit(V& v)
    {
        v("enabled", enabled);
        v("codecName", codecName);
        v("bitrate", bitrate);
        v("frameRate", frameRate);
        v("scanMode", scanMode);
        v("auxMode", auxMode);
        v("width", width);
        v("height", height);
        v("auxFlag", auxFlag);
        v("scaleMode", scaleMode);
        v("codecProfile", codecProfile);
        v("keyframeInterval", keyframeInterval);
        v("auxValue", auxValue);
        v("preset", preset);
        v("tune", tune);
        v("profileIdc", profileIdc);
        v("bFrames", bFrames);
    }
    /// Every field equal.
    bool operator==(const VideoCodec& o) const;
    /// Some field differs.
    bool operator!=(const VideoCodec& o) const { return !(*this == o); }
};

/// The output's audio: codec and its format.
struct AudioCodec
{
    bool enabled = true;                       ///< false: the output has no audio stream
    QString codecName = QStringLiteral("AAC"); ///< "AAC", "MP3", "PCM", "OPUS" or "VORBIS"
    int sampleRate = 48000;                    ///< Hz
    int bitrate = 160;                         ///< kbit/s
    int bitsPerSample = 16;                    ///< 16 is the only size the encoders take
    int channels = 2;                          ///< 1 or 2

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("enabled", enabled);
        v("codecName", codecName);
        v("sampleRate", sampleRate);
        v("bitrate", bitrate);
        v("bitsPerSample", bitsPerSample);
        v("channels", channels);
    }
};

/// The container a recording is written in.
struct Container
{
    QString format = QStringLiteral("mp4"); ///< container name, also the file extension
    /// mp4/mov only: written as fragments (one at each key frame and at least one a second)
    /// behind an empty index, so that a recording cut off by a crash or a full disk plays up to
    /// its last complete fragment.
    bool crashSafe = false;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("format", format);
        v("crashSafe", crashSafe);
    }
};

/// Where and how the output is recorded to files.
struct Local
{
    /// The output records to a file (ignored when streaming is enabled: a live output records
    /// nothing locally).
    bool enabled = true;
    QString folder; ///< recording folder
    /// The file name without extension, with tokens (case-sensitive; the time is the moment the
    /// file opens): \%Y year, \%M month, \%D day, \%h hour, \%m minute, \%s second (two
    /// digits each but the year; \%M is the month and \%m the minute, unlike strftime), \%C
    /// video codec name, \%B bit rate ("4000Kbps"; "25Mbps" for MJPEG; the profile for
    /// ProRes), \%R picture size ("1920x1080"), \%P project name, \%S source ("PGM", "PGM
    /// CLEAN", "PVW" or the preset's source name). Other text, unknown tokens included, stays
    /// as written; values are not read for tokens again; '/' becomes '_'. A taken name gets
    /// " 2" to " 999"; empty: "Untitled".
    QString fileNameTemplate;
    QString recordingPath; ///< a transcoding's first file; in the muxer's copy, the file written
    int splitSeconds = 0;  ///< new file after this many seconds of written video; 0 never
    /// Seconds of a replay buffer, 0 to 3600; 0: an ordinary recording. Above 0 the output is a
    /// replay buffer instead: it keeps the last replaySeconds of encoded video and sound in
    /// memory, from a key frame (so up to one key-frame interval more), writes nothing while
    /// it runs, and saves what it holds into a new file of this record's folder and name
    /// template when asked (Strevo::saveReplay). splitSeconds is then not used.
    int replaySeconds = 0;
    /// The most a replay buffer holds, in megabytes (MiB) of encoded packets, 1 to 16384: when
    /// the buffered seconds would take more, the oldest key-frame intervals go first. While a
    /// save is written, the packets it took stay in memory until written, so a buffer costs at
    /// most twice this.
    int replayMaxMegabytes = 512;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("enabled", enabled);
        v("folder", folder);
        v("fileNameTemplate", fileNameTemplate);
        v("recordingPath", recordingPath);
        v("splitSeconds", splitSeconds);
        v("replaySeconds", replaySeconds);
        v("replayMaxMegabytes", replayMaxMegabytes);
    }
};

/// A live output: where it streams to and how. LiveUrl checks and interprets these settings.
struct Streaming
{
    /// The output streams live instead of recording (its local settings are then ignored).
    bool enabled = false;
    /// RTMP client for rtmp/rtmps URLs: 0, the library's own publisher (used for H.264 video;
    /// other codecs go through libavformat); any other value, libavformat's RTMP protocol.
    int rtmpMode = 0;
    /// The server: rtmp, rtmps, rtsp, srt, tcp or udp URL (LiveUrl::isLiveScheme()). For srt,
    /// only the host is taken from it (the port is srtPort).
    QString url;
    QString streamKey;        ///< rtmp(s): appended to the URL as its last path segment; a secret
    bool authEnabled = false; ///< rtmp(s): userName and password go into the URL
    QString userName;         ///< rtmp(s) user name when authEnabled; a secret
    QString password;         ///< rtmp(s) password when authEnabled; a secret
    QString srtMode = QStringLiteral("caller"); ///< "caller", "listener" or "rendezvous"
    /// SRT packet filter (libsrt's SRTO_PACKETFILTER, such as "fec,cols:10,rows:5"), set only
    /// when it names the "fec" filter; any other text is ignored.
    QString srtFilter;
    int srtPort = 0;      ///< SRT port, 1 to 65535 (also the local port of a rendezvous)
    int srtLatency = 120; ///< SRT latency in milliseconds
    /// SRT encryption key length in bytes, used with a passphrase: 16, 24 or 32; 0 lets
    /// libsrt choose.
    int srtKeyLength = 0;
    QString srtPassphrase; ///< SRT encryption passphrase, 10 to 79 characters; empty: none
    QString srtStreamId;   ///< SRT stream id (libsrt's SRTO_STREAMID); empty: none
    /// rtmps: the server's certificate chain and host name are checked against the system's
    /// trusted authorities, or against the PEM bundle in caFile when it is set (a private CA
    /// or a self-signed server certificate). verifyPeer false skips the check.
    QString caFile;
    bool verifyPeer = true; ///< rtmps: check the server's certificate (see caFile)
    /// Lower the video's bit rate while the link cannot carry the stream (what waits for it
    /// would take more than a second to leave) and raise it again, up to videoCodec.bitrate,
    /// once the link has kept up for a while. The encoder changes its rate as it runs, without
    /// a new stream; an output that adapts never shares its video encoder with another output.
    /// Only for encoders that can change their rate while they encode (X264, H264, VP8, VP9):
    /// the catalogue refuses the preset for others.
    bool adaptiveBitrate = false;
    /// The lowest video bit rate adaptation may go to, in kbit/s; 0: a tenth of
    /// videoCodec.bitrate. Not above videoCodec.bitrate.
    int minBitrate = 0;

    /// The lowest video bit rate for a video rate of `videoKbps`: minBitrate, or a tenth of the
    /// video's rate when it is 0.
    int minimumKbps(int videoKbps) const
    {
        return minBitrate > 0 ? minBitrate : std::max(1, videoKbps / 10);
    }

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("enabled", enabled);
        v("rtmpMode", rtmpMode);
        v("url", url);
        v("streamKey", streamKey);
        v("authEnabled", authEnabled);
        v("userName", userName);
        v("password", password);
        v("srtMode", srtMode);
        v("srtFilter", srtFilter);
        v("srtPort", srtPort);
        v("srtLatency", srtLatency);
        v("srtKeyLength", srtKeyLength);
        v("srtPassphrase", srtPassphrase);
        v("srtStreamId", srtStreamId);
        v("caFile", caFile);
        v("verifyPeer", verifyPeer);
        v("adaptiveBitrate", adaptiveBitrate);
        v("minBitrate", minBitrate);
    }
};

/// Whether the job converts a file rather than recording live input.
struct Transcoding
{
    /// The job transcodes a file: its first file is Local::recordingPath when that is set.
    bool enabled = false;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v) { v("enabled", enabled); }
};

} // namespace CodecModel
