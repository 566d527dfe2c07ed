#pragma once

#include "api/StrevoExport.h"
#include "common/AudioQueue.h"
#include "common/CodecPreset.h"
#include "common/LockedFifo.h"
#include "common/VideoQueue.h"
#include "encoder/FramePool.h"
#include "encoder/IAudioThread.h"
#include "encoder/IEncoder.h"
#include "encoder/IVideoThread.h"
#include "muxer/IMuxerCallback.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

class AVResampler;
class AudioThread;
class IAudioCodec;
class IEncodingCallback;
class IEncodingStatus;
class IVideoCodec;
class Interlace;
class VideoThread;
class YuvResampler;

// The ordinary pipeline: one video encoder, one audio encoder, one muxer and two worker
// threads, all made from one output preset.
//
// Threads: as IEncoder says; the video and audio bodies run on the pipeline's own threads, the
// IMuxerCallback operations on the muxing thread. Lock order: m_muxMutex, then m_threadMutex,
// then a worker's own mutex; no host callback and no muxer destruction under any of them.
class STREVO_EXPORT Encoder : public IEncoder,
                              public IMuxerCallback,
                              public IVideoThread,
                              public IAudioThread
{
public:
    Encoder();
    ~Encoder() override;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    int encoderType() override;
    bool isHWSupport() override;
    // 0, or -2 (an input number out of range, codec missing or failing), -3 (muxer), -4 (under
    // 201 MB free where it records). A second call stops the pipeline and starts from nothing.
    int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) override;
    bool checkTimeSplit() override;
    bool start() override;
    bool stop() override;
    bool pause() override;
    void abortMuxer() override;
    void enqueueVideo(unsigned char* data, int width, int height, int format,
                      TimeStamp* ts) override;
    void enqueueVideo(unsigned char* data, int width, int height, int format) override;
    void enqueueSharedVideo(std::shared_ptr<const void> hold, unsigned char* data, int width,
                            int height, int format, TimeStamp* ts) override;
    void enqueueAudio(unsigned char* data, int size) override;
    bool waitForVideoRoom(int timeoutMs) override;
    unsigned char* lendVideoBuffer(int width, int height, int format, int timeoutMs) override;
    void submitVideoBuffer(unsigned char* buffer, TimeStamp* ts) override;
    void returnVideoBuffer(unsigned char* buffer) override;
    void encodingCallback(IEncodingCallback* cb) override;
    CodecPreset* codecPreset() override;
    AVSync& getSyncInfo() override;
    IVideoCodec* videoCodec() override;
    IAudioCodec* audioCodec() override;
    const EncodedVideo& encodedVideo() const override;
    const EncodedAudio& encodedAudio() const override;
    bool writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key, long long pts,
                         long long dts, unsigned int index) override;
    void writeVideoInputDrop() override;
    void writeVideoOutputDrop() override;
    void setRefVideoCodec(bool ref) override;
    const QString& recordingPath() override;
    IMuxer* muxer() override;

    // Whether other pipelines take the packets encoded here, so that encoding must go on when
    // this output stops. Any thread.
    virtual bool encodesVideoForOthers() const { return false; }

    // The video encoder for a pipeline that shares it; it lives until its last holder lets go.
    std::shared_ptr<IVideoCodec> sharedVideoCodec() const { return m_videoCodec; }

    // IMuxerCallback
    void videoWriteTs(double seconds, int queued) override;
    void audioWriteTs(double seconds, int queued) override;
    double videoTs() override;
    double audioTs() override;
    void liveStateChanged(LiveState state, int reconnects, long long dropped) override;
    void liveDropped(long long dropped) override { m_sync.liveDrops.store(dropped); }
    void linkStatistics(const LinkStatistics& link) override;
    void liveAccount(long long liveMs, const QString& reason) override;
    QString liveReason() override;

    // IVideoThread, IAudioThread
    void videoThread() override;
    void audioThread() override;

protected:
    // Hooks for a pipeline that shares its video encoder with others (RefEncoder). The
    // defaults are this pipeline's own behaviour.

    // Set-up, after the free-space check: opens the video encoder into m_videoCodec. False
    // fails initialize() with CodecError.
    virtual bool setUpVideoCodec(CodecPreset* preset);
    // Lets go of m_videoCodec, with the worker threads stopped (a second initialize()).
    virtual void releaseVideoCodec() { m_videoCodec.reset(); }
    // Whether a follower (setRefVideoCodec(true)) runs a video thread of its own, which then
    // discards what is queued until the pipeline encodes again.
    virtual bool followerRunsVideoThread() const { return false; }
    // Video thread: the packet in encodedVideo() was written here (or failed to be); other
    // outputs may take it too. `key` is non-zero for a key frame.
    virtual void forwardVideoPacket(unsigned int size, unsigned int key) {}
    // Video thread: `count` frames were lost, before encoding (input) or after (output).
    virtual void forwardVideoDrops(int count, bool input) {}
    // Audio thread, also inside its wait (atomics and the FIFO only): whether the audio FIFO,
    // holding `queued` buffers, may give one to the encoder now.
    virtual bool audioGateOpen(int queued) const;
    // Audio encoded so far in video frames, from the exact quotient.
    virtual long long audioFramesFor(double frames) const { return static_cast<long long>(frames); }

    // The video encoder, which pipelines sharing it hold together. Written by initialize() and
    // the release hook while this pipeline's workers are stopped, and read by them unlocked. A
    // RefEncoder writes it only while out of its registry, where other pipelines read it.
    std::shared_ptr<IVideoCodec> m_videoCodec;
    // Set while another pipeline encodes this one's video; read by every thread.
    std::atomic<bool> m_refVideo{false};

    IEncodingStatus* status() const { return m_status.load(); }
    // Called by whoever encodes this pipeline's video: true once its recording's volume has
    // too little room left. The first time, the output's video stops (-4 is reported); on its
    // own video thread and encoding for nobody else, the pipeline then refuses video.
    bool ownVideoStopped(bool onOwnVideoThread);
    // A live output that (re)connected wants its stream to go on from a key frame: taken (and
    // cleared) by whoever encodes this pipeline's video, which asks for one with wantKeyFrame().
    bool takeKeyFrameWish() { return m_keyFrameWanted.exchange(false); }
    void wantKeyFrame() { m_keyFrameWanted.store(true); }
    // Audio thread: the current muxer holds its first picture, so sound may follow.
    bool audioMayStart() const { return m_audioMayStart.load(); }
    // Video frames the current muxer has stamped so far; 0 without muxer.
    long long muxedVideoFrames();
    // Destroys the muxer, with the workers stopped: it drains its queue, writes the trailer
    // and stops calling back. A subclass calls it in its own destructor, so that the muxing
    // thread never reaches a half-destroyed pipeline.
    void closeMuxer();

private:
    void restartLiveAudio();
    // Pacing: how many copies of the offered frame to queue (0 drops it).
    int synchronizeVideo();
    bool acceptsVideo(int width, int height, int format);
    // Paces one offered frame and queues its copies; `own`, the frame held without a copy (a
    // lent buffer, a shared frame), becomes the last copy, and lets go of its pixels when it is
    // not queued. Null data with a usable format is a lost frame: a gap in the timeline.
    void offerVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts,
                    bool stamped, std::unique_ptr<VideoQueue> own);
    void queueVideo(std::unique_ptr<VideoQueue> frame);
    void skipDroppedFrames();
    bool encodeVideo(unsigned char* data, int size, int format);
    bool deliverVideoPacket(unsigned int size, unsigned int key, long long pts, long long dts);
    void drainVideo();
    bool audioReady() const;
    void encodeAudio(unsigned char* data, int size);
    void encodeQueuedAudio(long long limit = std::numeric_limits<long long>::max());
    void encodeResampledAudio(long long limit);
    // `last`: the pipeline stops, so the codec is drained to its end.
    void finishAudio(bool last);
    void deliverAudioToHost();
    // Expects m_muxMutex held. The replaced muxer goes to `replaced`, for the caller to destroy
    // once the lock is released (its destructor drains its queue and writes the trailer).
    bool initMuxerLocked(std::unique_ptr<IMuxer>& replaced);
    bool initMuxer();
    void resetCounters();
    void wakeVideoThread();
    void wakeAudioThread();
    bool lowDiskSpace();
    int projectAudioBytesPerSecond() const;
    double audioChunkSeconds() const;

    // Worker threads; guarded by m_threadMutex (start, stop, the wakes). The bodies never read
    // them: they reach their thread as QThread::currentThread().
    std::unique_ptr<VideoThread> m_videoThread;
    std::unique_ptr<AudioThread> m_audioThread;
    std::mutex m_threadMutex;

    std::unique_ptr<IAudioCodec> m_audioCodec; // set by initialize; used under m_muxMutex
    AVSync m_sync;
    EncodedVideo m_encodedVideo;
    EncodedAudio m_encodedAudio;
    std::vector<unsigned char> m_videoPacket; // behind m_encodedVideo.data; video thread only
    std::vector<unsigned char> m_audioPacket; // behind m_encodedAudio.data; under m_muxMutex
    // Before the FIFOs: a queued frame may hold one of its buffers.
    FramePool m_framePool;
    LockedFifo<AudioQueue> m_audioFifo;
    LockedFifo<VideoQueue> m_videoFifo;
    std::atomic<long long> m_audioFifoBytes{0}; // bytes in m_audioFifo, kept by both ends
    long long m_audioFifoLimit = 0;             // fixed by initialize
    // Frames the video FIFO refused whose stamps the video thread has still to skip.
    std::atomic<int> m_pendingVideoSkips{0};
    std::unique_ptr<AVResampler> m_audioResampler;  // used under m_muxMutex
    std::unique_ptr<YuvResampler> m_videoResampler; // video thread only
    std::unique_ptr<Interlace> m_interlace;         // the video input thread only
    CodecPreset m_preset; // written by initialize and the muxer set-up under m_muxMutex
    std::atomic<IEncodingCallback*> m_callback{nullptr}; // set by the host, read by the workers
    std::atomic<IEncodingStatus*> m_status{nullptr};     // likewise
    std::atomic<int> m_started{0};                       // 1 once the first frame was queued
    std::atomic<bool> m_running{false}; // between start() and stop(): input is accepted
    std::atomic<bool> m_initialized{false};
    // Set by the video thread when it ended for good (low disk space): video is refused.
    std::atomic<bool> m_videoEnded{false};
    bool m_muxEnabled = true;       // fixed by initialize
    int m_lastFormat = -1;          // video thread only
    bool m_warnedTexture = false;   // video thread only
    std::set<int> m_refusedFormats; // the video input thread only: formats warned about
    // Used by the thread that encodes this pipeline's video (its own video thread, or the one
    // of the pipeline that encodes for it), one at a time.
    std::chrono::steady_clock::time_point m_nextDiskCheck;
    bool m_lowDisk = false; // likewise
    // Low disk space: this output's file gets no more video. Set by whoever encodes its video,
    // cleared by start() while that is stopped.
    std::atomic<bool> m_ownVideoStopped{false};

    // The live output's last reason; guarded by m_liveReasonMutex. Declared before the muxer,
    // which reports to it until it is gone.
    QString m_liveReason;
    std::mutex m_liveReasonMutex;
    std::mutex m_muxMutex; // guards what follows, the muxer's use and the audio codec
    std::unique_ptr<IMuxer> m_muxer;
    long long m_audioPacketsOut = 0; // audio packets of the current muxer
    long long m_audioChunksIn = 0;   // codec chunks fed for the current muxer
    // Audio packets waiting for the host's callback, which runs after the lock is released.
    std::vector<std::vector<unsigned char>> m_audioForHost;
    // Every recording path so far, the current one last. Kept so that the reference
    // recordingPath() returns outlives the muxer a time split replaces.
    std::deque<QString> m_paths;
    // Set once the current muxer has its header and first video packet (audio may follow), or
    // always without outputs; written under m_muxMutex, read by the audio thread's wait.
    std::atomic<bool> m_audioMayStart{false};
    // Seconds of audio handed to the current muxer (packets and skipped frames): the audio gate
    // holds it at the written video's time, so audio never runs ahead of the picture, however
    // far the muxing thread lags. Written under m_muxMutex, read by the audio thread's wait.
    std::atomic<double> m_audioOutTs{0.0};
    // Raised by a live output that (re)connected, on its connection thread: the video thread
    // asks the codec for a key frame before its next frame, the audio thread drops the sound
    // queued while the output was down and restarts its gate from 0.
    std::atomic<bool> m_keyFrameWanted{false};
    std::atomic<bool> m_audioRestart{false};
};
