// A recording whose process is killed (kill -9, a crash) keeps what the muxer had handed to the
// system: strevo-cli records in real time into mp4, mkv and MPEG-TS at once (one shared video
// encoding, a key frame every 4 s) and is killed between two key frames; each file must decode
// and hold the video up to about a second (mp4 fragment, mkv cluster) or half a second (MPEG-TS)
// before the kill, however far back the last key frame is.

#include "CliRun.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>
#include <csignal>

namespace {

constexpr double kFps = 10.0;
constexpr double kKeyFrameInterval = 4.0;

// A small picture at a low bit rate: MPEG-TS held back in the 32 kB I/O buffer would cover about
// two seconds. The mkv output turns crashSafe off: matroska closes a cluster every second anyway.
const char* kJob = R"({
    "project": {"videoOutput": {"width": 160, "height": 120, "frameRate": 10},
                "audioOutput": {"channels": 1, "sampleRate": 16000}},
    "duration": 30,
    "outputs": [
      {"videoCodec": {"bitrate": 32, "keyframeInterval": 4, "preset": "ultrafast"},
       "audioCodec": {"bitrate": 16}, "container": {"format": "mp4"}},
      {"videoCodec": {"bitrate": 32, "keyframeInterval": 4, "preset": "ultrafast"},
       "audioCodec": {"bitrate": 16}, "container": {"format": "mkv", "crashSafe": false}},
      {"videoCodec": {"bitrate": 32, "keyframeInterval": 4, "preset": "ultrafast"},
       "audioCodec": {"bitrate": 16}, "container": {"format": "ts"}}]})";

// Seconds of video a file may lack, plus slack for the scheduling of a loaded machine.
constexpr std::pair<const char*, double> kMayLose[] = {{"mp4", 1.0}, {"mkv", 1.0}, {"ts", 0.5}};
constexpr double kSlack = 0.4;

} // namespace

// The parameter: seconds of encoded video when the process is killed.
using CrashSafety = ::testing::TestWithParam<double>;

TEST_P(CrashSafety, AKilledRecordingKeepsAllButItsLastSecond)
{
    const double killAt = GetParam();
    QTemporaryDir dir;
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(STREVO_CLI),
            {writeFile(dir, "take.json", kJob), "-o", dir.path(), "--progress", "pipe:2"});
    ASSERT_TRUE(p.waitForStarted(10000)) << qPrintable(p.errorString());

    // The moment of the kill is reckoned from the --progress blocks (one a second: the video
    // encoded so far and the pace over the last seconds) and the real-time pace since the last.
    QByteArray err;
    double encoded = -1, speed = 0, frames = 0; // `frames` of the block being read
    QElapsedTimer sinceLine;
    while (encoded < 0.0 || encoded + 1.0 <= killAt) {
        if (p.state() != QProcess::Running || !p.waitForReadyRead(15000))
            FAIL() << "strevo-cli ended or stalled before " << killAt << " s:\n"
                   << (err + p.readAllStandardError()).constData();
        while (p.canReadLine()) {
            const QByteArray line = p.readLine().trimmed();
            err += line + '\n';
            if (line.startsWith("frame="))
                frames = line.mid(6).toDouble();
            else if (line.startsWith("speed=")) // 0 for "N/A"
                speed = line.mid(6, line.size() - 7).toDouble();
            if (line == "progress=continue") {
                encoded = frames / kFps;
                sinceLine.start();
            }
        }
    }
    if (speed < 0.7) {
        p.kill();
        p.waitForFinished();
        GTEST_SKIP() << "the machine records at " << speed << "x real time, too slow to reckon "
                     << "the moment of a kill:\n"
                     << err.constData();
    }
    const double wait = killAt - encoded - sinceLine.elapsed() / 1000.0;
    if (wait > 0.0)
        QThread::usleep(static_cast<unsigned long>(wait * 1e6));
    const double killed = encoded + sinceLine.elapsed() / 1000.0;
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    ASSERT_TRUE(p.waitForFinished(10000));
    ASSERT_EQ(p.exitStatus(), QProcess::CrashExit) << err.constData();
    // Past the next key frame the cut there alone would keep the files.
    ASSERT_LT(killed, kKeyFrameInterval) << "killed too late to tell:\n" << err.constData();

    for (const auto& [extension, mayLose] : kMayLose) {
        const QString path = dir.filePath(QStringLiteral("take.") + QLatin1String(extension));
        SCOPED_TRACE(path.toStdString());
        Probe::expectDecodes(path);
        const double kept = streamInfo(path, "video").frames / kFps;
        EXPECT_GE(kept, killed - mayLose - kSlack)
            << "killed after " << killed << " s of video; " << kept << " s kept";
        // GStreamer plays what is left too, and reads the mp4's length from its header, which
        // says what its fragments hold (the sound may end a packet after the picture).
        const Probe::GstView gst = Probe::gstreamer(path);
        EXPECT_TRUE(gst.plays) << gst.errors.constData();
        const bool mp4 = QLatin1String(extension) == QLatin1String("mp4");
        EXPECT_NEAR(mp4 ? gst.duration : kept, kept, 1.0 / kFps + 0.1);
    }
}

// Half a second past a whole second, between the key frames at 0 s and 4 s: cut only at key
// frames, the mp4 and the mkv would keep nothing.
INSTANTIATE_TEST_SUITE_P(Recording, CrashSafety, ::testing::Values(2.5, 3.5));
