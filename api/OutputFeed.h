#pragma once

#include "common/IThreadCallback.h"
#include "common/TimeStamp.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class AudioQueue;
class IEncoder;
class RefEncoder;
class ThreadCallback;

// One output's hand-off inside a job: the job's input for one pipeline, in the order the host
// gave it, in a bounded queue of its own, and a worker thread that hands it to the pipeline.
// So no output's pace reaches the host or another output:
// - The host's calls (offerVideo, offerAudio) never wait. When the queue is full the frame or
//   buffer is lost for this output alone, and the loss goes to the pipeline before the next
//   item (a lost-frame marker, a lost audio buffer): it is counted in the pipeline's drop
//   counters and kept as a gap in its timeline, as the pipeline's own drops are.
// - The worker waits for room in the pipeline before it hands a frame over, so a slow
//   pipeline's backlog stays in this queue, where it is dropped in order.
// - A host that must not lose frames (transcoding) waits with waitForVideoRoom() first; a
//   failed output (fail(), or a pipeline that refuses input at once) keeps nobody waiting.
// Frames are shared, not copied: every output of a source holds the same frame.
//
// Threads: offer*, waitForVideoRoom and fail on any host or pipeline thread; start, finish,
// clear and destruction on the job's control thread.
class OutputFeed : public IThreadCallback
{
public:
    // A frame as the job received it, shared by the outputs of its source. `pixels` keeps data
    // alive; null for a GPU texture, whose pointer is data.
    struct Frame
    {
        std::shared_ptr<unsigned char> pixels;
        unsigned char* data = nullptr;
        int width = 0;
        int height = 0;
        int format = 0;
        bool stamped = false;
        TimeStamp stamp;
    };

    // Frames and audio buffers the queue holds before it drops.
    static constexpr int kVideoDepth = 16;
    static constexpr int kAudioDepth = 256;

    // `encoder` stays the caller's. The worker runs from start() to finish(). `index` names the
    // output to the host.
    OutputFeed(IEncoder* encoder, int source, int audioInput, int index = -1);
    ~OutputFeed() override;
    OutputFeed(const OutputFeed&) = delete;
    OutputFeed& operator=(const OutputFeed&) = delete;

    IEncoder* encoder() const { return m_encoder; }
    int source() const { return m_source; }
    int audioInput() const { return m_audioInput; }
    int index() const { return m_index; }

    // Opens the queue and starts the worker (again after finish()).
    void start();
    // Closes the queue, lets the worker hand over what it holds (waiting for the pipeline as
    // for any frame) and joins it.
    void finish();
    // Empties the queue without handing anything over.
    void clear();
    // The pipeline takes no more (it failed): what is queued and offered from now on is
    // dropped without waiting, and waitForVideoRoom() answers at once.
    void fail();
    bool failed() const { return m_failed.load(); }

    // Host threads. False when the item was dropped (full or closed).
    bool offerVideo(const std::shared_ptr<const Frame>& frame);
    bool offerAudio(const std::shared_ptr<const AudioQueue>& buffer);
    // True when one more frame fits, at once for a failed output or a closed queue (an output
    // that was removed or stopped: nothing to wait for); false on timeout.
    bool waitForVideoRoom(std::chrono::steady_clock::time_point deadline);
    // Whether video goes to this pipeline: not while another pipeline encodes its video, unless
    // frames are held for it (holdVideo).
    bool takesVideo() const;
    // While held, frames are queued for the pipeline but none is handed over: the pipeline that
    // encodes this one's video is going away, and this one takes the encoder over next, from
    // the frames held meanwhile. Any thread.
    void holdVideo(bool hold);
    // The output joined a running job: its first frame may start its recording, whatever the
    // host's start flag says. Before start().
    void startAnywhere() { m_startAnywhere = true; }

    // The worker's body.
    void threadCallback() override;

private:
    // What a lost frame looked like, for the marker that keeps its place.
    struct Shape
    {
        int width = 0, height = 0, format = 0;
        bool stamped = false;
        TimeStamp stamp;
    };
    struct VideoItem
    {
        std::shared_ptr<const Frame> frame;
        long long order = 0; // place among all items offered
    };
    struct AudioItem
    {
        std::shared_ptr<const AudioQueue> buffer;
        long long order = 0;
    };

    void handOver(const VideoItem& item);
    // A lost frame: a marker without pixels that keeps the frame's slot in the timeline.
    void handOverLoss(const Shape& shape);
    // Worker: true when the pipeline has room for a frame (waiting at most waitMs), refuses
    // input, or failed.
    bool pipelineReady(int waitMs);

    IEncoder* const m_encoder;
    RefEncoder* const m_sharing; // m_encoder when it may share its video encoder, else null
    const int m_source;
    const int m_audioInput;
    const int m_index;
    std::atomic<bool> m_hold{false};
    bool m_startAnywhere = false; // fixed before start(); read by the worker

    // Video and audio wait apart, so that sound goes on while a frame waits for the pipeline:
    // the pipeline keeps them in step itself. Until the first frame was handed over they go in
    // the order they came, since a pipeline refuses sound before its first frame.
    std::deque<VideoItem> m_video; // guarded by m_mutex
    std::deque<AudioItem> m_audio; // likewise
    long long m_offered = 0;       // likewise: items offered so far
    bool m_open = false;           // likewise: offers are taken
    bool m_closing = false;        // likewise: the worker ends once both queues are empty
    // Losses not yet handed over; they go before the next frame or buffer, as the pipeline
    // puts the frames its full queue refused before those it still holds.
    int m_videoLost = 0; // likewise
    Shape m_lostShape;   // likewise: the last lost frame
    int m_audioLost = 0; // likewise
    int m_audioLostSize = 0;
    std::mutex m_mutex;
    std::condition_variable m_work; // signalled under m_mutex: an item came, or closing
    std::condition_variable m_room; // likewise: a frame left, the queue closed or failed
    bool m_started = false;         // worker only: a frame was handed over
    // Worker only: when the current wait for the pipeline's room began (zero: not waiting).
    std::chrono::steady_clock::time_point m_waitingSince;
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_abort{false}; // clear() and destruction: no more waits for the pipeline
    std::unique_ptr<ThreadCallback> m_thread; // control thread only
};
