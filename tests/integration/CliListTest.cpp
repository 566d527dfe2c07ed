// strevo-cli's own view of the codec table (--list) and how it reads names in job files: any
// case for codecs and containers, and the recording name's template checked before it starts.

#include "CliRun.h"

#include <QJsonArray>

namespace {

QStringList names(const QJsonArray& list)
{
    QStringList out;
    for (const auto& item : list)
        out << (item.isObject() ? item.toObject().value(QStringLiteral("name")).toString()
                                : item.toString());
    return out;
}

} // namespace

// The codecs without a catalogue key are listed too; one codec or container on its own, as text
// and JSON; an unknown name exits with 2 and the nearest names.
TEST(CliList, ListsEveryUsableCodecAndOneByName)
{
    const CliRun all = cli({"--list", "--json"});
    ASSERT_EQ(all.r.exitCode, 0) << all.r.err.constData();
    const QJsonArray video = all.summary.value(QStringLiteral("videoCodecs")).toArray();
    const QJsonArray audio = all.summary.value(QStringLiteral("audioCodecs")).toArray();
    EXPECT_TRUE(names(video).contains(QStringLiteral("VP9")));
    EXPECT_TRUE(names(audio).contains(QStringLiteral("OPUS")));
    EXPECT_TRUE(names(audio).contains(QStringLiteral("VORBIS")));
    EXPECT_FALSE(names(audio).contains(QStringLiteral("AC3"))); // no encoder here
    for (const auto& codec : video) {
        const QJsonObject o = codec.toObject();
        if (o.value(QStringLiteral("name")) == QStringLiteral("X264")) {
            EXPECT_EQ(o.value(QStringLiteral("key")).toInt(), 64);
        }
        if (o.value(QStringLiteral("name")) == QStringLiteral("VP9")) {
            EXPECT_FALSE(o.contains(QStringLiteral("key")));
        }
    }
    const QByteArray text = cli({"--list"}).r.out;
    EXPECT_TRUE(text.contains("  OPUS                       mp4 mkv webm\n")) << text.constData();
    EXPECT_FALSE(text.contains(" key ")) << text.constData();

    const CliRun x264 = cli({"--list", "x264"});
    ASSERT_EQ(x264.r.exitCode, 0) << x264.r.err.constData();
    EXPECT_TRUE(x264.r.out.contains("presets:    ultrafast superfast")) << x264.r.out.constData();
    EXPECT_TRUE(x264.r.out.contains("containers: mp4 mov flv ts m2ts mkv avi wmv m3u8\n"));
    const CliRun x264Json = cli({"--list", "X264", "--json"});
    EXPECT_TRUE(names(x264Json.summary.value(QStringLiteral("presets")).toArray())
                    .contains(QStringLiteral("veryslow")));
    EXPECT_FALSE(names(x264Json.summary.value(QStringLiteral("containers")).toArray())
                     .contains(QStringLiteral("webm")));

    const CliRun webm = cli({"--list", "WebM", "--json"});
    ASSERT_EQ(webm.r.exitCode, 0) << webm.r.err.constData();
    EXPECT_EQ(names(webm.summary.value(QStringLiteral("videoCodecs")).toArray()),
              (QStringList{"VP8", "VP9", "AV1"}));
    EXPECT_EQ(names(webm.summary.value(QStringLiteral("audioCodecs")).toArray()),
              (QStringList{"VORBIS", "OPUS"}));
    EXPECT_TRUE(
        cli({"--list", "webm"}).r.out.contains("video: VP8, VP9, AV1\n  audio: VORBIS, OPUS"));

    // The codecs libavcodec serves with their own presets and tunes, and their keys.
    const struct
    {
        const char* name;
        const char* lines;
        int key;
    } own[] = {
        {"av1",
         "presets:    ultrafast superfast veryfast faster fast medium slow slower veryslow "
         "placebo 0 1 2 3 4 5 6 7 8 9 10 11 12 13\n  tunes:      vq psnr zerolatency fastdecode\n"
         "  containers: mp4 mkv webm\n",
         65536},
        {"X265",
         "presets:    ultrafast superfast veryfast faster fast medium slow slower veryslow "
         "placebo\n  tunes:      psnr ssim grain zerolatency fastdecode animation\n"
         "  containers: mp4 mov ts m2ts mkv m3u8\n",
         32768},
        {"Flac", "FLAC: audio codec\n  containers: mkv\n", 128},
    };
    for (const auto& c : own) {
        const CliRun one = cli({"--list", c.name});
        EXPECT_TRUE(one.r.exitCode == 0 && one.r.out.contains(c.lines)) << one.r.out.constData();
        EXPECT_EQ(cli({"--list", c.name, "--json"}).summary.value(QStringLiteral("key")).toInt(),
                  c.key);
    }

    const CliRun nonsense = cli({"--list", "nonsense"});
    EXPECT_EQ(nonsense.r.exitCode, 2);
    EXPECT_TRUE(nonsense.r.err.contains("no codec or container 'nonsense'"));
    EXPECT_TRUE(cli({"--list", "VP0"}).r.err.contains("(nearest: VP8, VP9,"))
        << cli({"--list", "VP0"}).r.err.constData();
}

// "MP4" and "x264" are the names the library knows; a '%' that starts no token is kept and
// warned about with its position; a '/' refuses the job.
TEST(CliList, JobNamesInAnyCaseAndCheckedTemplates)
{
    QTemporaryDir dir;
    const QString job = writeFile(dir, "case.json", R"({"outputs": [{
        "videoCodec": {"codecName": "x264"}, "audioCodec": {"codecName": "aac"},
        "container": {"format": "MP4"}, "local": {"fileNameTemplate": "take %x %Y"}}]})");
    const QStringList args{job,   "--size", "160x120", "--rate", "10",      "-d",
                           "0.5", "--fast", "--json",  "-o",     dir.path()};
    const CliRun run = cli(args);
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("warning: ")) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("outputs[0].local.fileNameTemplate: unknown token '%x' at "
                                   "position 6 of 'take %x %Y'"))
        << run.r.err.constData();
    const QString file = QFileInfo(run.file()).fileName();
    EXPECT_TRUE(file.startsWith(QStringLiteral("take %x 20")) && file.endsWith(".mp4"))
        << file.toStdString();
    EXPECT_TRUE(QFileInfo::exists(run.file()));

    const QString slash = writeFile(
        dir, "slash.json", R"({"outputs": [{"local": {"fileNameTemplate": "shows/%Y"}}]})");
    const CliRun refused = cli({slash, "-o", dir.path()});
    EXPECT_EQ(refused.r.exitCode, 2);
    EXPECT_TRUE(refused.r.err.contains("outputs[0].local.fileNameTemplate: '/' at position 6 of "
                                       "'shows/%Y': a recording name is one file name"))
        << refused.r.err.constData();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
}
