#include "tools/JobRunner.h"

#include "api/Strevo.h"
#include "common/Redact.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "encoder/RefEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/LiveUrl.h"
#include "tools/LibraryLog.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

// What IEncodingStatus::ecoderStateCallback() reports.
enum ReportType
{
    StateReport = 0,   // a state below
    ProgressReport = 1 // the state is the number of video frames written
};
enum ReportState
{
    WriteFailed = -1, // a video packet could not be written
    LowDiskSpace = -4 // the volume is nearly full; the output's video thread has ended
};

// How long one wait for the pipeline's room lasts before the runner looks at its stop flags.
// After kRoomWaits of them the frame is pushed anyway (the pipeline then counts it as dropped).
constexpr int kRoomWaitMs = 200;
constexpr int kRoomWaits = 50;
// How long the feeding loop waits for a lent frame buffer before it reads into its own.
constexpr int kLendWaitMs = 10000;
// Frames an output may hold between the host and its encoder before the host waits (or, for
// a live source in real time, drops): enough to keep an encoder busy, little memory.
constexpr long long kMaxBacklog = 6;
// An output that finishes nothing for this long is taken to have swallowed frames for good.
constexpr auto kStallTime = std::chrono::seconds(1);
// Write failures in a row after which an output counts as failed for good (a second or so of
// video): a full volume, a deleted device, a stream whose connection is gone.
constexpr int kFailuresToStop = 30;
// Longest wait for an output's next packet; it also bounds how late a stop request is seen.
constexpr auto kPacketWait = std::chrono::milliseconds(5);
// Longest reason a live output's progress shows; the summary allows more.
constexpr int kProgressReasonChars = 60;
constexpr int kSummaryReasonChars = 300;

QString sizeText(long long bytes)
{
    if (bytes >= 1000LL * 1000 * 1000)
        return QString::number(bytes / 1e9, 'f', 2) + QStringLiteral(" GB");
    if (bytes >= 1000LL * 1000)
        return QString::number(bytes / 1e6, 'f', 2) + QStringLiteral(" MB");
    return QString::number(bytes / 1e3, 'f', 1) + QStringLiteral(" kB");
}

QString timeText(double seconds)
{
    const long long ms = static_cast<long long>(std::max(0.0, seconds) * 1000.0 + 0.5);
    return QString::asprintf("%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                             ms / 1000 % 60, ms % 1000);
}

// An SRT output's link: whether a peer is connected, and libsrt's view of it.
QString linkText(const AVSync& sync)
{
    if (sync.linkPeers.load() <= 0)
        return QStringLiteral(" [no peer]");
    return QStringLiteral(" [peer, rtt %1 ms, retransmitted %2, dropped %3]")
        .arg(sync.linkRttMs.load(), 0, 'f', 1)
        .arg(sync.linkRetransmitted.load())
        .arg(sync.linkDropped.load());
}

const char* liveStateName(int state)
{
    switch (static_cast<LiveState>(state)) {
    case LiveState::Connecting:
        return "connecting";
    case LiveState::Live:
        return "live";
    case LiveState::Reconnecting:
        return "reconnecting";
    case LiveState::Stopped:
        return "stopped";
    default:
        return "waiting";
    }
}

// A live output's reason on one line, at most `limit` characters ("..." marks a cut).
QString shortReason(const QString& reason, int limit)
{
    const QString text = reason.simplified();
    return text.size() <= limit ? text : text.left(limit - 3) + QStringLiteral("...");
}

// The first free "<base>.<ext>", "<base> 2.<ext>", ... as recordings are named.
QString freePath(const QString& base, const QString& extension)
{
    QString path = base + QLatin1Char('.') + extension;
    for (int n = 2; QFileInfo::exists(path) && n < 1000; ++n)
        path = QStringLiteral("%1 %2.%3").arg(base).arg(n).arg(extension);
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

struct JobRunner::Output : public IEncodingCallback
{
    int number = 0; // 1-based, as shown to the user
    CodecPreset preset;
    IEncoder* encoder = nullptr;
    // Set when another output has the same video: the pipelines then encode it once, and
    // only the one that encodes (the first of them) is given frames.
    RefEncoder* sharing = nullptr;
    bool follows() const { return sharing && sharing->isFollower(); }
    // The output whose encoder makes this one's video packets (and so counts their bytes).
    Output* videoFrom = this;
    // Set before the pipeline starts, read-only afterwards (also on the worker threads).
    bool live = false; // streams instead of recording
    QString liveLabel; // "rtmp", or "rtmp#2" when several outputs are live
    bool srt = false;  // an SRT output: its link statistics are shown too
    QString maskedUrl; // the URL as opened, stream key and credentials masked

    // Written by the worker threads.
    std::atomic<bool> videoStopped{false}; // low disk space ended the video thread
    std::atomic<int> writeFailures{0};
    std::atomic<int> failuresInARow{0}; // write failures since the last packet written
    // An output that cannot write any more is no longer fed; the job ends when all are. A
    // single failure does not count: the next packets may be written again. A live output
    // never gives up: its pipeline reconnects by itself and drops what it cannot send.
    bool stopped() const
    {
        return videoStopped.load() || (!live && failuresInARow.load() >= kFailuresToStop);
    }
    std::atomic<long long> videoBytes{0};
    std::atomic<long long> audioBytes{0};
    std::mutex mutex;
    QStringList paths; // guarded by mutex: every file the output has written to, in order
    // Guarded by mutex: video frames in the files before the current one, and in it so far.
    long long framesInEarlierFiles = 0;
    long long framesInFile = 0;

    // Signalled after every packet, so that the host waits for room without polling.
    std::mutex packetMutex;
    std::condition_variable packetDone;
    void signalPacket()
    {
        // Taking the mutex orders this signal after a waiter's check of the counters.
        {
            std::lock_guard<std::mutex> lock(packetMutex);
        }
        packetDone.notify_one();
    }
    // Host thread: returns after the next packet or `kPacketWait`, whichever comes first.
    void waitPacket()
    {
        std::unique_lock<std::mutex> lock(packetMutex);
        packetDone.wait_for(lock, kPacketWait);
    }

    // The host thread's own.
    long long slack = 0;  // frames the encoder swallowed for good (see waitForRoom)
    QStringList vanished; // files that no longer exist after the pipeline closed them
    bool failed = false;  // set at the end of the run: the output did not do its job
    long long frames = 0; // final counts, taken after stop()
    long long bytes = 0;
    int drops = 0;
    // Live outputs: the state and reason last seen (a LiveState value; why the last attempt
    // failed or the last link broke), whether it was ever live, and the final counts. Live
    // time is the library's account (links that held a while: a server may take the stream
    // and drop it at once), plus a link still up at the end, however short.
    int liveState = 0;
    QString liveReason;          // secrets masked; the last one given stays
    QString rawLiveReason;       // as the library gave it, to mask only a new one
    Clock::time_point liveSince; // when liveState last became Live
    bool wasLive = false;
    int reconnects = 0;
    long long liveDropped = 0;
    long long liveMs = 0; // final
    LinkStatistics link;  // an SRT output's, as last reported before stop()

    void videoEncoded(const QString&, unsigned char*, unsigned int size, int, int, unsigned int,
                      unsigned char*, unsigned int) override
    {
        videoBytes.fetch_add(size, std::memory_order_relaxed);
        signalPacket();
    }
    void audioEncoded(unsigned char*, unsigned int size, unsigned char*, unsigned int) override
    {
        audioBytes.fetch_add(size, std::memory_order_relaxed);
    }
    QStringList currentPaths()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return paths;
    }
    QString title() const
    {
        const auto& v = preset.videoCodec();
        const auto& a = preset.audioCodec();
        QString text = QStringLiteral("%1, %2 %3x%4 %5 kbit/s")
                           .arg(preset.container().format, v.codecName)
                           .arg(v.width)
                           .arg(v.height)
                           .arg(v.bitrate);
        if (a.enabled)
            text += QStringLiteral(" + %1 %2 kbit/s").arg(a.codecName).arg(a.bitrate);
        return text;
    }
};

JobRunner::JobRunner(MediaSource& source, const Options& options,
                     const std::atomic<bool>& stopRequested)
    : m_source(source), m_options(options), m_stopRequested(stopRequested)
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
    QObject::connect(m_job.get(), &Strevo::encoderResult,
                     [this](int) { m_failureReports.fetch_add(1); });
    for (int i = 0; i < presets.size(); ++i) {
        auto out = std::make_unique<Output>();
        out->number = i + 1;
        out->preset = presets[i];
        out->live = out->preset.streaming().enabled;
        if (out->live) {
            out->maskedUrl = redact(LiveUrl::masked(out->preset.streaming()));
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
            // A transcoding pipeline writes the path it is given, under the template's name.
            if (out->preset.transcoding().enabled && local.recordingPath.isEmpty())
                local.recordingPath = freePath(QDir(local.folder).filePath(local.fileNameTemplate),
                                               out->preset.container().format);
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
        const int result = out->encoder->initialize(this, &out->preset, share);
        if (result != IEncoder::Ok) {
            QString why;
            switch (result) {
            case IEncoder::CodecError:
                why = QStringLiteral(
                          "the %1 video or %2 audio encoder is missing or refused these settings")
                          .arg(out->preset.videoCodec().codecName,
                               out->preset.audioCodec().enabled ? out->preset.audioCodec().codecName
                                                                : QStringLiteral("(no)"));
                break;
            case IEncoder::MuxerError:
                if (out->live) {
                    why = QStringLiteral("the live output to '%1' could not be set up")
                              .arg(out->maskedUrl);
                    break;
                }
                why =
                    QStringLiteral(
                        "the output could not be opened (is '%1' writable, and can %2 hold %3%4?)")
                        .arg(local.enabled ? local.folder : out->preset.streaming().url,
                             out->preset.container().format, out->preset.videoCodec().codecName,
                             out->preset.audioCodec().enabled
                                 ? QStringLiteral(" and ") + out->preset.audioCodec().codecName
                                 : QString());
                break;
            case IEncoder::DiskSpaceError:
                why =
                    QStringLiteral("less than 201 MB free on the volume of '%1'").arg(local.folder);
                break;
            default:
                why = QStringLiteral("the pipeline refused to start");
            }
            const QString library = LibraryLog::firstWarning();
            *error = QStringLiteral("%1: cannot start (%2): %3%4")
                         .arg(name)
                         .arg(result)
                         .arg(why, library.isEmpty() ? QString() : QStringLiteral(": ") + library);
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

JobRunner::Output* JobRunner::find(IEncoder* encoder)
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
    Output* out = find(encoder);
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
        out->failuresInARow.store(0);
        out->signalPacket(); // the packet is counted now, unlike at videoEncoded()
        return;
    }
    if (type != StateReport)
        return;
    if (state == LowDiskSpace) {
        out->videoStopped.store(true);
        postMessage(
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
            postMessage(QStringLiteral("output %1: a video packet could not be written (%2)")
                            .arg(out->number)
                            .arg(where));
        if (out->failuresInARow.fetch_add(1) + 1 == kFailuresToStop)
            postMessage(QStringLiteral("output %1: writing keeps failing (%2); the output stops")
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

void JobRunner::postMessage(const QString& text)
{
    std::lock_guard<std::mutex> lock(m_messageMutex);
    m_messages.append(text);
}

QString JobRunner::redact(const QString& text) const
{
    return redactSecrets(text, m_options.secrets);
}

void JobRunner::say(const QString& text)
{
    clearProgressLine();
    // A failed write (the reader has gone) is dropped: messages must not stop the recording.
    std::fprintf(stderr, "strevo-cli: %s\n", qPrintable(redact(text)));
}

bool JobRunner::allOutputsStopped() const
{
    for (const auto& out : m_outputs)
        if (!out->stopped())
            return false;
    return true;
}

void JobRunner::clearProgressLine()
{
    if (m_progressShown) {
        std::fputs("\r\033[K", stderr);
        m_progressShown = false;
    }
}

void JobRunner::flushMessages()
{
    QStringList messages;
    {
        std::lock_guard<std::mutex> lock(m_messageMutex);
        messages.swap(m_messages);
    }
    if (messages.isEmpty())
        return;
    for (const QString& m : messages)
        say(m);
}

// Frames the job accepted that the output has neither encoded nor accounted otherwise: those
// in the job's queue, in the pipeline's queue and in its encoder. A frame the encoder holds back
// before its first packet is counted as missed.
long long JobRunner::backlog(const Output& out) const
{
    const AVSync& job = m_job->syncInfo();
    const AVSync& sync = out.encoder->getSyncInfo();
    const EncodedVideo& video = out.encoder->encodedVideo();
    return job.videoFrames.load() - job.videoInputDrops.load() -
           static_cast<long long>(video.frameCount.load()) -
           static_cast<long long>(video.missedFrames.load()) - sync.videoInputDrops.load() -
           out.writeFailures.load() - out.slack;
}

void JobRunner::waitForRoom(Output& out)
{
    auto lastChange = Clock::now();
    long long last = backlog(out);
    while (!m_stopRequested.load() && !out.stopped()) {
        const long long now = backlog(out);
        if (now <= kMaxBacklog)
            return;
        if (now < last)
            lastChange = Clock::now();
        last = now;
        if (Clock::now() - lastChange > kStallTime) {
            // An encoder may keep a frame without ever producing a packet for it (rate-control
            // skipping). Accept what it holds so that waiting cannot hang.
            out.slack += now - kMaxBacklog;
            return;
        }
        out.waitPacket();
        showProgress(false);
        flushMessages();
    }
}

unsigned char* JobRunner::lendBuffer()
{
    // The job's buffer is shared by every output, so the source reads into it without a copy.
    if (m_source.isLive() || m_source.directFormat() < 0)
        return nullptr;
    return m_job->lendVideoBuffer(0, m_source.directFormat(), kLendWaitMs);
}

void JobRunner::pushVideo(const MediaSource::Chunk& chunk, unsigned char* lent)
{
    if (lent && chunk.video != lent) {
        m_job->returnVideoBuffer(0, lent);
        lent = nullptr;
    }
    const bool live = m_source.isLive();
    if (!live || m_options.fast) {
        // Outputs whose video another one encodes wait for that one; a failed output is not
        // waited for, unless it encodes for others.
        for (auto& out : m_outputs)
            if (!out->follows() && (!out->stopped() || out->sharing))
                waitForRoom(*out);
        for (int i = 0; i < kRoomWaits && !m_stopRequested.load(); ++i) {
            if (m_job->waitForVideoRoom(kRoomWaitMs))
                break;
            flushMessages();
        }
    }
    unsigned char* planes[2][3] = {{const_cast<unsigned char*>(chunk.video)}};
    QSize sizes[3] = {QSize(chunk.width, chunk.height)};
    int formats[3] = {chunk.format};
    // Every frame of the generated source may start the recording. Marking only the first one
    // is not enough: a pipeline counts itself started only if that frame is still in its queue
    // after the enqueue, and its video thread may already have taken it.
    TimeStamp stamp;
    stamp.startFlag = 1;
    if (lent)
        m_job->submitVideoBuffer(0, lent, live ? &stamp : nullptr);
    else
        m_job->enqueueVideo(planes, sizes, formats, live ? &stamp : nullptr);
}

void JobRunner::pushAudio(const unsigned char* data, int bytes)
{
    unsigned char* buffers[3] = {const_cast<unsigned char*>(data)};
    m_job->enqueueAudio(buffers, bytes);
}

void JobRunner::sleepUntil(Clock::time_point when)
{
    while (!m_stopRequested.load()) {
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        QThread::usleep(static_cast<unsigned long>(std::min<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 50000)));
        showProgress(false);
        flushMessages();
    }
}

void JobRunner::watchLive()
{
    if (m_finishing)
        return;
    const auto now = Clock::now();
    for (auto& out : m_outputs) {
        if (!out->live || !out->encoder)
            continue;
        const int state = out->encoder->getSyncInfo().liveState.load();
        const bool live = state == static_cast<int>(LiveState::Live);
        // The library sets the reason before it reports the state, so read after the state it
        // is at least as recent.
        takeLiveReason(*out);
        // A server may take the stream and drop it at once (a refused publish): the output
        // counts as live once the library counts live time.
        if (!out->wasLive && out->encoder->getSyncInfo().liveMs.load() > 0) {
            out->wasLive = true;
            if (!m_options.quiet)
                say(QStringLiteral("output %1: live at %2").arg(out->number).arg(out->maskedUrl));
        }
        if (state == out->liveState)
            continue;
        const int before = out->liveState;
        out->liveState = state;
        if (live) {
            out->liveSince = now;
        } else if (state == static_cast<int>(LiveState::Reconnecting) &&
                   before == static_cast<int>(LiveState::Live) && !m_options.quiet) {
            const QString why = shortReason(out->liveReason, kProgressReasonChars);
            say(QStringLiteral("output %1: the connection to %2 broke%3; reconnecting")
                    .arg(out->number)
                    .arg(out->maskedUrl,
                         why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
        }
    }
}

void JobRunner::takeLiveReason(Output& out)
{
    const QString reason = out.encoder->liveReason();
    if (reason.isEmpty() || reason == out.rawLiveReason)
        return;
    out.rawLiveReason = reason;
    out.liveReason = redact(reason);
}

void JobRunner::showProgress(bool force)
{
    watchLive();
    if (m_options.quiet)
        return;
    const auto now = Clock::now();
    if (!force && now - m_lastProgress <
                      (m_tty ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000)))
        return;
    m_lastProgress = now;
    long long frames = -1, bytes = 0;
    double seconds = -1.0;
    int drops = 0;
    for (auto& out : m_outputs) {
        const long long f = static_cast<long long>(out->encoder->encodedVideo().frameCount.load());
        const double s = f / out->preset.videoCodec().frameRate;
        if (frames < 0 || s < seconds) {
            frames = f;
            seconds = s;
        }
        const AVSync& sync = out->encoder->getSyncInfo();
        drops +=
            sync.videoInputDrops.load() + sync.videoOutputDrops.load() + sync.audioDrops.load();
        for (const QString& path : out->currentPaths())
            bytes += QFileInfo(path).size();
        if (out->preset.streaming().enabled && !out->preset.local().enabled)
            bytes += out->videoFrom->videoBytes.load() + out->audioBytes.load();
    }
    if (m_job) {
        const AVSync& job = m_job->syncInfo();
        drops += static_cast<int>(job.videoInputDrops.load() + job.audioInputDrops.load());
    }
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    QString line = QStringLiteral("time %1  frames %2  speed %3x  drops %4  size %5")
                       .arg(timeText(seconds))
                       .arg(frames)
                       .arg(elapsed > 0.0 ? seconds / elapsed : 0.0, 0, 'f', 2)
                       .arg(drops)
                       .arg(sizeText(bytes));
    for (auto& out : m_outputs) {
        if (out->stopped() && !out->live) {
            line += QStringLiteral("  output %1: failed").arg(out->number);
            continue;
        }
        if (!out->live)
            continue;
        const AVSync& sync = out->encoder->getSyncInfo();
        line += QStringLiteral("  %1: %2")
                    .arg(out->liveLabel, QLatin1String(liveStateName(out->liveState)));
        const int reconnects = sync.liveReconnects.load();
        const long long dropped = sync.liveDrops.load();
        QStringList details;
        if (reconnects > 0 || dropped > 0)
            details << QStringLiteral("%1 reconnects, %2 dropped").arg(reconnects).arg(dropped);
        // Only while it is not live: a link that broke earlier and came back is live again.
        if (out->liveState != static_cast<int>(LiveState::Live) && !out->liveReason.isEmpty())
            details << shortReason(out->liveReason, kProgressReasonChars);
        if (!details.isEmpty())
            line += QStringLiteral(" (%1)").arg(details.join(QStringLiteral("; ")));
        if (out->srt)
            line += linkText(sync);
    }
    if (m_tty) {
        std::fprintf(stderr, "\r\033[K%s", qPrintable(line));
        m_progressShown = true;
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
    std::fflush(stderr);
}

ExitStatus JobRunner::run()
{
    if (!m_options.quiet) {
        std::fprintf(stderr, "source: %s\n", qPrintable(redact(m_source.describe())));
        for (auto& out : m_outputs)
            std::fprintf(
                stderr, "output %d: %s -> %s\n", out->number, qPrintable(out->title()),
                qPrintable(out->live ? out->maskedUrl : redact(out->currentPaths().value(0))));
    }
    m_start = m_lastProgress = Clock::now();
    m_tty = isatty(STDERR_FILENO) == 1;
    const double fps = m_source.frameRate();
    const long long limit = m_options.duration > 0.0 ? std::llround(m_options.duration * fps) : -1;
    // A live output runs in real time whatever the source: raw input is paced too.
    const bool anyLive = std::any_of(m_outputs.begin(), m_outputs.end(),
                                     [](const std::unique_ptr<Output>& out) { return out->live; });
    const bool paced = (m_source.isLive() || anyLive) && !m_options.fast;
    const auto& audioFormat = m_outputs.front()->preset.audioOutput();
    const int sampleBytes = 2 * audioFormat.channels;

    QString sourceError;
    long long frames = 0;
    long long silenceSamples = 0;
    MediaSource::Chunk chunk;
    m_job->start(0);
    while (!m_stopRequested.load()) {
        if (limit >= 0 && frames >= limit)
            break;
        if (allOutputsStopped()) {
            m_allStopped = true;
            break;
        }
        unsigned char* lent = lendBuffer();
        if (lent)
            m_source.readNextInto(lent);
        if (!m_source.read(&chunk)) {
            if (lent)
                m_job->returnVideoBuffer(0, lent);
            sourceError = m_source.error();
            break;
        }
        if (!chunk.video && lent)
            m_job->returnVideoBuffer(0, lent);
        if (chunk.video) {
            if (paced)
                sleepUntil(m_start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(frames / fps)));
            if (m_stopRequested.load()) {
                if (lent)
                    m_job->returnVideoBuffer(0, lent);
                break;
            }
            pushVideo(chunk, lent);
            ++frames;
            if (!m_source.hasAudio()) {
                // Silence that lasts exactly as long as the frames pushed so far.
                const long long end = std::llround(frames * audioFormat.sampleRate / fps);
                m_silence.assign(static_cast<size_t>(end - silenceSamples) * sampleBytes, 0);
                silenceSamples = end;
                pushAudio(m_silence.data(), static_cast<int>(m_silence.size()));
            }
        }
        if (chunk.audioBytes > 0 && frames > 0)
            pushAudio(chunk.audio, chunk.audioBytes);
        showProgress(false);
        flushMessages();
    }
    m_interrupted = m_stopRequested.load();
    if (m_interrupted && !m_options.quiet)
        say(QStringLiteral("stopping; the files are being finished (Ctrl-C again quits at once)"));
    flushMessages();
    if (m_allStopped)
        say(QStringLiteral("every output has failed; the job ends"));

    // Host order: stop the job (it hands over what is queued and stops every pipeline, whose
    // threads encode what they hold), then delete it (which deletes the pipelines, writing the
    // trailers and closing the files).
    // The state at the end of the run is the one reported, not the one stop() leaves.
    watchLive();
    m_finishing = true;
    const auto end = Clock::now();
    m_job->stop();
    m_inputDrops =
        m_job->syncInfo().videoInputDrops.load() + m_job->syncInfo().audioInputDrops.load();
    for (auto& out : m_outputs) {
        const AVSync& sync = out->encoder->getSyncInfo();
        if (out->live) {
            out->reconnects = sync.liveReconnects.load();
            out->liveDropped = sync.liveDrops.load();
            takeLiveReason(*out);
            // The library's account, up to its last look at the link; a link still up when
            // the job ended kept the stream to the end, however short it was.
            out->liveMs = sync.liveMs.load();
            if (out->liveMs <= 0 && out->liveState == static_cast<int>(LiveState::Live))
                out->liveMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - out->liveSince)
                        .count();
            out->wasLive = out->liveMs > 0;
            out->link.rttMs = sync.linkRttMs.load();
            out->link.retransmitted = sync.linkRetransmitted.load();
            out->link.dropped = sync.linkDropped.load();
        }
        out->frames = static_cast<long long>(out->encoder->encodedVideo().frameCount.load());
        if (out->videoStopped.load()) {
            // Its encoder may have gone on for other outputs: count what its files got.
            std::lock_guard<std::mutex> lock(out->mutex);
            out->frames = std::min(out->frames, out->framesInEarlierFiles + out->framesInFile);
        }
        out->drops =
            sync.videoInputDrops.load() + sync.videoOutputDrops.load() + sync.audioDrops.load();
    }
    showProgress(true);
    if (m_progressShown) {
        std::fputc('\n', stderr);
        m_progressShown = false;
    }
    destroyJob();
    for (auto& out : m_outputs) {
        for (const QString& path : out->currentPaths()) {
            // A file whose folder was deleted while it was written is gone with it.
            if (out->preset.local().enabled && !QFileInfo::exists(path))
                out->vanished.append(path);
            out->bytes += QFileInfo(path).size();
        }
        if (out->preset.streaming().enabled && !out->preset.local().enabled)
            out->bytes = out->videoFrom->videoBytes.load() + out->audioBytes.load();
    }
    clearProgressLine();
    flushMessages();
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
    if (!sourceError.isEmpty())
        say(sourceError);
    if (frames == 0 && sourceError.isEmpty() && !m_interrupted)
        say(QStringLiteral("the source delivered no video frame: nothing was recorded"));
    if (m_source.damaged() > 0 && !m_options.quiet)
        say(QStringLiteral("%1 damaged packets or frames of the source were skipped")
                .arg(m_source.damaged()));
    for (auto& out : m_outputs)
        out->failed = out->stopped() || (!out->live && out->writeFailures.load() > 0) ||
                      out->frames == 0 || !out->vanished.isEmpty() || (out->live && !out->wasLive);
    printSummary(elapsed, sourceError);

    bool failed = !sourceError.isEmpty() || (frames == 0 && !m_interrupted);
    for (auto& out : m_outputs) {
        failed = failed || out->failed;
        if (out->live && !out->wasLive && frames > 0)
            say(QStringLiteral("output %1: never live: nothing reached %2 (%3)")
                    .arg(out->number)
                    .arg(out->maskedUrl,
                         out->liveReason.isEmpty()
                             ? QStringLiteral("is the server running and does it accept the "
                                              "stream?")
                             : QStringLiteral("last reason: ") +
                                   shortReason(out->liveReason, kSummaryReasonChars)));
        for (const QString& path : out->vanished)
            say(QStringLiteral("output %1: the file '%2' is gone (was its folder deleted while "
                               "it was written?)")
                    .arg(out->number)
                    .arg(path));
        if (out->frames == 0 && frames > 0)
            say(QStringLiteral("output %1: no video was written").arg(out->number));
    }
    return failed ? ExitStatus::Failed : ExitStatus::Done;
}

void JobRunner::printSummary(double elapsed, const QString& sourceError)
{
    if (m_options.json) {
        QJsonArray outputs;
        for (auto& out : m_outputs) {
            const double seconds = out->frames / out->preset.videoCodec().frameRate;
            QJsonObject o;
            o.insert(QStringLiteral("output"), out->number);
            o.insert(QStringLiteral("container"), out->preset.container().format);
            o.insert(QStringLiteral("videoCodec"), out->preset.videoCodec().codecName);
            o.insert(QStringLiteral("width"), out->preset.videoCodec().width);
            o.insert(QStringLiteral("height"), out->preset.videoCodec().height);
            o.insert(QStringLiteral("audioCodec"),
                     out->preset.audioCodec().enabled
                         ? QJsonValue(out->preset.audioCodec().codecName)
                         : QJsonValue());
            QJsonArray files;
            for (const QString& path : out->currentPaths())
                files.append(redact(path));
            o.insert(QStringLiteral("files"), files);
            if (!out->vanished.isEmpty())
                o.insert(QStringLiteral("vanished"), QJsonArray::fromStringList(out->vanished));
            if (out->live) {
                QJsonObject live;
                live.insert(QStringLiteral("url"), out->maskedUrl);
                live.insert(QStringLiteral("state"), QLatin1String(liveStateName(out->liveState)));
                live.insert(QStringLiteral("everLive"), out->wasLive);
                live.insert(QStringLiteral("wasLive"), out->wasLive); // the earlier name
                live.insert(QStringLiteral("liveSeconds"), out->liveMs / 1000.0);
                live.insert(QStringLiteral("reconnects"), out->reconnects);
                live.insert(QStringLiteral("dropped"), out->liveDropped);
                live.insert(QStringLiteral("lastReason"),
                            shortReason(out->liveReason, kSummaryReasonChars));
                if (out->srt) {
                    QJsonObject link;
                    link.insert(QStringLiteral("rttMs"), out->link.rttMs);
                    link.insert(QStringLiteral("retransmitted"),
                                static_cast<double>(out->link.retransmitted));
                    link.insert(QStringLiteral("dropped"), static_cast<double>(out->link.dropped));
                    live.insert(QStringLiteral("link"), link);
                }
                o.insert(QStringLiteral("live"), live);
            }
            o.insert(QStringLiteral("frames"), out->frames);
            if (out->videoFrom != out.get())
                o.insert(QStringLiteral("videoSharedWith"), out->videoFrom->number);
            o.insert(QStringLiteral("duration"), seconds);
            o.insert(QStringLiteral("bytes"), out->bytes);
            o.insert(QStringLiteral("bitrate"),
                     seconds > 0 ? std::round(out->bytes * 8 / seconds / 1000) : 0.0);
            o.insert(QStringLiteral("drops"), out->drops);
            o.insert(QStringLiteral("writeFailures"), out->writeFailures.load());
            o.insert(QStringLiteral("lowDiskSpace"), out->videoStopped.load());
            o.insert(QStringLiteral("failed"), out->failed);
            outputs.append(o);
        }
        QJsonObject root;
        root.insert(QStringLiteral("source"), redact(m_source.describe()));
        root.insert(QStringLiteral("interrupted"), m_interrupted);
        root.insert(QStringLiteral("elapsed"), std::round(elapsed * 1000) / 1000);
        root.insert(QStringLiteral("damaged"), m_source.damaged());
        root.insert(QStringLiteral("inputDrops"), m_inputDrops);
        root.insert(QStringLiteral("failureReports"), m_failureReports.load());
        if (!sourceError.isEmpty())
            root.insert(QStringLiteral("sourceError"), redact(sourceError));
        root.insert(QStringLiteral("outputs"), outputs);
        std::fputs(QJsonDocument(root).toJson(QJsonDocument::Indented).constData(), stdout);
        std::fflush(stdout);
        return;
    }
    if (m_options.quiet)
        return;
    std::printf("%s %s in %.1f s\n",
                m_interrupted ? "stopped:" : "done:", qPrintable(redact(m_source.describe())),
                elapsed);
    if (m_source.damaged() > 0)
        std::printf("  %lld damaged packets or frames skipped\n", m_source.damaged());
    if (m_inputDrops > 0)
        std::printf("  %lld frames or sound buffers dropped: the outputs fell behind the source\n",
                    m_inputDrops);
    for (auto& out : m_outputs) {
        const double seconds = out->frames / out->preset.videoCodec().frameRate;
        std::printf("output %d: %s%s\n", out->number, qPrintable(out->title()),
                    out->failed ? " (failed)" : "");
        if (out->videoFrom != out.get())
            std::printf("  video encoded once, with output %d\n", out->videoFrom->number);
        for (const QString& path : out->currentPaths())
            std::printf("  %s%s\n", qPrintable(redact(path)),
                        out->vanished.contains(path) ? " (gone)" : "");
        if (out->live) {
            const QString held =
                out->wasLive ? QStringLiteral("live for %1 s").arg(out->liveMs / 1000.0, 0, 'f', 1)
                             : QStringLiteral("never live");
            const QString why = shortReason(out->liveReason, kSummaryReasonChars);
            std::printf("  %s: %s, %s, %d reconnects, %lld packets dropped%s\n",
                        qPrintable(out->maskedUrl), liveStateName(out->liveState), qPrintable(held),
                        out->reconnects, out->liveDropped,
                        why.isEmpty() ? "" : qPrintable(QStringLiteral("; last reason: ") + why));
        }
        if (out->srt && out->wasLive)
            std::printf("  link: rtt %.1f ms, %lld packets retransmitted, %lld dropped\n",
                        out->link.rttMs, out->link.retransmitted, out->link.dropped);
        std::printf("  %lld frames, %s, %s, %.0f kbit/s", out->frames,
                    qPrintable(timeText(seconds)), qPrintable(sizeText(out->bytes)),
                    seconds > 0 ? out->bytes * 8 / seconds / 1000 : 0.0);
        if (out->drops)
            std::printf(", %d dropped", out->drops);
        if (out->writeFailures.load())
            std::printf(", %d packets not written", out->writeFailures.load());
        if (out->videoStopped.load())
            std::printf(", stopped for lack of disk space");
        std::printf("\n");
    }
    std::fflush(stdout);
}
