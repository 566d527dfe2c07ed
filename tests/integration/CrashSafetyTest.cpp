// A recording whose process is killed (kill -9, a crash) keeps what the muxer had handed to
// the system: strevo-cli records the generated source in real time into mp4, mkv and MPEG-TS
// at once and is killed between two key frames; what is left of each file must decode and hold
// the video up to about a second (mp4, mkv) or half a second (MPEG-TS) before the kill, however
// far back the last key frame is.

#include "CliRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <csignal>

namespace {

constexpr double kFps = 10.0;
constexpr double kKeyFrameInterval = 4.0; // seconds: a key frame at 0 s and 4 s

// One video encoding for the three files (the outputs share it), a key frame every 4 s. A small
// picture at a low bit rate: MPEG-TS held back in the 32 kB I/O buffer would cover about two
// seconds. The mkv output turns crashSafe off: a matroska cluster is closed every second
// whatever the preset says (strevo-cli turns it on for every output; only mp4/mov read it).
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

// How much of the video before the kill a file may lack: a second for the mp4 fragment or mkv
// cluster still being filled, half a second for MPEG-TS; plus slack for the scheduling of a
// loaded machine (the pipeline's own delay, the time between a progress line and reading it).
struct Container
{
    const char* extension;
    double mayLose;
};
constexpr Container kContainers[] = {{"mp4", 1.0}, {"mkv", 1.0}, {"ts", 0.5}};
constexpr double kSlack = 0.4;

// A progress line of strevo-cli: the seconds of video encoded when it was printed (-1 for
// another line) and the pace against real time.
struct Progress
{
    double encoded = -1.0;
    double speed = 0.0;
};

Progress progress(const QByteArray& line)
{
    static const QRegularExpression re(QStringLiteral("frames (\\d+)\\s+speed ([0-9.]+)x"));
    const QRegularExpressionMatch m = re.match(QString::fromUtf8(line));
    if (!m.hasMatch())
        return {};
    return {m.captured(1).toLongLong() / kFps, m.captured(2).toDouble()};
}

} // namespace

// The parameter: seconds of encoded video when the process is killed.
using CrashSafety = ::testing::TestWithParam<double>;

TEST_P(CrashSafety, AKilledRecordingKeepsAllButItsLastSecond)
{
    const double killAt = GetParam();
    for (const char* program : {"ffprobe", "ffmpeg"})
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed: the files cannot be checked";
    QTemporaryDir dir;
    const QString job = writeFile(dir, "take.json", kJob);
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(STREVO_CLI), {job, "-o", dir.path()});
    ASSERT_TRUE(p.waitForStarted(10000)) << qPrintable(p.errorString());

    // The process start is not the first frame: the moment of the kill is reckoned from the
    // progress lines (one a second), which say how much video has been encoded, and the
    // source's real-time pace since the last of them.
    QByteArray err;
    Progress last;
    QElapsedTimer sinceLine;
    while (last.encoded < 0.0 || last.encoded + 1.0 <= killAt) {
        if (p.state() != QProcess::Running || !p.waitForReadyRead(15000))
            FAIL() << "strevo-cli ended or stalled before " << killAt << " s:\n"
                   << (err + p.readAllStandardError()).constData();
        while (p.canReadLine()) {
            const QByteArray line = p.readLine();
            err += line;
            const Progress now = progress(line);
            if (now.encoded < 0.0)
                continue;
            last = now;
            sinceLine.start();
        }
    }
    if (last.speed < 0.7) {
        p.kill();
        p.waitForFinished();
        GTEST_SKIP() << "the machine records at " << last.speed << "x real time, too slow to "
                     << "reckon the moment of a kill:\n"
                     << err.constData();
    }
    const double wait = killAt - last.encoded - sinceLine.elapsed() / 1000.0;
    if (wait > 0.0)
        QThread::usleep(static_cast<unsigned long>(wait * 1e6));
    const double killed = last.encoded + sinceLine.elapsed() / 1000.0;
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    ASSERT_TRUE(p.waitForFinished(10000));
    ASSERT_EQ(p.exitStatus(), QProcess::CrashExit) << err.constData();
    // Past the next key frame the cut there alone would keep the files.
    ASSERT_LT(killed, kKeyFrameInterval) << "killed too late to tell:\n" << err.constData();

    for (const Container& c : kContainers) {
        const QString path = dir.filePath(QStringLiteral("take.") + QLatin1String(c.extension));
        SCOPED_TRACE(path.toStdString());
        Probe::expectDecodes(path);
        const double kept = streamInfo(path, "video").frames / kFps;
        EXPECT_GE(kept, killed - c.mayLose - kSlack)
            << "killed after " << killed << " s of video; " << kept << " s kept";
    }
}

// Between the key frames at 0 s and 4 s, half a second past a whole second: cut only at key
// frames, the mp4 and the mkv would keep nothing.
INSTANTIATE_TEST_SUITE_P(Recording, CrashSafety, ::testing::Values(2.5, 3.5));
