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

    // ffprobe -print_format json with the given options; an empty object when it fails.
    static QJsonObject json(const QString& path, const QStringList& options)
    {
        QStringList args{QStringLiteral("-v"), QStringLiteral("error"),
                         QStringLiteral("-print_format"), QStringLiteral("json")};
        args << options << path;
        const Result r = run(QStringLiteral("ffprobe"), args);
        if (r.exitCode != 0)
            return {};
        return QJsonDocument::fromJson(r.out).object();
    }

    // The first stream of a kind ("video", "audio") with decoded frame counts.
    static QJsonObject stream(const QString& path, const QString& kind, bool countFrames = true)
    {
        QStringList opts{QStringLiteral("-show_streams")};
        if (countFrames)
            opts << QStringLiteral("-count_frames");
        const QJsonArray streams = json(path, opts).value(QStringLiteral("streams")).toArray();
        for (const auto& s : streams)
            if (s.toObject().value(QStringLiteral("codec_type")).toString() == kind)
                return s.toObject();
        return {};
    }

    // Decodes the whole file; true when ffmpeg reports no error.
    static bool decodesCleanly(const QString& path, QString* errors = nullptr)
    {
        const Result r =
            run(QStringLiteral("ffmpeg"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                 QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
        if (errors)
            *errors = QString::fromUtf8(r.err);
        return r.exitCode == 0 && r.err.trimmed().isEmpty();
    }

    struct Packet
    {
        double pts = 0, duration = 0;
        long long dts = 0;
        bool key = false;
        QString hash;
    };

    // The packets of one stream ("v:0", "a:0") in file order, with MD5 hashes of their data.
    static QVector<Packet> packets(const QString& path, const QString& stream)
    {
        const QJsonArray list =
            json(path, {QStringLiteral("-select_streams"), stream, QStringLiteral("-show_packets"),
                        QStringLiteral("-show_data_hash"), QStringLiteral("MD5")})
                .value(QStringLiteral("packets"))
                .toArray();
        QVector<Packet> out;
        for (const auto& v : list) {
            const QJsonObject o = v.toObject();
            Packet p;
            // AVI stores no presentation times for video; its decoding times are those.
            const QString pts = o.value(QStringLiteral("pts_time")).toString();
            p.pts = (pts.isEmpty() || pts == QLatin1String("N/A")
                         ? o.value(QStringLiteral("dts_time")).toString()
                         : pts)
                        .toDouble();
            p.duration = o.value(QStringLiteral("duration_time")).toString().toDouble();
            p.dts = o.value(QStringLiteral("dts")).toVariant().toLongLong();
            p.key = o.value(QStringLiteral("flags")).toString().startsWith(QLatin1Char('K'));
            p.hash = o.value(QStringLiteral("data_hash")).toString();
            out << p;
        }
        return out;
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

    // Key-frame flags of the video packets, in order.
    static QVector<bool> keyFlags(const QString& path)
    {
        const QJsonArray packets =
            json(path, {QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                        QStringLiteral("-show_packets")})
                .value(QStringLiteral("packets"))
                .toArray();
        QVector<bool> keys;
        for (const auto& p : packets)
            keys << p.toObject()
                        .value(QStringLiteral("flags"))
                        .toString()
                        .startsWith(QLatin1Char('K'));
        return keys;
    }
};
