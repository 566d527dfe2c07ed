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

constexpr unsigned long kIdleWaitMs = 5;
// Audio chunk used by the hold-back rule: 20 ms of 48 kHz stereo 16-bit.
constexpr double kAudioChunkBytes = 3840.0;
// Room for one encoded audio packet beyond the codec's input chunk (AAC at most 768 bytes per
// channel, MP3 at most 1441 bytes, PCM exactly the chunk).
constexpr int kAudioPacketSlack = 8192;
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

Encoder::Encoder() = default;

Encoder::~Encoder()
{
    m_initialized.store(false);
    m_status.store(nullptr);
    m_callback.store(nullptr);
    joinThreads();
    releaseAll();
}

void Encoder::joinThreads()
{
    VideoThread* video = nullptr;
    AudioThread* audio = nullptr;
    {
        // Once the pointers are null no enqueue call can reach the threads any more.
        std::lock_guard<std::mutex> lock(m_threadMutex);
        std::swap(video, m_videoThread);
        std::swap(audio, m_audioThread);
    }
    delete video; // raises the exit flag, wakes the body and joins
    delete audio;
}

void Encoder::releaseAll()
{
    m_videoFifo.clear();
    m_audioFifo.clear();
    if (m_videoCodec && --m_videoCodec->m_refCount <= 0)
        delete m_videoCodec;
    m_videoCodec = nullptr;
    delete m_audioCodec;
    m_audioCodec = nullptr;
    delete m_muxer;
    m_muxer = nullptr;
    delete m_audioResampler;
    m_audioResampler = nullptr;
    delete m_videoResampler;
    m_videoResampler = nullptr;
    delete m_interlace;
    m_interlace = nullptr;
    delete[] m_encodedVideo.data;
    m_encodedVideo.data = nullptr;
    delete[] m_encodedAudio.data;
    m_encodedAudio.data = nullptr;
}

// Back to the counters of a new pipeline (a second initialize()).
void Encoder::resetState()
{
    m_started.store(0);
    m_lastFormat = -1;
    m_startTime.store(-1.0);
    m_encodedVideo.frameCount.store(0);
    m_encodedVideo.missedFrames.store(0);
    m_encodedVideo.size = 0;
    m_encodedAudio.holdChunks.store(0);
    m_encodedAudio.size = 0;
    for (auto* counter : {&m_sync.videoInputDrops, &m_sync.videoOutputDrops, &m_sync.audioDrops})
        counter->store(0);
    for (auto* counter : {&m_sync.videoFrames, &m_sync.videoWritten, &m_sync.videoWriteQueue,
                          &m_sync.audioQueuedFrames, &m_sync.audioFrames, &m_sync.audioBytesQueued,
                          &m_sync.audioBytesEncoded, &m_sync.audioWriteQueue})
        counter->store(0);
    for (auto* time : {&m_sync.videoWriteTs, &m_sync.audioWriteTs, &m_sync.inputClock})
        time->store(0.0);
    m_paths.clear();
    m_audioPacketsOut = 0;
    m_audioChunksIn = 0;
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
    if (m_initialized.load() || m_videoCodec || m_audioCodec || m_muxer) {
        // Re-initialisation: stop the workers and start from nothing.
        m_initialized.store(false);
        stop();
        releaseAll();
        resetState();
    }

    m_muxEnabled = preset->local().enabled || preset->streaming().enabled;
    m_status.store(status);
    m_preset = *preset;
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);

    if (m_preset.local().enabled) {
        const long long mb = DiskSpace::megabytesAvailable(m_preset.local().folder);
        if (mb >= 0 && mb < DiskSpace::kMinimumMegabytes) {
            qWarning("Encoder: only %lld MB free for '%s'", mb,
                     qPrintable(m_preset.local().folder));
            return DiskSpaceError;
        }
    }

    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (video.enabled && !m_videoCodec) {
        if (video.codecName.isEmpty())
            return CodecError;
        m_videoCodec = IEncoder::createVideoEncoder(video.codecName);
        if (!m_videoCodec) {
            qWarning("Encoder: unknown video codec '%s'", qPrintable(video.codecName));
            return CodecError;
        }
        if (!m_videoCodec->initialize(preset))
            return CodecError;
    }

    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    if (audio.enabled) {
        if (audio.codecName.isEmpty())
            return CodecError;
        m_audioCodec = IEncoder::createAudioEncoder(audio.codecName);
        if (!m_audioCodec) {
            qWarning("Encoder: unknown audio codec '%s'", qPrintable(audio.codecName));
            return CodecError;
        }
        if (!m_audioCodec->initialize(preset))
            return CodecError;
    }

    if (m_videoCodec) {
        const size_t bytes =
            static_cast<size_t>(std::max(video.width, 1)) * std::max(video.height, 1) * 4;
        m_encodedVideo.data = new unsigned char[bytes];
    }
    if (m_audioCodec) {
        const int bytes = std::max(m_preset.audioOutput().bufferSize,
                                   static_cast<int>(m_audioCodec->frameSize()) + kAudioPacketSlack);
        m_encodedAudio.data = new unsigned char[bytes];
    }

    if (m_muxEnabled && !initMuxer())
        return MuxerError;

    m_audioResampler = new AVResampler(0, 0, 0);
    m_interlace = new Interlace();
    m_initialized.store(true);
    return Ok;
}

bool Encoder::start()
{
    if (!m_initialized.load())
        return false;
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_preset.audioCodec().enabled && !m_audioThread) {
        m_audioThread = new AudioThread(this);
        m_audioThread->start(QThread::InheritPriority);
    }
    if (m_refVideo.load())
        return true;
    if (!m_preset.videoCodec().enabled || m_videoThread)
        return false;
    m_videoThread = new VideoThread(this);
    m_videoThread->start(QThread::InheritPriority);
    return true;
}

bool Encoder::stop()
{
    m_callback.store(nullptr);
    joinThreads();
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
    return m_videoCodec;
}

IAudioCodec* Encoder::audioCodec()
{
    return m_audioCodec;
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
    m_refVideo.store(ref);
}

IMuxer* Encoder::muxer()
{
    return m_muxer;
}

const QString& Encoder::recordingPath()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return m_muxer && !m_paths.empty() ? m_paths.back() : m_emptyPath;
}

// ---- input side -------------------------------------------------------------------------

int Encoder::synchronizeVideo(int* drop, int* repeat)
{
    const double inputRate = m_preset.videoOutput().frameRate;
    const double outputRate = m_preset.videoCodec().frameRate;
    if (!(inputRate > 0.0) || !(outputRate > 0.0))
        return 1; // no rates to pace by: queue every frame once
    const double clock = atomicAdd(m_sync.inputClock, 1.0 / inputRate);
    const int expected = qRound(clock / (1.0 / outputRate));
    const int diff = expected - static_cast<int32_t>(m_sync.videoFrames.load());
    if (diff < -1) {
        *drop = 1;
        return 0;
    }
    if (diff <= 1)
        return 1;
    *repeat = diff - 1;
    return diff;
}

void Encoder::queueCopies(unsigned char* data, int width, int height, int format, int copies)
{
    for (int i = 0; i < copies; ++i) {
        m_videoFifo.append(new VideoQueue(data, width, height, format));
        m_sync.videoFrames.fetch_add(1);
    }
}

void Encoder::enqueueVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts)
{
    if (!m_preset.videoCodec().enabled || !m_initialized.load() || m_refVideo.load())
        return;
    if (m_started.load() == 0 && !(ts && ts->startFlag == 1))
        return;

    int drop = 0, repeat = 0;
    const int copies = synchronizeVideo(&drop, &repeat);
    int queued = 0;
    if (ts && ts->interlaced && m_preset.videoCodec().scanMode != 0 && format != PIX_TEXTURE) {
        for (int i = 0; i < copies; ++i) {
            VideoQueue picture(data, width, height, format);
            if (m_interlace->filterFrame(&picture, false, false)) {
                m_videoFifo.append(new VideoQueue(m_interlace->data(), width, height, format));
                m_sync.videoFrames.fetch_add(1);
                ++queued;
            }
        }
    } else {
        queueCopies(data, width, height, format, copies);
        queued = copies;
    }
    // Started once a frame went in, before the video thread is woken: it may take the frame at
    // once, and the FIFO being empty again must not keep the pipeline waiting for a start stamp.
    if (m_started.load() == 0 && queued > 0)
        m_started.store(1);
    wakeVideoThread();
}

void Encoder::enqueueVideo(unsigned char* data, int width, int height, int format)
{
    if (!m_preset.videoCodec().enabled || !m_initialized.load())
        return;
    int drop = 0, repeat = 0;
    queueCopies(data, width, height, format, synchronizeVideo(&drop, &repeat));
    wakeVideoThread();
    if (m_started.load() == 0)
        m_started.store(1);
}

void Encoder::wakeVideoThread()
{
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_videoThread)
        m_videoThread->wakeThread();
}

int Encoder::projectAudioBytesPerSecond() const
{
    const ProjectModel::AudioOutput& a = m_preset.audioOutput();
    return a.channels * a.sampleRate * a.bitsPerSample / 8;
}

void Encoder::enqueueAudio(unsigned char* data, int size)
{
    if (!m_preset.audioCodec().enabled || !m_initialized.load())
        return;
    if (m_started.load() == 0 && !m_refVideo.load())
        return;
    if (data && size <= 0)
        return; // nothing to encode; only a null buffer marks a lost one
    m_audioFifo.append(new AudioQueue(data, size));
    const long long queued =
        m_sync.audioBytesQueued.fetch_add(std::max(size, 0)) + std::max(size, 0);
    const double bytesPerFrame = projectAudioBytesPerSecond() / m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioQueuedFrames.store(qRound64(queued / bytesPerFrame));
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_audioThread)
        m_audioThread->wakeThread();
}

// ---- worker threads ---------------------------------------------------------------------

bool Encoder::lowDiskSpace() const
{
    const long long mb = DiskSpace::megabytesAvailable(m_preset.local().folder);
    return mb >= 0 && mb < DiskSpace::kMinimumMegabytes;
}

void Encoder::videoThread()
{
    const bool recordsLocally = m_preset.local().enabled;
    const int codecFormat = m_videoCodec->supportFormat();
    const CodecModel::VideoCodec video = m_preset.videoCodec();
    ThreadCallback* worker = currentWorker();
    for (;;) {
        if (recordsLocally && lowDiskSpace()) {
            if (IEncodingStatus* status = m_status.load()) {
                qWarning("Encoder: less than %lld MB free for '%s'; video stops",
                         DiskSpace::kMinimumMegabytes, qPrintable(m_preset.local().folder));
                status->ecoderStateCallback(this, 0, -4);
                return;
            }
        }
        VideoQueue* frame = m_videoFifo.tryTake();
        if (!frame) {
            if (worker->isExitThread()) {
                drainVideo(); // everything queued before stop() is encoded, the codec's delay too
                return;
            }
            worker->waitThread(kIdleWaitMs);
            continue;
        }
        if (!frame->data()) {
            writeVideoInputDrop();
            delete frame;
            continue;
        }

        const int format = frame->format();
        if (format != m_lastFormat) {
            delete m_videoResampler;
            m_videoResampler = nullptr;
            m_lastFormat = format;
        }
        bool encoded;
        if (format == PIX_TEXTURE && !m_videoCodec->isHWTextureSupport()) {
            if (!m_warnedTexture)
                qWarning("Encoder: %s cannot encode GPU textures; texture frames are dropped",
                         qPrintable(video.codecName));
            m_warnedTexture = true;
            writeVideoOutputDrop();
            delete frame;
            continue;
        }
        if (!m_videoResampler && format != PIX_TEXTURE &&
            (frame->width() != video.width || frame->height() != video.height ||
             format != codecFormat))
            m_videoResampler = new YuvResampler();
        if (m_videoResampler && format != PIX_TEXTURE) {
            if (!m_videoResampler->resampleVideo(frame->data(), frame->width(), frame->height(),
                                                 format, nullptr, video.width, video.height,
                                                 codecFormat, video.scaleMode, false)) {
                writeVideoOutputDrop(); // a frame that cannot be converted is lost, not fatal
                delete frame;
                continue;
            }
            encoded = encodeVideo(m_videoResampler->videoData(), m_videoResampler->videoDataSize(),
                                  codecFormat);
        } else {
            encoded = encodeVideo(frame->data(), frame->size(), format);
        }
        if (!encoded)
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, 0, -1);
        delete frame;
    }
}

bool Encoder::encodeVideo(unsigned char* data, int size, int format)
{
    if (m_refVideo.load())
        return true;
    EncodedVideo& out = m_encodedVideo;
    unsigned int packetSize = 0, key = 0;
    long long pts = -1, dts = -1;
    const bool ok = m_videoCodec->encode(data, static_cast<unsigned int>(size), format, out.data,
                                         packetSize, key, pts, dts);
    if (!ok || packetSize == 0) {
        // Codec delay before the first packet: hold back as much audio as the codec holds video.
        if (out.frameCount.load() == 0) {
            const uint64_t missed = out.missedFrames.fetch_add(1) + 1;
            const double bytesPerFrame =
                projectAudioBytesPerSecond() / m_preset.videoCodec().frameRate;
            if (bytesPerFrame > 0.0)
                m_encodedAudio.holdChunks.store(qRound(missed * bytesPerFrame / kAudioChunkBytes));
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
    if (m_muxEnabled) {
        if (key)
            checkTimeSplit();
        if (!writeVideoMuxer(out.data, packetSize, key, pts, dts,
                             static_cast<unsigned int>(out.frameCount.load())))
            return false;
    }
    out.frameCount.fetch_add(1);
    if (m_preset.local().enabled)
        if (IEncodingStatus* status = m_status.load()) {
            long long frames = 0;
            {
                std::lock_guard<std::mutex> lock(m_muxMutex);
                frames = m_muxer ? m_muxer->videoFrameCount() : 0;
            }
            status->ecoderStateCallback(this, 1, static_cast<int>(frames));
        }
    return true;
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
        if (!m_videoCodec->encode(nullptr, 0, format, m_encodedVideo.data, packetSize, key, pts,
                                  dts))
            return;
        if (packetSize > 0 && !deliverVideoPacket(packetSize, key, pts, dts))
            if (IEncodingStatus* status = m_status.load())
                status->ecoderStateCallback(this, 0, -1);
    }
}

void Encoder::audioThread()
{
    ThreadCallback* worker = currentWorker();
    while (!worker->isExitThread()) {
        bool worked = false;
        const int queued = m_audioFifo.count();
        if (queued > 0 && queued >= m_encodedAudio.holdChunks.load() - 4 &&
            m_sync.videoWriteTs.load() + kWriteTimeSlack >= m_sync.audioWriteTs.load()) {
            std::lock_guard<std::mutex> lock(m_muxMutex);
            // Without an output the packets only go to the host's callback: nothing to wait for.
            // With one, audio starts once the first video packet is in the muxer, which drops
            // audio until then: encoding it earlier would lose it and put the sound early.
            if (!m_muxEnabled || (m_muxer && m_muxer->isHeaderWritten() &&
                                  (!m_videoCodec || m_sync.videoWritten.load() > 0))) {
                encodeQueuedAudio();
                worked = true;
            }
        }
        if (!worked)
            worker->waitThread(kIdleWaitMs);
    }

    // Stopping: the video thread has ended, so every frame is encoded.
    std::lock_guard<std::mutex> lock(m_muxMutex);
    finishAudio();
}

// Runs with m_muxMutex held, when the current muxer's video is complete (the pipeline stops, or
// a time split is about to replace the muxer). Encodes the queued audio that belongs to that
// video, then pushes silence through the codec until the samples it holds back have come out,
// so that the file ends with both streams of the same length.
void Encoder::finishAudio()
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
    AudioQueue* buffer = m_audioFifo.tryTake();
    if (!buffer)
        return;
    if (buffer->data()) {
        m_audioResampler->resampleAudio(buffer->data(), buffer->size(), audio.channels,
                                        input.channels, audio.sampleRate, input.sampleRate,
                                        AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16);
        encodeResampledAudio(limit);
    } else {
        m_sync.audioDrops.fetch_add(1);
        m_sync.audioFrames.fetch_add(1);
        if (m_muxer)
            m_muxer->skipAudioFrame();
    }
    delete buffer;
}

// Runs on the audio thread with m_muxMutex held.
void Encoder::encodeAudio(unsigned char* data, int size)
{
    unsigned int packetSize = 0;
    if (!m_audioCodec->encode(data, static_cast<unsigned int>(size), m_encodedAudio.data,
                              packetSize))
        return;
    m_encodedAudio.size = packetSize;
    ++m_audioPacketsOut;
    if (IEncodingCallback* cb = m_callback.load())
        cb->audioEncoded(m_encodedAudio.data, packetSize, m_audioCodec->extraData(),
                         m_audioCodec->extraDataSize());
    if (m_muxer && !m_muxer->writeAudio(makePacket(m_encodedAudio.data, packetSize)))
        return;
    const long long encoded = m_sync.audioBytesEncoded.fetch_add(size) + size;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerFrame = (audio.bitsPerSample * audio.channels * audio.sampleRate / 8) /
                                 m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioFrames.store(static_cast<long long>(encoded / bytesPerFrame));
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
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return initMuxerLocked();
}

bool Encoder::initMuxerLocked()
{
    if (!m_preset.transcoding().enabled)
        m_preset.local().recordingPath.clear();
    else if (!m_paths.empty()) // a split of a fixed path: "name 2.ext", "name 3.ext", ...
        m_preset.local().recordingPath = RecordingName::nextFreePath(m_paths.front());
    m_sync.videoWritten.store(0);
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);

    if (m_muxer && m_videoCodec)
        finishAudio(); // a split: the old file gets the audio of its video
    m_sync.audioBytesEncoded.store(0);
    m_sync.audioFrames.store(0);
    m_audioPacketsOut = 0;
    m_audioChunksIn = 0;
    delete m_muxer;
    m_muxer = MuxerFactory::create(this);
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
        delete m_muxer;
        m_muxer = nullptr;
        return false;
    }
    m_paths.push_back(m_muxer->recordingPath());
    return true;
}

bool Encoder::writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                              long long pts, long long dts, unsigned int)
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
    if (!m_muxer->writeVideo(makePacket(data, size), key != 0))
        return false;
    m_sync.videoWritten.fetch_add(1);
    return true;
}

bool Encoder::checkTimeSplit()
{
    std::lock_guard<std::mutex> lock(m_muxMutex);
    const int split = m_preset.local().splitSeconds;
    if (!m_muxer || !m_preset.local().enabled || split == 0)
        return false;
    const double rate = m_preset.videoCodec().frameRate;
    if (!(rate > 0.0))
        return false;
    const int seconds = qRound(m_muxer->videoFrameCount() / rate);
    if (seconds < split)
        return false;
    return initMuxerLocked();
}

void Encoder::videoWriteTs(double seconds, int queued)
{
    if (seconds == 0.0) {
        m_sync.videoWriteTs.store(0.0);
        m_sync.videoWriteQueue.store(0);
        return;
    }
    atomicAdd(m_sync.videoWriteTs, seconds);
    m_sync.videoWriteQueue.store(queued);
}

void Encoder::audioWriteTs(double seconds, int queued)
{
    m_sync.audioWriteQueue.store(queued);
    if (seconds == 0.0)
        m_sync.audioWriteTs.store(0.0);
    else
        atomicAdd(m_sync.audioWriteTs, seconds);
}

double Encoder::videoTs()
{
    return m_sync.videoWriteTs.load();
}

double Encoder::audioTs()
{
    return m_sync.audioWriteTs.load();
}
