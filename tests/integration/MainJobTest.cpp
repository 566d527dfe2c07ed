// The README's main job: the host program recording the generated source to mp4 and mkv at
// once with different codecs and sizes, and its documentation.

#include "Probe.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString mainJob()
{
    return QStringLiteral(STREVO_SOURCE_DIR "/examples/record-mp4-mkv.json");
}

} // namespace

TEST(MainJob, RecordsMp4AndMkvAtOnceAndSaysWhere)
{
    QTemporaryDir dir;
    const Probe::Result r =
        Probe::run(QStringLiteral(STREVO_CLI),
                   {mainJob(), QStringLiteral("--fast"), QStringLiteral("-o"), dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.err.contains("time 00:00:10.000  frames 300")) << "final progress line:\n"
                                                                 << r.err.constData();

    struct Expected
    {
        const char* file;
        const char* video;
        int width, height;
        const char* audio;
    };
    for (const Expected& e : {Expected{"main-720p.mp4", "h264", 1280, 720, "aac"},
                              Expected{"main-360p.mkv", "h264", 640, 360, "mp3"}}) {
        const QString path = dir.filePath(QLatin1String(e.file));
        SCOPED_TRACE(path.toStdString());
        EXPECT_TRUE(r.out.contains(path.toUtf8())) << "the summary names the file:\n"
                                                   << r.out.constData();
        QString errors;
        EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
        const QJsonObject video = Probe::stream(path, QStringLiteral("video"));
        EXPECT_EQ(video.value(QStringLiteral("codec_name")).toString(), QLatin1String(e.video));
        EXPECT_EQ(video.value(QStringLiteral("width")).toInt(), e.width);
        EXPECT_EQ(video.value(QStringLiteral("height")).toInt(), e.height);
        EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString(), QStringLiteral("300"));
        EXPECT_EQ(Probe::stream(path, QStringLiteral("audio"), false)
                      .value(QStringLiteral("codec_name"))
                      .toString(),
                  QLatin1String(e.audio));
        EXPECT_NEAR(Probe::span(Probe::packets(path, QStringLiteral("v:0"))), 10.0, 1e-6);
        EXPECT_NEAR(Probe::span(Probe::packets(path, QStringLiteral("a:0"))), 10.0, 0.06);
    }
    EXPECT_TRUE(r.out.contains("300 frames, 00:00:10.000")) << r.out.constData();
}

TEST(MainJob, HelpDocumentsEveryOptionAndTheJobFile)
{
    const Probe::Result r = Probe::run(QStringLiteral(STREVO_CLI), {QStringLiteral("--help")});
    ASSERT_EQ(r.exitCode, 0);
    for (const char* word :
         {"--duration",  "--output-dir", "--input",     "--input-format", "--size",
          "--rate",      "--fast",       "--quiet",     "--json",         "--verbose",
          "\"project\"", "\"source\"",   "\"outputs\"", "generated",      "stdin",
          "Ctrl-C",      "Exit status",  "(-2)",        "(-3)",           "(-4)"})
        EXPECT_TRUE(r.out.contains(word)) << word;
}
