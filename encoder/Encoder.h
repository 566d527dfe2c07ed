#pragma once

// encoder/: the pipeline (Encoder and the classes it is divided into; RefEncoder and
// EncoderGroup for a shared encoder).
// May include every layer below it: common/, base/, platform/, codec/, muxer/.

#include "base/StrevoExport.h"
#include "common/CodecPreset.h"
#include "common/OutputStats.h"
#include "common/VideoQueue.h"
#include "encoder/IAudioThread.h"
#include "encoder/IEncoder.h"
#include "encoder/IVideoThread.h"
#include "muxer/IMuxerCallback.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class AudioEncoding;
class DiskSpaceWatch;
class FrameConversion;
class IAudioCodec;
class IEncodingCallback;
class IEncodingStatus;
class IOutputEvents;
class IVideoCodec;
class MuxerHandOver;
class VideoInput;
class WorkerThreads;

/// The ordinary pipeline: one video encoder, one audio encoder, one muxer and two worker
/// threads, all made from one output preset. The pipeline runs the set-up, the workers and the
/// video encoding; its rooms are the video input (pacing and queue), the audio side (FIFO,
/// encoder, gate) and the output (the current muxer and its hand-over at a time split).
///
/// Threads: as IEncoder says; the video and audio bodies run on the pipeline's own threads, the
/// IMuxerCallback operations on the muxing thread. Lock order: m_muxMutex, then the worker
/// threads' mutex (WorkerThreads), then a worker's own mutex; no host callback and no muxer
/// destruction under any of them.
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
    QString liveReason() override;

    /// Whether other pipelines take the packets encoded here, so that encoding must go on when
    /// this output stops. Any thread.
    virtual bool encodesVideoForOthers() const { return false; }

    /// The output's counts since initialize(), time splits included: frames, drops, bytes,
    /// written and live time, reconnects and the live reason. The state and the sharing are the
    /// facade's to fill in. Any thread.
    strevo::OutputStats outputStats();
    /// For an output that is a replay buffer (a recording preset with local.replaySeconds above
    /// 0): starts saving the seconds it holds into a new file, named by the recording rule in
    /// its local folder, and returns at once; the buffer keeps filling meanwhile. The result,
    /// with the file's path, goes to the job's observer (IStrevoObserver::replaySaved) when the
    /// pipeline belongs to a Strevo job. One save at a time: false, with the reason in *whyNot,
    /// while the previous save is still being written, while nothing is buffered yet (the
    /// buffer starts at the first key frame), and for an output that is not a replay buffer.
    /// stop() returns once a save in progress is written. Any thread.
    bool saveReplay(QString* whyNot = nullptr);
    /// Where a live output's state changes go besides AVSync (the facade's); null for nowhere.
    /// Must outlive the pipeline. Any thread.
    void setOutputEvents(IOutputEvents* events) { m_events.store(events); }

    /// The video encoder for a pipeline that shares it; it lives until its last holder lets go.
    std::shared_ptr<IVideoCodec> sharedVideoCodec() const { return m_videoCodec; }

protected:
    // Hooks for a pipeline that shares its video encoder with others (RefEncoder). The
    // defaults are this pipeline's own behaviour.

    /// Set-up, after the free-space check: opens the video encoder into m_videoCodec. False
    /// fails initialize() with CodecError.
    virtual bool setUpVideoCodec(CodecPreset* preset);
    /// Lets go of m_videoCodec, with the worker threads stopped (a second initialize()).
    virtual void releaseVideoCodec() { m_videoCodec.reset(); }
    /// Whether a follower (setRefVideoCodec(true)) runs a video thread of its own, which then
    /// discards what is queued until the pipeline encodes again.
    virtual bool followerRunsVideoThread() const { return false; }
    /// Video thread: the packet in encodedVideo() was written here (or failed to be); other
    /// outputs may take it too. `key` is non-zero for a key frame.
    virtual void forwardVideoPacket(unsigned int /*size*/, unsigned int /*key*/) {}
    /// Video thread: `count` frames were lost, before encoding (input) or after (output).
    virtual void forwardVideoDrops(int /*count*/, bool /*input*/) {}
    /// Audio thread, also inside its wait (atomics and the FIFO only): whether the audio FIFO,
    /// holding `queued` hold-back chunks of sound (20 ms each, however the host cut its
    /// buffers; see EncodedAudio::holdChunks), may give a buffer to the encoder now.
    virtual bool audioGateOpen(int queued) const;
    /// Audio encoded so far in video frames, from the exact quotient.
    virtual long long audioFramesFor(double frames) const { return static_cast<long long>(frames); }

    /// The video encoder, which pipelines sharing it hold together. Written by initialize() and
    /// the release hook while this pipeline's workers are stopped, and read by them unlocked. A
    /// RefEncoder writes it only while out of its registry, where other pipelines read it.
    std::shared_ptr<IVideoCodec> m_videoCodec;
    /// Set while another pipeline encodes this one's video; read by every thread.
    std::atomic<bool> m_refVideo{false};

    /// The status object given to initialize() (not owned); null without one. Any thread.
    IEncodingStatus* status() const { return m_status.load(); }
    /// Called by whoever encodes this pipeline's video: true once its recording's volume has
    /// too little room left. The first time, the output's video stops (-4 is reported); on its
    /// own video thread and encoding for nobody else, the pipeline then refuses video.
    bool ownVideoStopped(bool onOwnVideoThread);
    /// Called by whoever encodes this pipeline's video when its recording refused a packet: a
    /// local file that failed a write (a full disk, a file-size limit) has ended for good, so
    /// the output's video stops there and no further packet counts as a failed write; on its
    /// own video thread and encoding for nobody else, the pipeline then refuses video. A live
    /// output never refuses packets (it reconnects), so this does nothing for one.
    void recordingFailed(bool onOwnVideoThread);
    /// A live output that (re)connected wants its stream to go on from a key frame: taken (and
    /// cleared) by whoever encodes this pipeline's video, which asks for one with wantKeyFrame().
    bool takeKeyFrameWish() { return m_keyFrameWanted.exchange(false); }
    /// Has this pipeline's video thread ask its codec for a key frame before its next frame.
    void wantKeyFrame() { m_keyFrameWanted.store(true); }
    /// Audio thread: the current muxer holds its first picture, so sound may follow.
    bool audioMayStart() const;
    /// Video frames the current muxer has stamped so far; 0 without muxer.
    long long muxedVideoFrames();
    /// Destroys the muxer, with the workers stopped: it drains its queue, writes the trailer
    /// and stops calling back. A subclass calls it in its own destructor, so that the muxing
    /// thread never reaches a half-destroyed pipeline.
    void closeMuxer();

private:
    // IMuxerCallback: the muxer's reports, made through its callback pointer on the muxing
    // thread or a live output's connection thread.
    void videoWriteTs(double seconds, int queued) override;
    void audioWriteTs(double seconds, int queued) override;
    double videoTs() override;
    double audioTs() override;
    void liveStateChanged(LiveState state, int reconnects, long long dropped) override;
    void liveDropped(long long dropped) override { m_sync.liveDrops.store(dropped); }
    void keyFrameWanted() override { m_keyFrameWanted.store(true); }
    void bitrateWanted(int kbps) override { m_bitrateWanted.store(kbps); }
    void linkStatistics(const LinkStatistics& link) override;
    void liveAccount(long long liveMs, const QString& reason) override;
    void count(long long strevo::OutputStats::*field, long long delta) override;
    void replaySaved(const QString& path, bool ok, const QString& reason) override;

    // IVideoThread, IAudioThread: the bodies of the worker threads, run through the
    // WorkerThreads' base pointers.
    void videoThread() override;
    void audioThread() override;

    // Whether a live output shows Stopped to the host (see m_liveStopped).
    void showLiveStopped(bool stopped);
    // Video thread: has the codec encode at `kbps` from the next frame, and counts the change.
    void changeBitrate(int kbps);
    // Returns once a replay being saved is written (stop()).
    void waitForReplay();
    // Paces one offered frame and queues its copies; `own`, the frame held without a copy (a
    // lent buffer, a shared frame), becomes the last copy, and lets go of its pixels when it is
    // not queued. Null data with a usable format is a lost frame: a gap in the timeline.
    void offerVideo(unsigned char* data, int width, int height, int format, TimeStamp* ts,
                    bool stamped, std::unique_ptr<VideoQueue> own);
    void skipDroppedFrames();
    // This output's file gets no more video; see ownVideoStopped().
    void stopOwnVideo(bool onOwnVideoThread);
    void encodeFrame(std::unique_ptr<VideoQueue> frame, const CodecModel::VideoCodec& video,
                     int codecFormat);
    bool encodeVideo(unsigned char* data, int size, int format, long long stampUs);
    bool deliverVideoPacket(unsigned int size, unsigned int key, long long pts, long long dts);
    void drainVideo();
    bool audioReady() const;
    void deliverAudioToHost();
    bool initMuxer();
    void resetCounters();

    // The video and audio worker threads, made by the constructor; safe from any thread.
    std::unique_ptr<WorkerThreads> m_threads;

    // Written by initialize while the workers are stopped; read by every thread.
    CodecPreset m_preset;
    AVSync m_sync;                            // atomics
    EncodedVideo m_encodedVideo;              // the video thread's; its counters are atomics
    EncodedAudio m_encodedAudio;              // the audio side's; holdChunks is an atomic
    std::vector<unsigned char> m_videoPacket; // behind m_encodedVideo.data; video thread only
    // The stamps of the frames inside the video codec, oldest first: the next packet out is the
    // oldest frame's. Video thread only.
    std::deque<long long> m_codecStamps;
    // The host's frames, paced and queued for the video thread, and the lent buffers. Made by
    // the constructor; its own thread rules.
    std::unique_ptr<VideoInput> m_videoInput;
    // The audio FIFO, encoder and gate state. Made by the constructor; its encoding runs under
    // m_muxMutex, as its thread rules say.
    std::unique_ptr<AudioEncoding> m_audio;
    std::atomic<IEncodingCallback*> m_callback{nullptr}; // set by the host, read by the workers
    std::atomic<IEncodingStatus*> m_status{nullptr};     // likewise
    std::atomic<IOutputEvents*> m_events{nullptr};       // likewise
    std::atomic<int> m_started{0};                       // 1 once the first frame was queued
    std::atomic<bool> m_running{false}; // between start() and stop(): input is accepted
    std::atomic<bool> m_initialized{false};
    // Set by the video thread when it ended for good (low disk space): video is refused.
    std::atomic<bool> m_videoEnded{false};
    bool m_muxEnabled = true; // fixed by initialize
    // Made by the constructor. Used by the video thread only.
    std::unique_ptr<FrameConversion> m_conversion;
    // Made by the constructor. Used by the thread that encodes this pipeline's video (its own
    // video thread, or the one of the pipeline that encodes for it), one at a time.
    std::unique_ptr<DiskSpaceWatch> m_diskSpace;
    // Low disk space: this output's file gets no more video. Set by whoever encodes its video,
    // cleared by start() while that is stopped.
    std::atomic<bool> m_ownVideoStopped{false};
    // Raised by a live output that (re)connected, on its connection thread: the video thread
    // asks the codec for a key frame before its next frame.
    std::atomic<bool> m_keyFrameWanted{false};
    // Written by the muxer's reports (the link's thread), taken by the video thread: the video
    // bit rate the live link asks for, 0 for none.
    std::atomic<int> m_bitrateWanted{0};
    int m_videoKbps = 0; // the video thread's (set up before it starts): the encoder's rate

    // What outputStats() counts beyond AVSync (IMuxerCallback::count and the video packets
    // written); guarded by m_countedMutex.
    strevo::OutputStats m_counted;
    std::mutex m_countedMutex;

    // The live output's last reason; guarded by m_liveReasonMutex. Declared before the muxer,
    // which reports to it until it is gone.
    QString m_liveReason;
    std::mutex m_liveReasonMutex;
    // The state the live link last reported, and whether the pipeline was stopped: from
    // stop() to the next start() (or initialize()) the host reads Stopped in
    // AVSync::liveState, whatever the link still does while the muxer drains. Guarded by
    // m_liveStateMutex, with the store to AVSync::liveState, so that a report racing stop()
    // cannot undo it. Declared before the muxer, which reports to it until it is gone.
    LiveState m_linkState = LiveState::NotLive;
    bool m_liveStopped = false;
    std::mutex m_liveStateMutex;
    // Guards the use of m_output (the current muxer, replaced at a time split) and the audio
    // side's encoding into it.
    std::mutex m_muxMutex;
    // Declared last: its muxer is destroyed first, draining its queue and writing the trailer
    // while the pipeline it reports to is still whole.
    std::unique_ptr<MuxerHandOver> m_output;
};
