#pragma once

#include <QString>

// Per-output records of a CodecPreset. Field order is the declaration order the library
// relies on (the video record is compared field by field when pipelines share an encoder).
namespace CodecModel {

struct VideoCodec
{
    bool enabled = true;
    QString codecName = QStringLiteral("X264"); // factory key, exact case
    int bitrate = 4000;                         // kbit/s
    double frameRate = 30.0;                    // output frames per second, may be 29.97
    int scanMode = 0;                           // 0 progressive, 1 top field first, 2 bottom first
    int auxMode = 0; // the host's own setting, stored and compared, never read by the library
    int width = 1280;
    int height = 720;
    bool auxFlag = false; // likewise
    // How a source picture of another shape becomes the output size: 0 stretches; 1 fits it
    // inside, centred, with black bars; 2 fills the output, cropping the source's centre.
    int scaleMode = 0;
    int codecProfile = 0;     // codec sub-profile (ProRes profile index)
    int keyframeInterval = 2; // seconds
    int auxValue = 0;         // likewise; outputs that differ in it share no video encoder
    QString preset = QStringLiteral("veryfast"); // encoder speed preset (x264, NVENC)
    QString tune;                                // x264 tune
    int profileIdc = 100;                        // 66 baseline, 77 main, 88 extended, 100 high
    int bFrames = 0;

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
    bool operator==(const VideoCodec& o) const;
    bool operator!=(const VideoCodec& o) const { return !(*this == o); }
};

struct AudioCodec
{
    bool enabled = true;
    QString codecName = QStringLiteral("AAC"); // "AAC", "MP3", "PCM", "OPUS" or "VORBIS"
    int sampleRate = 48000;                    // Hz
    int bitrate = 160;                         // kbit/s
    int bitsPerSample = 16;
    int channels = 2;

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

struct Container
{
    QString format = QStringLiteral("mp4"); // container name, also the file extension
    // mp4/mov only: written as fragments (one at each key frame and at least one a second)
    // behind an empty index, so that a recording cut off by a crash or a full disk plays up to
    // its last complete fragment.
    bool crashSafe = false;

    template <class V> void visit(V& v)
    {
        v("format", format);
        v("crashSafe", crashSafe);
    }
};

struct Local
{
    bool enabled = true;
    QString folder; // recording folder
    // The file name without extension, with tokens (case-sensitive; the time is the moment the
    // file opens): %Y year, %M month, %D day, %h hour, %m minute, %s second (two digits each
    // but the year; %M is the month and %m the minute, unlike strftime), %C video codec name,
    // %B bit rate ("4000Kbps"; "25Mbps" for MJPEG; the profile for ProRes), %R picture size
    // ("1920x1080"), %P project name, %S source ("PGM", "PGM CLEAN", "PVW" or the preset's
    // source name). Other text, unknown tokens included, stays as written; values are not read
    // for tokens again; '/' becomes '_'. A taken name gets " 2" to " 999"; empty: "Untitled".
    QString fileNameTemplate;
    QString recordingPath; // a transcoding's first file; in the muxer's copy, the file written
    int splitSeconds = 0;  // new file after this many seconds of written video; 0 never

    template <class V> void visit(V& v)
    {
        v("enabled", enabled);
        v("folder", folder);
        v("fileNameTemplate", fileNameTemplate);
        v("recordingPath", recordingPath);
        v("splitSeconds", splitSeconds);
    }
};

struct Streaming
{
    bool enabled = false;
    int rtmpMode = 0;
    QString url;
    QString streamKey;
    bool authEnabled = false;
    QString userName;
    QString password;
    QString srtMode = QStringLiteral("caller"); // "caller", "listener" or "rendezvous"
    QString srtFilter;
    int srtPort = 0;
    int srtLatency = 120; // milliseconds
    int srtKeyLength = 0;
    QString srtPassphrase;
    QString srtStreamId;
    // rtmps: the server's certificate chain and host name are checked against the system's
    // trusted authorities, or against the PEM bundle in caFile when it is set (a private CA
    // or a self-signed server certificate). verifyPeer false skips the check.
    QString caFile;
    bool verifyPeer = true;

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
    }
};

struct Transcoding
{
    bool enabled = false; // the job transcodes a file rather than recording live input

    template <class V> void visit(V& v) { v("enabled", enabled); }
};

} // namespace CodecModel
