#pragma once

// Runs strevo-cli as a user would and inspects what it wrote, for the host program's tests.

#include "Probe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>

// The shipped example job files.
inline QString example(const char* name)
{
    return QStringLiteral(STREVO_SOURCE_DIR "/examples/") + QLatin1String(name);
}

// Arguments written as one string: words("--size 320x240 -q").
inline QStringList words(const char* text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// One run of strevo-cli; with --json its summary is parsed.
struct CliRun
{
    Probe::Result r;
    QJsonObject summary;
    QJsonObject output(int i = 0) const
    {
        return summary.value(QStringLiteral("outputs")).toArray().at(i).toObject();
    }
    QString file(int out = 0, int index = 0) const
    {
        return output(out).value(QStringLiteral("files")).toArray().at(index).toString();
    }
    int frames(int out = 0) const { return output(out).value(QStringLiteral("frames")).toInt(); }
};

// With a `shell` script, runs strevo-cli from bash ("$0" is the program, "$@" the arguments).
inline CliRun cli(const QStringList& args, const QByteArray& input = QByteArray(),
                  const QString& shell = QString())
{
    CliRun run;
    run.r = shell.isEmpty()
                ? Probe::run(QStringLiteral(STREVO_CLI), args, 120000, input)
                : Probe::run(QStringLiteral("bash"),
                             QStringList{"-c", shell, QStringLiteral(STREVO_CLI)} + args);
    run.summary = QJsonDocument::fromJson(run.r.out).object();
    return run;
}

// Whether `text` shows a secret in any form a URL or a log line may give it (as it is,
// percent-encoded in either case, a space as '+'), in any case; a secret of under 6 characters
// only as a word of its own, as the masking takes it.
inline bool showsSecret(const QByteArray& text, const QString& secret)
{
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(secret));
    QUrl path(QStringLiteral("rtmp://h/"));
    path.setPath(QLatin1Char('/') + secret);
    const QStringList forms{secret, encoded,
                            QString(encoded).replace(QLatin1String("%20"), QLatin1String("+")),
                            path.path(QUrl::FullyEncoded).mid(1),
                            QString(secret).replace(QLatin1Char(' '), QLatin1Char('+'))};
    for (const QString& form : forms) {
        QString pattern = QRegularExpression::escape(form);
        if (secret.size() < 6)
            pattern = QStringLiteral("(?<![[:alnum:]])%1(?![[:alnum:]])").arg(pattern);
        const QRegularExpression shown(pattern, QRegularExpression::CaseInsensitiveOption);
        if (shown.match(QString::fromUtf8(text)).hasMatch())
            return true;
    }
    return false;
}

inline QString writeFile(const QTemporaryDir& dir, const char* name, const QByteArray& bytes)
{
    const QString path = dir.filePath(QLatin1String(name));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

// One stream of a finished file: codec, picture size, decoded frames and time span.
struct StreamInfo
{
    QString codec;
    int width = 0, height = 0;
    long long frames = 0;
    double span = 0;
};

inline StreamInfo streamInfo(const QString& path, const char* kind)
{
    const Probe::Media m = Probe::inspect(path);
    const bool video = kind[0] == 'v';
    const QJsonObject s = video ? m.video : m.audio;
    return {s.value(QStringLiteral("codec_name")).toString(),
            s.value(QStringLiteral("width")).toInt(), s.value(QStringLiteral("height")).toInt(),
            s.value(QStringLiteral("nb_read_frames")).toString().toLongLong(),
            Probe::span(video ? m.videoPackets : m.audioPackets)};
}

// Expects a file that plays, its video `codec` at the size with `frames` frames; returns it.
inline StreamInfo expectVideo(const QString& path, const char* codec, int width, int height,
                              long long frames)
{
    SCOPED_TRACE(path.toStdString());
    Probe::expectDecodes(path);
    const StreamInfo video = streamInfo(path, "video");
    EXPECT_EQ(video.codec, QLatin1String(codec));
    EXPECT_EQ(video.width, width);
    EXPECT_EQ(video.height, height);
    EXPECT_EQ(video.frames, frames);
    return video;
}

inline QByteArray ffmpeg(const QStringList& args)
{
    return Probe::run(QStringLiteral("ffmpeg"), QStringList{"-v", "error"} + args).out;
}

// Mean absolute difference between a decoded frame's luma and a reference picture.
inline double lumaDifference(const QString& path, int index, const uint8_t* reference, int size)
{
    const QByteArray nv12 =
        ffmpeg(QStringList{"-i", path, "-vf", QStringLiteral("select=eq(n\\,%1)").arg(index)} +
               words("-frames:v 1 -pix_fmt nv12 -f rawvideo -"));
    if (nv12.size() != size * 3 / 2)
        return 1e9;
    double sum = 0;
    for (int i = 0; i < size; ++i)
        sum += std::abs(static_cast<uint8_t>(nv12[i]) - reference[i]);
    return sum / size;
}
