#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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
