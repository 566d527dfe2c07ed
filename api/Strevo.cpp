#include "api/Strevo.h"

#include "api/Catalogue.h"
#include "api/FramePacking.h"
#include "api/InputRefusals.h"
#include "api/LentBuffers.h"
#include "api/ObserverDispatch.h"
#include "api/OutputFeed.h"
#include "api/SharedFramePool.h"

#include "common/AudioQueue.h"
#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "encoder/IEncoder.h"
#include "encoder/IOutputEvents.h"
#include "encoder/RefEncoder.h"

#include <QDebug>
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

extern "C" {
#include <libavcodec/codec_id.h>
}

#ifndef STREVO_VERSION
#define STREVO_VERSION "0.0.0.0"
#endif
#ifndef STREVO_BUILD_ID
#define STREVO_BUILD_ID 0x0
#endif

namespace {

constexpr int kSources = 3;
constexpr int kAudioInputs = 9;
// Free frame buffers the job keeps for reuse between frames.
constexpr int kPoolKeep = 8;
// How long stop() and the destructor wait for the observer to hear what happened.
constexpr std::chrono::milliseconds kObserverFlush{2000};

using Feeds = std::vector<std::shared_ptr<OutputFeed>>;
using FramePtr = std::shared_ptr<const OutputFeed::Frame>;

// Every pipeline of source `source` that takes video gets the frame.
void offerFrame(const Feeds& feeds, int source, const FramePtr& frame)
{
    for (const auto& feed : feeds)
        if (feed->source() == source && feed->takesVideo())
            feed->offerVideo(frame);
}

// One copy of the buffer for every pipeline of audio input `input`.
void offerAudio(const Feeds& feeds, int input, const unsigned char* data, int size)
{
    auto buffer = std::make_shared<const AudioQueue>(data, size);
    for (const auto& feed : feeds)
        if (feed->audioInput() == input)
            feed->offerAudio(buffer);
}

} // namespace

// Takes the pipelines' live-state changes for the observer.
struct Strevo::Events : IOutputEvents
{
    explicit Events(Strevo& job) : job(job) {}
    void liveStateChanged(IEncoder* encoder, LiveState state, const QString& reason) override
    {
        switch (state) {
        case LiveState::Connecting:
            // A reason while connecting: an attempt failed, and the next one is paced.
            job.postState(encoder,
                          reason.isEmpty() ? strevo::OutputState::Connecting
                                           : strevo::OutputState::Failed,
                          reason);
            break;
        case LiveState::Live:
            job.postState(encoder, strevo::OutputState::Live, QString());
            break;
        case LiveState::Reconnecting:
            job.postState(encoder, strevo::OutputState::Reconnecting, reason);
            break;
        default:
            break; // the job says Stopped itself, once the output has really ended
        }
    }
    void replaySaved(IEncoder* encoder, const QString& path, bool ok,
                     const QString& reason) override
    {
        job.postReplay(encoder, path, ok, reason);
    }
    Strevo& job;
};

Strevo::Strevo(QObject* parent)
    : QObject(parent), m_pool(SharedFramePool::create(kPoolKeep)),
      m_lent(std::make_unique<LentBuffers>()), m_refusals(std::make_unique<InputRefusals>())
{
    m_dispatch = std::make_unique<ObserverDispatch>([this] { return runningStats(); });
    m_events = std::make_unique<Events>(*this);
}

Strevo::~Strevo()
{
    m_dispatch->flush(kObserverFlush); // what happened before is told
    m_dispatch->setObserver(nullptr);
    std::lock_guard<std::mutex> control(m_controlMutex);
    m_stopping.store(true);
    clearQueue();
    m_encoding.store(0);
    for (const auto& feed : feeds())
        feed->finish(); // joins the hand-off, which may still be giving a frame to its pipeline
    for (CodecPreset*& preset : m_codecPresets) {
        delete preset;
        preset = nullptr;
    }
    // Each pipeline stays listed while it is deleted: a shared encoder's master still finds its
    // followers for the packets it drains. No snapshot reads them meanwhile.
    std::unique_lock<std::shared_mutex> inUse(m_pipelinesInUse);
    for (;;) {
        IEncoder* encoder = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_feedsMutex);
            if (m_feeds.empty())
                break;
            encoder = m_feeds.front()->encoder();
        }
        delete encoder;
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        m_feeds.erase(m_feeds.begin());
    }
    m_codecPresets.clear();
    qCDebug(lcStrevo) << "destroy Strevo";
}

bool Strevo::initialize(ProjectPreset* preset)
{
    if (preset)
        m_projectPreset = *preset;
    return true;
}

void Strevo::addCodecProfile(CodecPreset* preset)
{
    m_codecPresets.append(preset);
}

bool Strevo::addEncoder(IEncoder* encoder, int source, int audioInput)
{
    if (audioInput < 0)
        audioInput = source;
    if (!encoder || source < 0 || source >= kSources || audioInput >= kAudioInputs) {
        qCWarning(lcStrevo,
                  "Strevo::addEncoder: no pipeline or source %d / audio input %d out of range",
                  source, audioInput);
        return false;
    }
    if (isEncoding()) {
        qCWarning(lcStrevo, "Strevo::addEncoder: the job is encoding; add pipelines before start");
        return false;
    }
    if (auto* pipeline = dynamic_cast<Encoder*>(encoder))
        pipeline->setOutputEvents(m_events.get());
    {
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        m_feeds.push_back(std::make_shared<OutputFeed>(encoder, source, audioInput, m_nextIndex++));
    }
    m_inputSources.insert(source);
    return true;
}

int Strevo::addOutput(const CodecPreset& preset, int source, int audioInput, QString* whyNot)
{
    if (audioInput < 0)
        audioInput = source;
    QString why;
    if (source < 0 || source >= kSources || audioInput >= kAudioInputs)
        why = QStringLiteral("source %1 / audio input %2 is out of range (0-%3 / 0-%4)")
                  .arg(source)
                  .arg(audioInput)
                  .arg(kSources - 1)
                  .arg(kAudioInputs - 1);
    else if (m_stopping.load())
        why = QStringLiteral("the job is stopping");
    else
        why = Catalogue::presetProblem(preset);
    std::unique_lock<std::mutex> control(m_controlMutex, std::defer_lock);
    RefEncoder* pipeline = nullptr;
    if (why.isEmpty()) {
        control.lock();
        // The pipeline finds an output with the same video among encoders() and shares its
        // encoder; it reports to the job, and its live states reach the observer.
        CodecPreset copy(preset);
        pipeline = new RefEncoder;
        pipeline->setOutputEvents(m_events.get());
        {
            // Its link may report before the output is listed: held until then.
            std::lock_guard<std::mutex> lock(m_feedsMutex);
            m_joining[pipeline];
        }
        const int result = pipeline->initialize(this, &copy, true);
        if (result != IEncoder::Ok)
            why = result == IEncoder::DiskSpaceError
                      ? QStringLiteral("less than 201 MB free where it records")
                  : result == IEncoder::MuxerError
                      ? QStringLiteral("its output could not be opened")
                      : QStringLiteral("its encoders could not be set up");
        else if (!pipeline->start())
            why = QStringLiteral("its pipeline did not start");
    }
    if (!why.isEmpty()) {
        delete pipeline;
        {
            std::lock_guard<std::mutex> lock(m_feedsMutex);
            m_joining.erase(pipeline);
        }
        qCWarning(lcStrevo, "Strevo::addOutput: %s; no output added", qPrintable(why));
        if (whyNot)
            *whyNot = why;
        return -1;
    }
    const bool running = isEncoding();
    std::shared_ptr<OutputFeed> feed;
    {
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        feed = std::make_shared<OutputFeed>(pipeline, source, audioInput, m_nextIndex++);
    }
    if (running) {
        feed->startAnywhere();
        feed->start();
        m_sourceMask.fetch_or(1 << source);
    }
    {
        // Listed, and what it said so far told in order, before it can say more.
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        m_feeds.push_back(feed);
        m_dispatch->post(feed->index(), strevo::OutputState::Starting);
        for (const auto& [state, reason] : m_joining[pipeline])
            m_dispatch->post(feed->index(), state, reason);
        m_joining.erase(pipeline);
        if (running && !preset.streaming().enabled)
            m_dispatch->post(feed->index(), strevo::OutputState::Recording);
    }
    m_inputSources.insert(source);
    if (whyNot)
        whyNot->clear();
    return feed->index();
}

bool Strevo::removeOutput(int index)
{
    if (m_stopping.load()) {
        qCWarning(lcStrevo,
                  "Strevo::removeOutput(%d): the job is stopping; its outputs stop with it", index);
        return false;
    }
    std::lock_guard<std::mutex> control(m_controlMutex);
    std::shared_ptr<OutputFeed> feed;
    Feeds heirs;
    {
        // Every frame goes either to the output and not to its heirs, or the other way round.
        std::unique_lock<std::shared_mutex> offering(m_offering);
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        auto found = std::find_if(m_feeds.begin(), m_feeds.end(),
                                  [index](const auto& f) { return f->index() == index; });
        if (found == m_feeds.end()) {
            qCWarning(lcStrevo,
                      "Strevo::removeOutput(%d): no such output (never added, or "
                      "removed already)",
                      index);
            return false;
        }
        feed = *found;
        // An output that encodes video for others: those hold their frames from now on, so
        // that the one that takes the encoder over goes on without a gap.
        auto* master = dynamic_cast<RefEncoder*>(feed->encoder());
        if (master && !master->isFollower() && master->videoCodecHolders() > 1)
            for (const auto& other : m_feeds) {
                auto* p = dynamic_cast<RefEncoder*>(other->encoder());
                if (p && p->isFollower() && p->sharesVideoCodec(master->sharedVideoCodec())) {
                    other->holdVideo(true);
                    heirs.push_back(other);
                }
            }
        m_feeds.erase(found);
    }
    feed->finish();
    IEncoder* encoder = feed->encoder();
    encoder->stop();
    {
        // No snapshot reads the pipeline any more.
        std::unique_lock<std::shared_mutex> wait(m_pipelinesInUse);
    }
    delete encoder; // finishes its file or closes its stream; hands its encoder over
    for (const auto& heir : heirs)
        heir->holdVideo(false);
    m_dispatch->post(index, strevo::OutputState::Stopped);
    return true;
}

void Strevo::setObserver(IStrevoObserver* observer)
{
    m_dispatch->setObserver(observer);
}

void Strevo::postState(IEncoder* encoder, strevo::OutputState state, const QString& reason)
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    for (const auto& feed : m_feeds)
        if (feed->encoder() == encoder) {
            m_dispatch->post(feed->index(), state, reason);
            return;
        }
    auto joining = m_joining.find(encoder);
    if (joining != m_joining.end())
        joining->second.emplace_back(state, reason);
}

void Strevo::postReplay(IEncoder* encoder, const QString& path, bool ok, const QString& reason)
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    for (const auto& feed : m_feeds)
        if (feed->encoder() == encoder) {
            m_dispatch->postReplay(feed->index(), path, ok, reason);
            return;
        }
}

bool Strevo::saveReplay(int index, QString* whyNot)
{
    QString why;
    bool started = false;
    {
        // The pipeline is not deleted meanwhile (removeOutput waits for this lock).
        std::shared_lock<std::shared_mutex> use(m_pipelinesInUse);
        std::shared_ptr<OutputFeed> feed;
        for (const auto& f : feeds())
            if (f->index() == index)
                feed = f;
        auto* pipeline = feed ? dynamic_cast<Encoder*>(feed->encoder()) : nullptr;
        if (!feed)
            why = QStringLiteral("output %1 is not running (never added, or removed)").arg(index);
        else if (!pipeline)
            why = QStringLiteral("output %1 is not a replay buffer").arg(index);
        else
            started = pipeline->saveReplay(&why);
    }
    if (!started)
        qCWarning(lcStrevo, "Strevo::saveReplay(%d): %s; nothing saved", index, qPrintable(why));
    if (whyNot)
        *whyNot = started ? QString() : why;
    return started;
}

strevo::OutputStats Strevo::snapshot(const OutputFeed& feed, const Feeds& list) const
{
    strevo::OutputStats stats;
    auto* pipeline = dynamic_cast<Encoder*>(feed.encoder());
    if (pipeline)
        stats = pipeline->outputStats();
    auto* follower = dynamic_cast<RefEncoder*>(feed.encoder());
    if (follower && follower->isFollower())
        for (const auto& other : list) {
            auto* p = dynamic_cast<RefEncoder*>(other->encoder());
            if (p && p != follower && !p->isFollower() &&
                p->sharesVideoCodec(follower->sharedVideoCodec()))
                stats.sharesEncoderWith = other->index();
        }
    stats.state = m_dispatch->state(feed.index());
    stats.bitrateKbps = m_dispatch->bitrateKbps(feed.index());
    return stats;
}

strevo::OutputStats Strevo::outputStats(int index) const
{
    std::shared_lock<std::shared_mutex> use(m_pipelinesInUse);
    const Feeds list = feeds();
    for (const auto& feed : list)
        if (feed->index() == index)
            return snapshot(*feed, list);
    strevo::OutputStats gone;
    gone.state = strevo::OutputState::Stopped;
    return gone;
}

std::vector<std::pair<int, strevo::OutputStats>> Strevo::runningStats() const
{
    std::shared_lock<std::shared_mutex> use(m_pipelinesInUse);
    const Feeds list = feeds();
    std::vector<std::pair<int, strevo::OutputStats>> stats;
    for (const auto& feed : list)
        if (m_dispatch->state(feed->index()) != strevo::OutputState::Stopped)
            stats.emplace_back(feed->index(), snapshot(*feed, list));
    return stats;
}

Feeds Strevo::feeds() const
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    return m_feeds;
}

bool Strevo::start(int skipFrames)
{
    std::lock_guard<std::mutex> control(m_controlMutex); // no output joins halfway
    if (m_codecPresets.isEmpty() && feeds().empty()) {
        qCWarning(lcStrevo, "Strevo::start: no output was added (addOutput, or addCodecProfile "
                            "with addEncoder); the job does not start");
        return false;
    }
    m_skipFrames.store(skipFrames > 0 ? skipFrames : 0);
    int mask = 0;
    for (int source : m_inputSources)
        mask |= 1 << source;
    m_sourceMask.store(mask);
    m_frameWidth.store(m_projectPreset.videoOutput().width);
    m_frameHeight.store(m_projectPreset.videoOutput().height);
    m_textureInput.store(m_projectPreset.processing().textureInput == 1);
    m_refusals->reset();
    for (const auto& feed : feeds()) {
        feed->start();
        // A live output's link reports for itself, from its first attempt on.
        const strevo::OutputState now = m_dispatch->state(feed->index());
        if (now == strevo::OutputState::Stopped)
            m_dispatch->post(feed->index(), strevo::OutputState::Starting);
        if (!feed->encoder()->codecPreset()->streaming().enabled &&
            (now == strevo::OutputState::Stopped || now == strevo::OutputState::Starting))
            m_dispatch->post(feed->index(), strevo::OutputState::Recording);
    }
    m_idleWarned.store(false);
    m_encoding.store(1);
    return true;
}

bool Strevo::stop()
{
    m_stopping.store(true);
    m_encoding.store(0);
    std::lock_guard<std::mutex> control(m_controlMutex);
    const Feeds list = feeds();
    // Every hand-off is closed first so that they all drain at once, each at its pipeline's pace.
    std::vector<std::thread> drains;
    for (const auto& feed : list)
        drains.emplace_back([feed] { feed->finish(); });
    for (std::thread& drain : drains)
        drain.join();
    for (const auto& feed : list)
        feed->encoder()->stop();
    for (const auto& feed : list)
        m_dispatch->post(feed->index(), strevo::OutputState::Stopped);
    m_stopping.store(false);
    m_dispatch->flush(kObserverFlush); // the observer knows before stop() returns
    return true;
}

bool Strevo::pause()
{
    for (IEncoder* encoder : encoders())
        encoder->pause();
    return true;
}

bool Strevo::isEncoding()
{
    return m_encoding.load() != 0;
}

QVector<IEncoder*> Strevo::encoders()
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    QVector<IEncoder*> list;
    list.reserve(static_cast<int>(m_feeds.size()));
    for (const auto& feed : m_feeds)
        list.append(feed->encoder());
    return list;
}

void Strevo::encodingCallback(IEncodingCallback* cb)
{
    for (IEncoder* encoder : encoders())
        encoder->encodingCallback(cb);
}

CodecPreset* Strevo::masterCodecPreset()
{
    if (!m_projectPreset.videoOutput().useMasterPreset)
        return nullptr;
    int best = -1;
    int max = 0;
    for (int i = 0; i < m_codecPresets.size(); ++i) {
        const int s =
            m_codecPresets[i]->videoCodec().width + m_codecPresets[i]->videoCodec().height;
        if (s > max) {
            best = i;
            max = s;
        }
    }
    return best < 0 ? nullptr : m_codecPresets[best];
}

QString Strevo::moduleVersion()
{
    return QString::asprintf("%s %s %08x", "strevo", STREVO_VERSION,
                             static_cast<unsigned>(STREVO_BUILD_ID));
}

AVSync& Strevo::syncInfo()
{
    return m_syncInfo;
}

const QSet<int>& Strevo::inputSources() const
{
    return m_inputSources;
}

QSet<int> Strevo::requestSources(int)
{
    return {};
}

int Strevo::requestMaxFormat(int, int, int format)
{
    return format;
}

QSize Strevo::requestMaxSize(int, const QSize& size, int)
{
    return size;
}

bool Strevo::refuseWhenIdle(const char* call)
{
    if (m_encoding.load() != 0)
        return false;
    // Input before start or after stop is expected around the edges of a job: say so once.
    if (!m_idleWarned.exchange(true))
        qCWarning(lcStrevo, "%s: the job is not encoding; input refused", call);
    return true;
}

bool Strevo::takeSkip(bool video)
{
    int skip = m_skipFrames.load();
    if (!video) {
        if (skip > 0)
            qCDebug(lcStrevo) << "skip Strevo::enqueueAudio" << skip;
        return skip > 0;
    }
    while (skip >= 1) {
        if (m_skipFrames.compare_exchange_weak(skip, skip - 1))
            return true;
    }
    return false;
}

void Strevo::enqueueVideo(unsigned char* planes[][3], QSize sizes[], int formats[], TimeStamp* ts)
{
    if (refuseWhenIdle("Strevo::enqueueVideo"))
        return;
    if (!planes) {
        qCWarning(lcStrevo, "Strevo::enqueueVideo: no planes; frame refused");
        return;
    }
    const int mask = m_sourceMask.load();
    const bool textures = m_textureInput.load();
    // Each source's frame is taken at its own size, which its pipelines scale to their outputs'.
    // A frame without a layout is refused alone; the call counts while any frame is left.
    int frameBytes[kSources] = {};
    bool refused = false, accepted = false;
    for (int i = 0; i < kSources; ++i) {
        if (!(mask & (1 << i)) || textures || !planes[0][i])
            continue;
        if (!sizes || !formats) {
            qCWarning(lcStrevo,
                      "Strevo::enqueueVideo: source %d has a frame but no %s; frame refused", i,
                      sizes ? "pixel format" : "size");
            return;
        }
        frameBytes[i] = pixelFormatFrameSize(formats[i], sizes[i].width(), sizes[i].height());
        if (frameBytes[i] > 0) {
            m_refusals->accept(i);
            accepted = true;
            continue;
        }
        refused = true;
        if (m_refusals->refuse(i, sizes[i], formats[i]))
            qCWarning(lcStrevo,
                      "Strevo::enqueueVideo: source %d frame is %dx%d in pixel format %d, "
                      "which has no frame layout; refused (said again when the source's frames "
                      "change)",
                      i, sizes[i].width(), sizes[i].height(), formats[i]);
    }
    if ((refused && !accepted) || takeSkip(true))
        return;
    std::shared_lock<std::shared_mutex> offering(m_offering);
    const Feeds list = feeds();
    for (int i = 0; i < kSources; ++i) {
        if (!(mask & (1 << i)))
            continue;
        // A pipeline takes either the pixels or the textures of its source, as the project says.
        auto frame = std::make_shared<OutputFeed::Frame>();
        if (ts) {
            frame->stamped = true;
            frame->stamp = *ts;
        }
        if (textures && planes[1][i]) {
            frame->data = planes[1][i];
            frame->format = PIX_TEXTURE;
        } else if (frameBytes[i] > 0) {
            strevo::VideoFrame packed;
            packed.source = i;
            packed.pixelFormat = formats[i];
            packed.width = sizes[i].width();
            packed.height = sizes[i].height();
            packed.planes[0] = planes[0][i];
            QString why;
            if (!queueFrame(packed, frameBytes[i], ts, list, &why))
                qCWarning(lcStrevo, "Strevo::enqueueVideo: %s; frame dropped", qPrintable(why));
            continue;
        } else {
            continue;
        }
        offerFrame(list, i, frame);
    }
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
}

bool Strevo::queueFrame(const strevo::VideoFrame& f, int frameBytes, const TimeStamp* ts,
                        const std::vector<std::shared_ptr<OutputFeed>>& list, QString* why)
{
    // The one copy of the frame, which every pipeline of the source shares.
    auto frame = std::make_shared<OutputFeed::Frame>();
    frame->pixels = m_pool->take(frameBytes);
    if (!frame->pixels) {
        *why = QStringLiteral("no memory for a %1-byte frame").arg(frameBytes);
        m_syncInfo.videoInputDrops.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    *why = FramePacking::pack(f, frameBytes, frame->pixels.get());
    if (!why->isEmpty())
        return false;
    if (ts) {
        frame->stamped = true;
        frame->stamp = *ts;
    }
    frame->data = frame->pixels.get();
    frame->width = f.width;
    frame->height = f.height;
    frame->format = f.pixelFormat;
    offerFrame(list, f.source, frame);
    return true;
}

bool Strevo::refuseInput(const QString& why, QString* whyNot)
{
    if (whyNot)
        *whyNot = why;
    if (m_refusals->firstTime(why))
        qCWarning(lcStrevo, "Strevo: %s; refused (said once)", qPrintable(why));
    return false;
}

bool Strevo::pushVideo(const strevo::VideoFrame& f, QString* whyNot)
{
    if (!isEncoding())
        return refuseInput(QStringLiteral("the job is not encoding"), whyNot);
    if (f.source < 0 || f.source >= kSources || !(m_sourceMask.load() & (1 << f.source)))
        return refuseInput(QStringLiteral("video source %1 has no output").arg(f.source), whyNot);
    if (m_textureInput.load())
        return refuseInput(QStringLiteral("the project takes GPU textures, not pixels"), whyNot);
    const int frameBytes = pixelFormatFrameSize(f.pixelFormat, f.width, f.height);
    if (frameBytes <= 0)
        return refuseInput(QStringLiteral("source %1: a %2x%3 frame in pixel format %4 has no "
                                          "layout")
                               .arg(f.source)
                               .arg(f.width)
                               .arg(f.height)
                               .arg(f.pixelFormat),
                           whyNot);
    if (takeSkip(true))
        return true;
    TimeStamp stamp;
    stamp.startFlag = 1;
    stamp.interlaced = f.interlaced;
    stamp.pts = f.timestampUs;
    QString why;
    std::shared_lock<std::shared_mutex> offering(m_offering);
    if (!queueFrame(f, frameBytes, f.timestampUs >= 0 ? &stamp : nullptr, feeds(), &why))
        return refuseInput(QStringLiteral("source %1: %2").arg(f.source).arg(why), whyNot);
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
    if (whyNot)
        whyNot->clear();
    return true;
}

bool Strevo::pushAudio(const strevo::AudioChunk& chunk, QString* whyNot)
{
    if (!isEncoding())
        return refuseInput(QStringLiteral("the job is not encoding"), whyNot);
    const Feeds list = feeds();
    const bool taken =
        std::any_of(list.begin(), list.end(), [&](const std::shared_ptr<OutputFeed>& feed) {
            return feed->audioInput() == chunk.audioInput;
        });
    if (!taken)
        return refuseInput(QStringLiteral("audio input %1 has no output").arg(chunk.audioInput),
                           whyNot);
    const ProjectModel::AudioOutput& project = m_projectPreset.audioOutput();
    if (chunk.channels != project.channels || chunk.sampleRate != project.sampleRate)
        return refuseInput(QStringLiteral("audio input %1: %2 channels at %3 Hz, but the project "
                                          "takes %4 at %5 Hz")
                               .arg(chunk.audioInput)
                               .arg(chunk.channels)
                               .arg(chunk.sampleRate)
                               .arg(project.channels)
                               .arg(project.sampleRate),
                           whyNot);
    if (!chunk.samples || chunk.frames <= 0)
        return refuseInput(QStringLiteral("audio input %1: no samples").arg(chunk.audioInput),
                           whyNot);
    if (takeSkip(false))
        return true;
    offerAudio(list, chunk.audioInput, reinterpret_cast<const unsigned char*>(chunk.samples),
               chunk.frames * chunk.channels * static_cast<int>(sizeof(int16_t)));
    if (whyNot)
        whyNot->clear();
    return true;
}

unsigned char* Strevo::lendVideoBuffer(int source, int format, int)
{
    if (source < 0 || source >= kSources || !(m_sourceMask.load() & (1 << source)) ||
        m_textureInput.load() || !isEncoding())
        return nullptr;
    std::shared_ptr<unsigned char> buffer =
        m_pool->take(pixelFormatFrameSize(format, m_frameWidth.load(), m_frameHeight.load()));
    return buffer ? m_lent->lend(std::move(buffer), format) : nullptr;
}

void Strevo::returnVideoBuffer(int, unsigned char* buffer)
{
    m_lent->take(buffer); // back to the pool
}

void Strevo::submitVideoBuffer(int source, unsigned char* buffer, TimeStamp* ts)
{
    LentBuffers::Buffer lent = m_lent->take(buffer);
    if (!lent.pixels) {
        if (buffer)
            qCWarning(lcStrevo, "Strevo::submitVideoBuffer: %p is not a buffer the job lent",
                      buffer);
        return;
    }
    // Dropped, skipped or refused, the buffer goes back to the pool with `lent`.
    if (source < 0 || source >= kSources || refuseWhenIdle("Strevo::submitVideoBuffer") ||
        takeSkip(true))
        return;
    auto frame = std::make_shared<OutputFeed::Frame>();
    frame->pixels = std::move(lent.pixels);
    frame->data = buffer;
    frame->width = m_frameWidth.load();
    frame->height = m_frameHeight.load();
    frame->format = lent.format;
    if (ts) {
        frame->stamped = true;
        frame->stamp = *ts;
    }
    {
        std::shared_lock<std::shared_mutex> offering(m_offering);
        offerFrame(feeds(), source, frame);
    }
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
}

bool Strevo::waitForVideoRoom(int timeoutMs)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const int mask = m_sourceMask.load();
    for (const auto& feed : feeds()) {
        if (!isEncoding())
            return false;
        if ((mask & (1 << feed->source())) && feed->takesVideo() &&
            !feed->waitForVideoRoom(deadline))
            return false;
    }
    return isEncoding();
}

void Strevo::enqueueAudio(const QList<AudioOutputData>& list, int size)
{
    if (refuseWhenIdle("Strevo::enqueueAudio"))
        return;
    if (size <= 0) {
        qCWarning(lcStrevo, "Strevo::enqueueAudio: size %d; audio refused", size);
        return;
    }
    if (takeSkip(false))
        return;
    const Feeds all = feeds();
    std::lock_guard<std::mutex> lock(m_audioMutex);
    m_lastAudio.clear();
    for (int i = 0; i < list.size() && i < kAudioInputs; ++i) {
        if (!list[i].buffer)
            continue;
        m_lastAudio.append(list[i]);
        offerAudio(all, i, list[i].buffer, size);
    }
}

void Strevo::enqueueAudio(unsigned char* buffers[], int size)
{
    if (refuseWhenIdle("Strevo::enqueueAudio"))
        return;
    if (!buffers || size <= 0) {
        qCWarning(lcStrevo, "Strevo::enqueueAudio: %s; audio refused",
                  buffers ? qPrintable(QStringLiteral("size %1").arg(size)) : "no buffers");
        return;
    }
    if (takeSkip(false))
        return;
    const int mask = m_sourceMask.load();
    const Feeds all = feeds();
    for (int i = 0; i < kSources; ++i) {
        if ((mask & (1 << i)) && buffers[i])
            offerAudio(all, i, buffers[i], size);
    }
}

void Strevo::clearQueue()
{
    for (const auto& feed : feeds())
        feed->clear();
}

void Strevo::threadCallback() {}

void Strevo::ecoderStateCallback(IEncoder* encoder, int type, int state)
{
    if (type != StateReport || state >= 0)
        return;
    // Low disk space or a failed write ended the pipeline's video: nobody waits for it any
    // more, unless it encodes the video of other outputs, which then still need its pace.
    const auto* pipeline = dynamic_cast<const Encoder*>(encoder);
    // A live stream's lost packets are its link's business: it reconnects and says so through
    // its own states, and its input goes on.
    const CodecPreset* preset = encoder ? encoder->codecPreset() : nullptr;
    if (state == WriteFailed && preset && preset->streaming().enabled && !preset->local().enabled) {
        emit encoderResult(state);
        return;
    }
    if ((state == LowDiskSpace || state == WriteFailed) &&
        !(pipeline && pipeline->encodesVideoForOthers()))
        for (const auto& feed : feeds())
            if (feed->encoder() == encoder)
                feed->fail();
    if (state == LowDiskSpace || state == WriteFailed)
        postState(encoder, strevo::OutputState::Failed,
                  state == LowDiskSpace
                      ? QStringLiteral("less than 201 MB free on the recording's volume")
                      : QStringLiteral("a write to the recording failed (a full volume or a "
                                       "file-size limit); the file ends there"));
    emit encoderResult(state);
}

int Strevo::codecIdFromName(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    return entry ? entry->avCodecId : 0;
}

void Strevo::setLogHandler(strevo::LogHandler handler)
{
    strevo::setLogHandler(std::move(handler));
}

void Strevo::setLogLevel(strevo::LogLevel level)
{
    strevo::setLogLevel(level);
}

QMap<int, QString> Strevo::availableVideoCodecs()
{
    return Catalogue::codecs(CodecTable::Kind::Video);
}

QMap<int, QString> Strevo::availableAudioCodecs()
{
    return Catalogue::codecs(CodecTable::Kind::Audio);
}

QMap<int, QString> Strevo::availableContainers()
{
    return Catalogue::containers();
}

QString Strevo::codecDevice(const QString& name)
{
    return Catalogue::device(name);
}
