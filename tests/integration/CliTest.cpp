// End-to-end tests of the host program: each runs strevo-cli as a user would and checks the
// files with ffprobe/ffmpeg.

#include "CliRun.h"
#include "LiveServers.h"
#include "tools/TestPattern.h"

#include <QDate>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QXmlStreamReader>
#include <array>
#include <csignal>
#include <unistd.h>

namespace {

// Starts strevo-cli and returns once it printed `text` on standard error (or ended).
QByteArray startAndWaitFor(QProcess& p, const QStringList& args, const char* text)
{
    p.start(QStringLiteral(STREVO_CLI), args);
    QByteArray err;
    p.waitForStarted(10000);
    while (!err.contains(text) && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        err += p.readAllStandardError();
    }
    return err;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

} // namespace

// The host follows the pipeline's time split and reports every part.
TEST(CliExamples, TimeSplitListsEveryFileAndCountsTheirSizes)
{
    QTemporaryDir dir;
    const CliRun run = cli({example("record-split.json"), "--fast", "--json", "-o", dir.path()});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    EXPECT_EQ(run.frames(), 250);
    const QJsonArray files = run.output().value(QStringLiteral("files")).toArray();
    ASSERT_EQ(files.size(), 3) << run.r.out.constData(); // 25 fps: 4 s, 4 s, 2 s
    long long bytes = 0;
    for (const auto& file : files) {
        EXPECT_EQ(QFileInfo(file.toString()).absolutePath(), QDir(dir.path()).absolutePath());
        bytes += QFileInfo(file.toString()).size();
    }
    EXPECT_EQ(run.output().value(QStringLiteral("bytes")).toInt(), bytes);
}

TEST(CliTranscode, GeneratedMp4ToOtherSizesCodecsAndNames)
{
    QTemporaryDir dir;
    // A 2 s source with sound.
    CliRun run = cli({example("record-mp4.json"), "--fast", "-q", "--duration", "2", "--size",
                      "320x240", "-o", dir.filePath(QStringLiteral("src"))});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    const QString source = dir.filePath(QStringLiteral("src/record.mp4"));

    // The shipped example: VP8 640x360 + MP3 in mkv.
    run = cli({example("transcode.json"), "--input", source, "--json", "-o", dir.path()});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    const QString vp8 = dir.filePath(QStringLiteral("transcoded.mkv"));
    expectVideo(vp8, "vp8", 640, 360, 60);
    const StreamInfo audio = streamInfo(vp8, "audio");
    EXPECT_EQ(audio.codec, QStringLiteral("mp3"));
    EXPECT_NEAR(audio.span, 2.0, 0.05);

    // Named as recordings are: the template expanded in one pass, the first free name taken.
    const auto job = [&](const char* name, const char* outputs) {
        return writeFile(
            dir, name,
            QByteArray(R"({"source": {"type": "file", "path": "x.mp4"}, "outputs": )") + outputs +
                "}");
    };
    const QDir names(dir.filePath(QStringLiteral("names")));
    QDir().mkpath(names.path());
    writeFile(dir, "names/a%2b.mp4", "keep");
    run = cli({job("names.json", R"([{"local": {"fileNameTemplate": "clip-%Y"}},
                                      {"local": {"fileNameTemplate": "a%2b"}}])"),
               "-i", source, "-q", "-o", names.path()});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    const QString year = QString::number(QDate::currentDate().year());
    EXPECT_EQ(names.entryList(QDir::Files, QDir::Name).join(QLatin1Char('|')).toStdString(),
              "a%2b 2.mp4|a%2b.mp4|clip-" + year.toStdString() + ".mp4");

    // Every free name taken: the output cannot start, and no file is touched.
    const QDir full(dir.filePath(QStringLiteral("full")));
    QDir().mkpath(full.path());
    writeFile(dir, "full/x.mp4", "keep");
    for (int n = 2; n <= 999; ++n)
        writeFile(dir, qPrintable(QStringLiteral("full/x %1.mp4").arg(n)), "keep");
    run = cli({job("full.json", R"([{"local": {"fileNameTemplate": "x"}}])"), "-i", source, "-o",
               full.path()});
    EXPECT_EQ(run.r.exitCode, 3);
    EXPECT_TRUE(run.r.err.contains("up to ' 999' are taken")) << run.r.err.constData();
    EXPECT_EQ(run.r.err.count('\n'), 1) << run.r.err.constData();
    EXPECT_EQ(full.entryList(QDir::Files).size(), 999);
    EXPECT_EQ(QFileInfo(full.filePath(QStringLiteral("x 999.mp4"))).size(), 4) << "untouched";
}

// AV1 + FLAC in mkv and X265 + AAC in mp4 with the record's default preset and no tune, as a
// user writes them: SVT-AV1 then holds about two seconds of pictures back and hands packets out
// from threads of its own, yet every frame is written, the sound lasts as long, and GStreamer
// shows every picture.
TEST(CliCodecs, LookAheadEncodersWriteEveryFrame)
{
    QTemporaryDir dir;
    const QString job = writeFile(dir, "own.json", R"({"duration": 3,
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30}},
        "outputs": [{"videoCodec": {"codecName": "av1", "bitrate": 600},
                     "audioCodec": {"codecName": "flac"}, "container": {"format": "mkv"}},
                    {"videoCodec": {"codecName": "x265", "bitrate": 600},
                     "container": {"format": "mp4"}}]})");
    const CliRun run = cli({job, "--fast", "--json", "-o", dir.path()});
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    const char* const codecs[][2] = {{"av1", "flac"}, {"hevc", "aac"}};
    for (int i : {0, 1}) {
        SCOPED_TRACE(run.file(i).toStdString());
        const Probe::Media m = Probe::inspect(run.file(i));
        EXPECT_EQ(m.videoValue("codec_name"), QLatin1String(codecs[i][0]));
        EXPECT_EQ(m.audio.value(QStringLiteral("codec_name")).toString(),
                  QLatin1String(codecs[i][1]));
        EXPECT_EQ(m.frames(), 90);
        EXPECT_NEAR(Probe::span(m.audioPackets), 3.0, 4096.0 / 48000);
        const Probe::GstView gst = Probe::gstreamer(run.file(i));
        EXPECT_TRUE(gst.plays) << gst.errors.constData();
        EXPECT_EQ(gst.pictures, 90);
    }
}

TEST(CliTranscode, DamagedPacketsAreSkippedAndCounted)
{
    QTemporaryDir dir;
    const QString clean = dir.filePath(QStringLiteral("clean.ts"));
    ffmpeg(QStringLiteral("-f lavfi -i testsrc=size=640x480:rate=25 -f lavfi -i sine -t 6 "
                          "-c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -shortest")
               .split(QLatin1Char(' '))
           << clean);
    QFile in(clean);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray bytes = in.readAll();
    ASSERT_GT(bytes.size(), 30000);
    // Noise over 500 bytes out of every 3000 in the middle third.
    unsigned seed = 2;
    for (int at = bytes.size() / 3; at < bytes.size() * 2 / 3; at += 3000)
        for (int i = 0; i < 500; ++i)
            bytes[at + i] = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    const QString damaged = writeFile(dir, "damaged.ts", bytes);
    const long long playable = streamInfo(damaged, "video").frames; // what ffmpeg decodes
    ASSERT_GT(playable, 100);

    const CliRun run = cli({example("transcode.json"), "-i", damaged, "--json", "-o", dir.path()});
    EXPECT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    EXPECT_GE(run.frames(), playable - 2) << run.r.err.constData();
    EXPECT_GT(run.summary.value(QStringLiteral("damaged")).toInt(), 0);
    EXPECT_TRUE(run.r.err.contains("damaged packets or frames")) << run.r.err.constData();
    Probe::expectDecodes(run.file());
}

TEST(CliRawInput, FramesFromStandardInput)
{
    QTemporaryDir dir;
    TestPattern pattern(320, 240);
    QByteArray frames;
    for (int i = 0; i < 45; ++i)
        frames.append(reinterpret_cast<const char*>(pattern.frame(i)), pattern.frameSize());
    const QStringList args = QStringList{example("record-mp4.json"), "-o", dir.path()} +
                             words("--input-format nv12 --size 320x240 --rate 15 -q");
    CliRun run = cli(args, frames);
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    const QString path = dir.filePath(QStringLiteral("record.mp4"));
    EXPECT_NEAR(expectVideo(path, "h264", 320, 240, 45).span, 3.0, 1e-6);
    EXPECT_NEAR(streamInfo(path, "audio").span, 3.0, 0.05) << "raw video gets silence";

    // Input that breaks off inside a frame: the whole frames are recorded; the run fails.
    run = cli(args, frames + QByteArray(1000, '\0'));
    EXPECT_EQ(run.r.exitCode, 1);
    EXPECT_TRUE(run.r.err.contains("ended inside a frame")) << run.r.err.constData();
    EXPECT_EQ(streamInfo(dir.filePath(QStringLiteral("record 2.mp4")), "video").frames, 45);

    run = cli(args);
    EXPECT_EQ(run.r.exitCode, 1);
    EXPECT_TRUE(run.r.err.contains("the source delivered no video frame")) << run.r.err.constData();
}

// Bad jobs and command lines end before anything starts (status 2; 3 for pipelines that cannot
// start) with one line that says why, never showing a secret.
TEST(CliErrors, BadJobsFailWithAOneLineReason)
{
    QTemporaryDir dir;
    int jobs = 0;
    const auto job = [&](const char* json) {
        const QString name = QStringLiteral("job%1.json").arg(++jobs);
        return QStringList{writeFile(dir, qPrintable(name), json), "-o", dir.path()};
    };
    const QString mp4 = example("record-mp4.json");
    struct Case
    {
        QStringList args;
        const char* reason;
        int status = 2;
    };
    const Case cases[] = {
        {job("{\"outputs\": [ {\"videoCodec\": {\"codecName\": \"X264\"}}\n"), "line 2"},
        {job("[1, 2]"), "expected a JSON object"},
        {job(R"({"outputs": [{"videoCodec": {"codecName": "HEVC"}}]})"),
         "outputs[0].videoCodec.codecName: unknown video codec 'HEVC'"},
        {job(R"({"outputs": [{"audioCodec": {"codecName": "AAX"}}]})"),
         "unknown audio codec 'AAX' (usable here: AAC, "},
        {job(R"({"outputs": [{}, {"videoCodec": {"width": "wide"}}]})"),
         "outputs[1].videoCodec.width"},
        {job(R"({"outputs": []})"), "outputs: expected a list"},
        {job(R"({"output": [{}]})"), "unknown key 'output'"},
        {job(R"({"source": {"type": "camera"}, "outputs": [{}]})"), "source.type"},
        {job(R"({"project": {"videoOutput": {"frameRate": 0}}, "outputs": [{}]})"),
         "project.videoOutput.frameRate"},
        {job(R"({"outputs": [{"videoCodec": {"preset": "fastest"}}]})"),
         "outputs[0].videoCodec.preset: unknown X264 preset 'fastest'"},
        {job(R"({"outputs": [{"videoCodec": {"tune": "film+fast"}}]})"),
         "outputs[0].videoCodec.tune: unknown X264 tune 'fast' (known: film, animation,"},
        {job(R"({"source": {"type": "file", "path": "x.mp4"}, "outputs": [{"local": {"splitSeconds": 5}}]})"),
         "outputs[0].local.splitSeconds"},
        {job(R"({"source": {"type": "file", "path": "x.mp4"},
             "outputs": [{"streaming": {"enabled": true, "url": "rtmp://127.0.0.1/live"}}]})"),
         "outputs[0].streaming: a media file is transcoded to files only"},
        {job(R"({"outputs": [{"local": {"replaySeconds": 3601}}]})"),
         "outputs[0].local.replaySeconds: 3601 (0 to 3600"},
        {job(R"({"outputs": [{"local": {"replaySeconds": 5, "splitSeconds": 5}}]})"),
         "outputs[0].local.splitSeconds: a replay buffer saves one file per request"},
        {job(R"({"outputs": [{"local": {"replaySeconds": 5, "replayMaxMegabytes": 0}}]})"),
         "outputs[0].local.replayMaxMegabytes: 0 (1 to 16384)"},
        // Pipelines that cannot start (3). x264 in webm: the muxer refuses the stream (-3), with
        // libavformat's reason. A codec this machine cannot open (-2): the output is named,
        // and the first output, already set up, is closed again.
        {job(R"({"outputs": [{"container": {"format": "webm"}}]})"), "WebM", 3},
        {job(R"json({"outputs": [{}, {"videoCodec": {"codecName": "HEVC(NVENC)"}}]})json"),
         "output 2 (mp4, HEVC(NVENC) 1280x720 4000 kbit/s + AAC 160 kbit/s): cannot start (-2)", 3},
        // Bad live settings, named without their secrets (which URLs: LiveUrlTest).
        {job(R"({"outputs": [{}, {"streaming": {"enabled": true, "streamKey": "s3cr3tKey"}}]})"),
         "outputs[1].streaming.url: the live output has no URL"},
        // The password stands in the URL alone.
        {job(R"({"outputs": [{"streaming": {"enabled": true, "url": "rtmp://bob:pa55word@[::1/s3cr3tKey",
             "streamKey": "s3cr3tKey"}}]})"),
         "malformed URL 'rtmp://***@[::1/***'"},
        {job(R"({"outputs": [{"streaming": {"enabled": true, "url": "rtmp://127.0.0.1/live/s3cr3tKey"},
             "local": {"enabled": true}}]})"),
         "make two outputs"},
        {job(R"({"outputs": [{"streaming": {"enabled": true, "url": "rtmp://127.0.0.1/live",
             "streamKey": "s3cr3tKey"}, "container": {"format": "mp4"}}]})"),
         "carries flv"},
        {job(R"({"outputs": [{"videoCodec": {"codecName": "X265"}, "streaming": {"enabled": true,
             "url": "udp://127.0.0.1:9000", "adaptiveBitrate": true}}]})"),
         "outputs[0].streaming.adaptiveBitrate: X265 cannot change its bit rate while it encodes"},
        // A setting other than the URL is named as the job file has it.
        {job(R"({"outputs": [{"streaming": {"enabled": true, "url": "srt://127.0.0.1",
             "srtPort": 9000, "srtPassphrase": "s3cr3tKey"}}]})"),
         "outputs[0].streaming.srtPassphrase: it has 9 characters; it needs 10 to 79"},
        {job(R"({"outputs": [{"videoCodec": {"codecName": "x265"}, "streaming": {"enabled": true,
             "url": "rtmp://127.0.0.1/live", "streamKey": "s3cr3tKey"}}]})"),
         "outputs[0].streaming.url: X265 cannot go over rtmp: an RTMP stream is FLV, which does "
         "not carry it"},
        {{}, "no job file given"},
        {{"--size", "0x5", mp4}, "--size: expected WxH"},
        {{"--no-such-option", mp4}, "Unknown option 'no-such-option'"},
        {{dir.filePath(QStringLiteral("missing.json"))}, "cannot open job file"},
        {{mp4, "-i", dir.filePath(QStringLiteral("none.mp4"))}, "none.mp4': No such file"},
        {{"/dev/zero"}, "larger than 1024 kB"}, // read until a limit, not to its end
        // The live examples are valid jobs, refused only because of --fast.
        {{example("stream-rtmp.json"), "--fast"}, "is live"},
        {{example("record-and-stream.json"), "--fast"}, "is live"},
        {{example("stream-srt-listener.json"), "--fast"}, "is live"},
    };
    for (const auto& [args, reason, status] : cases) {
        SCOPED_TRACE(reason);
        const CliRun run = cli(args);
        EXPECT_EQ(run.r.exitCode, status);
        EXPECT_TRUE(run.r.err.startsWith("strevo-cli: ")) << run.r.err.constData();
        EXPECT_EQ(run.r.err.count('\n'), 1) << run.r.err.constData();
        EXPECT_TRUE(run.r.err.contains(reason)) << run.r.err.constData();
        EXPECT_TRUE(run.r.out.isEmpty());
        EXPECT_FALSE(run.r.err.contains("s3cr3tKey") || run.r.err.contains("pa55word"));
    }
}

// Servers that never take the stream (none, one silent, one closing or refusing at the publish,
// one talking garbage): the job runs its course, a pending attempt holding up nothing, and fails
// as never live with the reason in the warning, the progress and the summary, every packet
// counted as dropped; the attempts are paced, nothing spins, and under garbage the memory stays
// flat. The stream key, an ordinary word that a refusing server quotes back as given and in
// capitals, shows nowhere, given as the stream key or as the last segment of the URL's path.
struct NeverLiveCase
{
    const char* label;
    const char* mode; // the peer's; null: nothing listens
    int rtmpMode;
    bool keyInUrl;
    const char* reason; // how it starts; "" for garbage, whose first fault varies
    int fewest, most;   // connections the server sees in 12 s
};

using CliNeverLive = ::testing::TestWithParam<NeverLiveCase>;

TEST_P(CliNeverLive, FailsWithTheReasonWithoutSpinning)
{
    const NeverLiveCase& c = GetParam();
    QTemporaryDir dir;
    live::ScriptedRtmpPeer peer(QLatin1String(c.mode ? c.mode : ""));
    if (c.mode) {
        ASSERT_TRUE(peer.start()) << qPrintable(peer.log());
    }
    // One live output of 320x240 H.264. Without sound: while the output is not live the pipeline
    // holds up to a minute of it, which would hide what the link itself keeps.
    const QString job = writeFile(
        dir, "live.json",
        QStringLiteral(R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30}},
        "outputs": [{"videoCodec": {"codecName": "X264", "bitrate": 500},
                     "audioCodec": {"enabled": false}, "streaming": {"enabled": true,
                     "url": "%1", "streamKey": "%2", "rtmpMode": %3}}]})")
            .arg(peer.url() + (c.keyInUrl ? "/zebrakey" : ""), c.keyInUrl ? "" : "zebrakey")
            .arg(c.rtmpMode)
            .toUtf8());
    // Watched from outside: the resident memory every half second and the processor time used.
    QProcess p;
    QStringList args{job, "-d", "12"};
    // A refusal also reaches the library's log, which quotes the server's words.
    if (QByteArray(c.mode) == "refuse-publish")
        args << QStringLiteral("--verbose");
    p.start(QStringLiteral(STREVO_CLI), args);
    ASSERT_TRUE(p.waitForStarted(10000));
    const QString proc = QStringLiteral("/proc/%1/").arg(p.processId());
    QVector<long long> rssKb;
    double cpuSeconds = 0;
    while (!p.waitForFinished(500)) {
        const QByteArray status = live::readFile(proc + QStringLiteral("status"));
        const int at = status.indexOf("VmRSS:");
        if (at >= 0)
            rssKb << status.mid(at + 6).simplified().split(' ').value(0).toLongLong();
        // utime and stime, counted after the command name (which may hold spaces).
        const QByteArray stat = live::readFile(proc + QStringLiteral("stat"));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            cpuSeconds = double(fields[11].toLongLong() + fields[12].toLongLong()) /
                         double(::sysconf(_SC_CLK_TCK));
    }
    const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
    const QByteArray url = peer.url().toUtf8() + "/***";
    EXPECT_EQ(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, 1) << err.constData();
    EXPECT_TRUE(err.contains("never live: nothing reached " + url + " (last reason: " + c.reason))
        << err.constData();
    EXPECT_TRUE(QString::fromUtf8(err).contains(
        QRegularExpression(QStringLiteral("rtmp: (connecting|failed)  [^\\n]*  ") +
                           QRegularExpression::escape(QString::fromUtf8(c.reason).left(40)))))
        << err.constData();
    EXPECT_TRUE(out.contains(url +
                             ": connecting, never live, 0 reconnects, 360 packets "
                             "dropped; last reason: " +
                             c.reason))
        << out.constData();
    EXPECT_TRUE(QString::fromUtf8(out).contains(QRegularExpression(" in 1[23]\\.\\d s\n")))
        << out.constData();
    EXPECT_GE(peer.connections(), c.fewest);
    EXPECT_LE(peer.connections(), c.most);
    EXPECT_LT(cpuSeconds, 6.0);
    EXPECT_FALSE(showsSecret(err + out, QStringLiteral("zebrakey")));
    // A sanitizer's allocator keeps freed memory for a while: the size then says little.
    if (QByteArray(c.mode) == "garbage" && !kSanitized) {
        ASSERT_GE(rssKb.size(), 20);
        const long long settled = rssKb[6];
        const long long most = *std::max_element(rssKb.begin() + 6, rssKb.end());
        EXPECT_GT(settled, 0);
        EXPECT_LT(most - settled, 10 * 1024) << "kB after 3 s: " << settled << ", at most " << most;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CliLive, CliNeverLive,
    ::testing::Values(
        NeverLiveCase{"NobodyListens", nullptr, 0, false, "the server does not accept connections",
                      0, 0},
        // Connects give up after 10 s; failed attempts back off from 1 s, doubling.
        NeverLiveCase{"Silent", "silent", 0, false, "the RTMP handshake or connect failed", 1, 2},
        NeverLiveCase{"SilentToLibavformat", "silent", 1, false,
                      "the server did not answer for 10 s", 1, 2},
        NeverLiveCase{"ClosesOnPublishKeyInUrl", "close-on-publish", 0, true,
                      "the server did not accept the publish", 3, 5},
        // The server's own words, with the key it quotes masked.
        NeverLiveCase{"RefusesPublish", "refuse-publish", 0, false,
                      "the server refused the publish: NetStream.Publish.BadName: No stream "
                      "named *** (***)",
                      3, 5},
        NeverLiveCase{"RefusesPublishToLibavformatKeyInUrl", "refuse-publish", 1, true,
                      "could not open the connection", 3, 5},
        NeverLiveCase{"GarbageToOwnPublisher", "garbage", 0, false, "", 3, 5},
        NeverLiveCase{"GarbageToLibavformat", "garbage", 1, false, "", 3, 5}),
    [](const auto& info) { return std::string(info.param.label); });

// An encrypted SRT listener output with a caller: the progress shows the peer and its link, the
// summary its counts; the passphrase shows nowhere.
TEST(CliLive, SrtListenerShowsItsLink)
{
    QTemporaryDir dir;
    const int port = live::freePort(SOCK_DGRAM);
    live::SrtLiveTransmit peer(QStringLiteral("caller"), port,
                               QStringLiteral("passphrase=s3cr3t-pass&pbkeylen=32"));
    ASSERT_TRUE(peer.start());
    const QString job = writeFile(dir, "srt.json",
                                  QStringLiteral(R"({
        "project": {"videoOutput": {"width": 640, "height": 360, "frameRate": 30}},
        "outputs": [{"videoCodec": {"codecName": "X264", "bitrate": 1000},
                     "audioCodec": {"codecName": "AAC"}, "streaming": {"enabled": true,
                     "url": "srt://127.0.0.1", "srtMode": "listener", "srtPort": %1,
                     "srtPassphrase": "s3cr3t-pass", "srtKeyLength": 32}}]})")
                                      .arg(port)
                                      .toUtf8());
    const CliRun run = cli({job, "-d", "3", "--json"});
    peer.finish();
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("srt: live  ")) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("[peer, rtt ")) << run.r.err.constData();
    // The settings as the job file has them: the latency in ms, none of libsrt's options.
    const QString shown =
        QStringLiteral("srt://127.0.0.1:%1 (listener, latency 120 ms, AES-256)").arg(port);
    EXPECT_TRUE(run.r.err.contains(shown.toUtf8())) << run.r.err.constData();
    EXPECT_FALSE(run.r.err.contains("latency=") || run.r.out.contains("latency="));
    const QJsonObject link = run.output()
                                 .value(QStringLiteral("live"))
                                 .toObject()
                                 .value(QStringLiteral("link"))
                                 .toObject();
    EXPECT_TRUE(link.contains(QStringLiteral("rttMs")) && link.contains(QStringLiteral("dropped")));
    EXPECT_FALSE(run.r.err.contains("s3cr3t-pass") || run.r.out.contains("s3cr3t-pass"));
    EXPECT_GE(streamInfo(peer.output(), "video").frames, 60);
}

TEST(CliFailures, AVanishedFolderOrFailingOutputsEndNonZero)
{
    QTemporaryDir dir;
    // The folder is deleted while it is recorded into.
    QProcess p;
    const QString folder = dir.filePath(QStringLiteral("rec"));
    QByteArray err = startAndWaitFor(p,
                                     {example("record-mp4.json"), "--size", "320x240", "-d", "3",
                                      "-o", folder, "--progress", "pipe:2"},
                                     "progress=continue");
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(p.waitForFinished(30000));
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(err.contains("is gone")) << err.constData();

    // Every output fails to write (a file-size limit, as a full volume): a job of ten minutes
    // ends at once with the system's reason, and what was written plays (mp4 is fragmented).
    const QString job = writeFile(dir, "three.json", R"({"duration": 600,
        "project": {"videoOutput": {"width": 320, "height": 240}}, "outputs": [
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "mkv"}},
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "ts"}},
          {"videoCodec": {"bitrate": 1000, "keyframeInterval": 1}, "container": {"format": "mp4"}}]})");
    // 400 kB per file; SIGXFSZ ignored so that writes fail with EFBIG instead.
    const CliRun run = cli({job, "--fast", "--verbose", "--json", "-o", dir.path()}, {},
                           "ulimit -f 400; trap '' XFSZ; exec \"$0\" \"$@\"");
    EXPECT_EQ(run.r.exitCode, 1) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("every output has failed")) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains("File too large")) << run.r.err.constData();
    for (int i : {0, 1, 2}) {
        SCOPED_TRACE(run.file(i).toStdString());
        // The first failed write ends the file: nothing more is encoded for it or counted.
        EXPECT_EQ(run.output(i).value(QStringLiteral("writeFailures")).toInt(), 1);
        EXPECT_LT(run.frames(i), 30 * 60);
        const Probe::Media m = Probe::inspect(run.file(i));
        EXPECT_GT(m.frames(), 30);
        EXPECT_GT(Probe::span(m.audioPackets), 1.0);
    }
}

// One output of three runs out of disk space mid-run: it is reported and not waited for, the
// others keep every frame, and the job ends on time, failed. The three share one video encoder:
// the full one is once the output that encodes and once one that is given the packets.
using CliDiskFull = ::testing::TestWithParam<int>;

TEST_P(CliDiskFull, TheOutputStopsAlone)
{
    if (geteuid() != 0 || !QFileInfo::exists(QStringLiteral("/usr/bin/unshare")))
        GTEST_SKIP() << "needs root and unshare for a file system of the test's own";
    const int full = GetParam();
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small"));
    const QString roomy = dir.filePath(QStringLiteral("roomy"));
    ASSERT_TRUE(QDir().mkpath(small) && QDir().mkpath(roomy));
    QString outputs;
    const char* const containers[] = {"mp4", "mkv", "ts"};
    for (int i = 0; i < 3; ++i)
        outputs += QStringLiteral(R"(%1{"videoCodec": {"bitrate": 800}, "container": {"format":
            "%2"}, "local": {"folder": "%3", "fileNameTemplate": "out%4"}})")
                       .arg(i ? "," : "", QLatin1String(containers[i]), i == full ? small : roomy)
                       .arg(i);
    const QString job = writeFile(dir, "three.json",
                                  QStringLiteral(R"({"duration": 6, "source": {"type": "generated"},
            "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30}},
            "outputs": [%1]})")
                                      .arg(outputs)
                                      .toUtf8());
    // 230 MB, 40 MB of it taken once the recording runs: below the 201 MB the pipelines need.
    const QString script = writeFile(dir, "small-disk.sh",
                                     QStringLiteral("mount -t tmpfs -o size=230m tmpfs '%1' || "
                                                    "exit 77\n\"$@\" &\nsleep 2\n"
                                                    "fallocate -l 40M '%1/fill'\nwait $!\n")
                                         .arg(small)
                                         .toUtf8());
    const CliRun run = cli({job, "--json"}, {},
                           QStringLiteral("exec unshare -m bash '%1' \"$0\" \"$@\"").arg(script));
    if (run.r.exitCode == 77)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(run.r.exitCode, 1) << run.r.err.constData();
    EXPECT_TRUE(run.r.err.contains(
        QStringLiteral("output %1: less than 201 MB free").arg(full + 1).toUtf8()))
        << run.r.err.constData();
    EXPECT_TRUE(run.output(full).value(QStringLiteral("failed")).toBool());
    EXPECT_TRUE(run.output(full).value(QStringLiteral("lowDiskSpace")).toBool());
    EXPECT_LT(run.frames(full), 150);
    EXPECT_LT(run.summary.value(QStringLiteral("elapsed")).toDouble(), 6 + 4)
        << "the job waited for the output that stopped";
    for (int i = 0; i < 3; ++i) {
        if (i == full)
            continue;
        SCOPED_TRACE(run.file(i).toStdString());
        EXPECT_FALSE(run.output(i).value(QStringLiteral("failed")).toBool());
        EXPECT_EQ(run.frames(i), 180);
        EXPECT_EQ(Probe::inspect(run.file(i)).frames(), 180);
    }
}

INSTANTIATE_TEST_SUITE_P(CliFailures, CliDiskFull, ::testing::Values(0, 2));

// Ctrl-C after a second of a real-time recording: a playable mp4 with its sound.
TEST(CliSignals, SigintDuringARecordingLeavesAPlayableMp4)
{
    QTemporaryDir dir;
    QProcess p;
    QByteArray err = startAndWaitFor(p,
                                     {example("record-mp4.json"), "--size", "640x360", "--json",
                                      "-o", dir.path(), "--progress", "pipe:2"},
                                     "progress=continue");
    QThread::msleep(300);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_TRUE(err.contains("stopping")) << err.constData();

    CliRun run;
    run.summary = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_TRUE(run.summary.value(QStringLiteral("interrupted")).toBool());
    EXPECT_GT(run.frames(), 15);
    EXPECT_LT(run.frames(), 300);
    Probe::expectDecodes(run.file());
    const StreamInfo video = streamInfo(run.file(), "video");
    EXPECT_EQ(video.frames, run.frames());
    EXPECT_NEAR(streamInfo(run.file(), "audio").span, video.span, 0.05);
}

TEST(CliDefaults, OutputsInheritTheProjectAndAreNamedAfterTheJob)
{
    QTemporaryDir dir;
    const QString job = writeFile(dir, "studio.json", R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30},
                    "audioOutput": {"channels": 1, "sampleRate": 44100}},
        "duration": 2,
        "outputs": [{},
                    {"videoCodec": {"width": 160, "height": 120, "frameRate": 15}, "container": {"format": "mkv"}},
                    {"container": {"format": "mkv"}, "local": {"fileNameTemplate": "twin"}}]})");
    // No --output-dir: "out" in the current directory.
    const CliRun run =
        cli({job, "--fast", "--json"}, {}, "cd \"$(dirname \"$1\")\" && exec \"$0\" \"$@\"");
    ASSERT_EQ(run.r.exitCode, 0) << run.r.err.constData();

    const QString mp4 = dir.filePath(QStringLiteral("out/studio.mp4"));
    const QString mkv = dir.filePath(QStringLiteral("out/studio.mkv"));
    expectVideo(mp4, "h264", 320, 240, 60);
    const QJsonObject audio = Probe::inspect(mp4, false).audio;
    EXPECT_EQ(audio.value(QStringLiteral("channels")).toInt(), 1);
    EXPECT_EQ(audio.value(QStringLiteral("sample_rate")).toString(), QStringLiteral("44100"));
    // The second output halves the size and rate (give or take a frame of the conversion).
    const StreamInfo video = streamInfo(mkv, "video");
    EXPECT_EQ(video.width, 160);
    EXPECT_NEAR(video.frames, 31, 1);
    // The third output's video is the first one's, encoded once (the packets: RefEncoderTest).
    EXPECT_EQ(run.output(2).value(QStringLiteral("videoSharedWith")).toInt(), 1);
    expectVideo(dir.filePath(QStringLiteral("out/twin.mkv")), "h264", 320, 240, 60);
}

namespace {

// A --progress report as its blocks, each ended by its "progress=" line: key → value.
QVector<QMap<QByteArray, QByteArray>> progressBlocks(const QByteArray& text)
{
    QVector<QMap<QByteArray, QByteArray>> blocks(1);
    for (const QByteArray& line : text.split('\n')) {
        const int at = line.indexOf('=');
        if (at <= 0)
            continue;
        blocks.back().insert(line.left(at), line.mid(at + 1));
        if (line.startsWith("progress="))
            blocks.append(QMap<QByteArray, QByteArray>());
    }
    blocks.removeLast(); // after the last "progress=", empty when the report ended
    return blocks;
}

} // namespace

// A real-time recording of 3 s: a block about every second, whose counts grow, then the end;
// --loglevel quiet leaves standard error empty.
TEST(CliProgress, BlocksGrowEverySecondAndTheLastEnds)
{
    QTemporaryDir dir;
    const QString report = dir.filePath(QStringLiteral("progress.txt"));
    const CliRun run = cli({example("record-mp4.json"), "--size", "320x240", "-d", "3", "-o",
                            dir.path(), "--progress", report, "--loglevel", "quiet"});
    EXPECT_EQ(run.r.exitCode, 0);
    EXPECT_TRUE(run.r.err.isEmpty()) << run.r.err.constData();
    const auto blocks = progressBlocks(live::readFile(report));
    ASSERT_GE(blocks.size(), 3);
    ASSERT_LE(blocks.size(), 5);
    long long frames = -1;
    for (int i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& b = blocks[i];
        EXPECT_EQ(b.value("progress"), i + 1 == blocks.size() ? "end" : "continue");
        for (const char* key :
             {"frame", "fps", "bitrate", "total_size", "out_time_us", "out_time_ms", "out_time",
              "drop_frames", "speed", "output1_state", "output1_frames", "output1_bytes",
              "output1_bitrate", "output1_drops", "output1_reason"})
            EXPECT_TRUE(b.contains(key)) << key;
        EXPECT_GT(b.value("frame").toLongLong(), frames);
        frames = b.value("frame").toLongLong();
        EXPECT_EQ(b.value("out_time_us").toLongLong(), std::llround(frames * 1e6 / 30));
        EXPECT_TRUE(QString::fromLatin1(b.value("speed"))
                        .contains(QRegularExpression(QStringLiteral("^(\\d+\\.\\d\\dx|N/A)$"))));
    }
    const auto& last = blocks.back();
    EXPECT_EQ(last.value("frame"), "90");
    EXPECT_EQ(last.value("output1_frames"), "90");
    EXPECT_EQ(last.value("out_time"), "00:00:03.000000");
    EXPECT_EQ(last.value("total_size"), last.value("output1_bytes"));
    EXPECT_GT(last.value("total_size").toLongLong(), 10000);
    EXPECT_EQ(blocks.front().value("output1_state"), "recording");
}

// Readers of strevo-cli's output that misbehave never cost the recording (3 s, in real time,
// whole): one that goes away (| head), a --progress pipe that is full and never read (one page,
// F_SETPIPE_SZ, filled before strevo-cli starts: its blocks are skipped, not waited for), and
// standard streams closed by the caller (nothing meant for them lands in the recording).
using CliReaders = ::testing::TestWithParam<const char*>;

TEST_P(CliReaders, NeverCostTheRecording)
{
    QTemporaryDir dir;
    const CliRun run = cli(
        {example("record-mp4.json"), "--size", "320x240", "-d", "3", "--json", "-o", dir.path()},
        QByteArray(), QString::fromLatin1(GetParam()));
    EXPECT_EQ(run.r.out.trimmed().split('\n').last(), "exit=0") << run.r.err.constData();
    const QString file = dir.filePath(QStringLiteral("record.mp4"));
    EXPECT_EQ(Probe::inspect(file).frames(), 90);
    EXPECT_FALSE(live::readFile(file).contains("progress=")) << "a report went into the file";
}

INSTANTIATE_TEST_SUITE_P(
    CliProgress, CliReaders,
    ::testing::Values(R"("$0" "$@" 2>&1 | head -2 >/dev/null; echo exit=${PIPESTATUS[0]})",
                      R"(exec python3 - "$0" "$@" <<'PY'
import fcntl, os, subprocess, sys
r, w = os.pipe()
fcntl.fcntl(w, 1031, 4096)
os.set_blocking(w, False)
try:
    while True:
        os.write(w, b"x" * 4096)
except BlockingIOError:
    pass
os.set_blocking(w, True)
run = subprocess.run(sys.argv[1:] + ["--progress", "pipe:%d" % w], pass_fds=[w], timeout=30,
                     stdout=subprocess.DEVNULL)
print("exit=%d" % run.returncode)
PY)",
                      R"("$0" "$@" --progress - >&- 2>&-; echo exit=$?)"),
    [](const auto& info) {
        return std::string(
            std::array{"ReaderGoesAway", "FullPipeNeverRead", "StreamsClosed"}[info.index]);
    });

// The --report page of a recording and a live output whose server refuses the stream, quoting
// its key back: one well-formed file with nothing to fetch and nothing to run; per output a
// plot of its rate with its states and drops, the live output's failure with its reason, and
// the summary table. The --progress report of the run says the same, without the key.
TEST(CliReport, APageWithAPlotPerOutputAndTheSummary)
{
    QTemporaryDir dir;
    live::ScriptedRtmpPeer peer(QStringLiteral("refuse-publish"));
    ASSERT_TRUE(peer.start()) << qPrintable(peer.log());
    const QString job = writeFile(dir, "page.json",
                                  QStringLiteral(R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30}},
        "outputs": [{"videoCodec": {"codecName": "X264", "bitrate": 500},
                     "container": {"format": "mkv"}},
                    {"videoCodec": {"codecName": "X264", "bitrate": 500},
                     "audioCodec": {"enabled": false}, "streaming": {"enabled": true,
                     "url": "%1", "streamKey": "zebrakey"}}]})")
                                      .arg(peer.url())
                                      .toUtf8());
    const QString page = dir.filePath(QStringLiteral("report.html"));
    const QString progress = dir.filePath(QStringLiteral("progress.txt"));
    const CliRun run =
        cli({job, "-d", "4", "-o", dir.path(), "--report", page, "--progress", progress});
    EXPECT_EQ(run.r.exitCode, 1); // never live
    const auto blocks = progressBlocks(live::readFile(progress));
    ASSERT_GE(blocks.size(), 3);
    EXPECT_EQ(blocks.back().value("progress"), "end");
    EXPECT_EQ(blocks[1].value("output2_state"), "failed");
    EXPECT_TRUE(blocks[1].value("output2_reason").startsWith("the server refused the publish"));
    EXPECT_FALSE(showsSecret(live::readFile(progress) + run.r.err + run.r.out, "zebrakey"));
    const QByteArray html = live::readFile(page);
    for (const char* never : {"<script", "src=", "href=", "http", "zebrakey"})
        EXPECT_FALSE(html.contains(never)) << never;

    // Well-formed, then section by section: the summary's rows, per output its plot (a rate a
    // second) and its states with their reasons.
    QXmlStreamReader xml(html);
    while (!xml.atEnd())
        xml.readNext();
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(html.count("<tr class=\"output\">"), 2);
    const QStringList sections = QString::fromUtf8(html).split(QStringLiteral("<section"));
    ASSERT_EQ(sections.size(), 3);
    for (const QString& section : sections.mid(1))
        EXPECT_GE(section.mid(section.indexOf(QLatin1String("points=\""))).split(',').size(), 5);
    EXPECT_TRUE(sections[1].contains(QLatin1String("data-state=\"recording\"")));
    EXPECT_TRUE(sections[2].contains(QRegularExpression(
        "data-state=\"failed\"[^>]*><title>failed from [0-9.]+ s: the server refused the publish")))
        << sections[2].toStdString();
    EXPECT_TRUE(html.contains("class=\"drop\"")); // the live output dropped its packets
    EXPECT_TRUE(html.contains("<td class=\"failed\">failed</td>"));
}

// A report that cannot be written, or an unknown log level, stops everything before it starts.
TEST(CliProgress, BadTargetsAndLevelsExitTwo)
{
    QTemporaryDir dir;
    const struct
    {
        QStringList args;
        const char* reason;
    } cases[] = {
        {{"--progress", dir.filePath(QStringLiteral("none/p.txt"))}, "none/p.txt': No such file"},
        {{"--progress", "pipe:99"}, "'pipe:99' is not a file descriptor open for writing"},
        {{"--report", dir.filePath(QStringLiteral("none/r.html"))}, "--report: cannot write"},
        {{"--loglevel", "loud"}, "(quiet, error, warning, info, verbose or debug)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const CliRun run = cli(QStringList{example("record-mp4.json"), "-o", dir.path()} + c.args);
        EXPECT_EQ(run.r.exitCode, 2);
        EXPECT_TRUE(run.r.err.contains(c.reason)) << run.r.err.constData();
        EXPECT_EQ(run.r.err.count('\n'), 1) << run.r.err.constData();
        EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    }
}
