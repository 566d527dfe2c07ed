#include "tools/JobRunner.h"

#include "api/Strevo.h"
#include "encoder/Encoder.h"
#include "encoder/RefEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/LiveUrl.h"
#include "tools/LibraryLog.h"
#include "tools/ReportText.h"
#include "tools/SourceFeed.h"
#include "tools/SummaryPrinter.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {

// Why a pipeline refused to start, from initialize()'s result; `libraryWarned`: the library's
// own reason follows.
QString whyRefused(const JobOutput& out, int result, bool libraryWarned)
{
    const CodecModel::Local& local = out.preset.local();
    switch (result) {
    case IEncoder::CodecError:
        return QStringLiteral(
                   "the %1 video or %2 audio encoder is missing or refused these settings")
            .arg(out.preset.videoCodec().codecName, out.preset.audioCodec().enabled
                                                        ? out.preset.audioCodec().codecName
                                                        : QStringLiteral("(no)"));
    case IEncoder::MuxerError:
        if (out.live)
            return QStringLiteral("the live output to '%1' could not be set up").arg(out.maskedUrl);
        // The library's reason (a file name it could not choose, a folder it could not write
        // to, a stream the container refused) says more than a guess.
        if (libraryWarned)
            return QStringLiteral("the output could not be opened");
        return QStringLiteral(
                   "the output could not be opened (is '%1' writable, and can %2 hold %3%4?)")
            .arg(local.enabled ? local.folder : out.preset.streaming().url,
                 out.preset.container().format, out.preset.videoCodec().codecName,
                 out.preset.audioCodec().enabled
                     ? QStringLiteral(" and ") + out.preset.audioCodec().codecName
                     : QString());
    case IEncoder::DiskSpaceError:
        return QStringLiteral("less than 201 MB free on the volume of '%1'").arg(local.folder);
    default:
        return QStringLiteral("the pipeline refused to start");
    }
}

} // namespace

JobRunner::JobRunner(MediaSource& source, const Options& options,
                     const std::atomic<bool>& stopRequested, std::atomic<bool>& replayRequested)
    : m_source(source), m_options(options), m_stopRequested(stopRequested),
      m_replayRequested(replayRequested), m_progress(options.quiet),
      m_messages(options.secrets, m_progress), m_live(m_messages, options.quiet)
{
}

JobRunner::~JobRunner()
{
    destroyPipelines(); // only has work left when run() was never called
}

void JobRunner::destroyPipelines()
{
    destroyJob(); // pipelines that never ran: deleting them closes their files
    m_outputs.clear();
}

void JobRunner::destroyJob()
{
    m_reportTo.store(nullptr);
    m_job.reset();
    for (auto& out : m_outputs)
        out->encoder = nullptr;
}

bool JobRunner::prepare(const QVector<CodecPreset>& presets, QString* error)
{
    if (presets.isEmpty()) {
        *error = QStringLiteral("the job has no output");
        return false;
    }
    m_job = std::make_unique<Strevo>();
    // The source delivers frames of the project's size and format, which every preset carries.
    ProjectPreset project = presets.front();
    m_job->initialize(&project);
    m_job->setObserver(this);
    QObject::connect(m_job.get(), &Strevo::encoderResult,
                     [this](int) { m_failureReports.fetch_add(1); });
    for (int i = 0; i < presets.size(); ++i) {
        auto out = std::make_unique<JobOutput>();
        out->number = i + 1;
        out->preset = presets[i];
        out->live = out->preset.streaming().enabled;
        out->replay =
            !out->live && out->preset.local().enabled && out->preset.local().replaySeconds > 0;
        if (out->live) {
            out->maskedUrl = m_messages.redact(LiveUrl::shown(out->preset.streaming()));
            out->liveLabel = LiveUrl::scheme(out->preset.streaming().url);
            out->srt = out->liveLabel == QLatin1String("srt");
            const auto liveCount = std::count_if(presets.begin(), presets.end(),
                                                 [](auto& p) { return p.streaming().enabled; });
            if (liveCount > 1)
                out->liveLabel += QLatin1Char('#') + QString::number(i + 1);
        }
        CodecModel::Local& local = out->preset.local();
        const QString name = QStringLiteral("output %1 (%2)").arg(i + 1).arg(out->title());
        if (local.enabled) {
            if (!QDir().mkpath(local.folder)) {
                *error =
                    QStringLiteral("%1: cannot create the folder '%2'").arg(name, local.folder);
                destroyPipelines();
                return false;
            }
        }

        LibraryLog::clear();
        const bool share =
            std::count_if(presets.begin(), presets.end(), [&](auto& p) {
                return p.videoCodec().enabled && RefEncoder::sameVideo(p, presets[i]);
            }) > 1;
        if (share)
            out->encoder = out->sharing = new RefEncoder();
        else
            out->encoder = new Encoder();
        // The pipeline's muxer names the file (a transcoding's too) as it names recordings:
        // from the template, never over an existing file.
        const int result = out->encoder->initialize(this, &out->preset, share);
        if (result != IEncoder::Ok) {
            const QString library = LibraryLog::firstWarning();
            *error = QStringLiteral("%1: cannot start (%2): %3%4")
                         .arg(name)
                         .arg(result)
                         .arg(whyRefused(*out, result, !library.isEmpty()),
                              library.isEmpty() ? QString() : QStringLiteral(": ") + library);
            delete out->encoder;
            out->encoder = nullptr;
            destroyPipelines();
            return false;
        }
        out->encoder->encodingCallback(out.get());
        // The job owns the pipeline from here on: a later output that fails deletes it with
        // the job.
        m_job->addCodecProfile(new CodecPreset(presets[i]));
        m_job->addEncoder(out->encoder, 0);
        // No worker runs yet, so the muxer's first path can be read here.
        if (!out->encoder->recordingPath().isEmpty())
            out->paths.append(out->encoder->recordingPath());
        m_outputs.push_back(std::move(out));
    }
    for (auto& out : m_outputs) {
        for (auto& other : m_outputs)
            if (out->follows() && other->sharing && !other->follows() &&
                RefEncoder::sameVideo(other->preset, out->preset))
                out->videoFrom = other.get();
        out->encoder->start();
    }
    m_reportTo.store(m_job.get());
    return true;
}

JobOutput* JobRunner::find(IEncoder* encoder)
{
    for (auto& out : m_outputs)
        if (out->encoder == encoder)
            return out.get();
    return nullptr;
}

void JobRunner::ecoderStateCallback(IEncoder* encoder, int type, int state)
{
    if (Strevo* job = m_reportTo.load())
        job->ecoderStateCallback(encoder, type, state);
    JobOutput* out = find(encoder);
    if (!out)
        return;
    if (type == ProgressReport) {
        // Progress from the video thread, which is also the thread that replaces the muxer at
        // a time split: the path read here is the file this packet went to.
        const QString path = encoder->recordingPath();
        {
            std::lock_guard<std::mutex> lock(out->mutex);
            if (!path.isEmpty() && (out->paths.isEmpty() || out->paths.back() != path)) {
                out->paths.append(path);
                out->framesInEarlierFiles += out->framesInFile;
            }
            out->framesInFile = state;
        }
        out->signalPacket(); // the packet is counted now, unlike at videoEncoded()
        return;
    }
    if (type != StateReport)
        return;
    if (state == LowDiskSpace) {
        out->videoStopped.store(true);
        m_messages.post(
            QStringLiteral(
                "output %1: less than 201 MB free on the volume of '%2': its recording stopped")
                .arg(out->number)
                .arg(out->preset.local().folder));
    } else if (state == WriteFailed) {
        if (out->live) {
            // Counted for the backlog only: a live output's losses are its dropped packets,
            // shown with its state.
            out->writeFailures.fetch_add(1);
            return;
        }
        const QString where = out->preset.local().enabled
                                  ? out->currentPaths().value(0, out->preset.local().folder)
                                  : out->preset.streaming().url;
        if (out->writeFailures.fetch_add(1) == 0)
            m_messages.post(QStringLiteral("output %1: writing failed (%2); its recording ends")
                                .arg(out->number)
                                .arg(where));
    }
}

QVector<IEncoder*> JobRunner::encoders()
{
    QVector<IEncoder*> list;
    for (auto& out : m_outputs)
        list.append(out->encoder);
    return list;
}

void JobRunner::replaySaved(int index, const QString& path, bool ok, const QString& reason)
{
    // The job's indices follow the outputs; the list is fixed once the job runs.
    if (index < 0 || index >= static_cast<int>(m_outputs.size()))
        return;
    JobOutput& out = *m_outputs[static_cast<size_t>(index)];
    {
        std::lock_guard<std::mutex> lock(out.mutex);
        out.replays.push_back({path, ok, reason});
        if (ok)
            out.paths.append(path);
    }
    if (ok && !m_options.quiet)
        m_messages.post(QStringLiteral("output %1: replay saved: %2").arg(out.number).arg(path));
    else if (!ok)
        m_messages.post(QStringLiteral("output %1: replay not saved: %2")
                            .arg(out.number)
                            .arg(reason.simplified()));
}

void JobRunner::saveReplays()
{
    // An output's first save starts its saving thread, which takes this thread's signal mask:
    // the signals stay with this thread, as they do for the threads the set-up started.
    sigset_t blocked, before;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&blocked, s);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    bool any = false;
    for (auto& out : m_outputs) {
        if (!out->replay)
            continue;
        any = true;
        QString why;
        if (!m_job->saveReplay(out->number - 1, &why))
            m_messages.say(
                QStringLiteral("output %1: replay not saved: %2").arg(out->number).arg(why));
    }
    if (!any)
        m_messages.say(QStringLiteral("SIGUSR1: no output is a replay buffer "
                                      "(local.replaySeconds); nothing saved"));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void JobRunner::showProgress(bool force)
{
    if (m_replayRequested.exchange(false))
        saveReplays();
    m_live.watch(m_outputs);
    m_progress.show(m_outputs, m_job.get(), force);
    if (m_options.report)
        m_options.report->write(m_outputs, m_job.get(), force);
    if (m_options.page)
        m_options.page->sample(m_outputs, m_job.get(), force);
}

ExitStatus JobRunner::run()
{
    if (!m_options.quiet) {
        std::fprintf(stderr, "source: %s\n", qPrintable(m_messages.redact(m_source.describe())));
        for (auto& out : m_outputs)
            std::fprintf(
                stderr, "output %d: %s -> %s\n", out->number, qPrintable(out->title()),
                qPrintable(out->live ? out->maskedUrl
                           : out->replay
                               ? QStringLiteral("replay buffer of %1 s, saved into '%2' on "
                                                "SIGUSR1")
                                     .arg(out->preset.local().replaySeconds)
                                     .arg(out->preset.local().folder)
                               : m_messages.redact(out->currentPaths().value(0))));
    }
    // The library warns at every connect, in its log, which strevo-cli shows only with
    // --verbose: say it here once, whatever the options.
    for (auto& out : m_outputs) {
        const CodecModel::Streaming& s = out->preset.streaming();
        if (out->live && !s.verifyPeer &&
            s.url.startsWith(QLatin1String("rtmps://"), Qt::CaseInsensitive))
            m_messages.say(QStringLiteral("output %1: warning: the server's certificate is not "
                                          "checked (streaming.verifyPeer is false)")
                               .arg(out->number));
    }
    m_start = Clock::now();
    m_progress.start(m_start);
    if (m_options.report)
        m_options.report->start(m_start);
    if (m_options.page)
        m_options.page->start(m_start);
    const double fps = m_source.frameRate();
    const long long limit = m_options.duration > 0.0 ? std::llround(m_options.duration * fps) : -1;
    // A live output runs in real time whatever the source: raw input is paced too.
    const bool anyLive =
        std::any_of(m_outputs.begin(), m_outputs.end(),
                    [](const std::unique_ptr<JobOutput>& out) { return out->live; });
    const bool paced = (m_source.isLive() || anyLive) && !m_options.fast;

    m_job->start(0);
    SourceFeed feed(m_source, *m_job, m_outputs, m_stopRequested, m_options.fast, m_messages,
                    [this] { showProgress(false); });
    const SourceFeed::Result fed = feed.run(limit, paced, m_start);
    const long long frames = fed.frames;
    const QString& sourceError = fed.sourceError;
    const bool interrupted = m_stopRequested.load();
    if (interrupted && !m_options.quiet)
        m_messages.say(
            QStringLiteral("stopping; the files are being finished (Ctrl-C again quits at once)"));
    m_messages.flush();
    if (fed.allStopped)
        m_messages.say(QStringLiteral("every output has failed; the job ends"));

    finishOutputs();
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
    if (!sourceError.isEmpty())
        m_messages.say(sourceError);
    if (frames == 0 && sourceError.isEmpty() && !interrupted)
        m_messages.say(QStringLiteral("the source delivered no video frame: nothing was recorded"));
    if (m_source.damaged() > 0 && !m_options.quiet)
        m_messages.say(QStringLiteral("%1 damaged packets or frames of the source were skipped")
                           .arg(m_source.damaged()));
    for (auto& out : m_outputs)
        out->failed = out->stopped() || (!out->live && out->writeFailures.load() > 0) ||
                      out->replayFailures() > 0 || out->frames == 0 || !out->vanished.isEmpty() ||
                      (out->live && !out->wasLive);
    SummaryPrinter::Run summary;
    summary.interrupted = interrupted;
    summary.elapsed = elapsed;
    summary.inputDrops = m_inputDrops;
    summary.failureReports = m_failureReports.load();
    summary.sourceError = sourceError;
    SummaryPrinter(m_source, m_messages, m_options.json, m_options.quiet).print(summary, m_outputs);
    bool pageLost = false;
    if (m_options.page &&
        !m_options.page->finish(m_outputs, m_messages.redact(m_source.describe()), interrupted)) {
        m_messages.say(QStringLiteral("the --report page could not be written"));
        pageLost = true;
    }

    bool failed = pageLost || !sourceError.isEmpty() || (frames == 0 && !interrupted);
    for (auto& out : m_outputs) {
        failed = failed || out->failed;
        if (out->live && !out->wasLive && frames > 0)
            m_messages.say(
                QStringLiteral("output %1: never live: nothing reached %2 (%3)")
                    .arg(out->number)
                    .arg(out->maskedUrl,
                         out->liveReason.isEmpty()
                             ? QStringLiteral("is the server running and does it accept the "
                                              "stream?")
                             : QStringLiteral("last reason: ") +
                                   ReportText::shortReason(out->liveReason,
                                                           ReportText::kSummaryReasonChars)));
        for (const QString& path : out->vanished)
            m_messages.say(
                QStringLiteral("output %1: the file '%2' is gone (was its folder deleted while "
                               "it was written?)")
                    .arg(out->number)
                    .arg(path));
        if (out->frames == 0 && frames > 0)
            m_messages.say(QStringLiteral("output %1: no video was written").arg(out->number));
    }
    return failed ? ExitStatus::Failed : ExitStatus::Done;
}

// Host order: stop the job (it hands over what is queued and stops every pipeline, whose
// threads encode what they hold), then delete it (which deletes the pipelines, writing the
// trailers and closing the files). The outputs' final counts are taken in between, their
// files' sizes at the end.
void JobRunner::finishOutputs()
{
    // The state at the end of the run is the one reported, not the one stop() leaves.
    m_live.watch(m_outputs);
    m_live.finish();
    if (m_options.page)
        m_options.page->sample(m_outputs, m_job.get(), true);
    const auto end = Clock::now();
    m_job->stop();
    m_inputDrops =
        m_job->syncInfo().videoInputDrops.load() + m_job->syncInfo().audioInputDrops.load();
    for (auto& out : m_outputs) {
        out->stats = m_job->outputStats(out->number - 1); // the job's indices follow the outputs
        const AVSync& sync = out->encoder->getSyncInfo();
        if (out->live)
            m_live.account(*out, end);
        out->frames = static_cast<long long>(out->encoder->encodedVideo().frameCount.load());
        if (out->videoStopped.load()) {
            // Its encoder may have gone on for other outputs: count what its files got.
            std::lock_guard<std::mutex> lock(out->mutex);
            out->frames = std::min(out->frames, out->framesInEarlierFiles + out->framesInFile);
        }
        out->drops =
            sync.videoInputDrops.load() + sync.videoOutputDrops.load() + sync.audioDrops.load();
    }
    m_live.watch(m_outputs);
    m_progress.show(m_outputs, m_job.get(), true);
    if (m_options.report)
        m_options.report->finish(m_outputs, m_job.get());
    m_progress.end();
    destroyJob();
    for (auto& out : m_outputs) {
        for (const QString& path : out->currentPaths()) {
            // A file whose folder was deleted while it was written is gone with it.
            if (out->preset.local().enabled && !QFileInfo::exists(path))
                out->vanished.append(path);
            out->bytes += QFileInfo(path).size();
        }
        // A live output's size is what its connection took up to stop(), not what was encoded:
        // one that never connected delivered nothing.
        if (out->preset.streaming().enabled && !out->preset.local().enabled)
            out->bytes = out->stats.bytesDelivered;
    }
    m_progress.clear();
    m_messages.flush();
}
