#pragma once

#include <atomic>
#include <cstdint>

/// The last encoded audio packet of a pipeline (written by the audio thread).
struct EncodedAudio
{
    uint32_t size = 0;             ///< bytes of the last packet in data
    unsigned char* data = nullptr; ///< the pipeline's encoded-audio buffer, owned by the pipeline
    /// Audio chunks held back for the video codec's delay; written by the video thread, read by
    /// the audio thread.
    std::atomic<int32_t> holdChunks{0};
};
