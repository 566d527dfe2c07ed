#include "api/Strevo.h"

#include "api/OutputFeed.h"
#include "api/SharedFramePool.h"

#include "codec/video/MFVideo.h"
#include "codec/video/nvenc/NvencAvailable.h"
#include "common/AudioQueue.h"
#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "encoder/IEncoder.h"

#include <QDebug>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <utility>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

// Whether the machine runs the encoder behind a row: the hardware families ask their probe,
// which loads its runtime or opens a session once per process and remembers the answer (NVENC
// once for both rows, the other vendors per name); the software encoders are always there.
bool machineRuns(const CodecTable::Entry& entry)
{
    switch (entry.backend) {
    case CodecTable::Backend::Nvenc:
        return nvencAvailable();
    case CodecTable::Backend::MFVideo:
        return MFVideo::available(QLatin1String(entry.name));
    case CodecTable::Backend::Amf:
    case CodecTable::Backend::None:
        return false;
    default:
        return true;
    }
}

// The table's rows of one kind that have a catalogue key and run here.
QMap<int, QString> catalogue(CodecTable::Kind kind)
{
    QMap<int, QString> list;
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (int i = 0; i < count; ++i) {
        const CodecTable::Entry& entry = entries[i];
        if (entry.kind == kind && entry.catalogueKey != 0 && machineRuns(entry))
            list.insert(entry.catalogueKey, QLatin1String(entry.name));
    }
    return list;
}

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
// Free frame buffers the job keeps for reuse between frames.
constexpr int kPoolKeep = 8;

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

// Buffers lent to the host, by address, until submitted or returned.
struct Strevo::Lent
{
    std::mutex mutex;
    std::unordered_map<unsigned char*, std::pair<std::shared_ptr<unsigned char>, int>>
        buffers; // guarded by mutex: the buffer and its pixel format
};

// Per source, the size and format of the frame last refused, so that a run of frames refused
// for the same reason gives one warning: a source warns again when what it sends changes, or
// when it is refused again after an accepted frame.
struct Strevo::Refusals
{
    struct Shape
    {
        QSize size;
        int format = 0;
        bool refused = false; // the source's last frame was refused
    };
    // True when the source's frame of `size` and `format` is refused for a new reason: the
    // caller warns.
    bool refuse(int source, QSize size, int format)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Shape& last = shapes[source];
        const bool changed = !last.refused || last.size != size || last.format != format;
        last = {size, format, true};
        anyRefused.fetch_or(1 << source, std::memory_order_relaxed);
        return changed;
    }
    void accept(int source)
    {
        // The common case, no refusal outstanding, takes no lock. Calls from two host threads
        // at once have no order between them, so a refusal that races with an accepted frame
        // may stay recorded: at worst one warning fewer.
        if (!(anyRefused.load(std::memory_order_relaxed) & (1 << source)))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        shapes[source].refused = false;
        anyRefused.fetch_and(~(1 << source), std::memory_order_relaxed);
    }
    void reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Shape& shape : shapes)
            shape = {};
        anyRefused.store(0, std::memory_order_relaxed);
    }

    Shape shapes[kSources]; // guarded by mutex
    std::mutex mutex;
    // Bit i: shapes[i].refused; written under mutex, read without it by accept()'s shortcut.
    std::atomic<int> anyRefused{0};
};

Strevo::Strevo(QObject* parent)
    : QObject(parent), m_pool(SharedFramePool::create(kPoolKeep)), m_lent(std::make_unique<Lent>()),
      m_refusals(std::make_unique<Refusals>())
{
}

Strevo::~Strevo()
{
    clearQueue();
    m_encoding.store(0);
    for (const auto& feed : feeds())
        feed->finish(); // joins the hand-off, which may still be giving a frame to its pipeline
    for (CodecPreset*& preset : m_codecPresets) {
        delete preset;
        preset = nullptr;
    }
    // Each pipeline stays listed while it is deleted: a shared encoder's master still finds its
    // followers for the packets it drains.
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
    {
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        m_feeds.push_back(std::make_shared<OutputFeed>(encoder, source, audioInput));
    }
    m_inputSources.insert(source);
    return true;
}

Feeds Strevo::feeds() const
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    return m_feeds;
}

bool Strevo::start(int skipFrames)
{
    if (m_codecPresets.isEmpty()) {
        qCWarning(lcStrevo, "Strevo::start: no output preset was added (addCodecProfile); the job "
                            "does not start");
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
    for (const auto& feed : feeds())
        feed->start();
    m_idleWarned.store(false);
    m_encoding.store(1);
    return true;
}

bool Strevo::stop()
{
    m_encoding.store(0);
    const Feeds list = feeds();
    // Every hand-off is closed first so that they all drain at once, each at its pipeline's pace.
    std::vector<std::thread> drains;
    for (const auto& feed : list)
        drains.emplace_back([feed] { feed->finish(); });
    for (std::thread& drain : drains)
        drain.join();
    for (const auto& feed : list)
        feed->encoder()->stop();
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
            // The one copy of the frame, which every pipeline of the source shares.
            const int size = frameBytes[i];
            frame->pixels = m_pool->take(size);
            if (!frame->pixels) {
                qCWarning(lcStrevo,
                          "Strevo::enqueueVideo: no memory for a %d-byte frame; frame dropped",
                          size);
                m_syncInfo.videoInputDrops.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            std::memcpy(frame->pixels.get(), planes[0][i], static_cast<size_t>(size));
            frame->data = frame->pixels.get();
            frame->width = sizes[i].width();
            frame->height = sizes[i].height();
            frame->format = formats[i];
        } else {
            continue;
        }
        offerFrame(list, i, frame);
    }
    m_syncInfo.videoFrames.fetch_add(1, std::memory_order_relaxed);
}

unsigned char* Strevo::lendVideoBuffer(int source, int format, int)
{
    if (source < 0 || source >= kSources || !(m_sourceMask.load() & (1 << source)) ||
        m_textureInput.load() || !isEncoding())
        return nullptr;
    std::shared_ptr<unsigned char> buffer =
        m_pool->take(pixelFormatFrameSize(format, m_frameWidth.load(), m_frameHeight.load()));
    if (!buffer)
        return nullptr;
    unsigned char* address = buffer.get();
    std::lock_guard<std::mutex> lock(m_lent->mutex);
    m_lent->buffers.emplace(address, std::make_pair(std::move(buffer), format));
    return address;
}

void Strevo::returnVideoBuffer(int, unsigned char* buffer)
{
    std::pair<std::shared_ptr<unsigned char>, int> lent; // back to the pool outside the lock
    std::lock_guard<std::mutex> lock(m_lent->mutex);
    auto it = m_lent->buffers.find(buffer);
    if (it != m_lent->buffers.end()) {
        lent = std::move(it->second);
        m_lent->buffers.erase(it);
    }
}

void Strevo::submitVideoBuffer(int source, unsigned char* buffer, TimeStamp* ts)
{
    std::pair<std::shared_ptr<unsigned char>, int> lent;
    {
        std::lock_guard<std::mutex> lock(m_lent->mutex);
        auto it = m_lent->buffers.find(buffer);
        if (it == m_lent->buffers.end()) {
            if (buffer)
                qCWarning(lcStrevo, "Strevo::submitVideoBuffer: %p is not a buffer the job lent",
                          buffer);
            return;
        }
        lent = std::move(it->second);
        m_lent->buffers.erase(it);
    }
    // Dropped, skipped or refused, the buffer goes back to the pool with `lent`.
    if (source < 0 || source >= kSources || refuseWhenIdle("Strevo::submitVideoBuffer") ||
        takeSkip(true))
        return;
    auto frame = std::make_shared<OutputFeed::Frame>();
    frame->pixels = std::move(lent.first);
    frame->data = buffer;
    frame->width = m_frameWidth.load();
    frame->height = m_frameHeight.load();
    frame->format = lent.second;
    if (ts) {
        frame->stamped = true;
        frame->stamp = *ts;
    }
    offerFrame(feeds(), source, frame);
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
    if ((state == LowDiskSpace || state == WriteFailed) &&
        !(pipeline && pipeline->encodesVideoForOthers()))
        for (const auto& feed : feeds())
            if (feed->encoder() == encoder)
                feed->fail();
    emit encoderResult(state);
}

int Strevo::codecIdFromName(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    return entry ? entry->avCodecId : 0;
}

QMap<int, QString> Strevo::availableVideoCodecs()
{
    return catalogue(CodecTable::Kind::Video);
}

QString Strevo::codecDevice(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    if (!entry || entry->kind != CodecTable::Kind::Video || !machineRuns(*entry))
        return QString();
    if (entry->backend == CodecTable::Backend::Nvenc)
        return QStringLiteral("NVENC on ") + QString::fromStdString(nvencDevice());
    return entry->backend == CodecTable::Backend::MFVideo ? MFVideo::device(name) : QString();
}

QMap<int, QString> Strevo::availableAudioCodecs()
{
    return catalogue(CodecTable::Kind::Audio);
}

QMap<int, QString> Strevo::availableContainers()
{
    QMap<int, QString> list;
    int count = 0;
    const CodecTable::ContainerName* containers = CodecTable::containers(&count);
    for (int i = 0; i < count; ++i)
        list.insert(containers[i].key, QLatin1String(containers[i].name));
    return list;
}
