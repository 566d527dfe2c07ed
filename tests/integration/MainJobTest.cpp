// The README's main job: strevo-cli records the generated source to mp4 and mkv at once, with
// different codecs and sizes, every frame in order.

#include "CliRun.h"
#include "tools/TestPattern.h"

TEST(MainJob, RecordsMp4AndMkvAtOnceEveryFrameInOrderAndSaysWhere)
{
    QTemporaryDir dir;
    const CliRun run = cli({example("record-mp4-mkv.json"), "--fast", "-o", dir.path()});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("time 00:00:10.000  frames 300")) << run.r.err.constData();
    EXPECT_TRUE(run.r.out.contains("300 frames, 00:00:10.000")) << run.r.out.constData();

    const QString mp4 = dir.filePath(QStringLiteral("main-720p.mp4"));
    for (const StreamInfo& expected :
         {StreamInfo{"aac", 1280, 720, 300, 10.0}, StreamInfo{"mp3", 640, 360, 300, 10.0}}) {
        const QString path = expected.codec == QLatin1String("aac")
                                 ? mp4
                                 : dir.filePath(QStringLiteral("main-360p.mkv"));
        SCOPED_TRACE(path.toStdString());
        EXPECT_TRUE(run.r.out.contains(path.toUtf8())) << "the summary names the file";
        EXPECT_NEAR(expectVideo(path, "h264", expected.width, expected.height, 300).span, 10.0,
                    1e-6);
        const StreamInfo audio = streamInfo(path, "audio");
        EXPECT_EQ(audio.codec, expected.codec);
        EXPECT_NEAR(audio.span, 10.0, 0.012); // within half an AAC or MP3 frame
    }
    // Decoded pictures match the generator's (clock and counter included), not their neighbours.
    TestPattern pattern(1280, 720);
    for (int index : {0, 149, 299}) {
        const double same = lumaDifference(mp4, index, pattern.frame(index, 30.0), 1280 * 720);
        const double next = lumaDifference(mp4, index, pattern.frame(index + 1, 30.0), 1280 * 720);
        EXPECT_LT(same, 3.0) << "frame " << index;
        EXPECT_GT(next, 2 * same) << "frame " << index;
    }
}
