#include "encoder/Encoder.h"

#include "codec/audio/IAudioCodec.h"
#include "codec/video/IVideoCodec.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/ThreadCallback.h"
#include "common/TimeStamp.h"
#include "encoder/AudioEncoding.h"
#include "encoder/DiskSpace.h"
#include "encoder/DiskSpaceWatch.h"
#include "encoder/FrameConversion.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/IEncodingStatus.h"
#include "encoder/IOutputEvents.h"
#include "encoder/MuxerHandOver.h"
#include "encoder/VideoInput.h"
#include "encoder/WorkerThreads.h"
#include "muxer/IMuxer.h"
#include "muxer/IPacketTiming.h"
#include "muxer/LiveUrl.h"
#include "muxer/MuxerFactory.h"

#include <QDebug>
#include <QTime>
#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// The written times are running sums of packet durations; equal times may differ by rounding.
constexpr double kWriteTimeSlack = 1e-6;
// More frames than any encoder holds back (x264's look-ahead is at most 250).
constexpr int kMaxDrainedFrames = 512;

// The worker a body runs on; the bodies reach their thread this way rather than through the
// members, which stop() clears before it joins.
ThreadCallback* currentWorker()
{
    return static_cast<ThreadCallback*>(QThread::currentThread());
}

} // namespace

Encoder::Encoder()
    : m_threads(std::make_unique<WorkerThreads>(this, this)),
      m_videoInput(std::make_unique<VideoInput>(m_preset, m_sync)),
      m_audio(std::make_unique<AudioEncoding>(
          m_preset, m_sync, m_encodedAudio, m_callback,
          [this](double frames) { return audioFramesFor(frames); })),
      m_conversion(std::make_unique<FrameConversion>()),
      m_diskSpace(std::make_unique<DiskSpaceWatch>()),
      m_output(std::make_unique<MuxerHandOver>(m_preset, m_sync, *m_audio, this))
{
}

Encoder::~Encoder()
{
    m_initialized.store(false);
    m_status.store(nullptr);
    // A host that deletes without stop() may have let its callback go already.
    m_callback.store(nullptr);
    stop();
    // The members go in reverse order of declaration: the muxer first (it drains its queue and
    // writes the trailer while the pipeline it reports to is still whole), the queues before
    // the frame pool their frames give buffers back to.
}

// Back to the counters of a new pipeline (a second initialize()).
void Encoder::resetCounters()
{
    m_started.store(0);
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
    m_videoInput->takeSkips();
    {
        std::lock_guard<std::mutex> lock(m_countedMutex);
        m_counted = {};
    }
    std::lock_guard<std::mutex> lock(m_muxMutex);
    m_output->forgetPaths();
    m_audio->reset();
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
    if (m_initialized.load() || m_videoCodec || m_audio->codec()) {
        // Re-initialisation: stop the workers and start from nothing.
        m_initialized.store(false);
        stop();
        m_videoInput->clear();
        closeMuxer();
        releaseVideoCodec();
        m_conversion->reset();
        resetCounters();
    }
    QString invalid = VideoInput::invalidSettings(*preset);
    if (invalid.isEmpty())
        invalid = AudioEncoding::invalidSettings(*preset);
    if (invalid.isEmpty())
        invalid = MuxerFactory::invalidSettings(*preset);
    if (!invalid.isEmpty()) {
        qCWarning(lcStrevo, "Encoder: %s is out of range", qPrintable(invalid));
        return CodecError;
    }

    showLiveStopped(false);
    m_muxEnabled = preset->local().enabled || preset->streaming().enabled;
    m_status.store(status);
    m_preset = *preset;
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);
    m_videoInput->configure();
    m_audio->configure(m_muxEnabled);

    // A replay buffer writes nothing until asked; a save that does not fit fails alone.
    if (m_preset.local().enabled && !MuxerFactory::isReplay(m_preset)) {
        const long long mb = DiskSpace::megabytesAvailable(m_preset.local().folder);
        if (mb >= 0 && mb < DiskSpace::kMinimumMegabytes) {
            qCWarning(lcStrevo, "Encoder: only %lld MB free for '%s'", mb,
                      qPrintable(m_preset.local().folder));
            return DiskSpaceError;
        }
    }

    if (m_preset.videoCodec().enabled && !setUpVideoCodec(preset))
        return CodecError;
    if (m_preset.audioCodec().enabled && !m_audio->open(preset))
        return CodecError;
    if (m_videoCodec) {
        m_videoPacket.assign(m_videoCodec->maxPacketSize(), 0);
        m_encodedVideo.data = m_videoPacket.data();
    }

    if (m_muxEnabled && !initMuxer())
        return MuxerError;

    m_audio->makeResampler();
    m_initialized.store(true);
    if (m_preset.videoCodec().enabled) {
        m_videoKbps = m_preset.videoCodec().bitrate;
        std::lock_guard<std::mutex> lock(m_countedMutex);
        m_counted.videoBitrateKbps = m_videoKbps; // a pipeline initialised again starts over
    }
    return Ok;
}

bool Encoder::setUpVideoCodec(CodecPreset* preset)
{
    const QString& name = m_preset.videoCodec().codecName;
    if (name.isEmpty())
        return false;
    m_videoCodec.reset(IEncoder::createVideoEncoder(name));
    if (!m_videoCodec) {
        qCWarning(lcStrevo, "Encoder: unknown video codec '%s'", qPrintable(name));
        return false;
    }
    QString why;
    if (!LiveUrl::checkAdaptive(m_preset, &why)) {
        qCWarning(lcStrevo, "Encoder: %s", qPrintable(why));
        return false;
    }
    return m_videoCodec->initialize(preset);
}

bool Encoder::start()
{
    if (!m_initialized.load())
        return false;
    m_videoInput->setOpen(true);
    // A pipeline that stopped for low disk space looks at the volume again.
    m_videoEnded.store(false);
    m_ownVideoStopped.store(false);
    m_running.store(true);
    showLiveStopped(false);
    if (m_preset.audioCodec().enabled)
        m_threads->startAudio();
    if (m_refVideo.load() && !followerRunsVideoThread())
        return true;
    return m_preset.videoCodec().enabled && m_threads->startVideo();
}

bool Encoder::stop()
{
    m_running.store(false);
    m_videoInput->setOpen(false); // wakes a host waiting for room or for a buffer
    showLiveStopped(true);
    if (!m_threads->join())
        return true; // a host callback on a worker: the threads end later
    // The host's callback hears every packet the workers make while they drain, and nothing
    // once stop() has returned.
    m_callback.store(nullptr);
    waitForReplay();
    return true;
}

// A replay being saved is finished, and its report made, before stop() returns. The wait is
// made without the muxer mutex, which the pipeline encoding for this one may need meanwhile;
// a replay buffer's muxer never splits, so only initialize() and closeMuxer() replace it, on
// this same control thread.
void Encoder::waitForReplay()
{
    if (!MuxerFactory::isReplay(m_preset))
        return;
    IMuxer* muxer = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        muxer = m_output->muxer();
    }
    if (muxer)
        muxer->waitForReplay();
}

bool Encoder::saveReplay(QString* whyNot)
{
    QString why;
    bool started = false;
    if (!m_initialized.load() || !MuxerFactory::isReplay(m_preset)) {
        why = QStringLiteral("the output is not a replay buffer (its local.replaySeconds is 0)");
    } else {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        IMuxer* muxer = m_output->muxer();
        if (muxer)
            started = muxer->saveReplay(&why);
        else
            why = QStringLiteral("the output has no muxer");
    }
    if (whyNot)
        *whyNot = why;
    return started;
}

// A live output's link goes on until the muxer is gone (it sends what is queued when the
// pipeline is deleted), but for the host the output ends with stop().
void Encoder::showLiveStopped(bool stopped)
{
    std::lock_guard<std::mutex> lock(m_liveStateMutex);
    m_liveStopped = stopped;
    if (m_linkState != LiveState::NotLive || m_preset.streaming().enabled)
        m_sync.liveState.store(static_cast<int>(stopped ? LiveState::Stopped : m_linkState));
}

bool Encoder::pause()
{
    return true;
}

void Encoder::abortMuxer()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    if (IMuxer* muxer = m_output->muxer())
        muxer->abort();
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
    return m_audio->codec();
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
    return m_output->muxer();
}

const QString& Encoder::recordingPath()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    const QString* path = m_output->currentPath();
    return path ? *path : m_emptyPath;
}

// ---- input side -------------------------------------------------------------------------

void Encoder::offerVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts,
                         bool stamped, std::unique_ptr<VideoQueue> own)
{
    if (!m_preset.videoCodec().enabled || !m_initialized.load() || !m_running.load())
        return;
    if (m_videoEnded.load()) {
        m_sync.videoInputDrops.fetch_add(1); // lost to an output whose video has stopped
        return;
    }
    if (!m_videoInput->usableFormat(format, width, height))
        return;
    if (m_refVideo.load())
        return; // a follower's video comes from the pipeline that encodes it
    if (stamped && m_started.load() == 0 && !(ts && ts->startFlag == 1))
        return;

    const int queued =
        m_videoInput->queue(data, width, height, format, stamped && ts && ts->interlaced,
                            stamped && ts ? ts->pts : -1, std::move(own));
    // Started once a frame went in, before the video thread is woken: it may take the frame at
    // once, and the FIFO being empty again must not keep the pipeline waiting for a start stamp.
    if (m_started.load() == 0 && (queued > 0 || !stamped))
        m_started.store(1);
    m_threads->wakeVideo();
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
    return m_running.load() && !m_videoEnded.load() && m_videoInput->waitForRoom(timeoutMs);
}

unsigned char* Encoder::lendVideoBuffer(int width, int height, int format, int timeoutMs)
{
    if (!m_running.load())
        return nullptr;
    return m_videoInput->lend(width, height, format, timeoutMs);
}

void Encoder::submitVideoBuffer(unsigned char* buffer, TimeStamp* ts)
{
    // From here on the frame gives the buffer back to the pool, queued or not.
    std::unique_ptr<VideoQueue> own = m_videoInput->claim(buffer);
    if (!own)
        return;
    const int width = own->width(), height = own->height(), format = own->format();
    offerVideo(buffer, width, height, format, ts, ts != nullptr, std::move(own));
}

void Encoder::returnVideoBuffer(unsigned char* buffer)
{
    m_videoInput->release(buffer);
}

void Encoder::enqueueAudio(unsigned char* data, int size)
{
    if (!m_preset.audioCodec().enabled || !m_initialized.load() || !m_running.load())
        return;
    if (m_started.load() == 0 && !m_refVideo.load())
        return;
    if (m_audio->enqueue(data, size))
        m_threads->wakeAudio();
}

// ---- video thread -----------------------------------------------------------------------

bool Encoder::ownVideoStopped(bool onOwnVideoThread)
{
    if (m_ownVideoStopped.load())
        return true;
    IEncodingStatus* status = m_status.load();
    if (!m_preset.local().enabled || MuxerFactory::isReplay(m_preset) || !status ||
        !m_diskSpace->low(m_preset.local().folder))
        return false;
    qCWarning(lcStrevo, "Encoder: less than %lld MB free for '%s'; video stops",
              DiskSpace::kMinimumMegabytes, qPrintable(m_preset.local().folder));
    stopOwnVideo(onOwnVideoThread);
    status->ecoderStateCallback(this, IEncodingStatus::StateReport, IEncodingStatus::LowDiskSpace);
    return true;
}

void Encoder::recordingFailed(bool onOwnVideoThread)
{
    if (!m_preset.streaming().enabled)
        stopOwnVideo(onOwnVideoThread);
}

void Encoder::stopOwnVideo(bool onOwnVideoThread)
{
    m_ownVideoStopped.store(true);
    // Other outputs wait for the packets encoded here: encoding goes on for them, and only
    // this output's file gets no more video. Otherwise nothing takes frames any more: a host or
    // job waiting for room is let go at once, and what it still offers is refused and counted.
    if (onOwnVideoThread && !encodesVideoForOthers()) {
        m_videoEnded.store(true);
        m_videoInput->refuseAll();
    }
}

// Video thread: the frames the full FIFO refused leave gaps in the output's timeline, in the
// place they would have had.
void Encoder::skipDroppedFrames()
{
    const int skipped = m_videoInput->takeSkips();
    if (skipped == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        m_output->skipVideoFrames(skipped);
    }
    forwardVideoDrops(skipped, true);
}

void Encoder::videoThread()
{
    const int codecFormat = m_videoCodec->supportFormat();
    const CodecModel::VideoCodec video = m_preset.videoCodec();
    ThreadCallback* worker = currentWorker();
    m_diskSpace->restart();
    for (;;) {
        worker->waitUntil([this] { return m_videoInput->hasWork(); });
        if (m_refVideo.load()) {
            // A follower's video, drops included, comes from the pipeline that encodes it.
            m_videoInput->discard();
            if (worker->isExitThread())
                return;
            continue;
        }
        skipDroppedFrames();
        std::unique_ptr<VideoQueue> frame = m_videoInput->take();
        if (!frame) {
            if (worker->isExitThread()) {
                drainVideo(); // everything queued before stop() is encoded, the codec's delay too
                return;
            }
            continue;
        }
        if (!m_ownVideoStopped.load())
            ownVideoStopped(true);
        if (m_videoEnded.load())
            return; // this output's file takes no more video, and nothing else needs it
        if (!frame->data()) {
            // A frame the host lost: offered (paced and counted) like any other, so only its
            // slot in the timeline is left to skip.
            {
                std::lock_guard<std::mutex> lock(m_muxMutex);
                m_sync.videoInputDrops.fetch_add(1);
                m_output->skipVideoFrames(1);
            }
            forwardVideoDrops(1, true);
            continue;
        }
        encodeFrame(std::move(frame), video, codecFormat);
    }
}

// Video thread: the frame goes to the encoder, converted to its size and pixel format where
// they differ. A frame that cannot be converted is lost, not fatal.
void Encoder::encodeFrame(std::unique_ptr<VideoQueue> frame, const CodecModel::VideoCodec& video,
                          int codecFormat)
{
    FrameConversion::Picture picture;
    if (!m_conversion->convert(*frame, video, codecFormat, *m_videoCodec, &picture)) {
        writeVideoOutputDrop();
        forwardVideoDrops(1, false);
        return;
    }
    const long long stampUs = frame->stampUs();
    if (picture.converted)
        frame.reset(); // a lent buffer is free for the host again
    if (!encodeVideo(picture.data, picture.size, picture.format, stampUs))
        if (IEncodingStatus* status = m_status.load())
            status->ecoderStateCallback(this, IEncodingStatus::StateReport,
                                        IEncodingStatus::WriteFailed);
}

bool Encoder::encodeVideo(unsigned char* data, int size, int format, long long stampUs)
{
    if (m_refVideo.load())
        return true;
    EncodedVideo& out = m_encodedVideo;
    unsigned int packetSize = 0, key = 0;
    long long pts = -1, dts = -1;
    if (m_keyFrameWanted.exchange(false))
        m_videoCodec->requestKeyFrame();
    if (const int kbps = m_bitrateWanted.exchange(0); kbps > 0 && kbps != m_videoKbps)
        changeBitrate(kbps);
    m_codecStamps.push_back(stampUs);
    if (m_codecStamps.size() > static_cast<size_t>(kMaxDrainedFrames))
        m_codecStamps.pop_front(); // a codec that drops frames of its own
    const bool ok = m_videoCodec->encode(data, static_cast<unsigned int>(size), format, out.data,
                                         static_cast<unsigned int>(m_videoPacket.size()),
                                         packetSize, key, pts, dts);
    if (!ok || packetSize == 0) {
        // Codec delay before the first packet: hold back as much audio as the codec holds video.
        if (out.frameCount.load() == 0) {
            const uint64_t missed = out.missedFrames.fetch_add(1) + 1;
            const double bytesPerFrame =
                m_audio->projectBytesPerSecond() / m_preset.videoCodec().frameRate;
            if (bytesPerFrame > 0.0)
                m_encodedAudio.holdChunks.store(
                    qRound(missed * bytesPerFrame / AudioEncoding::kHoldChunkBytes));
            m_threads->wakeAudio();
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
    // The codecs here give their packets out in the order the frames went in.
    out.stampUs = -1;
    if (!m_codecStamps.empty()) {
        out.stampUs = m_codecStamps.front();
        m_codecStamps.pop_front();
    }
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (IEncodingCallback* cb = m_callback.load())
        cb->videoEncoded(video.codecName, out.data, packetSize, video.width, video.height, key,
                         m_videoCodec->extraData(), m_videoCodec->extraDataSize());
    bool written = true;
    if (m_muxEnabled && !m_ownVideoStopped.load()) {
        if (key)
            checkTimeSplit();
        written = writeVideoMuxer(out.data, packetSize, key, out.stampUs, dts,
                                  static_cast<unsigned int>(out.frameCount.load()));
        if (!written)
            recordingFailed(true);
    }
    if (written) {
        out.frameCount.fetch_add(1);
        if (m_preset.local().enabled)
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, IEncodingStatus::ProgressReport,
                                            static_cast<int>(muxedVideoFrames()));
    }
    // Whatever became of this output's copy: one failing output must not starve the others.
    forwardVideoPacket(packetSize, key);
    return written;
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
                                  pts, dts)) {
            m_codecStamps.clear(); // the codec holds nothing now
            return;
        }
        if (packetSize > 0 && !deliverVideoPacket(packetSize, key, pts, dts))
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, IEncodingStatus::StateReport,
                                            IEncodingStatus::WriteFailed);
    }
}

// ---- audio thread -----------------------------------------------------------------------

// Audio thread, also inside its wait: whether a buffer may be encoded now. With an output,
// audio starts once the first video packet is in the muxer, which drops audio until then
// (encoding it earlier would lose it and put the sound early), and it never runs ahead of the
// written video. Reads only atomics and the FIFO: it runs under the worker's own mutex.
bool Encoder::audioReady() const
{
    return m_audio->restartPending() || audioGateOpen(m_audio->queuedChunks());
}

bool Encoder::audioGateOpen(int queued) const
{
    return queued > 0 && queued >= m_encodedAudio.holdChunks.load() - 4 && m_audio->mayStart() &&
           (!m_muxEnabled ||
            m_sync.videoWriteTs.load() + kWriteTimeSlack >= m_audio->handedSeconds());
}

bool Encoder::audioMayStart() const
{
    return m_audio->mayStart();
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
            if (m_audio->takeRestart())
                m_audio->restartLive();
            // A time split may have closed the gate again since the wait looked.
            else if (audioGateOpen(m_audio->queuedChunks()))
                m_audio->encodeQueued(m_output->muxer());
        }
        deliverAudioToHost();
    }

    // Stopping: the video thread has ended, so every frame is encoded.
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        m_audio->finish(m_output->muxer(), static_cast<long long>(m_encodedVideo.frameCount.load()),
                        true);
    }
    deliverAudioToHost();
}

// Audio thread, without a lock: the packets encoded since the last call go to the host.
void Encoder::deliverAudioToHost()
{
    AudioEncoding::Packets packets;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        packets = m_audio->takeForHost();
    }
    m_audio->deliverToHost(packets);
}

// ---- output side ------------------------------------------------------------------------

void Encoder::writeVideoInputDrop()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    const double inputRate = m_preset.videoOutput().frameRate;
    if (inputRate > 0.0)
        atomicAdd(m_sync.inputClock, 1.0 / inputRate);
    m_sync.videoInputDrops.fetch_add(1);
    m_sync.videoFrames.fetch_add(1);
    m_output->skipVideoFrames(1);
}

void Encoder::writeVideoOutputDrop()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    m_sync.videoOutputDrops.fetch_add(1);
    m_output->skipVideoFrames(1);
}

void Encoder::closeMuxer()
{
    std::unique_ptr<IMuxer> muxer;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        muxer = m_output->take();
    }
}

long long Encoder::muxedVideoFrames()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    IMuxer* muxer = m_output->muxer();
    return muxer ? muxer->videoFrameCount() : 0;
}

bool Encoder::initMuxer()
{
    std::unique_ptr<IMuxer> replaced;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        ok = m_output->openNext(m_videoCodec.get(),
                                static_cast<long long>(m_encodedVideo.frameCount.load()), replaced);
    }
    return ok;
}

// The muxer stamps each packet with its place in the file (pts = dts, counting skipped frames
// and restarting at a split or a reconnect), so the codec's own stamps are not passed on; the
// packet keeps only the host's stamp of its frame, for the muxer's timing reports. The codecs here
// code no reordered pictures, except NVENC H.264 with bFrames set, whose composition order this
// loses.
bool Encoder::writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                              long long stampUs, long long /*dts*/, unsigned int /*index*/)
{
    // The one copy happens before the lock is taken.
    AVPacketPtr packet = MuxerHandOver::copyPacket(data, size);
    if (!packet)
        return false;
    IPacketTiming::setOrigin(packet.get(), stampUs);
    bool audioMayStart = false;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        if (!m_output->muxer())
            return false;
        if (m_startTime.load() < 0.0) {
            const QTime now = QTime::currentTime();
            m_startTime.store(now.hour() * 3600 + now.minute() * 60 + now.second() +
                              now.msec() * 0.001);
        }
        if (!m_output->writeVideo(std::move(packet), key != 0, m_videoCodec.get()))
            return false;
        audioMayStart = m_audio->pictureWritten();
    }
    if (m_refVideo.load())
        m_encodedVideo.frameCount.fetch_add(1); // a follower counts the packets it is given
    count(&strevo::OutputStats::framesWritten, 1);
    if (audioMayStart)
        m_threads->wakeAudio();
    return true;
}

bool Encoder::checkTimeSplit()
{
    std::unique_ptr<IMuxer> finished;
    bool split = false;
    {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        if (!m_output->splitDue())
            return false;
        split = m_output->openNext(
            m_videoCodec.get(), static_cast<long long>(m_encodedVideo.frameCount.load()), finished);
    }
    // The finished file's trailer is written here, without the lock the audio thread needs.
    finished.reset();
    m_threads->wakeAudio(); // it delivers the finished file's last audio packets to the host
    return split;
}

// ---- muxer reports ----------------------------------------------------------------------

void Encoder::videoWriteTs(double seconds, int queued)
{
    if (seconds == 0.0) {
        m_sync.videoWriteTs.store(0.0);
        m_sync.videoWriteQueue.store(0);
    } else {
        atomicAdd(m_sync.videoWriteTs, seconds);
        m_sync.videoWriteQueue.store(queued);
        std::lock_guard<std::mutex> lock(m_countedMutex);
        m_counted.secondsWritten += seconds; // across time splits, unlike AVSync's
    }
    m_threads->wakeAudio(); // the audio gate compares against the written video
}

void Encoder::audioWriteTs(double seconds, int queued)
{
    m_sync.audioWriteQueue.store(queued);
    if (seconds == 0.0) {
        m_sync.audioWriteTs.store(0.0);
        m_threads->wakeAudio();
    } else {
        atomicAdd(m_sync.audioWriteTs, seconds);
    }
}

void Encoder::liveStateChanged(LiveState state, int reconnects, long long dropped)
{
    {
        std::lock_guard<std::mutex> lock(m_liveStateMutex);
        m_linkState = state;
        if (!m_liveStopped)
            m_sync.liveState.store(static_cast<int>(state));
    }
    m_sync.liveReconnects.store(reconnects);
    m_sync.liveDrops.store(dropped);
    if (IOutputEvents* events = m_events.load())
        events->liveStateChanged(this, state, liveReason());
    if (state != LiveState::Live) {
        m_sync.linkPeers.store(0);
        return;
    }
    // The stream starts again from 0, from a key frame, which the muxer asks for (keyFrameWanted)
    // only when the packet it is offered is none. The sound queued while the output was down
    // goes, and the audio gate starts again from 0.
    m_audio->requestRestart();
    m_threads->wakeAudio();
}

void Encoder::liveAccount(long long liveMs, const QString& reason)
{
    m_sync.liveMs.store(liveMs);
    {
        std::lock_guard<std::mutex> lock(m_liveReasonMutex);
        m_liveReason = reason;
    }
    // A failed attempt leaves the state as it was and brings a reason only.
    LiveState state;
    {
        std::lock_guard<std::mutex> lock(m_liveStateMutex);
        state = m_linkState;
    }
    if (IOutputEvents* events = m_events.load())
        if (!reason.isEmpty() &&
            (state == LiveState::Connecting || state == LiveState::Reconnecting))
            events->liveStateChanged(this, state, reason);
}

void Encoder::changeBitrate(int kbps)
{
    if (!m_videoCodec->setBitrate(kbps)) {
        qCWarning(lcStrevo, "Encoder: the video encoder refused the bit rate %d kbit/s", kbps);
        return;
    }
    qCInfo(lcStrevo, "Encoder: video bit rate %d -> %d kbit/s for the link", m_videoKbps, kbps);
    count(&strevo::OutputStats::videoBitrateKbps, kbps - m_videoKbps);
    count(&strevo::OutputStats::bitrateChanges, 1);
    m_videoKbps = kbps;
}

void Encoder::count(long long strevo::OutputStats::*field, long long delta)
{
    std::lock_guard<std::mutex> lock(m_countedMutex);
    m_counted.*field += delta;
}

strevo::OutputStats Encoder::outputStats()
{
    strevo::OutputStats stats;
    {
        std::lock_guard<std::mutex> lock(m_countedMutex);
        stats = m_counted;
    }
    const AVSync& sync = m_sync;
    stats.inputDrops = sync.videoInputDrops.load();
    stats.outputDrops = sync.videoOutputDrops.load();
    stats.audioDrops = sync.audioDrops.load() + sync.audioInputDrops.load();
    stats.liveDrops = sync.liveDrops.load();
    stats.liveSeconds = sync.liveMs.load() / 1000.0;
    stats.reconnects = sync.liveReconnects.load();
    stats.lastReason = liveReason();
    if (MuxerFactory::isReplay(m_preset)) {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        if (IMuxer* muxer = m_output->muxer())
            muxer->replayHeld(&stats.replayBytes, &stats.replaySeconds);
    }
    return stats;
}

QString Encoder::liveReason()
{
    std::lock_guard<std::mutex> lock(m_liveReasonMutex);
    return m_liveReason;
}

void Encoder::replaySaved(const QString& path, bool ok, const QString& reason)
{
    if (IOutputEvents* events = m_events.load())
        events->replaySaved(this, path, ok, reason);
}

void Encoder::linkStatistics(const LinkStatistics& link)
{
    m_sync.linkPeers.store(link.peers);
    m_sync.linkRttMs.store(link.rttMs);
    m_sync.linkRetransmitted.store(link.retransmitted);
    m_sync.linkDropped.store(link.dropped);
}

double Encoder::videoTs()
{
    return m_sync.videoWriteTs.load();
}

double Encoder::audioTs()
{
    return m_sync.audioWriteTs.load();
}
