#include "Probe.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

Probe::Result runCli(const QStringList& args)
{
    return Probe::run(QStringLiteral(STREVO_CLI), args);
}

} // namespace

TEST(MainJob, TestPatternDecodesToEveryFrame)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pattern.h264"));
    const Probe::Result r = runCli({QStringLiteral("--output"), path, QStringLiteral("--duration"),
                                    QStringLiteral("10")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.contains(path.toUtf8())) << "prints where it wrote the file";

    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
    const QJsonObject video = Probe::stream(path, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    EXPECT_EQ(video.value(QStringLiteral("width")).toInt(), 1280);
    EXPECT_EQ(video.value(QStringLiteral("height")).toInt(), 720);
    EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString(), QStringLiteral("300"));
    EXPECT_EQ(video.value(QStringLiteral("r_frame_rate")).toString(), QStringLiteral("30/1"));

    // Key frames every 2 s at 30 fps.
    const QVector<bool> keys = Probe::keyFlags(path);
    ASSERT_EQ(keys.size(), 300);
    for (int i = 0; i < keys.size(); ++i)
        EXPECT_EQ(keys[i], i % 60 == 0) << "frame " << i;
}

TEST(MainJob, FractionalRateIsSignalledAsNtscFraction)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ntsc.h264"));
    const Probe::Result r = runCli({QStringLiteral("-o"), path, QStringLiteral("--duration"), QStringLiteral("2"),
                                    QStringLiteral("--rate"), QStringLiteral("29.97"), QStringLiteral("--size"),
                                    QStringLiteral("640x360"), QStringLiteral("--quiet")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.isEmpty());
    const QJsonObject video = Probe::stream(path, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("r_frame_rate")).toString(), QStringLiteral("30000/1001"));
    EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString(), QStringLiteral("60"));
}

TEST(MainJob, BadArgumentsFailWithAReason)
{
    for (const QStringList& args : {QStringList{QStringLiteral("--size"), QStringLiteral("0x720")},
                                    QStringList{QStringLiteral("--size"), QStringLiteral("641x360")},
                                    QStringList{QStringLiteral("--rate"), QStringLiteral("0")},
                                    QStringList{QStringLiteral("-o"), QStringLiteral("/nonexistent/dir/x.h264")}}) {
        const Probe::Result r = runCli(args);
        EXPECT_NE(r.exitCode, 0) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.startsWith("strevo-cli: ")) << r.err.constData();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    }
}
