#include "tools/SourceFeed.h"

#include "api/Strevo.h"
#include "common/TimeStamp.h"
#include "encoder/IEncoder.h"
#include "tools/JobMessages.h"
#include "tools/JobOutput.h"

#include <QSize>
#include <QThread>
#include <algorithm>
#include <cmath>

namespace {

// How long one wait for the pipeline's room lasts before the feed looks at its stop flags.
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

} // namespace

SourceFeed::SourceFeed(MediaSource& source, Strevo& job,
                       const std::vector<std::unique_ptr<JobOutput>>& outputs,
                       const std::atomic<bool>& stopRequested, bool fast, JobMessages& messages,
                       std::function<void()> progress)
    : m_source(source), m_job(job), m_outputs(outputs), m_stopRequested(stopRequested),
      m_fast(fast), m_messages(messages), m_progress(std::move(progress))
{
}

SourceFeed::Result SourceFeed::run(long long limit, bool paced, Clock::time_point start)
{
    const double fps = m_source.frameRate();
    const auto& audioFormat = m_outputs.front()->preset.audioOutput();
    const int sampleBytes = 2 * audioFormat.channels;
    Result result;
    long long& frames = result.frames;
    long long silenceSamples = 0;
    MediaSource::Chunk chunk;
    while (!m_stopRequested.load()) {
        if (limit >= 0 && frames >= limit)
            break;
        if (allOutputsStopped()) {
            result.allStopped = true;
            break;
        }
        unsigned char* lent = lendBuffer();
        if (lent)
            m_source.readNextInto(lent);
        if (!m_source.read(&chunk)) {
            if (lent)
                m_job.returnVideoBuffer(0, lent);
            result.sourceError = m_source.error();
            break;
        }
        if (!chunk.video && lent)
            m_job.returnVideoBuffer(0, lent);
        if (chunk.video) {
            if (paced)
                sleepUntil(start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(frames / fps)));
            if (m_stopRequested.load()) {
                if (lent)
                    m_job.returnVideoBuffer(0, lent);
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
        idle();
    }
    return result;
}

void SourceFeed::idle()
{
    m_progress();
    m_messages.flush();
}

bool SourceFeed::allOutputsStopped() const
{
    for (const auto& out : m_outputs)
        if (!out->stopped())
            return false;
    return true;
}

// Frames the job accepted that the output has neither encoded nor accounted otherwise: those
// in the job's queue, in the pipeline's queue and in its encoder. A frame the encoder holds back
// before its first packet is counted as missed.
long long SourceFeed::backlog(const JobOutput& out) const
{
    const AVSync& job = m_job.syncInfo();
    const AVSync& sync = out.encoder->getSyncInfo();
    const EncodedVideo& video = out.encoder->encodedVideo();
    return job.videoFrames.load() - job.videoInputDrops.load() -
           static_cast<long long>(video.frameCount.load()) -
           static_cast<long long>(video.missedFrames.load()) - sync.videoInputDrops.load() -
           out.writeFailures.load() - out.slack;
}

void SourceFeed::waitForRoom(JobOutput& out)
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
        idle();
    }
}

unsigned char* SourceFeed::lendBuffer()
{
    // The job's buffer is shared by every output, so the source reads into it without a copy.
    if (m_source.isLive() || m_source.directFormat() < 0)
        return nullptr;
    return m_job.lendVideoBuffer(0, m_source.directFormat(), kLendWaitMs);
}

void SourceFeed::pushVideo(const MediaSource::Chunk& chunk, unsigned char* lent)
{
    if (lent && chunk.video != lent) {
        m_job.returnVideoBuffer(0, lent);
        lent = nullptr;
    }
    const bool live = m_source.isLive();
    if (!live || m_fast) {
        // Outputs whose video another one encodes wait for that one; a failed output is not
        // waited for, unless it encodes for others.
        for (auto& out : m_outputs)
            if (!out->follows() && (!out->stopped() || out->sharing))
                waitForRoom(*out);
        for (int i = 0; i < kRoomWaits && !m_stopRequested.load(); ++i) {
            if (m_job.waitForVideoRoom(kRoomWaitMs))
                break;
            m_messages.flush();
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
        m_job.submitVideoBuffer(0, lent, live ? &stamp : nullptr);
    else
        m_job.enqueueVideo(planes, sizes, formats, live ? &stamp : nullptr);
}

void SourceFeed::pushAudio(const unsigned char* data, int bytes)
{
    unsigned char* buffers[3] = {const_cast<unsigned char*>(data)};
    m_job.enqueueAudio(buffers, bytes);
}

void SourceFeed::sleepUntil(Clock::time_point when)
{
    while (!m_stopRequested.load()) {
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        QThread::usleep(static_cast<unsigned long>(std::min<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 50000)));
        idle();
    }
}
