#pragma once

#include <atomic>
#include <cstdint>

/// The last encoded video packet of a pipeline. Written by the video thread; the packet fields
/// describe the buffer `data` and are meant to be read from the host's packet callback, which
/// runs on that thread. The counters are atomics because set-up and the audio side read them.
struct EncodedVideo
{
    std::atomic<uint64_t> frameCount{0}; ///< packets produced so far
    uint32_t size = 0;                   ///< bytes in data
    uint32_t key = 0;                    ///< non-zero for a key frame
    int64_t pts = -1;                    ///< codec presentation stamp or -1
    int64_t dts = -1;                    ///< codec decoding stamp or -1
    /// The host's stamp (TimeStamp::pts, microseconds) of the frame this packet was coded
    /// from; -1 when that frame had none.
    int64_t stampUs = -1;
    unsigned char* data = nullptr;         ///< the pipeline's buffer of width * height * 4 bytes
    std::atomic<uint64_t> missedFrames{0}; ///< frames the codec swallowed before its first packet
};
