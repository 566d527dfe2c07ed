#include "encoder/Encoder.h"

#include "codec/audio/IAudioCodec.h"
#include "codec/video/IVideoCodec.h"
#include "common/AVResampler.h"
#include "common/Interlace.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "common/YuvResampler.h"
#include "encoder/AudioThread.h"
#include "encoder/DiskSpace.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/IEncodingStatus.h"
#include "encoder/VideoThread.h"
#include "muxer/IMuxer.h"
#include "muxer/MuxerFactory.h"
#include "muxer/RecordingName.h"

#include <QDebug>
#include <QTime>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

// Audio chunk used by the hold-back rule: 20 ms of 48 kHz stereo 16-bit.
constexpr double kAudioChunkBytes = 3840.0;
// The written times are running sums of packet durations; equal times may differ by rounding.
constexpr double kWriteTimeSlack = 1e-6;
// More frames than any encoder holds back (x264's look-ahead is at most 250).
constexpr int kMaxDrainedFrames = 512;
// The input bounds: seconds of output video and of project audio the FIFOs hold, and the fewest
// video frames (for low rates).
constexpr double kVideoFifoSeconds = 2.0;
constexpr int kVideoFifoMinFrames = 4;
// Audio waits in its FIFO until the video it belongs to is written, so a host that pushes
// faster than real time (a transcode) legitimately runs several seconds of audio ahead; one
// minute of 48 kHz stereo is 11.5 MB.
constexpr int kAudioFifoSeconds = 60;
// Buffers of the zero-copy input, made as they are first needed: one being filled, one being
// encoded, and enough to keep the queues in between (a facade job's and the pipeline's) from
// running dry. With 4, a host feeding through a facade job waited for buffers and ran about 5%
// slower (bench/cli_vs_ffmpeg.sh).
constexpr int kPoolFrames = 8;
// How often the video thread asks for the free space of a local recording's volume.
constexpr std::chrono::seconds kDiskCheckInterval{1};

// The worker a body runs on; the bodies reach their thread this way rather than through the
// members, which stop() clears before it joins.
ThreadCallback* currentWorker()
{
    return static_cast<ThreadCallback*>(QThread::currentThread());
}

// The first input number of a preset that the pipeline cannot work with, as "field value";
// empty when all are usable.
QString invalidInput(const CodecPreset& preset)
{
    const auto bad = [](const char* field, double value) {
        return QStringLiteral("%1 %2").arg(QLatin1String(field)).arg(value);
    };
    if (preset.videoCodec().enabled) {
        const ProjectModel::VideoOutput& in = preset.videoOutput();
        const CodecModel::VideoCodec& out = preset.videoCodec();
        if (!(in.frameRate > 0.0 && in.frameRate <= 1000.0))
            return bad("videoOutput.frameRate", in.frameRate);
        if (in.width <= 0 || in.height <= 0)
            return bad(in.width <= 0 ? "videoOutput.width" : "videoOutput.height",
                       in.width <= 0 ? in.width : in.height);
        if (!(out.frameRate > 0.0 && out.frameRate <= 1000.0))
            return bad("videoCodec.frameRate", out.frameRate);
        if (out.scanMode < 0 || out.scanMode > 2)
            return bad("videoCodec.scanMode", out.scanMode);
        if (out.scaleMode < 0 || out.scaleMode > 2)
            return bad("videoCodec.scaleMode", out.scaleMode);
    }
    if (preset.audioCodec().enabled) {
        const ProjectModel::AudioOutput& a = preset.audioOutput();
        if (a.channels < 1 || a.channels > 8)
            return bad("audioOutput.channels", a.channels);
        if (a.sampleRate <= 0 || a.sampleRate > 384000)
            return bad("audioOutput.sampleRate", a.sampleRate);
        if (a.bitsPerSample != 16)
            return bad("audioOutput.bitsPerSample", a.bitsPerSample);
        if (a.bufferSize <= 0)
            return bad("audioOutput.bufferSize", a.bufferSize);
    }
    return QString();
}

// The one copy of an encoded packet on its way to the muxer; null when out of memory.
AVPacketPtr makePacket(const unsigned char* data, unsigned int size)
{
    AVPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0)
        return nullptr;
    std::copy(data, data + size, packet->data);
    return packet;
}

} // namespace

Encoder::Encoder() : m_framePool(kPoolFrames) {}

Encoder::~Encoder()
{
    m_initialized.store(false);
    m_status.store(nullptr);
    // A host that deletes without stop() may have let its callback go already.
    m_callback.store(nullptr);
    stop();
    // The members go in reverse order of declaration: the muxer first (it drains its queue and
    // writes the trailer while the pipeline it reports to is still whole), the FIFOs before the
    // frame pool their frames give buffers back to.
}

// Back to the counters of a new pipeline (a second initialize()).
void Encoder::resetCounters()
{
    m_started.store(0);
    m_lastFormat = -1;
    m_warnedTexture = false;
    m_startTime.store(-1.0);
    m_encodedVideo.frameCount.store(0);
    m_encodedVideo.missedFrames.store(0);
    m_encodedVideo.size = 0;
    m_encodedAudio.holdChunks.store(0);
    m_encodedAudio.size = 0;
    for (auto* counter : {&m_sync.videoInputDrops, &m_sync.videoOutputDrops, &m_sync.audioDrops,
                          &m_sync.audioInputDrops})
        counter->store(0);
    for (auto* counter : {&m_sync.videoFrames, &m_sync.videoWritten, &m_sync.videoWriteQueue,
                          &m_sync.audioQueuedFrames, &m_sync.audioFrames, &m_sync.audioBytesQueued,
                          &m_sync.audioBytesEncoded, &m_sync.audioWriteQueue})
        counter->store(0);
    for (auto* time : {&m_sync.videoWriteTs, &m_sync.audioWriteTs, &m_sync.inputClock})
        time->store(0.0);
    m_audioFifoBytes.store(0);
    m_pendingVideoSkips.store(0);
    std::lock_guard<std::mutex> lock(m_muxMutex);
    m_paths.clear();
    m_audioForHost.clear();
    m_audioPacketsOut = 0;
    m_audioChunksIn = 0;
    m_audioOutTs.store(0.0);
}

int Encoder::encoderType()
{
    return m_preset.encoderType;
}

bool Encoder::isHWSupport()
{
    return m_videoCodec && m_videoCodec->isHWTextureSupport();
}

int Encoder::initialize(IEncodingStatus* status, CodecPreset* preset, bool)
{
    if (!preset)
        return CodecError;
    if (m_initialized.load() || m_videoCodec || m_audioCodec) {
        // Re-initialisation: stop the workers and start from nothing.
        m_initialized.store(false);
        stop();
        m_videoFifo.clear();
        m_audioFifo.clear();
        std::unique_ptr<IMuxer> muxer;
        {
            std::lock_guard<std::mutex> lock(m_muxMutex);
            muxer = std::move(m_muxer);
        }
        muxer.reset();
        releaseVideoCodec();
        m_audioCodec.reset();
        m_videoResampler.reset();
        resetCounters();
    }
    const QString invalid = invalidInput(*preset);
    if (!invalid.isEmpty()) {
        qWarning("Encoder: %s is out of range", qPrintable(invalid));
        return CodecError;
    }

    m_muxEnabled = preset->local().enabled || preset->streaming().enabled;
    m_audioMayStart.store(!m_muxEnabled);
    m_status.store(status);
    m_preset = *preset;
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);
    m_videoFifo.setLimit(
        std::max(kVideoFifoMinFrames,
                 static_cast<int>(std::ceil(kVideoFifoSeconds * m_preset.videoCodec().frameRate))));
    m_audioFifoLimit = static_cast<long long>(kAudioFifoSeconds) * projectAudioBytesPerSecond();

    if (m_preset.local().enabled) {
        const long long mb = DiskSpace::megabytesAvailable(m_preset.local().folder);
        if (mb >= 0 && mb < DiskSpace::kMinimumMegabytes) {
            qWarning("Encoder: only %lld MB free for '%s'", mb,
                     qPrintable(m_preset.local().folder));
            return DiskSpaceError;
        }
    }

    if (m_preset.videoCodec().enabled && !setUpVideoCodec(preset))
        return CodecError;

    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    if (audio.enabled) {
        if (audio.codecName.isEmpty())
            return CodecError;
        m_audioCodec.reset(IEncoder::createAudioEncoder(audio.codecName));
        if (!m_audioCodec) {
            qWarning("Encoder: unknown audio codec '%s'", qPrintable(audio.codecName));
            return CodecError;
        }
        if (!m_audioCodec->initialize(preset))
            return CodecError;
    }

    if (m_videoCodec) {
        m_videoPacket.assign(m_videoCodec->maxPacketSize(), 0);
        m_encodedVideo.data = m_videoPacket.data();
    }
    if (m_audioCodec) {
        m_audioPacket.assign(std::max<size_t>(std::max(m_preset.audioOutput().bufferSize, 0),
                                              m_audioCodec->maxPacketSize()),
                             0);
        m_encodedAudio.data = m_audioPacket.data();
    }

    if (m_muxEnabled && !initMuxer())
        return MuxerError;

    m_audioResampler = std::make_unique<AVResampler>(0, 0, 0);
    m_interlace = std::make_unique<Interlace>();
    m_initialized.store(true);
    return Ok;
}

bool Encoder::setUpVideoCodec(CodecPreset* preset)
{
    const QString& name = m_preset.videoCodec().codecName;
    if (name.isEmpty())
        return false;
    m_videoCodec.reset(IEncoder::createVideoEncoder(name));
    if (!m_videoCodec) {
        qWarning("Encoder: unknown video codec '%s'", qPrintable(name));
        return false;
    }
    return m_videoCodec->initialize(preset);
}

bool Encoder::start()
{
    if (!m_initialized.load())
        return false;
    m_videoFifo.setOpen(true);
    m_framePool.setOpen(true);
    // A pipeline that stopped for low disk space looks at the volume again.
    m_videoEnded.store(false);
    m_ownVideoStopped.store(false);
    m_running.store(true);
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_preset.audioCodec().enabled && !m_audioThread) {
        m_audioThread = std::make_unique<AudioThread>(this);
        m_audioThread->start(QThread::InheritPriority);
    }
    if (m_refVideo.load() && !followerRunsVideoThread())
        return true;
    if (!m_preset.videoCodec().enabled || m_videoThread)
        return false;
    m_videoThread = std::make_unique<VideoThread>(this);
    m_videoThread->start(QThread::InheritPriority);
    return true;
}

bool Encoder::stop()
{
    m_running.store(false);
    m_videoFifo.setOpen(false); // wakes a host waiting for room
    m_framePool.setOpen(false); // and one waiting for a buffer
    std::unique_ptr<VideoThread> video;
    std::unique_ptr<AudioThread> audio;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        const QThread* self = QThread::currentThread();
        if (self == m_videoThread.get() || self == m_audioThread.get()) {
            // A host callback on a worker: a thread cannot join itself. The video thread is
            // asked to end (after encoding what is queued); the audio thread, which finishes the
            // file's audio only once the video is complete, is ended by the join below when the
            // host calls stop() or destroys the pipeline.
            if (m_videoThread)
                m_videoThread->requestExit();
            return true;
        }
        video = std::move(m_videoThread);
        audio = std::move(m_audioThread);
    }
    // Joined outside the lock, video first: the enqueue calls still take the lock to wake.
    // The host's callback hears every packet the workers make while they drain, and nothing
    // once stop() has returned.
    video.reset();
    audio.reset();
    m_callback.store(nullptr);
    return true;
}

bool Encoder::pause()
{
    return true;
}

void Encoder::abortMuxer()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    if (m_muxer)
        m_muxer->abort();
}

void Encoder::encodingCallback(IEncodingCallback* cb)
{
    m_callback.store(cb);
}

CodecPreset* Encoder::codecPreset()
{
    return &m_preset;
}

AVSync& Encoder::getSyncInfo()
{
    return m_sync;
}

IVideoCodec* Encoder::videoCodec()
{
    return m_videoCodec.get();
}

IAudioCodec* Encoder::audioCodec()
{
    return m_audioCodec.get();
}

const EncodedVideo& Encoder::encodedVideo() const
{
    return m_encodedVideo;
}

const EncodedAudio& Encoder::encodedAudio() const
{
    return m_encodedAudio;
}

void Encoder::setRefVideoCodec(bool ref)
{
    if (!m_refVideo.exchange(ref) || ref)
        return;
    // Released: the pipeline encodes from its next frame on, whatever its stamp, and starts
    // with a key frame so that its output goes on decodable.
    m_started.store(1);
    m_keyFrameWanted.store(true);
}

IMuxer* Encoder::muxer()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return m_muxer.get();
}

const QString& Encoder::recordingPath()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return m_muxer && !m_paths.empty() ? m_paths.back() : m_emptyPath;
}

// ---- input side -------------------------------------------------------------------------

int Encoder::synchronizeVideo()
{
    const double inputRate = m_preset.videoOutput().frameRate;
    const double outputRate = m_preset.videoCodec().frameRate;
    const double clock = atomicAdd(m_sync.inputClock, 1.0 / inputRate);
    const int expected = qRound(clock / (1.0 / outputRate));
    const int diff = expected - static_cast<int32_t>(m_sync.videoFrames.load());
    if (diff < -1)
        return 0;
    return std::max(diff, 1);
}

// The video input thread: whether a frame may enter at all.
bool Encoder::acceptsVideo(int width, int height, int format)
{
    if (!m_preset.videoCodec().enabled || !m_initialized.load() || !m_running.load())
        return false;
    if (m_videoEnded.load()) {
        m_sync.videoInputDrops.fetch_add(1); // lost to an output whose video has stopped
        return false;
    }
    if (pixelFormatFrameSize(format, width, height) <= 0 && format != PIX_TEXTURE) {
        if (m_refusedFormats.insert(format).second)
            qWarning("Encoder: frames in pixel format %d at %dx%d cannot be converted; refused",
                     format, width, height);
        return false;
    }
    return true;
}

void Encoder::queueVideo(std::unique_ptr<VideoQueue> frame)
{
    m_sync.videoFrames.fetch_add(1);
    if (!m_videoFifo.append(std::move(frame))) {
        // Full: the frame is lost like any input drop, and its stamp is skipped in order.
        m_sync.videoInputDrops.fetch_add(1);
        m_pendingVideoSkips.fetch_add(1);
    }
}

void Encoder::offerVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts,
                         bool stamped, std::unique_ptr<VideoQueue> own)
{
    if (!acceptsVideo(width, height, format))
        return;
    if (m_refVideo.load())
        return; // a follower's video comes from the pipeline that encodes it
    if (stamped && m_started.load() == 0 && !(ts && ts->startFlag == 1))
        return;

    const int copies = synchronizeVideo();
    int queued = 0;
    if (stamped && ts && ts->interlaced && m_preset.videoCodec().scanMode != 0 && data &&
        format != PIX_TEXTURE) {
        for (int i = 0; i < copies; ++i) {
            VideoQueue picture(data, width, height, format);
            if (m_interlace->filterFrame(&picture, false, false)) {
                queueVideo(
                    std::make_unique<VideoQueue>(m_interlace->data(), width, height, format));
                ++queued;
            }
        }
    } else {
        // Repeats are copies made before the frame held without a copy is queued, since the
        // video thread may encode it and let go of it at once.
        for (int i = 0; i < copies; ++i) {
            if (own && i == copies - 1)
                queueVideo(std::move(own));
            else
                queueVideo(std::make_unique<VideoQueue>(data, width, height, format));
        }
        queued = copies;
    }
    // Started once a frame went in, before the video thread is woken: it may take the frame at
    // once, and the FIFO being empty again must not keep the pipeline waiting for a start stamp.
    if (m_started.load() == 0 && (queued > 0 || !stamped))
        m_started.store(1);
    wakeVideoThread();
}

void Encoder::enqueueVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts)
{
    offerVideo(data, width, height, format, ts, true, nullptr);
}

void Encoder::enqueueVideo(unsigned char* data, int width, int height, int format)
{
    offerVideo(data, width, height, format, nullptr, false, nullptr);
}

void Encoder::enqueueSharedVideo(std::shared_ptr<const void> hold, unsigned char* data, int width,
                                 int height, int format, TimeStamp* ts)
{
    const int size = pixelFormatFrameSize(format, width, height);
    std::unique_ptr<VideoQueue> own;
    if (data && size > 0)
        own = std::make_unique<VideoQueue>(
            [hold = std::move(hold)](unsigned char*) mutable { hold.reset(); }, data, size, width,
            height, format);
    offerVideo(data, width, height, format, ts, ts != nullptr, std::move(own));
}

bool Encoder::waitForVideoRoom(int timeoutMs)
{
    return m_running.load() && !m_videoEnded.load() && m_videoFifo.waitForRoom(timeoutMs);
}

unsigned char* Encoder::lendVideoBuffer(int width, int height, int format, int timeoutMs)
{
    if (!m_running.load())
        return nullptr;
    return m_framePool.lend(width, height, format, timeoutMs);
}

void Encoder::submitVideoBuffer(unsigned char* buffer, TimeStamp* ts)
{
    FramePool::Frame frame;
    if (!m_framePool.claim(buffer, &frame)) {
        qWarning("Encoder: submitted video buffer %p is not one lent out", buffer);
        return;
    }
    // From here on the frame gives the buffer back to the pool, queued or not.
    auto own = std::make_unique<VideoQueue>(
        [this](unsigned char* lent) { m_framePool.giveBack(lent); }, buffer,
        pixelFormatFrameSize(frame.format, frame.width, frame.height), frame.width, frame.height,
        frame.format);
    offerVideo(buffer, frame.width, frame.height, frame.format, ts, ts != nullptr, std::move(own));
}

void Encoder::returnVideoBuffer(unsigned char* buffer)
{
    if (!m_framePool.release(buffer))
        qWarning("Encoder: returned video buffer %p is not one lent out", buffer);
}

void Encoder::wakeVideoThread()
{
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_videoThread)
        m_videoThread->wakeThread();
}

void Encoder::wakeAudioThread()
{
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_audioThread)
        m_audioThread->wakeThread();
}

int Encoder::projectAudioBytesPerSecond() const
{
    const ProjectModel::AudioOutput& a = m_preset.audioOutput();
    return a.channels * a.sampleRate * a.bitsPerSample / 8;
}

void Encoder::enqueueAudio(unsigned char* data, int size)
{
    if (!m_preset.audioCodec().enabled || !m_initialized.load() || !m_running.load())
        return;
    if (m_started.load() == 0 && !m_refVideo.load())
        return;
    if (data && size <= 0)
        return; // nothing to encode; only a null buffer marks a lost one
    const int bytes = std::max(size, 0);
    const long long queued = m_sync.audioBytesQueued.fetch_add(bytes) + bytes;
    const double bytesPerFrame = projectAudioBytesPerSecond() / m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioQueuedFrames.store(qRound64(queued / bytesPerFrame));
    const int held = data ? bytes : 0;
    if (m_audioFifoBytes.load() + held > m_audioFifoLimit) {
        m_sync.audioInputDrops.fetch_add(1);
        return;
    }
    m_audioFifoBytes.fetch_add(held);
    m_audioFifo.append(std::make_unique<AudioQueue>(data, size));
    wakeAudioThread();
}

// ---- worker threads ---------------------------------------------------------------------

// Video thread: the free space of a local recording's volume, asked at most once a second.
bool Encoder::lowDiskSpace()
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextDiskCheck) {
        m_nextDiskCheck = now + kDiskCheckInterval;
        const long long mb = DiskSpace::megabytesAvailable(m_preset.local().folder);
        m_lowDisk = mb >= 0 && mb < DiskSpace::kMinimumMegabytes;
    }
    return m_lowDisk;
}

bool Encoder::ownVideoStopped(bool onOwnVideoThread)
{
    if (m_ownVideoStopped.load())
        return true;
    IEncodingStatus* status = m_status.load();
    if (!m_preset.local().enabled || !status || !lowDiskSpace())
        return false;
    qWarning("Encoder: less than %lld MB free for '%s'; video stops", DiskSpace::kMinimumMegabytes,
             qPrintable(m_preset.local().folder));
    m_ownVideoStopped.store(true);
    // Other outputs wait for the packets encoded here: encoding goes on for them, and only
    // this output's file gets no more video. Otherwise nothing takes frames any more: a host or
    // job waiting for room is let go at once, and what it still offers is refused and counted.
    if (onOwnVideoThread && !encodesVideoForOthers()) {
        m_videoEnded.store(true);
        m_videoFifo.setOpen(false);
        m_sync.videoInputDrops.fetch_add(m_videoFifo.count());
        m_videoFifo.clear();
    }
    status->ecoderStateCallback(this, 0, -4);
    return true;
}

// Video thread: the frames the full FIFO refused leave gaps in the output's timeline, in the
// place they would have had.
void Encoder::skipDroppedFrames()
{
    const int skipped = m_pendingVideoSkips.exchange(0);
    if (skipped == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        m_sync.videoWritten.fetch_add(skipped);
        if (m_muxer)
            for (int i = 0; i < skipped; ++i)
                m_muxer->skipVideoFrame();
    }
    forwardVideoDrops(skipped, true);
}

void Encoder::videoThread()
{
    const int codecFormat = m_videoCodec->supportFormat();
    const CodecModel::VideoCodec video = m_preset.videoCodec();
    ThreadCallback* worker = currentWorker();
    m_nextDiskCheck = std::chrono::steady_clock::now();
    for (;;) {
        worker->waitUntil(
            [this] { return m_pendingVideoSkips.load() > 0 || !m_videoFifo.isEmpty(); });
        if (m_refVideo.load()) {
            // A follower's video, drops included, comes from the pipeline that encodes it.
            m_pendingVideoSkips.store(0);
            m_videoFifo.clear();
            if (worker->isExitThread())
                return;
            continue;
        }
        skipDroppedFrames();
        std::unique_ptr<VideoQueue> frame = m_videoFifo.tryTake();
        if (!frame) {
            if (worker->isExitThread()) {
                drainVideo(); // everything queued before stop() is encoded, the codec's delay too
                return;
            }
            continue;
        }
        if (!m_ownVideoStopped.load() && ownVideoStopped(true) && m_videoEnded.load())
            return;
        if (!frame->data()) {
            // A frame the host lost: offered (paced and counted) like any other, so only its
            // slot in the timeline is left to skip.
            {
                std::lock_guard<std::mutex> lock(m_muxMutex);
                m_sync.videoInputDrops.fetch_add(1);
                m_sync.videoWritten.fetch_add(1);
                if (m_muxer)
                    m_muxer->skipVideoFrame();
            }
            forwardVideoDrops(1, true);
            continue;
        }

        const int format = frame->format();
        if (format != m_lastFormat) {
            m_videoResampler.reset();
            m_lastFormat = format;
        }
        if (format == PIX_TEXTURE && !m_videoCodec->isHWTextureSupport()) {
            if (!m_warnedTexture)
                qWarning("Encoder: %s cannot encode GPU textures; texture frames are dropped",
                         qPrintable(video.codecName));
            m_warnedTexture = true;
            writeVideoOutputDrop();
            forwardVideoDrops(1, false);
            continue;
        }
        if (!m_videoResampler && format != PIX_TEXTURE &&
            (frame->width() != video.width || frame->height() != video.height ||
             format != codecFormat))
            m_videoResampler = std::make_unique<YuvResampler>();
        bool encoded;
        if (m_videoResampler && format != PIX_TEXTURE) {
            if (!m_videoResampler->resampleVideo(frame->data(), frame->width(), frame->height(),
                                                 format, nullptr, video.width, video.height,
                                                 codecFormat, video.scaleMode, false)) {
                writeVideoOutputDrop(); // a frame that cannot be converted is lost, not fatal
                forwardVideoDrops(1, false);
                continue;
            }
            frame.reset(); // a lent buffer is free for the host again
            encoded = encodeVideo(m_videoResampler->videoData(), m_videoResampler->videoDataSize(),
                                  codecFormat);
        } else {
            encoded = encodeVideo(frame->data(), frame->size(), format);
        }
        if (!encoded)
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, 0, -1);
    }
}

bool Encoder::encodeVideo(unsigned char* data, int size, int format)
{
    if (m_refVideo.load())
        return true;
    EncodedVideo& out = m_encodedVideo;
    unsigned int packetSize = 0, key = 0;
    long long pts = -1, dts = -1;
    if (m_keyFrameWanted.exchange(false))
        m_videoCodec->requestKeyFrame();
    const bool ok = m_videoCodec->encode(data, static_cast<unsigned int>(size), format, out.data,
                                         static_cast<unsigned int>(m_videoPacket.size()),
                                         packetSize, key, pts, dts);
    if (!ok || packetSize == 0) {
        // Codec delay before the first packet: hold back as much audio as the codec holds video.
        if (out.frameCount.load() == 0) {
            const uint64_t missed = out.missedFrames.fetch_add(1) + 1;
            const double bytesPerFrame =
                projectAudioBytesPerSecond() / m_preset.videoCodec().frameRate;
            if (bytesPerFrame > 0.0)
                m_encodedAudio.holdChunks.store(qRound(missed * bytesPerFrame / kAudioChunkBytes));
            wakeAudioThread();
        }
        return true;
    }
    return deliverVideoPacket(packetSize, key, pts, dts);
}

// Video thread: the packet in m_encodedVideo.data goes to the host and the muxer.
bool Encoder::deliverVideoPacket(unsigned int packetSize, unsigned int key, long long pts,
                                 long long dts)
{
    EncodedVideo& out = m_encodedVideo;
    out.size = packetSize;
    out.key = key;
    out.pts = pts;
    out.dts = dts;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (IEncodingCallback* cb = m_callback.load())
        cb->videoEncoded(video.codecName, out.data, packetSize, video.width, video.height, key,
                         m_videoCodec->extraData(), m_videoCodec->extraDataSize());
    bool written = true;
    if (m_muxEnabled && !m_ownVideoStopped.load()) {
        if (key)
            checkTimeSplit();
        written = writeVideoMuxer(out.data, packetSize, key, pts, dts,
                                  static_cast<unsigned int>(out.frameCount.load()));
    }
    if (written) {
        out.frameCount.fetch_add(1);
        if (m_preset.local().enabled)
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, 1, static_cast<int>(muxedVideoFrames()));
    }
    // Whatever became of this output's copy: one failing output must not starve the others.
    forwardVideoPacket(packetSize, key);
    return written;
}

void Encoder::closeMuxer()
{
    std::unique_ptr<IMuxer> muxer;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        muxer = std::move(m_muxer);
    }
}

long long Encoder::muxedVideoFrames()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return m_muxer ? m_muxer->videoFrameCount() : 0;
}

// Video thread, when stopping: the frames the codec still holds become packets.
void Encoder::drainVideo()
{
    if (m_refVideo.load())
        return;
    const int format = m_videoCodec->supportFormat();
    for (int i = 0; i < kMaxDrainedFrames; ++i) {
        unsigned int packetSize = 0, key = 0;
        long long pts = -1, dts = -1;
        if (!m_videoCodec->encode(nullptr, 0, format, m_encodedVideo.data,
                                  static_cast<unsigned int>(m_videoPacket.size()), packetSize, key,
                                  pts, dts))
            return;
        if (packetSize > 0 && !deliverVideoPacket(packetSize, key, pts, dts))
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, 0, -1);
    }
}

// Audio thread, also inside its wait: whether a buffer may be encoded now. With an output,
// audio starts once the first video packet is in the muxer, which drops audio until then
// (encoding it earlier would lose it and put the sound early), and it never runs ahead of the
// written video. Reads only atomics and the FIFO: it runs under the worker's own mutex.
bool Encoder::audioReady() const
{
    return m_audioRestart.load() || audioGateOpen(m_audioFifo.count());
}

bool Encoder::audioGateOpen(int queued) const
{
    return queued > 0 && queued >= m_encodedAudio.holdChunks.load() - 4 && m_audioMayStart.load() &&
           (!m_muxEnabled || m_sync.videoWriteTs.load() + kWriteTimeSlack >= m_audioOutTs.load());
}

void Encoder::audioThread()
{
    ThreadCallback* worker = currentWorker();
    for (;;) {
        worker->waitUntil([this] { return audioReady(); });
        if (worker->isExitThread())
            break;
        {
            std::lock_guard<std::mutex> lock(m_muxMutex);
            if (m_audioRestart.exchange(false))
                restartLiveAudio();
            // A time split may have closed the gate again since the wait looked.
            else if (audioGateOpen(m_audioFifo.count()))
                encodeQueuedAudio();
        }
        deliverAudioToHost();
    }

    // Stopping: the video thread has ended, so every frame is encoded.
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        finishAudio(true);
    }
    deliverAudioToHost();
}

// Audio thread, without a lock: the packets encoded since the last call go to the host.
void Encoder::deliverAudioToHost()
{
    std::vector<std::vector<unsigned char>> packets;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        packets.swap(m_audioForHost);
    }
    IEncodingCallback* cb = m_callback.load();
    if (!cb || packets.empty())
        return;
    for (std::vector<unsigned char>& packet : packets)
        cb->audioEncoded(packet.data(), static_cast<unsigned int>(packet.size()),
                         m_audioCodec->extraData(), m_audioCodec->extraDataSize());
}

// Runs with m_muxMutex held, when the current muxer's video is complete (the pipeline stops, or
// a time split is about to replace the muxer). Encodes the queued audio that belongs to that
// video, then pushes silence through the codec until the samples it holds back have come out,
// so that the file ends with both streams of the same length.
void Encoder::finishAudio(bool last)
{
    if (!m_audioCodec || !m_audioResampler ||
        (m_muxEnabled && !(m_muxer && m_muxer->isHeaderWritten())))
        return;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerSecond = audio.bitsPerSample * audio.channels * audio.sampleRate / 8;
    const unsigned int chunk = m_audioCodec->frameSize();
    if (!(bytesPerSecond > 0.0) || chunk == 0 || !(m_preset.videoCodec().frameRate > 0.0))
        return;
    const double videoSeconds =
        (m_muxer ? m_muxer->videoFrameCount()
                 : static_cast<long long>(m_encodedVideo.frameCount.load())) /
        m_preset.videoCodec().frameRate;
    // Feed the codec chunk by chunk up to the video's length; what is left in the resampler and
    // the FIFO belongs to the next file.
    const double chunkSeconds = chunk / bytesPerSecond;
    const long long chunksForVideo =
        static_cast<long long>(std::ceil(videoSeconds / chunkSeconds - 1e-9));
    encodeResampledAudio(chunksForVideo);
    while (m_audioChunksIn < chunksForVideo && !m_audioFifo.isEmpty())
        encodeQueuedAudio(chunksForVideo);
    std::vector<unsigned char> silence(chunk, 0);
    for (int i = 0; i < 16 && (m_audioPacketsOut + 0.5) * chunkSeconds < videoSeconds; ++i)
        encodeAudio(silence.data(), static_cast<int>(chunk));
    if (!last)
        return; // the next file goes on with the codec as it is
    // The codec still holds the tail of the silence pushed above: drain it to its end so that it
    // closes empty, and drop what comes out, which would only lengthen the sound past the video.
    unsigned int size = 0;
    for (int i = 0;
         i < 64 && m_audioCodec->encode(nullptr, 0, m_audioPacket.data(),
                                        static_cast<unsigned int>(m_audioPacket.size()), size);
         ++i)
        size = 0;
}

// Runs with m_muxMutex held: encodes the resampled audio that fills whole codec chunks, while
// fewer than `limit` chunks went into the codec for the current muxer.
void Encoder::encodeResampledAudio(long long limit)
{
    const int chunk = static_cast<int>(m_audioCodec->frameSize());
    while (chunk > 0 && m_audioChunksIn < limit && m_audioResampler->requestAudioData(chunk)) {
        ++m_audioChunksIn;
        encodeAudio(m_audioResampler->audioData(), chunk);
    }
}

// Runs on the audio thread (or at a time split) with m_muxMutex held.
void Encoder::encodeQueuedAudio(long long limit)
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const ProjectModel::AudioOutput& input = m_preset.audioOutput();
    // A time split may have emptied the FIFO since the caller looked.
    std::unique_ptr<AudioQueue> buffer = m_audioFifo.tryTake();
    if (!buffer)
        return;
    if (buffer->data()) {
        m_audioFifoBytes.fetch_sub(buffer->size());
        m_audioResampler->resampleAudio(buffer->data(), buffer->size(), audio.channels,
                                        input.channels, audio.sampleRate, input.sampleRate,
                                        AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16);
        encodeResampledAudio(limit);
    } else {
        m_sync.audioDrops.fetch_add(1);
        m_sync.audioFrames.fetch_add(1);
        if (m_muxer) {
            const int rate = m_preset.audioCodec().sampleRate;
            const int samples = m_muxer->skipAudioFrame();
            if (rate > 0)
                atomicAdd(m_audioOutTs, static_cast<double>(samples) / rate);
        }
    }
}

// Seconds of sound in one codec chunk, and so in one packet.
double Encoder::audioChunkSeconds() const
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerSecond = audio.bitsPerSample * audio.channels * audio.sampleRate / 8.0;
    return bytesPerSecond > 0.0 ? m_audioCodec->frameSize() / bytesPerSecond : 0.0;
}

// Runs with m_muxMutex held; the host gets the packet from deliverAudioToHost().
void Encoder::encodeAudio(unsigned char* data, int size)
{
    unsigned int packetSize = 0;
    if (!m_audioCodec->encode(data, static_cast<unsigned int>(size), m_encodedAudio.data,
                              static_cast<unsigned int>(m_audioPacket.size()), packetSize))
        return;
    m_encodedAudio.size = packetSize;
    ++m_audioPacketsOut;
    atomicAdd(m_audioOutTs, audioChunkSeconds());
    if (m_callback.load())
        m_audioForHost.emplace_back(m_encodedAudio.data, m_encodedAudio.data + packetSize);
    if (m_muxer && !m_muxer->writeAudio(makePacket(m_encodedAudio.data, packetSize)))
        return;
    const long long encoded = m_sync.audioBytesEncoded.fetch_add(size) + size;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerFrame = (audio.bitsPerSample * audio.channels * audio.sampleRate / 8) /
                                 m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioFrames.store(audioFramesFor(encoded / bytesPerFrame));
}

void Encoder::writeVideoInputDrop()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    const double inputRate = m_preset.videoOutput().frameRate;
    if (inputRate > 0.0)
        atomicAdd(m_sync.inputClock, 1.0 / inputRate);
    m_sync.videoInputDrops.fetch_add(1);
    m_sync.videoFrames.fetch_add(1);
    m_sync.videoWritten.fetch_add(1);
    if (m_muxer)
        m_muxer->skipVideoFrame();
}

void Encoder::writeVideoOutputDrop()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    m_sync.videoOutputDrops.fetch_add(1);
    m_sync.videoWritten.fetch_add(1);
    if (m_muxer)
        m_muxer->skipVideoFrame();
}

// ---- output side ------------------------------------------------------------------------

bool Encoder::initMuxer()
{
    std::unique_ptr<IMuxer> replaced;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        ok = initMuxerLocked(replaced);
    }
    return ok;
}

bool Encoder::initMuxerLocked(std::unique_ptr<IMuxer>& replaced)
{
    if (!m_preset.transcoding().enabled)
        m_preset.local().recordingPath.clear();
    else if (!m_paths.empty()) // a split of a fixed path: "name 2.ext", "name 3.ext", ...
        m_preset.local().recordingPath = RecordingName::nextFreePath(m_paths.front());
    m_sync.videoWritten.store(0);
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);

    if (m_muxer && m_videoCodec)
        finishAudio(false); // a split: the old file gets the audio of its video
    m_sync.audioBytesEncoded.store(0);
    m_sync.audioFrames.store(0);
    m_audioPacketsOut = 0;
    m_audioChunksIn = 0;
    m_audioMayStart.store(false);
    if (m_muxer)
        m_muxer->detachCallback();
    // The audio gate compares the new file's written video with the audio handed to it.
    m_sync.videoWriteTs.store(0.0);
    m_sync.audioWriteTs.store(0.0);
    m_audioOutTs.store(0.0);
    replaced = std::move(m_muxer);
    m_muxer.reset(MuxerFactory::create(this));
    if (!m_muxer) {
        qWarning("Encoder: no muxer for '%s'", qPrintable(m_preset.container().format));
        return false;
    }
    m_muxer->setReserved(static_cast<unsigned int>(m_encodedVideo.frameCount.load()));
    if (m_preset.videoCodec().enabled && m_videoCodec) {
        AVCodecParametersPtr par(avcodec_parameters_alloc());
        if (par && m_videoCodec->streamParameters(par.get()))
            m_muxer->setVideoParameters(par.get());
        m_muxer->setVideoExtradata(m_videoCodec->extraData(), m_videoCodec->extraDataSize());
    }
    if (m_preset.audioCodec().enabled && m_audioCodec)
        m_muxer->setAudioExtradata(m_audioCodec->extraData(), m_audioCodec->extraDataSize());
    if (m_videoCodec && !m_muxer->initialize(m_preset)) {
        m_muxer.reset();
        return false;
    }
    m_paths.push_back(m_muxer->recordingPath());
    return true;
}

bool Encoder::writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                              long long pts, long long dts, unsigned int)
{
    // The one copy happens before the lock is taken.
    AVPacketPtr packet = makePacket(data, size);
    if (!packet)
        return false;
    bool audioMayStart = false;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        if (!m_muxer)
            return false;
        if (m_startTime.load() < 0.0) {
            const QTime now = QTime::currentTime();
            m_startTime.store(now.hour() * 3600 + now.minute() * 60 + now.second() +
                              now.msec() * 0.001);
        }
        if (!m_muxer->isHeaderWritten()) {
            m_muxer->setVideoExtradata(m_videoCodec->extraData(), m_videoCodec->extraDataSize());
            if (!m_muxer->writeHeader())
                return false;
        }
        if (!m_muxer->writeVideo(std::move(packet), key != 0))
            return false;
        m_sync.videoWritten.fetch_add(1);
        audioMayStart = !m_audioMayStart.exchange(true);
    }
    if (m_refVideo.load())
        m_encodedVideo.frameCount.fetch_add(1); // a follower counts the packets it is given
    if (audioMayStart)
        wakeAudioThread();
    return true;
}

bool Encoder::checkTimeSplit()
{
    std::unique_ptr<IMuxer> finished;
    bool split = false;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        const int seconds = m_preset.local().splitSeconds;
        const double rate = m_preset.videoCodec().frameRate;
        if (!m_muxer || !m_preset.local().enabled || seconds == 0 || !(rate > 0.0) ||
            qRound(m_muxer->videoFrameCount() / rate) < seconds)
            return false;
        split = initMuxerLocked(finished);
    }
    // The finished file's trailer is written here, without the lock the audio thread needs.
    finished.reset();
    wakeAudioThread(); // it delivers the finished file's last audio packets to the host
    return split;
}

void Encoder::videoWriteTs(double seconds, int queued)
{
    if (seconds == 0.0) {
        m_sync.videoWriteTs.store(0.0);
        m_sync.videoWriteQueue.store(0);
    } else {
        atomicAdd(m_sync.videoWriteTs, seconds);
        m_sync.videoWriteQueue.store(queued);
    }
    wakeAudioThread(); // the audio gate compares against the written video
}

void Encoder::audioWriteTs(double seconds, int queued)
{
    m_sync.audioWriteQueue.store(queued);
    if (seconds == 0.0) {
        m_sync.audioWriteTs.store(0.0);
        wakeAudioThread();
    } else {
        atomicAdd(m_sync.audioWriteTs, seconds);
    }
}

void Encoder::liveStateChanged(LiveState state, int reconnects, long long dropped)
{
    m_sync.liveState.store(static_cast<int>(state));
    m_sync.liveReconnects.store(reconnects);
    m_sync.liveDrops.store(dropped);
    if (state != LiveState::Live) {
        m_sync.linkPeers.store(0);
        return;
    }
    // The stream starts again from 0 and its first packet must be a key frame: ask for one now
    // rather than wait up to a key frame interval.
    m_keyFrameWanted.store(true);
    m_audioRestart.store(true);
    wakeAudioThread();
}

void Encoder::liveAccount(long long liveMs, const QString& reason)
{
    m_sync.liveMs.store(liveMs);
    std::lock_guard<std::mutex> lock(m_liveReasonMutex);
    m_liveReason = reason;
}

QString Encoder::liveReason()
{
    std::lock_guard<std::mutex> lock(m_liveReasonMutex);
    return m_liveReason;
}

void Encoder::linkStatistics(const LinkStatistics& link)
{
    m_sync.linkPeers.store(link.peers);
    m_sync.linkRttMs.store(link.rttMs);
    m_sync.linkRetransmitted.store(link.retransmitted);
    m_sync.linkDropped.store(link.dropped);
}

// Audio thread, with m_muxMutex held, after a live output (re)connected: the sound queued while
// it was down would play late against the picture that follows, so it goes; the gate then
// waits for the reopened stream's first video packet as at the start.
void Encoder::restartLiveAudio()
{
    long long dropped = 0;
    while (std::unique_ptr<AudioQueue> buffer = m_audioFifo.tryTake()) {
        if (buffer->data())
            m_audioFifoBytes.fetch_sub(buffer->size());
        ++dropped;
    }
    if (dropped > 0)
        qDebug("Encoder: dropped %lld audio buffers queued while the live output was down",
               dropped);
    m_audioOutTs.store(0.0);
    m_audioMayStart.store(false);
}

double Encoder::videoTs()
{
    return m_sync.videoWriteTs.load();
}

double Encoder::audioTs()
{
    return m_sync.audioWriteTs.load();
}
