#pragma once

#include <atomic>
#include <cstdint>

// The last encoded audio packet of a pipeline (written by the audio thread).
struct EncodedAudio
{
    uint32_t size = 0;
    unsigned char* data = nullptr;      // the pipeline's encoded-audio buffer
    std::atomic<int32_t> holdChunks{0}; // audio chunks held back for the video codec's delay;
                                        // written by the video thread, read by the audio thread
};
