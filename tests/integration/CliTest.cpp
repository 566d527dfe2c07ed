// End-to-end tests of the host program: each runs strevo-cli as a user would and checks the
// files with ffprobe/ffmpeg.

#include "Probe.h"
#include "tools/TestPattern.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

QString example(const char* name)
{
    return QStringLiteral(STREVO_SOURCE_DIR "/examples/") + QLatin1String(name);
}

Probe::Result cli(const QStringList& args, const QByteArray& input = QByteArray())
{
    return Probe::run(QStringLiteral(STREVO_CLI), args, 120000, input);
}

QJsonObject summary(const Probe::Result& r)
{
    return QJsonDocument::fromJson(r.out).object();
}

QString writeJob(const QTemporaryDir& dir, const char* name, const QByteArray& json)
{
    const QString path = dir.filePath(QLatin1String(name));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(json);
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

StreamInfo streamInfo(const QString& path, const char* kind)
{
    const QJsonObject s = Probe::stream(path, QLatin1String(kind));
    StreamInfo info;
    info.codec = s.value(QStringLiteral("codec_name")).toString();
    info.width = s.value(QStringLiteral("width")).toInt();
    info.height = s.value(QStringLiteral("height")).toInt();
    info.frames = s.value(QStringLiteral("nb_read_frames")).toString().toLongLong();
    info.span = Probe::span(Probe::packets(path, QLatin1String(kind[0] == 'v' ? "v:0" : "a:0")));
    return info;
}

void expectPlayable(const QString& path)
{
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(path, &errors))
        << path.toStdString() << ": " << errors.toStdString();
}

// The luma plane of one decoded frame (its limited-range values, as encoded).
QByteArray decodedLuma(const QString& path, int index)
{
    const Probe::Result r =
        Probe::run(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                    QStringLiteral("-vf"), QStringLiteral("select=eq(n\\,%1)").arg(index),
                    QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-pix_fmt"),
                    QStringLiteral("nv12"), QStringLiteral("-f"), QStringLiteral("rawvideo"),
                    QStringLiteral("-")});
    return r.out.left(r.out.size() * 2 / 3);
}

double meanDifference(const QByteArray& a, const uint8_t* b, int size)
{
    if (a.size() != size)
        return 1e9;
    double sum = 0;
    for (int i = 0; i < size; ++i)
        sum += std::abs(static_cast<uint8_t>(a[i]) - b[i]);
    return sum / size;
}

} // namespace

TEST(CliExamples, RecordMp4HoldsEveryGeneratedFrameInOrder)
{
    QTemporaryDir dir;
    const Probe::Result r = cli({example("record-mp4.json"), QStringLiteral("--fast"),
                                 QStringLiteral("--json"), QStringLiteral("-o"), dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject out = summary(r).value(QStringLiteral("outputs")).toArray().at(0).toObject();
    EXPECT_FALSE(summary(r).value(QStringLiteral("interrupted")).toBool());
    EXPECT_EQ(out.value(QStringLiteral("frames")).toInt(), 300);
    EXPECT_DOUBLE_EQ(out.value(QStringLiteral("duration")).toDouble(), 10.0);
    const QString path = out.value(QStringLiteral("files")).toArray().at(0).toString();
    ASSERT_EQ(path, dir.filePath(QStringLiteral("record.mp4")));
    EXPECT_EQ(out.value(QStringLiteral("bytes")).toInt(), QFileInfo(path).size());

    expectPlayable(path);
    const StreamInfo video = streamInfo(path, "video"), audio = streamInfo(path, "audio");
    EXPECT_EQ(video.codec, QStringLiteral("h264"));
    EXPECT_EQ(video.width, 1280);
    EXPECT_EQ(video.height, 720);
    EXPECT_EQ(video.frames, 300) << "the frames the encoder held back at the end are flushed out";
    EXPECT_NEAR(video.span, 10.0, 1e-6);
    EXPECT_EQ(audio.codec, QStringLiteral("aac"));
    EXPECT_NEAR(audio.span, 10.0, 0.05);

    // Frames arrive in order, none lost or repeated: decoded pictures match the generator's
    // (clock and counter included) far better than their neighbours.
    TestPattern pattern(1280, 720);
    for (int index : {0, 149, 299}) {
        const QByteArray luma = decodedLuma(path, index);
        const double same = meanDifference(luma, pattern.frame(index, 30.0), 1280 * 720);
        const double next = meanDifference(luma, pattern.frame(index + 1, 30.0), 1280 * 720);
        EXPECT_LT(same, 3.0) << "frame " << index;
        EXPECT_GT(next, 2 * same) << "frame " << index;
    }
}

TEST(CliExamples, TimeSplitStartsANewFileEveryFourSeconds)
{
    QTemporaryDir dir;
    const Probe::Result r = cli({example("record-split.json"), QStringLiteral("--fast"),
                                 QStringLiteral("--json"), QStringLiteral("-o"), dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject out = summary(r).value(QStringLiteral("outputs")).toArray().at(0).toObject();
    EXPECT_EQ(out.value(QStringLiteral("frames")).toInt(), 250);
    const QJsonArray files = out.value(QStringLiteral("files")).toArray();
    ASSERT_EQ(files.size(), 3) << r.out.constData();
    long long bytes = 0;
    const long long expected[] = {100, 100, 50}; // 25 fps: 4 s, 4 s, 2 s
    for (int i = 0; i < 3; ++i) {
        const QString path = files.at(i).toString();
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(QFileInfo(path).absolutePath(), QDir(dir.path()).absolutePath());
        expectPlayable(path);
        const StreamInfo video = streamInfo(path, "video");
        EXPECT_EQ(video.frames, expected[i]);
        EXPECT_EQ(video.width, 640);
        EXPECT_FALSE(streamInfo(path, "audio").codec.isEmpty());
        bytes += QFileInfo(path).size();
    }
    EXPECT_EQ(out.value(QStringLiteral("bytes")).toInt(), bytes) << "the size counts every part";
}

TEST(CliTranscode, GeneratedMp4ToOtherSizesAndCodecs)
{
    QTemporaryDir dir;
    // A 2 s source with sound.
    Probe::Result r =
        cli({example("record-mp4.json"), QStringLiteral("--fast"), QStringLiteral("-q"),
             QStringLiteral("--duration"), QStringLiteral("2"), QStringLiteral("--size"),
             QStringLiteral("320x240"), QStringLiteral("-o"), dir.filePath(QStringLiteral("src"))});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QString source = dir.filePath(QStringLiteral("src/record.mp4"));

    // The shipped example: VP8 640x360 + MP3 in mkv.
    r = cli({example("transcode.json"), QStringLiteral("--input"), source, QStringLiteral("--json"),
             QStringLiteral("-o"), dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QString vp8 = dir.filePath(QStringLiteral("transcoded.mkv"));
    expectPlayable(vp8);
    StreamInfo video = streamInfo(vp8, "video");
    EXPECT_EQ(video.codec, QStringLiteral("vp8"));
    EXPECT_EQ(video.width, 640);
    EXPECT_EQ(video.height, 360);
    EXPECT_EQ(video.frames, 60);
    EXPECT_EQ(streamInfo(vp8, "audio").codec, QStringLiteral("mp3"));

    // Two outputs from one decode: a small x264 with one key frame a second and PCM in mov, and
    // the same name again, which must not overwrite the first transcoding.
    const QString job = writeJob(dir, "small.json", R"({
        "source": {"type": "file", "path": "unused.mp4"},
        "outputs": [
          {"videoCodec": {"codecName": "X264", "width": 176, "height": 144, "bitrate": 300, "keyframeInterval": 1},
           "audioCodec": {"codecName": "PCM"}, "container": {"format": "mov"},
           "local": {"fileNameTemplate": "small"}},
          {"videoCodec": {"codecName": "X264", "width": 176, "height": 144, "bitrate": 300, "keyframeInterval": 1},
           "audioCodec": {"codecName": "PCM"}, "container": {"format": "mov"},
           "local": {"fileNameTemplate": "small"}}
        ]})");
    r = cli({job, QStringLiteral("-i"), source, QStringLiteral("--json"), QStringLiteral("-o"),
             dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray outputs = summary(r).value(QStringLiteral("outputs")).toArray();
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_EQ(outputs.at(0).toObject().value(QStringLiteral("files")).toArray().at(0).toString(),
              dir.filePath(QStringLiteral("small.mov")));
    EXPECT_EQ(outputs.at(1).toObject().value(QStringLiteral("files")).toArray().at(0).toString(),
              dir.filePath(QStringLiteral("small 2.mov")));
    const QString mov = dir.filePath(QStringLiteral("small.mov"));
    expectPlayable(mov);
    video = streamInfo(mov, "video");
    EXPECT_EQ(video.codec, QStringLiteral("h264"));
    EXPECT_EQ(video.width, 176);
    EXPECT_EQ(video.frames, 60);
    const QVector<bool> keys = Probe::keyFlags(mov);
    ASSERT_EQ(keys.size(), 60);
    for (int i = 0; i < keys.size(); ++i)
        EXPECT_EQ(keys[i], i % 30 == 0) << "frame " << i;
    const StreamInfo audio = streamInfo(mov, "audio");
    EXPECT_EQ(audio.codec, QStringLiteral("pcm_s16le"));
    EXPECT_NEAR(audio.span, 2.0, 0.05);
}

TEST(CliRawInput, Nv12FramesFromStandardInput)
{
    QTemporaryDir dir;
    TestPattern pattern(320, 240);
    QByteArray frames;
    for (int i = 0; i < 45; ++i)
        frames.append(reinterpret_cast<const char*>(pattern.frame(i)), pattern.frameSize());
    const QStringList args{example("record-mp4.json"), QStringLiteral("--input-format"),
                           QStringLiteral("nv12"),     QStringLiteral("--size"),
                           QStringLiteral("320x240"),  QStringLiteral("--rate"),
                           QStringLiteral("15"),       QStringLiteral("-q"),
                           QStringLiteral("-o"),       dir.path()};
    Probe::Result r = cli(args, frames);
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QString path = dir.filePath(QStringLiteral("record.mp4"));
    expectPlayable(path);
    const StreamInfo video = streamInfo(path, "video");
    EXPECT_EQ(video.width, 320);
    EXPECT_EQ(video.frames, 45);
    EXPECT_NEAR(video.span, 3.0, 1e-6);
    EXPECT_NEAR(streamInfo(path, "audio").span, 3.0, 0.05)
        << "raw video gets silence for its sound";

    // Input that breaks off inside a frame: the whole frames are recorded, the run fails.
    r = cli(args, frames + QByteArray(1000, '\0'));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("ended inside a frame")) << r.err.constData();
    EXPECT_EQ(streamInfo(dir.filePath(QStringLiteral("record 2.mp4")), "video").frames, 45);
}

TEST(CliErrors, BadJobsFailWithAOneLineReason)
{
    QTemporaryDir dir;
    struct Case
    {
        const char* json;
        const char* reason;
    };
    const Case cases[] = {
        {"{\"outputs\": [ {\"videoCodec\": {\"codecName\": \"X264\"}}\n", "line 2"},
        {"[1, 2]", "expected a JSON object"},
        {R"({"outputs": [{"videoCodec": {"codecName": "X265"}}]})",
         "outputs[0].videoCodec.codecName: unknown video codec 'X265'"},
        {R"({"outputs": [{"audioCodec": {"codecName": "aac"}}]})", "did you mean 'AAC'"},
        {R"({"outputs": [{}, {"videoCodec": {"width": "wide"}}]})", "outputs[1].videoCodec.width"},
        {R"({"outputs": []})", "outputs: expected a list"},
        {R"({"output": [{}]})", "unknown key 'output'"},
        {R"({"source": {"type": "camera"}, "outputs": [{}]})", "source.type"},
        {R"({"project": {"videoOutput": {"frameRate": 0}}, "outputs": [{}]})",
         "project.videoOutput.frameRate"},
        {R"({"outputs": [{"videoCodec": {"preset": "fastest"}}]})",
         "unknown x264 preset 'fastest'"},
        {R"({"source": {"type": "file", "path": "x.mp4"}, "outputs": [{"local": {"splitSeconds": 5}}]})",
         "outputs[0].local.splitSeconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const Probe::Result r =
            cli({writeJob(dir, "job.json", c.json), QStringLiteral("-o"), dir.path()});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("strevo-cli: ")) << r.err.constData();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
        EXPECT_TRUE(r.err.contains(c.reason)) << r.err.constData();
        EXPECT_TRUE(r.out.isEmpty());
    }
    for (const QStringList& args :
         {QStringList{},
          QStringList{QStringLiteral("--size"), QStringLiteral("0x5"), example("record-mp4.json")},
          QStringList{QStringLiteral("--no-such-option"), example("record-mp4.json")},
          QStringList{dir.filePath(QStringLiteral("missing.json"))},
          QStringList{example("record-mp4.json"), QStringLiteral("-i"),
                      dir.filePath(QStringLiteral("none.mp4"))}}) {
        const Probe::Result r = cli(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    }
}

TEST(CliErrors, APipelineThatCannotStartSaysWhy)
{
    QTemporaryDir dir;
    // x264 in webm: the muxer refuses the stream (-3), with libavformat's reason.
    Probe::Result r =
        cli({writeJob(dir, "webm.json",
                      R"({"duration": 1, "outputs": [{"container": {"format": "webm"}}]})"),
             QStringLiteral("-o"), dir.path()});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains("cannot start (-3): the output could not be opened"))
        << r.err.constData();
    EXPECT_TRUE(r.err.contains("WebM")) << r.err.constData();

    // A codec this machine cannot open (-2): the output is named, and the first output, already
    // set up, is closed again.
    r = cli(
        {writeJob(
             dir, "hw.json",
             R"json({"duration": 1, "outputs": [{}, {"videoCodec": {"codecName": "HEVC(AMF)"}}]})json"),
         QStringLiteral("-o"), dir.path()});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.contains("output 2")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("(-2)")) << r.err.constData();
}

TEST(CliSignals, SigintDuringARecordingLeavesAPlayableMp4)
{
    QTemporaryDir dir;
    QProcess p;
    p.start(QStringLiteral(STREVO_CLI),
            {example("record-mp4.json"), QStringLiteral("--size"), QStringLiteral("640x360"),
             QStringLiteral("--json"), QStringLiteral("-o"), dir.path()});
    ASSERT_TRUE(p.waitForStarted(10000));
    // Real time: wait for a second of progress, then interrupt as Ctrl-C would.
    QByteArray err;
    while (!err.contains("frames ") && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        err += p.readAllStandardError();
    }
    QThread::msleep(300);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_TRUE(err.contains("stopping")) << err.constData();

    const QJsonObject result = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_TRUE(result.value(QStringLiteral("interrupted")).toBool());
    const QJsonObject out = result.value(QStringLiteral("outputs")).toArray().at(0).toObject();
    const int frames = out.value(QStringLiteral("frames")).toInt();
    EXPECT_GT(frames, 15);
    EXPECT_LT(frames, 300);
    const QString path = dir.filePath(QStringLiteral("record.mp4"));
    expectPlayable(path);
    const StreamInfo video = streamInfo(path, "video");
    EXPECT_EQ(video.frames, frames);
    EXPECT_NEAR(streamInfo(path, "audio").span, video.span, 0.05);
}

TEST(CliDefaults, OutputsInheritTheProjectAndAreNamedAfterTheJob)
{
    QTemporaryDir dir;
    const QString job = writeJob(dir, "studio.json", R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30},
                    "audioOutput": {"channels": 1, "sampleRate": 44100}},
        "duration": 2,
        "outputs": [{},
                    {"videoCodec": {"width": 160, "height": 120, "frameRate": 15}, "container": {"format": "mkv"}}]})");
    // No --output-dir: the default folder "out" is taken from the current directory.
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(STREVO_CLI), {job, QStringLiteral("--fast"), QStringLiteral("-q")});
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();

    const QString mp4 = dir.filePath(QStringLiteral("out/studio.mp4"));
    const QString mkv = dir.filePath(QStringLiteral("out/studio.mkv"));
    expectPlayable(mp4);
    expectPlayable(mkv);
    StreamInfo video = streamInfo(mp4, "video");
    EXPECT_EQ(video.width, 320);
    EXPECT_EQ(video.frames, 60);
    const QJsonObject audio = Probe::stream(mp4, QStringLiteral("audio"), false);
    EXPECT_EQ(audio.value(QStringLiteral("channels")).toInt(), 1);
    EXPECT_EQ(audio.value(QStringLiteral("sample_rate")).toString(), QStringLiteral("44100"));
    // The second output overrides its picture and rate: the pipeline keeps about every other
    // frame (its rate conversion may run up to two frames ahead), and the sound follows.
    video = streamInfo(mkv, "video");
    EXPECT_EQ(video.width, 160);
    EXPECT_GE(video.frames, 30);
    EXPECT_LE(video.frames, 32);
    EXPECT_NEAR(video.span, video.frames / 15.0, 1e-3); // mkv stamps in milliseconds
    EXPECT_NEAR(streamInfo(mkv, "audio").span, video.span, 0.05);
}

TEST(CliGenerated, BeepsStartOnTheSecondAtNtscRate)
{
    QTemporaryDir dir;
    // PCM has no encoder delay, so the file shows the source's own timing.
    const QString job = writeJob(dir, "pcm.json", R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 29.97}},
        "duration": 3,
        "outputs": [{"audioCodec": {"codecName": "PCM"}, "container": {"format": "mov"}}]})");
    const Probe::Result r = cli(
        {job, QStringLiteral("--fast"), QStringLiteral("-q"), QStringLiteral("-o"), dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QString path = dir.filePath(QStringLiteral("pcm.mov"));
    const QJsonObject video = Probe::stream(path, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("r_frame_rate")).toString(), QStringLiteral("30000/1001"));
    EXPECT_EQ(video.value(QStringLiteral("nb_read_frames")).toString(), QStringLiteral("90"));

    const QByteArray pcm =
        Probe::run(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                    QStringLiteral("-map"), QStringLiteral("0:a"), QStringLiteral("-ac"),
                    QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("s16le"),
                    QStringLiteral("-")})
            .out;
    const auto* samples = reinterpret_cast<const int16_t*>(pcm.constData());
    const int count = pcm.size() / 2;
    EXPECT_NEAR(count / 48000.0, 90 / 29.97, 0.02);
    for (int second : {1, 2}) {
        int onset = -1;
        for (int i = second * 48000 - 24000;
             i < std::min(count, second * 48000 + 24000) && onset < 0; ++i)
            if (std::abs(samples[i]) > 6000)
                onset = i;
        EXPECT_NEAR(onset / 48000.0, second, 0.001) << "beep " << second;
    }
}
