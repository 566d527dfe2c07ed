#include "api/OutputFeed.h"

#include "common/AudioQueue.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/ThreadCallback.h"
#include "encoder/IEncoder.h"
#include "encoder/RefEncoder.h"

namespace {

// How long one wait for the pipeline's room lasts before the worker looks at its flags and its
// sound again.
constexpr int kPipelineWaitMs = 50;
// A pipeline that answers a wait for room sooner than this refuses input (stopped, or its
// video ended): the frame is handed over anyway, and the pipeline drops and counts it.
constexpr auto kRefusedAtOnce = std::chrono::milliseconds(5);
// While the job stops: how long a pipeline may take no frame before it counts as stuck.
constexpr auto kStuckWhileStopping = std::chrono::seconds(5);

} // namespace

OutputFeed::OutputFeed(IEncoder* encoder, int source, int audioInput, int index)
    : m_encoder(encoder), m_sharing(dynamic_cast<RefEncoder*>(encoder)), m_source(source),
      m_audioInput(audioInput), m_index(index)
{
}

OutputFeed::~OutputFeed()
{
    clear();
    finish();
}

void OutputFeed::start()
{
    if (m_thread)
        return; // running already
    // The worker is not running: a new run starts afresh, from its first frame.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_closing = false;
        m_videoLost = m_audioLost = 0;
    }
    m_abort.store(false);
    m_failed.store(false);
    m_started = false;
    m_waitingSince = {};
    m_thread = std::make_unique<ThreadCallback>(this);
    m_thread->start(QThread::InheritPriority);
}

void OutputFeed::finish()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
        m_closing = true;
        m_work.notify_all();
        m_room.notify_all();
    }
    m_thread.reset(); // joins once the worker handed over what is queued
}

void OutputFeed::clear()
{
    std::deque<VideoItem> video;
    std::deque<AudioItem> audio;
    m_abort.store(true);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        video.swap(m_video);
        audio.swap(m_audio);
        m_videoLost = m_audioLost = 0;
        m_room.notify_all();
    }
}

void OutputFeed::fail()
{
    m_failed.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_room.notify_all();
}

bool OutputFeed::takesVideo() const
{
    return m_hold.load() || !(m_sharing && m_sharing->isFollower());
}

void OutputFeed::holdVideo(bool hold)
{
    m_hold.store(hold);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_work.notify_all();
}

bool OutputFeed::offerVideo(const std::shared_ptr<const Frame>& frame)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open)
        return false;
    if (static_cast<int>(m_video.size()) >= kVideoDepth) {
        ++m_videoLost;
        m_lostShape = {frame->width, frame->height, frame->format, frame->stamped, frame->stamp};
        return false;
    }
    VideoItem item;
    item.frame = frame;
    item.order = m_offered++;
    m_video.push_back(std::move(item));
    m_work.notify_one();
    return true;
}

bool OutputFeed::offerAudio(const std::shared_ptr<const AudioQueue>& buffer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open)
        return false;
    if (static_cast<int>(m_audio.size()) >= kAudioDepth) {
        ++m_audioLost;
        m_audioLostSize = buffer->size();
        return false;
    }
    AudioItem item;
    item.buffer = buffer;
    item.order = m_offered++;
    m_audio.push_back(std::move(item));
    m_work.notify_one();
    return true;
}

bool OutputFeed::waitForVideoRoom(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] {
        return !m_open || m_failed.load() || static_cast<int>(m_video.size()) < kVideoDepth;
    };
    m_room.wait_until(lock, deadline, ready);
    return ready();
}

bool OutputFeed::pipelineReady(int waitMs)
{
    if (m_hold.load() && !m_failed.load() && !m_abort.load()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_work.wait_for(lock, std::chrono::milliseconds(waitMs));
        return false;
    }
    if (m_failed.load() || m_abort.load() || !takesVideo())
        return true;
    const auto before = std::chrono::steady_clock::now();
    if (m_encoder->waitForVideoRoom(waitMs) ||
        std::chrono::steady_clock::now() - before < kRefusedAtOnce) {
        m_waitingSince = {};
        return true;
    }
    // Once the job stops, a pipeline that takes no frame for this long is stuck (or its own
    // thread is the one stopping the job): what is left goes over without waiting, and the
    // pipeline drops and counts it, so that stopping always ends.
    bool closing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        closing = m_closing;
    }
    if (!closing)
        return false;
    if (m_waitingSince == std::chrono::steady_clock::time_point{})
        m_waitingSince = before;
    if (std::chrono::steady_clock::now() - m_waitingSince < kStuckWhileStopping)
        return false;
    qCWarning(lcStrevo,
              "OutputFeed: a pipeline took no frame for %lld s while the job stopped; the rest "
              "of its queue is dropped",
              static_cast<long long>(kStuckWhileStopping.count()));
    m_failed.store(true);
    return true;
}

void OutputFeed::threadCallback()
{
    for (;;) {
        std::deque<AudioItem> audio;
        int audioLost = 0, audioLostSize = 0;
        bool frameWaits = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] {
                return !m_video.empty() || !m_audio.empty() || m_videoLost || m_audioLost ||
                       m_closing;
            });
            if (m_video.empty() && m_audio.empty() && !m_videoLost && !m_audioLost)
                return;
            // Sound that came before the next frame, or any once the pipeline has a frame.
            const long long before = m_video.empty() ? m_offered : m_video.front().order;
            while (!m_audio.empty() && (m_started || m_audio.front().order < before)) {
                audio.push_back(std::move(m_audio.front()));
                m_audio.pop_front();
            }
            if (m_started || m_video.empty())
                std::swap(audioLost, m_audioLost);
            audioLostSize = m_audioLostSize;
            frameWaits = !m_video.empty() || m_videoLost > 0;
        }
        for (const AudioItem& item : audio)
            m_encoder->enqueueAudio(item.buffer->data(), item.buffer->size());
        // A lost buffer keeps its span of sound.
        for (int i = 0; i < audioLost; ++i)
            m_encoder->enqueueAudio(nullptr, audioLostSize);
        if (!frameWaits)
            continue;
        // While the pipeline has no room the frame stays queued; the wait is short so that
        // sound coming meanwhile still goes on. A lost-frame marker takes a place in the
        // pipeline's queue like a frame, so that its gap lands in order.
        if (!pipelineReady(kPipelineWaitMs))
            continue;
        VideoItem item;
        Shape lost;
        bool marker = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Losses go before the frames still queued, as a pipeline puts the frames its full
            // queue refused; but never before the first frame, which starts the timeline.
            if (m_videoLost > 0 && (m_started || m_video.empty())) {
                --m_videoLost;
                lost = m_lostShape;
                marker = true;
            } else {
                item = std::move(m_video.front());
                m_video.pop_front();
                m_room.notify_all();
            }
        }
        if (marker) {
            handOverLoss(lost);
        } else {
            handOver(item);
            m_started = true;
        }
    }
}

void OutputFeed::handOver(const VideoItem& item)
{
    if (!takesVideo())
        return; // another pipeline encodes this one's video, losses included
    const Frame& f = *item.frame;
    TimeStamp stamp = f.stamp; // the pipeline may not write into the shared frame's stamp
    if (m_startAnywhere && !m_started)
        stamp.startFlag = 1;
    TimeStamp* ts = f.stamped ? &stamp : nullptr;
    if (!f.pixels) // a texture: only its pointer is queued
        ts ? m_encoder->enqueueVideo(f.data, f.width, f.height, f.format, ts)
           : m_encoder->enqueueVideo(f.data, f.width, f.height, f.format);
    else
        m_encoder->enqueueSharedVideo(std::shared_ptr<const void>(item.frame), f.data, f.width,
                                      f.height, f.format, ts);
}

void OutputFeed::handOverLoss(const Shape& shape)
{
    if (!takesVideo())
        return;
    TimeStamp stamp = shape.stamp;
    if (shape.stamped)
        m_encoder->enqueueVideo(nullptr, shape.width, shape.height, shape.format, &stamp);
    else
        m_encoder->enqueueVideo(nullptr, shape.width, shape.height, shape.format);
}
