#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <algorithm>
#include <gtest/gtest.h>

// Runs the real ffprobe/ffmpeg and other programs for the tests.
class Probe
{
public:
    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    static Result run(const QString& program, const QStringList& args, int timeoutMs = 120000,
                      const QByteArray& input = QByteArray())
    {
        QProcess p;
        p.start(program, args);
        Result r;
        if (!p.waitForStarted(10000))
            return r;
        if (!input.isEmpty())
            p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    struct Packet
    {
        double pts = 0, duration = 0;
        long long dts = 0;
        bool key = false;
        QString hash;
    };

    // One file as ffprobe sees it (empty when it fails): the first video and audio streams (with
    // decoded frame counts when asked) and their packets in file order, with MD5 hashes.
    struct Media
    {
        QJsonObject video, audio;
        QVector<Packet> videoPackets, audioPackets;
        long long frames() const
        {
            return video.value(QStringLiteral("nb_read_frames")).toString().toLongLong();
        }
        QString videoValue(const char* key) const
        {
            return video.value(QLatin1String(key)).toString();
        }
    };

    static Media inspect(const QString& path, bool countFrames = true)
    {
        const Result r =
            run(QStringLiteral("ffprobe"),
                QStringLiteral("-v error -print_format json -show_streams -show_packets "
                               "-show_data_hash MD5%1")
                        .arg(countFrames ? " -count_frames" : "")
                        .split(QLatin1Char(' '))
                    << path);
        const QJsonObject o =
            r.exitCode == 0 ? QJsonDocument::fromJson(r.out).object() : QJsonObject();
        Media m;
        QVector<QString> kinds;
        for (const auto& s : o.value(QStringLiteral("streams")).toArray()) {
            const QJsonObject st = s.toObject();
            const QString kind = st.value(QStringLiteral("codec_type")).toString();
            kinds << kind;
            if (kind == QLatin1String("video") && m.video.isEmpty())
                m.video = st;
            if (kind == QLatin1String("audio") && m.audio.isEmpty())
                m.audio = st;
        }
        for (const auto& v : o.value(QStringLiteral("packets")).toArray()) {
            const QJsonObject p = v.toObject();
            const QString kind = kinds.value(p.value(QStringLiteral("stream_index")).toInt());
            Packet k;
            // AVI stores no presentation times for video; its decoding times are those.
            const QString pts = p.value(QStringLiteral("pts_time")).toString();
            k.pts = (pts.isEmpty() || pts == QLatin1String("N/A")
                         ? p.value(QStringLiteral("dts_time")).toString()
                         : pts)
                        .toDouble();
            k.duration = p.value(QStringLiteral("duration_time")).toString().toDouble();
            k.dts = p.value(QStringLiteral("dts")).toVariant().toLongLong();
            k.key = p.value(QStringLiteral("flags")).toString().startsWith(QLatin1Char('K'));
            k.hash = p.value(QStringLiteral("data_hash")).toString();
            if (kind == QLatin1String("video"))
                m.videoPackets << k;
            else if (kind == QLatin1String("audio"))
                m.audioPackets << k;
        }
        return m;
    }

    // Expects the whole file to decode without an error.
    static void expectDecodes(const QString& path)
    {
        const Result r =
            run(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-f", "null", "-"});
        EXPECT_TRUE(r.exitCode == 0 && r.err.trimmed().isEmpty())
            << qPrintable(path) << ": " << r.err.constData();
    }

    // What a live receiver got: decodes, H.264 + AAC, a key frame first.
    static Media expectPlayable(const QString& path)
    {
        expectDecodes(path);
        const Media m = inspect(path, false);
        EXPECT_EQ(m.videoValue("codec_name"), QStringLiteral("h264")) << qPrintable(path);
        EXPECT_EQ(m.audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
        EXPECT_TRUE(!m.videoPackets.isEmpty() && m.videoPackets.front().key);
        return m;
    }

    // A file as GStreamer reads it, a second opinion beside FFmpeg's own: the streams, their
    // media types and the duration gst-discoverer-1.0 finds, and whether playbin plays it to
    // its end without an error (its messages when not), with the pictures it showed.
    struct GstView
    {
        int video = 0, audio = 0, other = 0; // streams, the container not counted
        QString videoType, audioType;        // of the first of each ("video/x-h265")
        double duration = -1;                // seconds; -1 when none was found
        bool plays = false;
        long long pictures = 0; // decoded pictures that reached the video sink
        QByteArray errors;
    };

    static GstView gstreamer(const QString& path)
    {
        GstView v;
        const QString uri = QStringLiteral("file://") + path;
        const Result d = run(QStringLiteral("gst-discoverer-1.0"), {"-v", uri});
        static const QRegularExpression stream(
            QStringLiteral("^\\s+(video|audio|subtitles|unknown) #\\d+: ([^,\\s]*)"),
            QRegularExpression::MultilineOption);
        for (auto it = stream.globalMatch(QString::fromUtf8(d.out)); it.hasNext();) {
            const QRegularExpressionMatch found = it.next();
            const QString kind = found.captured(1);
            QString& type = kind == QLatin1String("video") ? v.videoType : v.audioType;
            if (kind != QLatin1String("unknown") && type.isEmpty())
                type = found.captured(2);
            ++(kind == QLatin1String("video")   ? v.video
               : kind == QLatin1String("audio") ? v.audio
                                                : v.other);
        }
        static const QRegularExpression length(
            QStringLiteral("Duration: (\\d+):(\\d+):(\\d+\\.\\d+)"));
        const QRegularExpressionMatch m = length.match(QString::fromUtf8(d.out));
        if (m.hasMatch())
            v.duration = m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 +
                         m.captured(3).toDouble();
        // The video sink announces each picture (-v prints its last-message).
        const Result p = run(QStringLiteral("gst-launch-1.0"),
                             {"-v", "playbin", "uri=" + uri,
                              "video-sink=fakesink name=pictures sync=false silent=false",
                              "audio-sink=fakesink sync=false"});
        v.plays = p.exitCode == 0;
        v.pictures = p.out.count("GstFakeSink:pictures: last-message = chain");
        QByteArray said;
        for (const QByteArray& line : (p.out + p.err).split('\n'))
            if (!line.startsWith('/') && !line.trimmed().isEmpty())
                said += line + '\n';
        v.errors = d.exitCode == 0 ? said : d.out + d.err;
        return v;
    }

    // Seconds from the first packet's start to the last packet's end.
    static double span(const QVector<Packet>& packets)
    {
        if (packets.isEmpty())
            return 0;
        double first = packets.front().pts, last = 0;
        for (const Packet& p : packets) {
            first = std::min(first, p.pts);
            last = std::max(last, p.pts + p.duration);
        }
        return last - first;
    }
};
