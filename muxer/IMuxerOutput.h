#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

struct LinkStatistics;

// Where a muxer's container goes: a local recording (FileOutput) or a live stream
// (LiveOutput). The output decides when the container is made, over which I/O, and what a
// failure means; ContainerWriter stamps, queues and writes the packets, and asks the output
// through the hooks below.
//
// Threads: open(), writeHeader() and stop() come from the muxer's owner (IMuxer's set-up
// thread, the pipeline, the destructor); abort() from any thread. The hooks are called by
// ContainerWriter: takesPackets() on any thread (also under the writer's queue mutex);
// countDrops(), backlogLimit(), backlogExceeded() and keyFrameWanted() on the pipeline's
// threads without a writer lock; the rest while the writer's mux mutex is held (on the writing
// thread or whichever thread opens or closes the container).
class IMuxerOutput
{
public:
    virtual ~IMuxerOutput() = default;

    // Picks the container, checks the codecs, makes the output and starts the writing thread.
    virtual bool open() = 0;
    // The pipeline has the video headers: write the container's header (when the output
    // writes it at the pipeline's request).
    virtual bool writeHeader() = 0;
    // Ends the output: sends or drains what is queued, writes the trailer, closes.
    virtual void stop() = 0;
    // Makes blocking I/O and reconnection give up.
    virtual void abort() {}

    // Whether packets are taken now; while not, they are dropped (and counted).
    virtual bool takesPackets() const { return true; }
    virtual void countDrops(long long /*count*/) {}
    // The video packets that may wait to be written before backlogExceeded() is called.
    virtual size_t backlogLimit() const { return std::numeric_limits<size_t>::max(); }
    virtual void backlogExceeded() {}
    // The stream waits for a key frame: ask the encoder for one (once per wait).
    virtual void keyFrameWanted() {}

    // Brackets a libavformat call that may block on the output's I/O.
    virtual void ioBegin() {}
    virtual void ioEnd() {}
    // Link counts to report with the packet just written; false when there is nothing new.
    virtual bool takeLinkStatistics(LinkStatistics* /*link*/) { return false; }
    // The header went through.
    virtual void headerWritten() {}
    // A packet went through; `streamEnds` is the end of each stream written before it (in its
    // time base, by stream index).
    virtual void packetWritten(const std::vector<int64_t>& /*streamEnds*/) {}
    // av_write_trailer's result, and the end of each stream.
    virtual void trailerWritten(int /*result*/, const std::vector<int64_t>& /*streamEnds*/) {}
    // Writing `what` failed with libav's `result`. True: the output is finished (no more
    // packets are taken, the queues are emptied); false: it goes on (it reopens).
    virtual bool writeFailed(const char* what, int result) = 0;
    // Why a libav call failed with `result`, in words: the output's own reason when it has one.
    virtual QString errorText(int result) const = 0;
};
