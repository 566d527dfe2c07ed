#include "api/Strevo.h"

#include "codec/video/MFVideo.h"
#include "codec/video/amf/AmfEncoder.h"
#include "codec/video/nvenc/NvencAvailable.h"
#include "common/AudioQueue.h"
#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/LockedFifo.h"
#include "common/PixelFormat.h"
#include "common/ThreadCallback.h"
#include "common/TimeStamp.h"
#include "common/VideoQueue.h"
#include "encoder/IEncoder.h"

#include <QDebug>
#include <algorithm>
#include <chrono>
#include <utility>

namespace {

// Whether the machine can run a hardware encoder: each family's own probe, which loads its
// runtime or opens a session once per process and remembers the answer.
bool nvencCheck()
{
    return nvencAvailable();
}
bool amfCheck()
{
    return AmfEncoder::amfAvailable();
}
// A Media Foundation encoder transform, by class id.
bool mediaFoundationCheck(const char* classId)
{
    return MFVideo::enableCheck(classId);
}

const char* const kIntelH264 = "{4BE8D3C0-0515-4A37-AD55-E4BAE19AF471}";
const char* const kIntelHevc = "{BC10864D-2B34-408F-912A-102B1B867B6C}";

} // namespace

#ifndef STREVO_VERSION
#define STREVO_VERSION "0.0.0.0"
#endif
#ifndef STREVO_BUILD_ID
#define STREVO_BUILD_ID 0x0
#endif

namespace {

constexpr int kSources = 3;
constexpr int kAudioInputs = 9;
// FIFO depths: the worker only copies into the pipelines, so a few frames cover any hiccup;
// beyond that the input is dropped and counted rather than held.
constexpr int kVideoDepth = 16;
constexpr int kAudioDepth = 256;
// How long the worker waits for room in a pipeline before handing it a frame anyway (the
// pipeline then drops and counts it).
constexpr int kHandOverWaitMs = 1000;

// A queued frame with the stamp it came with (a VideoQueue does not keep one): a copy, or a
// buffer that `lender` lent the host, which goes back to it unless it was submitted there.
struct QueuedVideo
{
    QueuedVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts,
                IEncoder* lender = nullptr)
        : frame(lender ? nullptr : data, width, height, format, false, ts), hasStamp(ts != nullptr),
          lender(lender), lent(lender ? data : nullptr)
    {
        if (ts)
            stamp = *ts;
    }
    ~QueuedVideo()
    {
        if (lent)
            lender->returnVideoBuffer(lent);
    }
    QueuedVideo(const QueuedVideo&) = delete;
    QueuedVideo& operator=(const QueuedVideo&) = delete;

    VideoQueue frame; // no pixels for a lent buffer
    TimeStamp stamp;
    bool hasStamp;
    IEncoder* lender;
    unsigned char* lent;
};

} // namespace

struct Strevo::Queues
{
    Queues()
    {
        for (int i = 0; i < kSources; ++i) {
            video[i].setLimit(kVideoDepth);
            texture[i].setLimit(kVideoDepth);
        }
        for (auto& a : audio)
            a.setLimit(kAudioDepth);
    }
    LockedFifo<QueuedVideo> video[kSources];
    LockedFifo<QueuedVideo> texture[kSources];
    LockedFifo<AudioQueue> audio[kAudioInputs];
};

Strevo::Strevo(QObject* parent) : QObject(parent), m_queues(std::make_unique<Queues>()) {}

Strevo::~Strevo()
{
    clearQueue();
    m_encoding.store(0);
    ThreadCallback* thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        std::swap(thread, m_thread);
    }
    delete thread; // joins the worker, which may still be handing a frame to a pipeline
    for (CodecPreset*& preset : m_codecPresets) {
        delete preset;
        preset = nullptr;
    }
    for (Route& route : m_encoders) {
        delete route.encoder;
        route.encoder = nullptr;
    }
    m_codecPresets.clear();
    m_encoders.clear();
    qDebug() << "destroy Strevo";
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
        qWarning("Strevo::addEncoder: no pipeline or source %d / audio input %d out of range",
                 source, audioInput);
        return false;
    }
    if (isEncoding()) {
        qWarning("Strevo::addEncoder: the job is encoding; add pipelines before start");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_encodersMutex);
        m_encoders.append({encoder, source, audioInput});
    }
    m_inputSources.insert(source);
    return true;
}

bool Strevo::start(int skipFrames)
{
    if (m_codecPresets.isEmpty())
        return false;
    m_skipFrames.store(skipFrames > 0 ? skipFrames : 0);
    int mask = 0;
    for (int source : m_inputSources)
        mask |= 1 << source;
    m_sourceMask.store(mask);
    m_frameWidth.store(m_projectPreset.videoOutput().width);
    m_frameHeight.store(m_projectPreset.videoOutput().height);
    m_textureInput.store(m_projectPreset.processing().textureInput == 1);
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        if (!m_thread) {
            m_thread = new ThreadCallback(this);
            m_thread->start(QThread::InheritPriority);
        }
    }
    for (auto& fifo : m_queues->video)
        fifo.setOpen(true);
    m_idleWarned.store(false);
    m_encoding.store(1);
    return true;
}

bool Strevo::stop()
{
    m_encoding.store(0);
    for (auto& fifo : m_queues->video)
        fifo.setOpen(false); // releases hosts in waitForVideoRoom
    ThreadCallback* thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        std::swap(thread, m_thread);
    }
    // The worker feeds the pipelines: it hands over what is queued and ends before they stop.
    delete thread;
    for (IEncoder* encoder : encoders())
        encoder->stop();
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
    std::lock_guard<std::mutex> lock(m_encodersMutex);
    QVector<IEncoder*> list;
    list.reserve(m_encoders.size());
    for (const Route& route : m_encoders)
        list.append(route.encoder);
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
        qWarning("%s: the job is not encoding; input refused", call);
    return true;
}

bool Strevo::takeSkip(bool video)
{
    int skip = m_skipFrames.load();
    if (!video) {
        if (skip > 0)
            qDebug() << "skip Strevo::enqueueAudio" << skip;
        return skip > 0;
    }
    while (skip >= 1) {
        if (m_skipFrames.compare_exchange_weak(skip, skip - 1))
            return true;
    }
    return false;
}

void Strevo::wakeWorker()
{
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_thread)
        m_thread->wakeThread();
}

void Strevo::enqueueVideo(unsigned char* planes[][3], QSize sizes[], int formats[], TimeStamp* ts)
{
    if (refuseWhenIdle("Strevo::enqueueVideo"))
        return;
    if (!planes) {
        qWarning("Strevo::enqueueVideo: no planes; frame refused");
        return;
    }
    const int mask = m_sourceMask.load();
    const int width = m_frameWidth.load(), height = m_frameHeight.load();
    for (int i = 0; i < kSources; ++i) {
        if (!(mask & (1 << i)) || !planes[0][i])
            continue;
        if (!sizes || !formats) {
            qWarning("Strevo::enqueueVideo: source %d has a frame but no %s; frame refused", i,
                     sizes ? "pixel format" : "size");
            return;
        }
        if (sizes[i] != QSize(width, height)) {
            qWarning("Strevo::enqueueVideo: source %d frame is %dx%d, the project's is %dx%d; "
                     "frame refused",
                     i, sizes[i].width(), sizes[i].height(), width, height);
            return;
        }
        if (pixelFormatFrameSize(formats[i], width, height) <= 0) {
            qWarning("Strevo::enqueueVideo: source %d pixel format %d has no frame layout; "
                     "frame refused",
                     i, formats[i]);
            return;
        }
    }
    if (takeSkip(true))
        return;
    for (int i = 0; i < kSources; ++i) {
        if (!(mask & (1 << i)))
            continue;
        if (planes[0][i] && !m_queues->video[i].append(std::make_unique<QueuedVideo>(
                                planes[0][i], sizes[i].width(), sizes[i].height(), formats[i], ts)))
            m_syncInfo.videoInputDrops.fetch_add(1, std::memory_order_relaxed);
        if (planes[1][i] && !m_queues->texture[i].append(
                                std::make_unique<QueuedVideo>(planes[1][i], 0, 0, PIX_TEXTURE, ts)))
            m_syncInfo.videoInputDrops.fetch_add(1, std::memory_order_relaxed);
    }
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
    wakeWorker();
}

IEncoder* Strevo::onlyPipelineOf(int source)
{
    std::lock_guard<std::mutex> lock(m_encodersMutex);
    IEncoder* only = nullptr;
    for (const Route& route : m_encoders) {
        if (route.source != source)
            continue;
        if (only)
            return nullptr;
        only = route.encoder;
    }
    return only;
}

unsigned char* Strevo::lendVideoBuffer(int source, int format, int timeoutMs)
{
    if (source < 0 || source >= kSources || !(m_sourceMask.load() & (1 << source)) ||
        m_textureInput.load() || !isEncoding())
        return nullptr;
    IEncoder* pipeline = onlyPipelineOf(source);
    if (!pipeline)
        return nullptr;
    unsigned char* buffer =
        pipeline->lendVideoBuffer(m_frameWidth.load(), m_frameHeight.load(), format, timeoutMs);
    if (buffer)
        m_lentFormat[source].store(format);
    return buffer;
}

void Strevo::returnVideoBuffer(int source, unsigned char* buffer)
{
    IEncoder* pipeline = source >= 0 && source < kSources ? onlyPipelineOf(source) : nullptr;
    if (buffer && pipeline)
        pipeline->returnVideoBuffer(buffer);
}

void Strevo::submitVideoBuffer(int source, unsigned char* buffer, TimeStamp* ts)
{
    IEncoder* pipeline = source >= 0 && source < kSources ? onlyPipelineOf(source) : nullptr;
    if (!buffer || !pipeline)
        return;
    // From here on the entry owns the buffer: dropped, skipped or refused, it goes back.
    auto item = std::make_unique<QueuedVideo>(buffer, m_frameWidth.load(), m_frameHeight.load(),
                                              m_lentFormat[source].load(), ts, pipeline);
    if (refuseWhenIdle("Strevo::submitVideoBuffer") || takeSkip(true))
        return;
    if (!m_queues->video[source].append(std::move(item)))
        m_syncInfo.videoInputDrops.fetch_add(1, std::memory_order_relaxed);
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
    wakeWorker();
}

bool Strevo::waitForVideoRoom(int timeoutMs)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const int mask = m_sourceMask.load();
    for (int i = 0; i < kSources; ++i) {
        if (!isEncoding())
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if ((mask & (1 << i)) && !m_queues->video[i].waitForRoom(static_cast<int>(left.count())))
            return false;
    }
    return isEncoding();
}

void Strevo::enqueueAudio(const QList<AudioOutputData>& list, int size)
{
    if (refuseWhenIdle("Strevo::enqueueAudio"))
        return;
    if (size <= 0) {
        qWarning("Strevo::enqueueAudio: size %d; audio refused", size);
        return;
    }
    if (takeSkip(false))
        return;
    {
        std::lock_guard<std::mutex> lock(m_audioMutex);
        m_lastAudio.clear();
        for (int i = 0; i < list.size() && i < kAudioInputs; ++i) {
            if (!list[i].buffer)
                continue;
            m_lastAudio.append(list[i]);
            if (!m_queues->audio[i].append(std::make_unique<AudioQueue>(list[i].buffer, size)))
                m_syncInfo.audioInputDrops.fetch_add(1, std::memory_order_relaxed);
        }
    }
    wakeWorker();
}

void Strevo::enqueueAudio(unsigned char* buffers[], int size)
{
    if (refuseWhenIdle("Strevo::enqueueAudio"))
        return;
    if (!buffers || size <= 0) {
        qWarning("Strevo::enqueueAudio: %s; audio refused",
                 buffers ? qPrintable(QStringLiteral("size %1").arg(size)) : "no buffers");
        return;
    }
    if (takeSkip(false))
        return;
    const int mask = m_sourceMask.load();
    for (int i = 0; i < kSources; ++i) {
        if ((mask & (1 << i)) && buffers[i] &&
            !m_queues->audio[i].append(std::make_unique<AudioQueue>(buffers[i], size)))
            m_syncInfo.audioInputDrops.fetch_add(1, std::memory_order_relaxed);
    }
    wakeWorker();
}

void Strevo::clearQueue()
{
    for (int i = 0; i < kSources; ++i) {
        m_queues->video[i].clear();
        m_queues->texture[i].clear();
    }
    for (auto& audio : m_queues->audio)
        audio.clear();
}

bool Strevo::anythingQueued() const
{
    for (int i = 0; i < kSources; ++i) {
        if (!m_queues->video[i].isEmpty() || !m_queues->texture[i].isEmpty())
            return true;
    }
    for (const auto& audio : m_queues->audio) {
        if (!audio.isEmpty())
            return true;
    }
    return false;
}

bool Strevo::forwardQueued()
{
    QVector<Route> routes;
    {
        std::lock_guard<std::mutex> lock(m_encodersMutex);
        routes = m_encoders;
    }
    const bool textures = m_textureInput.load();
    bool any = false;
    // In rounds of one frame per source and all the sound queued so far, so that sound keeps
    // flowing while the worker waits for room for frames that a host keeps adding.
    while (forwardRound(routes, textures))
        any = true;
    return any;
}

bool Strevo::forwardRound(const QVector<Route>& routes, bool textures)
{
    bool any = false;
    for (int i = 0; i < kSources; ++i) {
        // A pipeline takes either the pixels or the textures of its source; the other kind is
        // only drained.
        LockedFifo<QueuedVideo>& used = textures ? m_queues->texture[i] : m_queues->video[i];
        (textures ? m_queues->video[i] : m_queues->texture[i]).clear();
        if (std::unique_ptr<QueuedVideo> item = used.tryTake()) {
            any = true;
            const VideoQueue& f = item->frame;
            for (const Route& route : routes) {
                if (route.source != i)
                    continue;
                route.encoder->waitForVideoRoom(kHandOverWaitMs);
                if (item->lent) {
                    if (route.encoder == item->lender)
                        route.encoder->submitVideoBuffer(std::exchange(item->lent, nullptr),
                                                         item->hasStamp ? &item->stamp : nullptr);
                } else if (item->hasStamp)
                    route.encoder->enqueueVideo(f.data(), f.width(), f.height(), f.format(),
                                                &item->stamp);
                else
                    route.encoder->enqueueVideo(f.data(), f.width(), f.height(), f.format());
            }
        }
    }
    for (int i = 0; i < kAudioInputs; ++i) {
        for (int n = 0; n < kAudioDepth; ++n) {
            std::unique_ptr<AudioQueue> buffer = m_queues->audio[i].tryTake();
            if (!buffer)
                break;
            any = true;
            for (const Route& route : routes) {
                if (route.audioInput == i)
                    route.encoder->enqueueAudio(buffer->data(), buffer->size());
            }
        }
    }
    return any;
}

void Strevo::threadCallback()
{
    auto* self = static_cast<ThreadCallback*>(QThread::currentThread());
    while (!self->isExitThread()) {
        self->waitUntil([this] { return anythingQueued(); });
        forwardQueued();
    }
    // What the host queued before the job stopped still reaches the pipelines.
    forwardQueued();
    m_encoding.store(0);
}

void Strevo::ecoderStateCallback(IEncoder*, int type, int state)
{
    if (type == 0 && state < 0)
        emit encoderResult(state);
}

int Strevo::codecIdFromName(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    return entry ? entry->avCodecId : 0;
}

QMap<int, QString> Strevo::availableVideoCodecs()
{
    QMap<int, QString> list;
    // The two NVENC entries rest on one probe, asked for each.
    if (nvencCheck())
        list.insert(2, QStringLiteral("H264(NVENC)"));
    if (nvencCheck())
        list.insert(16, QStringLiteral("HEVC(NVENC)"));
    if (mediaFoundationCheck(kIntelH264))
        list.insert(1, QStringLiteral("H264(QuickSync)"));
    if (mediaFoundationCheck(kIntelHevc))
        list.insert(8, QStringLiteral("HEVC(QuickSync)"));
    if (amfCheck())
        list.insert(4, QStringLiteral("H264(AMF)"));
    list.insert(8192, QStringLiteral("H264"));
    list.insert(64, QStringLiteral("X264"));
    list.insert(128, QStringLiteral("VP8"));
    list.insert(512, QStringLiteral("QuickTime Animation (RLE)"));
    list.insert(2048, QStringLiteral("MJPEG"));
    list.insert(4096, QStringLiteral("Apple ProRes"));
    return list;
}

QMap<int, QString> Strevo::availableAudioCodecs()
{
    return {{1, QStringLiteral("AAC")}, {2, QStringLiteral("MP3")}, {16, QStringLiteral("PCM")}};
}

QMap<int, QString> Strevo::availableContainers()
{
    return {{1, QStringLiteral("mp4")},    {2, QStringLiteral("mov")},
            {4, QStringLiteral("flv")},    {8, QStringLiteral("ts")},
            {32, QStringLiteral("m2ts")},  {64, QStringLiteral("mkv")},
            {128, QStringLiteral("avi")},  {256, QStringLiteral("wmv")},
            {512, QStringLiteral("webm")}, {1024, QStringLiteral("m3u8")}};
}
