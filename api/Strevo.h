#pragma once

// api/: the facade (Strevo, its per-output hand-off) on top of the pipeline; forwarding headers
// keep older include paths of base/ working. May include every library layer.

#include "api/AudioChunk.h"
#include "api/AudioOutputData.h"
#include "api/IStrevoObserver.h"
#include "api/VideoFrame.h"
#include "base/StrevoExport.h"
#include "common/IThreadCallback.h"
#include "common/ProjectPreset.h"
#include "common/StrevoLog.h"
#include "encoder/AVSync.h"
#include "encoder/IEncodingStatus.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QVector>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

class CodecPreset;
class ObserverDispatch;
class IEncoder;
class IEncodingCallback;
class InputRefusals;
class LentBuffers;
class OutputFeed;
class RefEncoder;
class SharedFramePool;
struct TimeStamp;

/// The library's facade for the host: one job of several outputs, each a pipeline (IEncoder) fed
/// through a hand-off of its own.
///
/// A job, in host order:
///   Strevo job;
///   job.initialize(&project);                  // the format in which the host delivers input
///   job.setObserver(&observer);                // optional: state changes and statistics
///   int rec = job.addOutput(recordingPreset);  // each output: a pipeline made from a preset
///   int live = job.addOutput(streamPreset);    // same video settings: one shared encoder
///   job.start(0);                              // input is accepted from here on
///   job.pushVideo(frame); job.pushAudio(chunk); // per frame, from any host threads
///   job.removeOutput(rec);                     // outputs come and go while the job runs
///   job.stop();                                // hands over what is queued, stops the pipelines
///
/// The older calls build the same job by hand and keep working: addCodecProfile() for each
/// output preset, a pipeline the host creates, initialises (with the facade as its status
/// object) and starts, handed over with addEncoder(); enqueueVideo()/enqueueAudio() for input.
/// Each output has an index, in the order outputs were added by either call, never reused.
///
/// Input is accepted while the job is encoding (isEncoding(): from a successful start() until
/// stop()) and only for the sources that a pipeline was added for (inputSources()). A frame is
/// copied once (or lent, see lendVideoBuffer) and shared by every pipeline of its source; each
/// pipeline has its own bounded queue (16 frames, 256 audio buffers) and thread that hands the
/// input over in the host's order, waiting for that pipeline alone. The enqueue calls never
/// wait: where one output's queue is full, that output alone loses the frame or buffer, which
/// its pipeline counts (AVSync::videoInputDrops, audioDrops) and keeps as a gap in its
/// timeline; the other outputs keep every frame. A host that must not lose frames (transcoding)
/// waits with waitForVideoRoom() before each frame, which waits for the slowest running output
/// and never for one that failed.
///
/// Threads: enqueueVideo, both enqueueAudio, the lend calls, waitForVideoRoom, isEncoding,
/// syncInfo and encoders may be called from any host thread, also while another one calls
/// stop(). Everything else, and destruction, on the host's control thread, one call at a time;
/// the host must not change the job (presets, pipelines) while another of its threads is inside
/// a facade call. State reports of the pipelines arrive on their worker threads; failures (type
/// 0, state < 0) are re-emitted as encoderResult(state) on that thread, so connect with a queued
/// connection to handle them on the receiver's own thread. A pipeline that reports low disk
/// space (-4) is no longer waited for.
class STREVO_EXPORT Strevo : public QObject, public IThreadCallback, public IEncodingStatus
{
    Q_OBJECT

public:
    /// An empty job: no outputs, not encoding; its observer thread starts here.
    explicit Strevo(QObject* parent = nullptr);
    /// Empties the queues, ends the worker, then deletes the output presets and the pipelines
    /// (which finishes their recordings).
    ~Strevo() override;

    /// Copies the project preset: the size of the frames the job accepts and whether
    /// masterCodecPreset() chooses one. Always true.
    bool initialize(ProjectPreset* preset);
    /// Appends an output preset; the facade takes ownership. Read by masterCodecPreset(); a
    /// pipeline of the older calls is made from its own copy (IEncoder::initialize).
    void addCodecProfile(CodecPreset* preset);

    /// Adds an output made from `preset` (copied): creates its pipeline, sets it up and starts
    /// it, before start() or while the job runs. It takes the video of input source `source`
    /// (0 to 2) and the sound of audio input `audioInput` (0 to 8; -1: the same index as
    /// `source`). An output whose video settings and source equal those of an output already
    /// added (RefEncoder::sameVideo) shares that output's video encoder: a picture is encoded
    /// once for both. An output added while the job runs starts at its first key frame (at
    /// once for an output with an encoder of its own) and costs the others no frame.
    /// Returns the output's index, or -1 with the reason in *whyNot (and a warning) for a
    /// preset that cannot work: a codec the container does not take, a hardware codec without
    /// its device, a recording folder that cannot be written, a server address that is not
    /// one, a source out of range. Control thread, or the observer's thread.
    int addOutput(const CodecPreset& preset, int source = 0, int audioInput = -1,
                  QString* whyNot = nullptr);
    /// Stops output `index` while the others go on: its hand-off gives it what is queued, its
    /// recording is finished or its stream closed, and an encoder it made for others is handed
    /// to one of them, which goes on from the frames held meanwhile. False, with a warning,
    /// for an index that is not a running output (never added, removed already) or while the
    /// job stops. Control thread, or the observer's thread; returns once the output is gone.
    bool removeOutput(int index);
    /// Saves what replay output `index` holds (an output whose preset records with
    /// local.replaySeconds above 0: it keeps the last seconds of its video and sound in memory,
    /// from a key frame, instead of recording them) into a new file, named by the recording
    /// rule in the preset's local folder and container, and returns at once: the file is
    /// written on a thread of the output's own while the buffer keeps filling, and the observer
    /// hears the result with the file's path (IStrevoObserver::replaySaved). One save per
    /// output at a time. False, with the reason in *whyNot, for an index that is not a running
    /// output, an output that is not a replay buffer, a buffer that holds nothing yet (it
    /// starts at the first key frame), and while the output's previous save is still being
    /// written (ask again once replaySaved came). stop() returns once the saves begun are
    /// written. Any thread, the observer's included.
    bool saveReplay(int index, QString* whyNot = nullptr);
    /// The observer of this job's outputs, or null for none; it must outlive the job or be
    /// unset first. After this returns the previous observer is not called again.
    void setObserver(IStrevoObserver* observer);
    /// A snapshot of output `index`: its state as last reported to the observer and its
    /// counts (strevo::OutputStats). A removed output reads as Stopped with no counts. Any
    /// thread, the observer's included.
    strevo::OutputStats outputStats(int index) const;
    /// Adds a pipeline the host created (and usually initialised and started) to the job; the
    /// facade takes ownership. It receives the video of input source `source` (0, 1 or 2) and the
    /// audio of audio input `audioInput` (0 to 8; -1: the same index as `source`), and the
    /// source joins inputSources(). A pipeline in share mode that was initialised with the
    /// facade as its status object finds the pipelines added before it through encoders().
    /// Returns false, taking nothing, for a null pipeline, an index out of range or while the
    /// job is encoding (add pipelines before start()).
    bool addEncoder(IEncoder* encoder, int source = 0, int audioInput = -1);

    /// Starts the pipelines' hand-off threads and opens the input: false, changing nothing, while
    /// no output preset was added. The first skipFrames calls of enqueueVideo are then discarded
    /// (audio is discarded until they are).
    bool start(int skipFrames);
    /// Closes the input, lets every pipeline's hand-off give it what is queued for it, then stops
    /// every pipeline in list order (each encodes what it holds and reports its last packets).
    /// Returns once the observer was told that every output stopped (waiting at most 2 s for a
    /// slow observer; not at all when called from the observer). Always true.
    bool stop();
    /// Asks every pipeline to pause (IEncoder::pause, which keeps encoding: pausing is the
    /// host's, by not feeding). Always true.
    bool pause();
    /// Whether input is accepted: from a successful start() until stop(). Any thread.
    bool isEncoding();
    /// Every pipeline of the job, in the order added (outputs removed are gone). Any thread.
    QVector<IEncoder*> encoders() override;
    /// Sets the host's packet callback on every pipeline added so far (IEncoder::encodingCallback).
    void encodingCallback(IEncodingCallback* cb);

    /// The output preset whose video width + height is largest (the first of equals; never one
    /// whose sum is not positive); null when the project's useMasterPreset is off or none fits.
    CodecPreset* masterCodecPreset();
    /// "strevo <major.minor.patch.tweak> <8 hex digits of the build>".
    QString moduleVersion();
    /// The facade's counters: videoFrames counts the accepted enqueueVideo calls.
    AVSync& syncInfo();

    /// The video sources (0 to 2) that have an output: input for other sources is ignored.
    /// Control thread.
    const QSet<int>& inputSources() const;
    /// Kept for hosts that ask which sources, format and size a job wants: the job takes any,
    /// so these answer "none in particular" (an empty set), `format` and `size` unchanged.
    QSet<int> requestSources(int);
    /// See requestSources(): returns `format`.
    int requestMaxFormat(int, int, int format);
    /// See requestSources(): returns `size`.
    QSize requestMaxSize(int, const QSize& size, int);

    /// Input of the whole job. planes[0][i] is the frame of source i (sizes[i] pixels of pixel
    /// format formats[i], planes packed without padding), planes[1][i] its GPU texture (pixel
    /// format 30); either may be null. Each source may have a size and format of its own, which
    /// may change from frame to frame: the pipelines scale and convert to their outputs. A frame
    /// whose size and format have no layout (pixelFormatFrameSize) is refused alone, the other
    /// sources' frames are queued, and the source warns once for each new size or format it is
    /// refused for, not once per frame. One stamp for all sources; the first frame handed to a
    /// pipeline must carry startFlag 1.
    void enqueueVideo(unsigned char* planes[][3], QSize sizes[], int formats[], TimeStamp* ts);
    /// For a host that must not lose frames (transcoding): true when one more frame of every
    /// accepted source fits in the queue of every running output, waiting at most timeoutMs
    /// milliseconds; false on timeout and at once when the job is not encoding. An output that
    /// failed is not waited for. A host that waits here before each enqueueVideo loses nothing.
    bool waitForVideoRoom(int timeoutMs);
    /// Input without a copy, for a host that fills its frames itself (a file reader, a capture
    /// into memory): one of the job's frame buffers for a frame of the project's size in
    /// `format`, which every pipeline of the source then shares. Never waits (timeoutMs is
    /// accepted for compatibility). Null when the job is not encoding, the source has no
    /// pipeline, textures are the input, or the format has no fixed layout. The host fills the
    /// buffer and then either submits it, which queues it as enqueueVideo would queue a copy
    /// (skip count, limits and counters alike; ts null: no stamp), or returns it unused; after
    /// either call it is no longer the host's. Same threads as enqueueVideo.
    unsigned char* lendVideoBuffer(int source, int format, int timeoutMs);
    /// Queues a filled buffer of lendVideoBuffer() as the next frame of `source`.
    void submitVideoBuffer(int source, unsigned char* buffer, TimeStamp* ts);
    /// Gives a lent buffer back unused.
    void returnVideoBuffer(int source, unsigned char* buffer);
    /// Input, typed. pushVideo takes one source's frame with its planes and strides (see
    /// strevo::VideoFrame) and queues it for every output of the source, copied once; pushAudio
    /// takes one audio input's sound. False, with the reason in *whyNot (a warning for the
    /// first refusal of each kind), when the job is not encoding, the source or input has no
    /// output, or the frame or chunk does not match what it says (no layout for its format, a
    /// stride shorter than a row, a null plane, another channel count or sample rate than the
    /// project's). A refused frame is refused alone. Any host thread, as enqueueVideo.
    bool pushVideo(const strevo::VideoFrame& frame, QString* whyNot = nullptr);
    /// See pushVideo().
    bool pushAudio(const strevo::AudioChunk& chunk, QString* whyNot = nullptr);

    /// One descriptor per audio input (at most the first 9 are used); size bytes in each buffer.
    void enqueueAudio(const QList<AudioOutputData>& list, int size);
    /// One buffer per source 0, 1, 2 (null: none); size bytes in each.
    void enqueueAudio(unsigned char* buffers[], int size);

    /// Kept for IThreadCallback: the job's work runs on each pipeline's own hand-off thread, so
    /// this body has nothing to do.
    void threadCallback() override;
    /// Pipelines' state reports; failures are emitted as encoderResult(state).
    void ecoderStateCallback(IEncoder* encoder, int type, int state) override;

    /// libavcodec's codec identifier (AVCodecID) for one of the library's codec names, such as
    /// "X264" or "AAC"; 0 (no codec) for any other name. Names are compared exactly, with case.
    static int codecIdFromName(const QString& name);

    /// What the library can offer on this machine, as key → name maps ordered by key. Every
    /// name is one the codec factories accept (IEncoder::createVideoEncoder/createAudioEncoder);
    /// container names are file extensions; keys are distinct powers of two and stay the same
    /// from release to release. The video list always has the six software encoders and lists a
    /// hardware encoder only when the machine can run it. Every container takes at least one
    /// listed video and one listed audio codec (the README's table says which). Built from the
    /// library's codec table on each call; the hardware checks run once per process
    /// (the first call loads the GPU runtimes and may open and close an encoder session) and
    /// their answers are kept, so a GPU that appears later is seen by the next process only.
    /// May be called from any thread.
    static QMap<int, QString> availableVideoCodecs();
    /// See availableVideoCodecs().
    static QMap<int, QString> availableAudioCodecs();
    /// See availableVideoCodecs().
    static QMap<int, QString> availableContainers();
    /// Where every line the library logs goes, and from which level on: forwards to
    /// strevo::setLogHandler and strevo::setLogLevel (common/StrevoLog.h), which say the rules.
    /// The library's lines reach `handler` with their level and category, secrets masked; an
    /// empty handler prints them on standard error. Process-wide; any thread.
    static void setLogHandler(strevo::LogHandler handler);
    /// See setLogHandler().
    static void setLogLevel(strevo::LogLevel level);

    /// The device that serves a hardware codec name here ("VA-API /dev/dri/renderD128 (AMD
    /// amdgpu)", "NVENC on <GPU name>"); empty for a software codec or a name this machine
    /// cannot run. Probes like the catalogue does; any thread.
    static QString codecDevice(const QString& name);

signals:
    /// A pipeline failed: `result` is its report's state (IEncodingStatus::ReportState, such
    /// as WriteFailed or LowDiskSpace). Emitted on the pipeline's worker thread.
    void encoderResult(int result);

private:
    struct Events;

    /// Empties every pipeline's hand-off queue without handing anything over.
    void clearQueue();
    bool refuseWhenIdle(const char* call);
    /// Copies a checked frame into one of the job's buffers and offers it to the outputs of its
    /// source; false, with the reason, when its planes do not fit what it says.
    bool queueFrame(const strevo::VideoFrame& frame, int frameBytes, const TimeStamp* ts,
                    const std::vector<std::shared_ptr<OutputFeed>>& list, QString* why);
    /// A typed input refused: the reason to *whyNot, and one warning for each reason.
    bool refuseInput(const QString& why, QString* whyNot);
    /// The snapshot of one output, with `list` the job's hand-offs; m_pipelinesInUse held.
    strevo::OutputStats snapshot(const OutputFeed& feed,
                                 const std::vector<std::shared_ptr<OutputFeed>>& list) const;
    std::vector<std::pair<int, strevo::OutputStats>> runningStats() const;
    /// Posts a pipeline's state change to the observer, by the output it belongs to.
    void postState(IEncoder* encoder, strevo::OutputState state, const QString& reason);
    /// Posts a pipeline's finished replay save to the observer.
    void postReplay(IEncoder* encoder, const QString& path, bool ok, const QString& reason);
    bool takeSkip(bool video);
    /// A snapshot of the hand-offs, for calls that run beside the control thread.
    std::vector<std::shared_ptr<OutputFeed>> feeds() const;

    /// One hand-off per pipeline, in the order they were added. Changed under m_controlMutex
    /// (addEncoder before start; addOutput and removeOutput at any time) and guarded by
    /// m_feedsMutex for every thread that reads it: the host's input calls take a snapshot;
    /// never held while calling into a pipeline.
    std::vector<std::shared_ptr<OutputFeed>> m_feeds;
    mutable std::mutex m_feedsMutex;
    int m_nextIndex = 0; // guarded by m_feedsMutex: the next output's index
    /// Pipelines addOutput is setting up, with the state changes they reported before being
    /// listed; guarded by m_feedsMutex.
    std::map<IEncoder*, std::vector<std::pair<strevo::OutputState, QString>>> m_joining;
    /// Serialises the calls that add or remove outputs or start and stop them (addOutput,
    /// removeOutput, start, stop, the destructor), which may come from the control thread and
    /// the observer's.
    std::mutex m_controlMutex;
    std::atomic<bool> m_stopping{false}; // stop() or the destructor runs
    /// Held shared by the host's threads while they offer a frame to the outputs of its source
    /// (taking their snapshot of the hand-offs inside), exclusively by removeOutput while it
    /// hands an output's frames to its heirs. Taken before m_feedsMutex.
    std::shared_mutex m_offering;
    /// Held shared while a snapshot reads pipelines, exclusively by removeOutput before it
    /// deletes one. Taken before m_feedsMutex, never while calling the observer.
    mutable std::shared_mutex m_pipelinesInUse;
    /// The observer's thread and the outputs' last states; made by the constructor.
    std::unique_ptr<ObserverDispatch> m_dispatch;
    /// Receives the pipelines' live-state changes; made by the constructor.
    std::unique_ptr<Events> m_events;
    QVector<CodecPreset*> m_codecPresets; // control thread only

    std::shared_ptr<SharedFramePool> m_pool;   // thread-safe
    std::unique_ptr<LentBuffers> m_lent;       // buffers lent to the host; its own lock
    std::unique_ptr<InputRefusals> m_refusals; // sources whose frames are refused; its own lock
    std::mutex m_audioMutex;
    QList<AudioOutputData> m_lastAudio; // guarded by m_audioMutex

    AVSync m_syncInfo;              // atomics
    ProjectPreset m_projectPreset;  // control thread
    std::atomic<int> m_encoding{0}; // only stored, never read-modify-written
    std::atomic<int> m_skipFrames{0};
    std::atomic<bool> m_idleWarned{false}; // one "not encoding" warning per idle period
    QSet<int> m_inputSources;              // control thread
    /// What the enqueue calls check, fixed by start() before the input opens.
    std::atomic<int> m_sourceMask{0}; // bit i: source i accepted
    std::atomic<int> m_frameWidth{0}, m_frameHeight{0};
    std::atomic<bool> m_textureInput{false};
};
