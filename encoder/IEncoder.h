#pragma once

#include "base/StrevoExport.h"
#include "encoder/AVSync.h"
#include "encoder/EncodedAudio.h"
#include "encoder/EncodedVideo.h"

#include <QString>
#include <memory>

class CodecPreset;
class IAudioCodec;
class IEncodingCallback;
class IEncodingStatus;
class IMuxer;
class IVideoCodec;
struct TimeStamp;

// One encoding pipeline: encodes and writes one output described by one CodecPreset.
//
// Host order: construct; initialize() and check its result; optionally encodingCallback();
// start(); enqueueVideo()/enqueueAudio() (or the lend/submit calls) for every frame and buffer;
// stop(); delete. Input is accepted only between start() and stop(); before or after, it is
// refused. Feeding ends before stop(): stop() encodes what is queued (and what the codecs
// still hold), so a host that keeps feeding keeps it busy.
//
// Bounded input: the video FIFO holds about two seconds of output frames (at least 4), the
// audio FIFO one minute of project audio. Input beyond that is dropped and counted
// (AVSync::videoInputDrops, AVSync::audioInputDrops), so a host that outruns the encoders
// cannot exhaust memory. A host that must not lose frames (transcoding) waits with
// waitForVideoRoom() before each frame.
//
// Threads: initialize(), start(), stop() and destruction on the host's control thread; the
// video input calls (enqueueVideo, waitForVideoRoom, lend/submit/returnVideoBuffer) on one host
// thread at a time, enqueueAudio likewise; none of them blocks on the workers except the two
// waits, which block at most their timeout. Reports and packets reach the host on the worker
// threads, never with a pipeline lock held: a callback may call back into the pipeline
// (getSyncInfo, recordingPath, the enqueue calls, stop). stop() called on a worker thread only
// asks the workers to end: the video thread still encodes what is queued, and the threads are
// joined by the next stop() on the host's thread or by the destructor.
class STREVO_EXPORT IEncoder
{
public:
    // initialize() results.
    enum Result
    {
        Ok = 0,
        CodecError = -2,
        MuxerError = -3,
        DiskSpaceError = -4
    };

    IEncoder() = default;
    IEncoder(const IEncoder& other)
        : m_emptyPath(other.m_emptyPath), m_startTime(other.m_startTime.load())
    {
    }
    IEncoder& operator=(const IEncoder& other)
    {
        m_emptyPath = other.m_emptyPath;
        m_startTime.store(other.m_startTime.load());
        return *this;
    }
    virtual ~IEncoder() = default;

    virtual int encoderType() = 0;
    virtual bool isHWSupport() = 0;
    virtual int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) = 0;
    virtual bool checkTimeSplit() = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual bool pause() = 0;
    virtual void abortMuxer() = 0;
    // Live input: the first frame must carry a stamp whose startFlag is 1.
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format,
                              TimeStamp* ts) = 0;
    // Input without stamps (transcoding).
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format) = 0;
    // A frame that others hold too (one frame given to several pipelines): queued without a
    // copy. `hold` keeps data alive; the pipeline lets go of it once the frame is encoded or
    // dropped and never writes into data. ts null: as enqueueVideo without stamp. The default
    // copies through enqueueVideo.
    virtual void enqueueSharedVideo(std::shared_ptr<const void> hold, unsigned char* data,
                                    int width, int height, int format, TimeStamp* ts);
    // 16-bit interleaved audio in the project's audio format; null data marks a lost buffer.
    virtual void enqueueAudio(unsigned char* data, int size) = 0;
    virtual void encodingCallback(IEncodingCallback* cb) = 0;
    virtual CodecPreset* codecPreset() = 0;
    virtual AVSync& getSyncInfo() = 0;
    virtual IVideoCodec* videoCodec() = 0;
    virtual IAudioCodec* audioCodec() = 0;
    virtual const EncodedVideo& encodedVideo() const = 0;
    virtual const EncodedAudio& encodedAudio() const = 0;
    virtual bool writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                                 long long pts, long long dts, unsigned int index) = 0;
    virtual void writeVideoInputDrop() = 0;
    virtual void writeVideoOutputDrop() = 0;
    virtual void setRefVideoCodec(bool ref) = 0;
    virtual const QString& recordingPath() = 0;
    virtual IMuxer* muxer() = 0;
    // Local time of day in seconds at the first written video packet; -1.0 before.
    virtual double startTime() { return m_startTime.load(std::memory_order_relaxed); }

    // True when one more video frame fits in the video FIFO, waiting at most timeoutMs for the
    // video thread to make room; false on timeout or when the pipeline is not running.
    virtual bool waitForVideoRoom(int timeoutMs) = 0;
    // Zero-copy input. lendVideoBuffer() hands out one of a few pooled buffers of
    // pixelFormatFrameSize(format, width, height) bytes, waiting at most timeoutMs for one to
    // come back; null on timeout, when the pipeline is not running or for a format without
    // fixed layout. The host fills it and either submits it, which queues it as the next frame
    // without a copy (as enqueueVideo with ts; ts null: as enqueueVideo without stamp), or
    // returns it unused. After either call the buffer is the pipeline's again and the host must
    // not touch it; a submitted buffer comes back to the pool once encoded or dropped. Buffers
    // still lent when the pipeline is destroyed are freed with it.
    virtual unsigned char* lendVideoBuffer(int width, int height, int format, int timeoutMs) = 0;
    virtual void submitVideoBuffer(unsigned char* buffer, TimeStamp* ts) = 0;
    virtual void returnVideoBuffer(unsigned char* buffer) = 0;
    // A live output's last reason: why its last attempt failed or its last link broke, as the
    // server or the transport gave it; empty for a recording and while nothing failed.
    virtual QString liveReason() { return {}; }

    // A new video encoder for a codec name ("X264", ...; exact case), not yet initialised,
    // owned by the caller; null for an empty or unknown name.
    static IVideoCodec* createVideoEncoder(const QString& name);
    // A new audio encoder, not yet initialised, owned by the caller, for "AAC", "MP3", "PCM",
    // "OPUS" or "VORBIS" (exact case; Strevo::availableAudioCodecs() lists them); null
    // otherwise.
    static IAudioCodec* createAudioEncoder(const QString& name);

protected:
    QString m_emptyPath; // the recording path of a pipeline without muxer
    // Set once by the video thread, read by the host.
    std::atomic<double> m_startTime{-1.0};
};
