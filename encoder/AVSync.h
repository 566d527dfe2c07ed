#pragma once

#include <atomic>
#include <cstdint>

/// @file
/// A pipeline's statistics (AVSync) and the atomic sum they are kept with.

/// Adds to an atomic double (no fetch_add for floating point before C++20); returns the new value.
inline double atomicAdd(std::atomic<double>& target, double delta)
{
    double current = target.load(std::memory_order_relaxed);
    while (!target.compare_exchange_weak(current, current + delta, std::memory_order_relaxed))
        ;
    return current + delta;
}

/// A pipeline's statistics. The host's enqueue calls, the worker threads and the muxing thread
/// all update it, so every field is an atomic (relaxed: each is a counter on its own; no field
/// orders another). Reading one gives a consistent value of that field.
struct AVSync
{
    std::atomic<double> frameRate{0.0};      ///< output frames per second
    std::atomic<int32_t> videoInputDrops{0}; ///< input frames lost before encoding, full FIFO too
    /// Queued frames lost unencoded: their conversion failed.
    std::atomic<int32_t> videoOutputDrops{0};
    std::atomic<int64_t> videoFrames{0};     ///< frames queued, repeats and input drops included
    std::atomic<int64_t> videoWritten{0};    ///< frames given to the muxer plus drops; 0 per muxer
    std::atomic<double> videoWriteTs{0.0};   ///< seconds of video the muxer has written
    std::atomic<int64_t> videoWriteQueue{0}; ///< muxer queue length at the last video packet
    std::atomic<int32_t> audioDrops{0};      ///< empty audio buffers received
    std::atomic<int64_t> audioQueuedFrames{0}; ///< audio received, in video frames (rounded)
    std::atomic<int64_t> audioFrames{0};       ///< audio encoded, in video frames; 0 per muxer
    std::atomic<int64_t> audioBytesQueued{0};  ///< bytes of audio received
    std::atomic<int64_t> audioBytesEncoded{0}; ///< bytes given to the audio encoder; 0 per muxer
    std::atomic<double> audioWriteTs{0.0};     ///< seconds of audio the muxer has written
    std::atomic<int64_t> audioWriteQueue{0};   ///< muxer queue length at the last audio packet
    std::atomic<double> inputClock{0.0};       ///< seconds of input at the project frame rate
    std::atomic<int32_t> audioInputDrops{0};   ///< audio buffers refused by a full audio FIFO
    /// Live outputs only (recordings keep 0): a LiveState value, Stopped from the pipeline's
    /// stop() to its next start().
    std::atomic<int32_t> liveState{0};
    std::atomic<int32_t> liveReconnects{0}; ///< live: how often the link broke and was reopened
    /// Live: encoded packets the output discarded (while not connected, or for a backlog).
    std::atomic<int64_t> liveDrops{0};
    /// How long the output has been live, in ms: links that held at least 5 s, and the one open
    /// when it stopped. The reason for the last failed attempt or broken link is liveReason().
    std::atomic<int64_t> liveMs{0};
    /// SRT outputs only, as last reported (LinkStatistics): connected peers; 0 when the output
    /// is not live.
    std::atomic<int32_t> linkPeers{0};
    std::atomic<double> linkRttMs{0.0};        ///< SRT: smoothed round-trip time in ms
    std::atomic<int64_t> linkRetransmitted{0}; ///< SRT: packets sent again
    std::atomic<int64_t> linkDropped{0};       ///< SRT: packets given up on as too late
};
