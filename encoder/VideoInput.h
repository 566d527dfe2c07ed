#pragma once

#include "common/LockedFifo.h"
#include "common/VideoQueue.h"
#include "encoder/FramePool.h"

#include <QString>
#include <atomic>
#include <memory>
#include <set>

class CodecPreset;
class Interlace;
struct AVSync;

// The video input of one pipeline: the host's frames are paced from the project's frame rate
// to the output's (a frame is queued as often as the output needs it, or not at all),
// deinterlaced when the output asks for it, and queued in a bounded FIFO for the video thread.
// It also keeps the pool of frame buffers lent to the host for zero-copy input.
//
// The pipeline decides whether a frame may enter at all (running, started, not a follower);
// this object only checks its pixel format and queues it.
//
// Threads: usableFormat(), queue() and the lend calls on the host's video input thread, one
// call at a time; waitForRoom() on any host thread; hasWork(), takeSkips(), take(), discard()
// and refuseAll() on the video thread; configure(), setOpen() and clear() on the host's
// control thread. The FIFO, the pool and the skip count are safe from any thread; the
// interlacer and the set of refused formats belong to the input thread.
class VideoInput
{
public:
    // `preset` and `sync` are the pipeline's and outlive this object.
    VideoInput(const CodecPreset& preset, AVSync& sync);
    ~VideoInput();
    VideoInput(const VideoInput&) = delete;
    VideoInput& operator=(const VideoInput&) = delete;

    // The first video number of `preset` the pipeline cannot work with, as "field value";
    // empty when all are usable or the output has no video.
    static QString invalidSettings(const CodecPreset& preset);

    // Bounds the FIFO at about two seconds of output frames (at least 4); initialize().
    void configure();
    // Open between start() and stop(): a closed FIFO and pool wake a host waiting for room or
    // for a buffer.
    void setOpen(bool open);
    void clear() { m_fifo.clear(); }

    // Whether frames of `format` can be converted for the encoder; the first refusal of a
    // format is warned about.
    bool usableFormat(int format, int width, int height);
    // Paces one offered frame and queues its copies; returns how many went in. `own`, the
    // frame held without a copy (a lent buffer, a shared frame), becomes the last copy and
    // lets go of its pixels when it is not queued. `interlaced`: the frame's stamp says so; it
    // is deinterlaced when the output's scan mode asks for it. Every copy carries `stampUs`
    // (VideoQueue::stampUs).
    int queue(unsigned char* data, int width, int height, int format, bool interlaced,
              long long stampUs, std::unique_ptr<VideoQueue> own);
    bool waitForRoom(int timeoutMs) { return m_fifo.waitForRoom(timeoutMs); }

    unsigned char* lend(int width, int height, int format, int timeoutMs)
    {
        return m_pool.lend(width, height, format, timeoutMs);
    }
    // A lent buffer the host filled, as a frame that gives the buffer back to the pool once it
    // is encoded or dropped; null (with a warning) for a buffer that is not lent out.
    std::unique_ptr<VideoQueue> claim(unsigned char* buffer);
    // A lent buffer the host did not use; false (with a warning) when it is not lent out.
    bool release(unsigned char* buffer);

    // Whether the video thread has a frame to take or refused frames to skip.
    bool hasWork() const { return m_pendingSkips.load() > 0 || !m_fifo.isEmpty(); }
    // Frames the full FIFO refused since the last call, whose places the timeline skips.
    int takeSkips() { return m_pendingSkips.exchange(0); }
    std::unique_ptr<VideoQueue> take() { return m_fifo.tryTake(); }
    // Drops what is queued, uncounted: another pipeline encodes this one's video.
    void discard();
    // The output's video has stopped for good: the FIFO closes, and what it holds is dropped
    // and counted as input drops.
    void refuseAll();

private:
    // How many copies of the offered frame the output's rate needs (0 drops it).
    int pace();
    void append(std::unique_ptr<VideoQueue> frame, long long stampUs);

    const CodecPreset& m_preset;
    AVSync& m_sync;
    // Before the FIFO: a queued frame may hold one of its buffers. Both lock themselves.
    FramePool m_pool;
    LockedFifo<VideoQueue> m_fifo;
    // Frames the FIFO refused whose places the video thread has still to skip; added by the
    // input thread, taken by the video thread (an atomic: a count on its own).
    std::atomic<int> m_pendingSkips{0};
    std::unique_ptr<Interlace> m_interlace; // the input thread only
    std::set<int> m_refusedFormats;         // the input thread only: formats warned about
};
