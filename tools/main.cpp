// strevo-cli: records, streams and transcodes with the strevo library from a job file.
// tools/ sits on top of every layer and may include any of them.

#include "api/Strevo.h"
#include "common/PixelFormat.h"
#include "common/Redact.h"
#include "tools/CodecList.h"
#include "tools/ExitStatus.h"
#include "tools/GeneratedSource.h"
#include "tools/HtmlReport.h"
#include "tools/Job.h"
#include "tools/JobRunner.h"
#include "tools/LibraryLog.h"
#include "tools/MediaFileSource.h"
#include "tools/NameTokens.h"
#include "tools/ProgressWriter.h"
#include "tools/RawInputSource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <unistd.h>

namespace {

const char* const kHelp = R"(Usage: strevo-cli [options] JOB.json

Records, streams or transcodes with the strevo library as a job file describes: one source,
fed to one encoding pipeline per output. While it runs, standard error shows the progress: on
a terminal one job line (time, frames, speed over the last seconds, drops, size) and under it
one line per output (its state: recording, connecting, live, reconnecting, failed; its bit
rate, size and drops; while it is not working, the reason), redrawn in place and cut to the
terminal's width; elsewhere the same lines every 5 seconds, and an output's line at once when
its state changes. A summary (per output: files, frames, duration, size, average bit rate)
goes to standard output at the end.

Options:
  -d, --duration <s>       Use this many seconds of the source (overrides the job's
                           "duration"; 0 runs until the source ends or Ctrl-C).
  -o, --output-dir <dir>   Write every output's files into <dir> (overrides local.folder).
  -i, --input <path>       Transcode this media file instead of the job's source; "-" reads
                           raw frames from standard input (see --input-format).
  --input-format <fmt>     Raw frames on standard input in this pixel format: nv12, yuv420p,
                           nv21, yuyv, uyvy, v210, bgra, rgba, rgb24, ... (implies
                           --input -).
  --size <WxH>             Picture size of the generated source or of raw input
                           (overrides project.videoOutput width and height).
  --rate <fps>             Frame rate of the generated source or of raw input, e.g. 30 or
                           29.97 (overrides project.videoOutput.frameRate).
  --fast                   Push the generated source as fast as the encoders take it instead
                           of in real time (files and raw input are always pushed that way).
                           Refused for a job with a live output.
  -q, --quiet              No progress lines, no start lines, no text summary; errors only.
  --json                   Print the summary as JSON on standard output instead of text.
  --loglevel <level>       Which of the library's own log messages to show on standard
                           error: quiet (none, and no progress lines, as -q), error,
                           warning, info, verbose or debug (everything, as --verbose).
                           Without it none is shown.
  --progress <target>      Write the progress as key=value lines, as ffmpeg's -progress
                           does, to a file, to standard output ("-") or to an open file
                           descriptor ("pipe:N"): about every second a block of frame,
                           fps, bitrate, total_size, out_time_us, out_time_ms, out_time,
                           drop_frames and speed, then per output N outputN_state
                           (recording, connecting, live, reconnecting, failed, stopped),
                           outputN_frames, outputN_bytes, outputN_bitrate (kbit/s),
                           outputN_video_bitrate (what the video encoder is set to,
                           kbit/s), outputN_bitrate_changes,
                           outputN_drops and outputN_reason (a replay buffer adds
                           outputN_replay_bytes and outputN_replay_seconds, what it holds,
                           and for each save since the last block outputN_replay=PATH or
                           outputN_replay_failed=REASON), ended by progress=continue;
                           the last block ends with progress=end. A reader that goes away
                           stops the report, not the job.
  --report <file.html>     At the end, write a page to look at in a browser: per output a
                           plot of its bit rate over the run, with its states (recording,
                           connecting, live, reconnecting, failed) as coloured bands and its
                           drops as marks on the same time axis, its state changes with
                           their reasons, and a table of every output's result. One file,
                           no scripts, nothing fetched. A page that cannot be written at the
                           end makes the exit status 1.
  --verbose                Show the library's own log messages (--loglevel verbose).
  --list [NAME]            List the video and audio codecs this machine can use, each with
                           the containers it fits and the GPU behind a hardware name, and the
                           containers; with a NAME (any case), one codec (its presets, tunes
                           and containers) or one container (the codecs it takes). With
                           --json: as JSON. An unknown NAME exits with 2 and the nearest names.
  -h, --help               Show this help; --help names: the recording name tokens.
  --version                Show the version.

Job file (JSON):
  {
    "project":  {"videoOutput": {"width": 1280, "height": 720, "frameRate": 30},
                 "audioOutput": {"channels": 2, "sampleRate": 48000}},
    "source":   {"type": "generated"},
    "duration": 10,
    "outputs":  [{"videoCodec": {"codecName": "X264", "bitrate": 4000, "keyframeInterval": 2},
                  "audioCodec": {"codecName": "AAC", "bitrate": 128},
                  "container":  {"format": "mp4"},
                  "local":      {"folder": "out", "fileNameTemplate": "demo"}}]
  }
  project   The format in which the source delivers pictures and sound (the library's
            ProjectPreset JSON). Sound is always 16-bit.
  source    "generated": a moving test pattern with a running clock (hh:mm:ss.mmm) and a
            frame counter, and a tone that beeps at every whole second while a square in the
            picture lights up; paced in real time unless --fast.
            "file" with "path": a media file, decoded and pushed as fast as the encoders take
            it; the picture size and frame rate come from the file, its sound is resampled to
            project.audioOutput. Damaged packets are skipped and counted in the summary.
            Each output then writes <folder>/<fileNameTemplate>.<format>.
            "stdin" with "pixelFormat": raw frames on standard input at the project's size
            and rate, without sound (outputs with audio get silence).
  duration  Seconds of the source to use; absent or 0: until the source ends (a generated
            source runs until Ctrl-C).
  outputs   One or more outputs in the library's CodecPreset JSON ("videoCodec",
            "audioCodec", "container", "local", "streaming", "processing", ...). Each starts
            from the project and these defaults: videoCodec width, height and frameRate from
            project.videoOutput; audioCodec sampleRate and channels from project.audioOutput;
            local.folder "out"; local.fileNameTemplate and projectName the job file's name.
            Video codecs: X264, H264 (OpenH264), VP8, VP9, MJPEG, Apple ProRes,
            QuickTime Animation (RLE), and the hardware ones where present. Audio codecs: AAC,
            MP3, PCM, OPUS, VORBIS. Codec and container names are taken in any case ("x264",
            "MP4"). local.fileNameTemplate takes tokens such as %Y-%M-%D (--help names); a
            '%' that starts none is warned about, a '/' is refused. local.splitSeconds starts a new file after that many seconds (not with a
            file source); files are never overwritten ("demo 2.mp4" follows "demo.mp4").
  Relative paths are taken from the current directory. Unknown keys are errors.

Live outputs: an output with "streaming": {"enabled": true, "url": "rtmp://host/app",
  "streamKey": "...", "rtmpMode": 0, "authEnabled": false, "userName": "", "password": ""}
  streams instead of recording (rtmp, rtmps, rtsp, srt, tcp, udp; the container follows from
  the scheme: flv for rtmp(s), MPEG-TS for srt, tcp and udp). An output either records or goes
  live: for both, make two outputs. The URL is checked before anything starts. A job with a
  live output runs in real time, also with raw input; a media file cannot go live. A server
  that is absent or drops the connection does not stop the job: the output retries by itself
  and drops what it cannot send. Its progress line shows its state and, while it is not live,
  the last reason the server or the connection gave, such as "output 2 rtmp: failed  0 kbit/s
  0.0 kB  drops 143  connection refused"; its size counts what the server took. The summary gives its URL (key masked), its state at the end, whether it was ever
  live and for how long, reconnects, dropped packets, the last reason and frames; with --json
  under "live": "everLive", "liveSeconds", "reconnects", "dropped", "lastReason" ("" when
  nothing failed).

Replay buffers: an output with "local": {"replaySeconds": 30} (1 to 3600; 0, the default, is
  an ordinary recording) writes nothing while it runs: it keeps the last 30 s of its video and
  sound in memory, from a key frame (so up to one key-frame interval more), at most
  "replayMaxMegabytes" (default 512; the oldest seconds go first). Each SIGUSR1
  (kill -USR1 <pid>) saves what every replay output holds into a new file of its folder,
  named by its fileNameTemplate ("moment.mkv", then "moment 2.mkv", ...), while the buffers go
  on filling; each save is a line on standard error ("output 1: replay saved: PATH") and in
  the --progress report, and the summary lists the files. A save asked for while the output's
  previous one is still being written, or before anything is buffered, is refused with a
  message. A save that fails (the folder cannot be written, the volume is full) is reported
  with the reason; the buffer and the job go on, and the exit status is 1. Not for live
  outputs; splitSeconds does not apply.

Ctrl-C (or SIGTERM) stops cleanly: the encoders finish what they hold, the files are closed
and playable, the summary is printed and the exit status is 0. A second Ctrl-C quits at once.

Progress and messages that cannot be written (the reader of a pipe went away) are dropped;
the recording goes on and its files are finished. Passwords, stream keys and the user info
of URLs are masked in everything strevo-cli prints.

Exit status: 0 done (also after Ctrl-C); 1 an output failed while running (disk full, write
errors; the job ends at once when every output has failed), a replay save failed, a file
vanished while it was
written (its folder was deleted), the input broke off, the source delivered no frames at
all, or a live output was never live during the whole run (nothing reached anyone or the
server refused the stream; the warning gives the last reason; also after Ctrl-C; one that
was live at some point and dropped later still ends with 0), or the --report page could
not be written at the end;
2 bad command line, job file (larger than 1 MB or malformed) or input; 3 a pipeline
could not start: its codec is missing or refused the settings (-2), the output could not be opened, for
example an unwritable folder or a container that cannot hold the codec (-3), or less than
201 MB are free where it records (-4).
)";

std::atomic<bool> g_stop{false};
std::atomic<bool> g_replay{false};

void onSignal(int)
{
    g_stop.store(true);
}

void onReplaySignal(int)
{
    g_replay.store(true);
}

// Secrets of the job's outputs, masked in every message (set once the job is read).
QStringList g_secrets;

int fail(ExitStatus status, const QString& message)
{
    std::fprintf(stderr, "strevo-cli: %s\n", qPrintable(redactSecrets(message, g_secrets)));
    return exitCode(status);
}

bool parseSize(const QString& text, int* width, int* height)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okW = false, okH = false;
    if (parts.size() == 2) {
        *width = parts[0].toInt(&okW);
        *height = parts[1].toInt(&okH);
    }
    return okW && okH && *width > 0 && *height > 0;
}

void ignoreWriteSignals()
{
    // A reader that goes away (`strevo-cli job 2>&1 | head`) must not kill the recording: the
    // failed writes are ignored instead. Likewise a file size limit makes writes fail with
    // EFBIG, which the pipelines report, rather than killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// A standard stream the caller closed (`strevo-cli job >&-`) would be the number the next
// open() returns: a recording would then get the summary written into it. /dev/null takes its
// place, and what would have gone there is dropped.
void fillClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                ::close(null);
            }
        }
}

void installSignals()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of standard input returns, so the loop sees the request.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A replay request is taken any number of times, and must not cut a read short.
    struct sigaction replay = {};
    replay.sa_handler = onReplaySignal;
    sigemptyset(&replay.sa_mask);
    replay.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &replay, nullptr);
}

// Blocks or unblocks the stop and replay signals for the calling thread (and the threads it
// creates).
void maskSignals(bool block)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    fillClosedStandardStreams();
    ignoreWriteSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("strevo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));

    QCommandLineParser parser;
    const QCommandLineOption helpOpt({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption versionOpt(QStringLiteral("version"), QString());
    const QCommandLineOption durationOpt({QStringLiteral("d"), QStringLiteral("duration")},
                                         QString(), QStringLiteral("s"));
    const QCommandLineOption outDirOpt({QStringLiteral("o"), QStringLiteral("output-dir")},
                                       QString(), QStringLiteral("dir"));
    const QCommandLineOption inputOpt({QStringLiteral("i"), QStringLiteral("input")}, QString(),
                                      QStringLiteral("path"));
    const QCommandLineOption formatOpt(QStringLiteral("input-format"), QString(),
                                       QStringLiteral("fmt"));
    const QCommandLineOption sizeOpt(QStringLiteral("size"), QString(), QStringLiteral("WxH"));
    const QCommandLineOption rateOpt(QStringLiteral("rate"), QString(), QStringLiteral("fps"));
    const QCommandLineOption fastOpt(QStringLiteral("fast"), QString());
    const QCommandLineOption quietOpt({QStringLiteral("q"), QStringLiteral("quiet")}, QString());
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QString());
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QString());
    const QCommandLineOption logLevelOpt(QStringLiteral("loglevel"), QString(),
                                         QStringLiteral("level"));
    const QCommandLineOption progressOpt(QStringLiteral("progress"), QString(),
                                         QStringLiteral("target"));
    const QCommandLineOption reportOpt(QStringLiteral("report"), QString(), QStringLiteral("file"));
    const QCommandLineOption listOpt(QStringLiteral("list"), QString());
    parser.addOptions({helpOpt, versionOpt, durationOpt, outDirOpt, inputOpt, formatOpt, sizeOpt,
                       rateOpt, fastOpt, quietOpt, jsonOpt, verboseOpt, logLevelOpt, progressOpt,
                       reportOpt, listOpt});
    parser.addPositionalArgument(QStringLiteral("job"), QString());
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitStatus::BadInput, parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(helpOpt)) {
        if (parser.positionalArguments() == QStringList{QStringLiteral("names")}) {
            std::fputs(qPrintable(NameTokens::help()), stdout);
            return exitCode(ExitStatus::Done);
        }
        std::fputs(kHelp, stdout);
        return exitCode(ExitStatus::Done);
    }
    if (parser.isSet(versionOpt)) {
        std::printf("strevo-cli %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return exitCode(ExitStatus::Done);
    }
    // The hardware probes of the catalogue say why a runtime is absent: shown with --verbose.
    LibraryLog::Shown shown =
        parser.isSet(verboseOpt) ? LibraryLog::Shown::Everything : LibraryLog::Shown::Nothing;
    bool quiet = parser.isSet(quietOpt);
    if (parser.isSet(logLevelOpt)) {
        if (!LibraryLog::parseLevel(parser.value(logLevelOpt), &shown))
            return fail(ExitStatus::BadInput,
                        QStringLiteral("--loglevel: '%1' is not a level (quiet, error, warning, "
                                       "info, verbose or debug)")
                            .arg(parser.value(logLevelOpt)));
        quiet = quiet || parser.value(logLevelOpt) == QLatin1String("quiet");
    }
    LibraryLog::install(shown);
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(listOpt)) {
        if (positional.size() > 1)
            return fail(ExitStatus::BadInput, QStringLiteral("--list takes one name at a time"));
        return CodecList::print(positional.value(0), parser.isSet(jsonOpt));
    }
    if (positional.size() != 1)
        return fail(ExitStatus::BadInput,
                    positional.isEmpty() ? QStringLiteral("no job file given (see --help)")
                                         : QStringLiteral("one job file at a time (see --help)"));

    Job job;
    QString error;
    const bool loaded = job.load(positional.front(), &error);
    g_secrets = job.secrets;
    if (!loaded)
        return fail(ExitStatus::BadInput, error);
    for (const QString& warning : job.warnings)
        std::fprintf(stderr, "strevo-cli: warning: %s: %s\n", qPrintable(positional.front()),
                     qPrintable(redactSecrets(warning, g_secrets)));

    // Command-line overrides.
    auto& video = job.project.videoOutput();
    if (parser.isSet(sizeOpt) && !parseSize(parser.value(sizeOpt), &video.width, &video.height))
        return fail(ExitStatus::BadInput,
                    QStringLiteral("--size: expected WxH, such as 1280x720, not '%1'")
                        .arg(parser.value(sizeOpt)));
    if (parser.isSet(rateOpt)) {
        bool ok = false;
        video.frameRate = parser.value(rateOpt).toDouble(&ok);
        if (!ok || !(video.frameRate > 0.0) || video.frameRate > 1000.0)
            return fail(
                ExitStatus::BadInput,
                QStringLiteral("--rate: '%1' is not a frame rate").arg(parser.value(rateOpt)));
    }
    if (parser.isSet(durationOpt)) {
        bool ok = false;
        job.duration = parser.value(durationOpt).toDouble(&ok);
        if (!ok || job.duration < 0.0)
            return fail(ExitStatus::BadInput,
                        QStringLiteral("--duration: '%1' is not a number of seconds")
                            .arg(parser.value(durationOpt)));
    }
    if (parser.isSet(inputOpt)) {
        const QString input = parser.value(inputOpt);
        job.sourceType =
            input == QLatin1String("-") ? Job::SourceType::Stdin : Job::SourceType::File;
        job.sourcePath = input;
    }
    if (parser.isSet(formatOpt)) {
        const int code =
            pixelFormatFromName(parser.value(formatOpt).toUpper().toLatin1().constData());
        if (code < 0 || pixelFormatFrameSize(code, 16, 16) <= 0)
            return fail(ExitStatus::BadInput,
                        QStringLiteral("--input-format: '%1' is not a raw pixel format")
                            .arg(parser.value(formatOpt)));
        job.sourcePixelFormat = code;
        job.sourceType = Job::SourceType::Stdin;
    }

    const auto& audio = job.project.audioOutput();
    std::unique_ptr<MediaSource> source;
    switch (job.sourceType) {
    case Job::SourceType::Generated:
        source = std::make_unique<GeneratedSource>(video.width, video.height, video.frameRate,
                                                   audio.sampleRate, audio.channels);
        break;
    case Job::SourceType::Stdin:
        source = std::make_unique<RawInputSource>(STDIN_FILENO, job.sourcePixelFormat, video.width,
                                                  video.height, video.frameRate);
        break;
    case Job::SourceType::File:
        source =
            std::make_unique<MediaFileSource>(job.sourcePath, audio.sampleRate, audio.channels);
        break;
    }
    if (!source->open(&error))
        return fail(ExitStatus::BadInput, error);
    // The project describes what the source delivers; a file decides that itself.
    video.width = source->width();
    video.height = source->height();
    video.frameRate = source->frameRate();

    QVector<CodecPreset> presets;
    for (int i = 0; i < job.outputCount(); ++i) {
        CodecPreset preset;
        if (!job.outputPreset(i, &preset, &error))
            return fail(ExitStatus::BadInput, positional.front() + QStringLiteral(": ") + error);
        if (parser.isSet(outDirOpt))
            preset.local().folder = parser.value(outDirOpt);
        preset.transcoding().enabled = job.sourceType == Job::SourceType::File;
        // A live stream runs at the pace of its viewers' clocks; pushing it faster would only
        // make the server drop or refuse it.
        if (preset.streaming().enabled && parser.isSet(fastOpt))
            return fail(ExitStatus::BadInput,
                        QStringLiteral("--fast: output %1 is live, and a live output runs in "
                                       "real time (leave out --fast)")
                            .arg(i + 1));
        presets.append(preset);
    }

    // Opened before anything starts, so that a target that cannot be written stops nothing.
    ProgressWriter report;
    if (parser.isSet(progressOpt)) {
        if (!report.open(parser.value(progressOpt), &error))
            return fail(ExitStatus::BadInput, error);
        report.setSecrets(g_secrets);
    }
    HtmlReport page;
    if (parser.isSet(reportOpt)) {
        if (!page.open(parser.value(reportOpt), &error))
            return fail(ExitStatus::BadInput, error);
        page.setSecrets(g_secrets);
    }

    JobRunner::Options options;
    options.fast = parser.isSet(fastOpt);
    options.quiet = quiet;
    options.report = parser.isSet(progressOpt) ? &report : nullptr;
    options.page = parser.isSet(reportOpt) ? &page : nullptr;
    options.json = parser.isSet(jsonOpt);
    options.duration = job.duration;
    options.secrets = g_secrets;
    LibraryLog::setSecrets(g_secrets);
    JobRunner runner(*source, options, g_stop, g_replay);

    // The pipelines' threads must not take the stop signals: only this thread handles them.
    installSignals();
    maskSignals(true);
    const bool prepared = runner.prepare(presets, &error);
    maskSignals(false);
    if (!prepared)
        return fail(ExitStatus::NoStart, error);
    return exitCode(runner.run());
}
