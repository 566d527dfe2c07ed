#pragma once

#include <atomic>
#include <cstdint>

/// The last encoded audio packet of a pipeline (written by the audio thread).
struct EncodedAudio
{
    uint32_t size = 0;             ///< bytes of the last packet in data
    unsigned char* data = nullptr; ///< the pipeline's encoded-audio buffer, owned by the pipeline
    /// Sound held back for the video codec's delay, in chunks of 3840 bytes of the project's
    /// sound (20 ms of 48 kHz stereo 16-bit), whatever size the host's buffers have; written by
    /// the video thread, read by the audio thread.
    std::atomic<int32_t> holdChunks{0};
};
