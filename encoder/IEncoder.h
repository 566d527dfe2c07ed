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

/// One encoding pipeline: encodes and writes one output described by one CodecPreset.
///
/// Host order: construct; initialize() and check its result; optionally encodingCallback();
/// start(); enqueueVideo()/enqueueAudio() (or the lend/submit calls) for every frame and buffer;
/// stop(); delete. Input is accepted only between start() and stop(); before or after, it is
/// refused. Feeding ends before stop(): stop() encodes what is queued (and what the codecs
/// still hold), so a host that keeps feeding keeps it busy.
///
/// Bounded input: the video FIFO holds about two seconds of output frames (at least 4), the
/// audio FIFO one minute of project audio. Input beyond that is dropped and counted
/// (AVSync::videoInputDrops, AVSync::audioInputDrops), so a host that outruns the encoders
/// cannot exhaust memory. A host that must not lose frames (transcoding) waits with
/// waitForVideoRoom() before each frame.
///
/// Threads: initialize(), start(), stop() and destruction on the host's control thread; the
/// video input calls (enqueueVideo, waitForVideoRoom, lend/submit/returnVideoBuffer) on one host
/// thread at a time, enqueueAudio likewise; none of them blocks on the workers except the two
/// waits, which block at most their timeout. Reports and packets reach the host on the worker
/// threads, never with a pipeline lock held: a callback may call back into the pipeline
/// (getSyncInfo, recordingPath, the enqueue calls, stop). stop() called on a worker thread only
/// asks the workers to end: the video thread still encodes what is queued, and the threads are
/// joined by the next stop() on the host's thread or by the destructor.
class STREVO_EXPORT IEncoder
{
public:
    /// initialize() results.
    enum Result
    {
        Ok = 0,             ///< ready to start()
        CodecError = -2,    ///< a setting out of range, a codec missing or failing to open
        MuxerError = -3,    ///< the output (file or live connection) could not be set up
        DiskSpaceError = -4 ///< under 201 MB free where the output records
    };

    IEncoder() = default;
    ///@{
    /// Copies the base's own state (the start time and the empty path).
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
    ///@}
    virtual ~IEncoder() = default;

    /// The preset's encoderType, the host's own value, unchanged.
    virtual int encoderType() = 0;
    /// Whether the video encoder takes GPU textures (IVideoCodec::isHWTextureSupport()); false
    /// before initialize().
    virtual bool isHWSupport() = 0;
    /// Sets the pipeline up from a copy of *preset: checks the settings, opens the encoders and
    /// the output. Returns a Result: 0, or -2 (a setting out of range, codec missing or
    /// failing), -3 (muxer), -4 (under 201 MB free where it records). `status` receives the
    /// pipeline's reports and lists the job's pipelines; it is not owned and must outlive the
    /// pipeline (null: no reports). `share` asks a RefEncoder to share its video encoder with
    /// identical outputs; an Encoder ignores it. A second call stops the pipeline and starts
    /// from nothing. Host's control thread.
    virtual int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. When the current file of a local recording holds splitSeconds of video, finishes it
    /// and opens the next part; true when a new file was opened. Called before a key frame is
    /// written.
    virtual bool checkTimeSplit() = 0;
    /// Opens the input and starts the worker threads. True when the video thread started (at
    /// once for a pipeline whose video another encodes); false before a successful
    /// initialize(), when already started, and for an output without video (its audio still
    /// starts). A pipeline stopped for low disk space looks at the volume again.
    virtual bool start() = 0;
    /// Closes the input, encodes what is queued and what the codecs hold, and joins the
    /// workers; the host's callback hears every packet made meanwhile and nothing after the
    /// return. Always true. On a worker thread (inside a callback) it only asks the workers to
    /// end (see the class).
    virtual bool stop() = 0;
    /// Does nothing and returns true: a pipeline has no paused state, it keeps accepting and
    /// encoding input until stop(). Kept for hosts that call it.
    virtual bool pause() = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. Makes the muxer's blocking I/O and reconnection give up, so that a live output that
    /// is being destroyed does not wait for its server.
    virtual void abortMuxer() = 0;
    /// Live input: the first frame must carry a stamp whose startFlag is 1.
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format,
                              TimeStamp* ts) = 0;
    /// Input without stamps (transcoding).
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format) = 0;
    /// A frame that others hold too (one frame given to several pipelines): queued without a
    /// copy. `hold` keeps data alive; the pipeline lets go of it once the frame is encoded or
    /// dropped and never writes into data. ts null: as enqueueVideo without stamp. The default
    /// copies through enqueueVideo.
    virtual void enqueueSharedVideo(std::shared_ptr<const void> hold, unsigned char* data,
                                    int width, int height, int format, TimeStamp* ts);
    /// 16-bit interleaved audio in the project's audio format, size bytes, copied; null data
    /// marks a lost buffer. Refused until the first video frame was queued (a RefEncoder
    /// follower takes audio from the start).
    virtual void enqueueAudio(unsigned char* data, int size) = 0;
    /// Sets the host's packet consumer (not owned; null: none). It must stay valid until
    /// stop() returned or it was replaced.
    virtual void encodingCallback(IEncodingCallback* cb) = 0;
    /// The pipeline's own copy of the preset, owned by the pipeline; read it, do not change it
    /// while the pipeline runs.
    virtual CodecPreset* codecPreset() = 0;
    /// The pipeline's statistics, owned by the pipeline; any thread.
    virtual AVSync& getSyncInfo() = 0;
    /// The video encoder, owned by the pipeline (shared with other pipelines in a RefEncoder
    /// job); null before initialize() or without video.
    virtual IVideoCodec* videoCodec() = 0;
    /// The audio encoder, owned by the pipeline; null before initialize() or without audio.
    virtual IAudioCodec* audioCodec() = 0;
    /// The last encoded video packet; read it from the host's packet callback.
    virtual const EncodedVideo& encodedVideo() const = 0;
    /// The last encoded audio packet and the audio hold-back.
    virtual const EncodedAudio& encodedAudio() const = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. Writes one encoded video packet of size bytes (copied) into this pipeline's output;
    /// `key` is non-zero for a key frame. The output stamps packets by counting frames; `pts`
    /// is the host's stamp of the packet's frame (EncodedVideo::stampUs, -1 for none), kept
    /// for the output's timing reports only; dts and index are not used. False when there is
    /// no output or it refused the packet.
    virtual bool writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                                 long long pts, long long dts, unsigned int index) = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. One input frame was lost before encoding: the output skips its slot and counts it
    /// in AVSync::videoInputDrops.
    virtual void writeVideoInputDrop() = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. One frame was lost after it was queued (one that failed to convert): the output
    /// skips its slot and counts it in AVSync::videoOutputDrops.
    virtual void writeVideoOutputDrop() = 0;
    /// Pipeline plumbing, used between pipelines that share an encoder; a host does not call
    /// it. true: another pipeline encodes this one's video and writes the packets here; false
    /// ends that, and this pipeline encodes from its next frame, starting with a key frame.
    virtual void setRefVideoCodec(bool ref) = 0;
    /// The path of the file being written now; empty without a local file. The reference
    /// stays valid until the next initialize() or the pipeline's destruction; after a time
    /// split it still names the earlier file, so ask again for the current one.
    virtual const QString& recordingPath() = 0;
    /// The current output, owned by the pipeline; null without one. IMuxer is internal to the
    /// library: a host may only compare the pointer with null.
    virtual IMuxer* muxer() = 0;
    /// Local time of day in seconds at the first written video packet; -1.0 before.
    virtual double startTime() { return m_startTime.load(std::memory_order_relaxed); }

    /// True when one more video frame fits in the video FIFO, waiting at most timeoutMs for the
    /// video thread to make room; false on timeout or when the pipeline is not running.
    virtual bool waitForVideoRoom(int timeoutMs) = 0;
    /// Zero-copy input. lendVideoBuffer() hands out one of a few pooled buffers of
    /// pixelFormatFrameSize(format, width, height) bytes, waiting at most timeoutMs for one to
    /// come back; null on timeout, when the pipeline is not running or for a format without
    /// fixed layout. The host fills it and either submits it, which queues it as the next frame
    /// without a copy (as enqueueVideo with ts; ts null: as enqueueVideo without stamp), or
    /// returns it unused. After either call the buffer is the pipeline's again and the host must
    /// not touch it; a submitted buffer comes back to the pool once encoded or dropped. Buffers
    /// still lent when the pipeline is destroyed are freed with it.
    virtual unsigned char* lendVideoBuffer(int width, int height, int format, int timeoutMs) = 0;
    /// Queues a lent buffer as the next frame (see lendVideoBuffer()); a pointer that is not
    /// lent out is ignored.
    virtual void submitVideoBuffer(unsigned char* buffer, TimeStamp* ts) = 0;
    /// Gives a lent buffer back unused (see lendVideoBuffer()); a pointer that is not lent out
    /// is ignored.
    virtual void returnVideoBuffer(unsigned char* buffer) = 0;
    /// A live output's last reason: why its last attempt failed or its last link broke, as the
    /// server or the transport gave it; empty for a recording and while nothing failed.
    virtual QString liveReason() { return {}; }

    /// A new video encoder for a codec name ("X264", ...; exact case), not yet initialised,
    /// owned by the caller; null for an empty or unknown name.
    static IVideoCodec* createVideoEncoder(const QString& name);
    /// A new audio encoder, not yet initialised, owned by the caller, for "AAC", "MP3", "PCM",
    /// "OPUS" or "VORBIS" (exact case; Strevo::availableAudioCodecs() lists them); null
    /// otherwise.
    static IAudioCodec* createAudioEncoder(const QString& name);

protected:
    QString m_emptyPath; ///< what recordingPath() refers to without a file: empty
    /// Set once by the video thread, read by the host.
    std::atomic<double> m_startTime{-1.0};
};
