#pragma once

#include "api/StrevoExport.h"
#include "common/AudioQueue.h"
#include "common/CodecPreset.h"
#include "common/LockedFifo.h"
#include "common/VideoQueue.h"
#include "encoder/IAudioThread.h"
#include "encoder/IEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "encoder/IVideoThread.h"

#include <atomic>
#include <deque>
#include <limits>
#include <mutex>

class AVResampler;
class AudioThread;
class IEncodingCallback;
class IEncodingStatus;
class Interlace;
class VideoThread;
class YuvResampler;

// The ordinary pipeline: one video encoder, one audio encoder, one muxer and two worker
// threads, all made from one output preset.
//
// Threads: initialize(), start(), stop() and destruction run on the host's thread; the enqueue
// operations on host threads (one thread at a time for video, one for audio); the video and
// audio bodies on the pipeline's own threads; the IMuxerCallback operations on the muxing
// thread. m_muxMutex serialises everything that touches the muxer.
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
    // 0, or -2 (codec missing or failing), -3 (muxer), -4 (under 201 MB free where it records).
    // A second call releases what the first one made.
    int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) override;
    bool checkTimeSplit() override;
    bool start() override;
    bool stop() override;
    bool pause() override;
    void abortMuxer() override;
    void enqueueVideo(unsigned char* data, int width, int height, int format,
                      TimeStamp* ts) override;
    void enqueueVideo(unsigned char* data, int width, int height, int format) override;
    void enqueueAudio(unsigned char* data, int size) override;
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

    // IMuxerCallback
    void videoWriteTs(double seconds, int queued) override;
    void audioWriteTs(double seconds, int queued) override;
    double videoTs() override;
    double audioTs() override;

    // IVideoThread, IAudioThread
    void videoThread() override;
    void audioThread() override;

private:
    // Pacing: how many copies of the offered frame to queue (0 drops it).
    int synchronizeVideo(int* drop, int* repeat);
    void queueCopies(unsigned char* data, int width, int height, int format, int copies);
    bool encodeVideo(unsigned char* data, int size, int format);
    bool deliverVideoPacket(unsigned int size, unsigned int key, long long pts, long long dts);
    void drainVideo();
    void encodeAudio(unsigned char* data, int size);
    void encodeQueuedAudio(long long limit = std::numeric_limits<long long>::max());
    void encodeResampledAudio(long long limit);
    void finishAudio();
    // Expects m_muxMutex held.
    bool initMuxerLocked();
    bool initMuxer();
    void releaseAll();
    void resetState();
    void joinThreads();
    void wakeVideoThread();
    bool lowDiskSpace() const;
    int projectAudioBytesPerSecond() const;

    VideoThread* m_videoThread = nullptr; // guarded by m_threadMutex (start, stop, the wakes in
    AudioThread* m_audioThread = nullptr; //   the enqueue calls); the bodies never read them
    std::mutex m_threadMutex;
    IVideoCodec* m_videoCodec = nullptr; // set during initialize, used by the video thread
    IAudioCodec* m_audioCodec = nullptr; // set during initialize, used by the audio thread
    IMuxer* m_muxer = nullptr;           // guarded by m_muxMutex once the threads run
    AVSync m_sync;
    EncodedVideo m_encodedVideo;
    EncodedAudio m_encodedAudio;
    LockedFifo<AudioQueue> m_audioFifo;
    LockedFifo<VideoQueue> m_videoFifo;
    AVResampler* m_audioResampler = nullptr;  // audio thread only (after initialize)
    YuvResampler* m_videoResampler = nullptr; // video thread only
    CodecPreset m_preset;  // written by initialize and the muxer set-up under m_muxMutex
    std::mutex m_muxMutex; // guards m_muxer, the muxer's use and the drop accounting
    std::atomic<IEncodingCallback*> m_callback{nullptr}; // set by the host, read by the workers
    std::atomic<IEncodingStatus*> m_status{nullptr};     // likewise
    std::atomic<bool> m_refVideo{false};
    std::atomic<int> m_started{0};    // 1 once the first frame was queued
    Interlace* m_interlace = nullptr; // the video enqueue thread only
    int m_lastFormat = -1;            // video thread only
    bool m_muxEnabled = true;         // fixed by initialize
    std::atomic<bool> m_initialized{false};
    bool m_warnedTexture = false;    // video thread only
    long long m_audioPacketsOut = 0; // audio packets of the current muxer; under m_muxMutex
    long long m_audioChunksIn = 0;   // codec chunks fed for the current muxer; likewise
    // Every recording path so far, the current one last; guarded by m_muxMutex. Kept so that
    // the reference recordingPath() returns outlives the muxer a time split replaces.
    std::deque<QString> m_paths;
};
