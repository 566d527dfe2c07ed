#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

/// A fixed number of frame buffers that a host fills in place and the pipeline encodes without
/// a copy. A buffer is lent to the host, then either claimed (queued as a frame; given back once
/// encoded or dropped) or released unused. At most `capacity` buffers exist; lend() waits for
/// one to come back. Buffers are kept for reuse and grown when a larger frame is asked for.
///
/// Threads: any thread may use it. The pool must outlive every frame holding one of its
/// buffers; destroying it frees all buffers, lent ones included.
class FramePool
{
public:
    /// The frame a lent buffer was asked for, as claim() reports it.
    struct Frame
    {
        int width = 0;  ///< picture width in pixels
        int height = 0; ///< picture height in pixels
        int format = 0; ///< PixelFormat code
        int bytes = 0;  ///< pixelFormatFrameSize(format, width, height)
    };

    /// A pool of at most `capacity` buffers (at least 1); buffers are made as they are lent.
    explicit FramePool(int capacity);
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    /// A buffer for one frame, waiting at most timeoutMs for one to come back; null on timeout,
    /// while closed, or for a format without fixed layout.
    unsigned char* lend(int width, int height, int format, int timeoutMs);
    /// A lent buffer becomes a queued frame; false for a pointer that is not lent out (never
    /// lent, already claimed or released).
    bool claim(unsigned char* buffer, Frame* frame);
    /// A lent, unclaimed buffer comes back unused; false otherwise.
    bool release(unsigned char* buffer);
    /// A claimed buffer comes back after encoding or dropping.
    void giveBack(unsigned char* buffer);
    /// A closed pool lends nothing and wakes every waiting lend(); the rest still works.
    void setOpen(bool open);

private:
    enum class State
    {
        Free,
        Lent,
        Claimed
    };
    struct Slot
    {
        std::unique_ptr<unsigned char[]> data;
        Frame frame;
        int capacity = 0;
        State state = State::Free;
    };
    // Expects m_mutex held.
    bool change(unsigned char* buffer, State from, State to, Frame* frame);

    std::vector<Slot> m_slots; // guarded by m_mutex; grows up to m_capacity
    bool m_open = true;        // likewise
    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_returned; // signalled under m_mutex when a slot frees or on setOpen
};
