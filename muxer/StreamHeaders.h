#pragma once

#include "common/AVHandles.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// The coded streams' headers as the encoders hand them over: the video stream's parameters
// (when its encoder describes it), the video parameter sets and the audio codec's setup
// bytes. The pipeline sets them before and while the output opens; the container is
// described from them whenever it is (re)made, by whichever thread makes it.
//
// Threads: every method may be called from any thread; all of them lock m_mutex.
class StreamHeaders
{
public:
    void setVideoParameters(const AVCodecParameters* par);
    // The first non-empty video headers win.
    void setVideoExtradata(const unsigned char* data, unsigned int size);
    // The latest audio headers win.
    void setAudioExtradata(const unsigned char* data, unsigned int size);

    // Whether the video parameter sets are known (from either source).
    bool hasVideo() const;
    // Waits up to `limit` for the video parameter sets, checking `giveUp` every 100 ms; false
    // without them.
    bool waitForVideo(std::chrono::milliseconds limit, const std::function<bool()>& giveUp) const;

    // Copies the encoder's description of the video stream into `par`; false when there is
    // none (*failed: the copy failed).
    bool copyVideoParameters(AVCodecParameters* par, bool* failed) const;
    // Gives `par` the video parameter sets when it has none yet; false when out of memory.
    bool fillVideoExtradata(AVCodecParameters* par) const;
    // Gives `par` the audio headers, when known; false when out of memory.
    bool fillAudioExtradata(AVCodecParameters* par) const;
    // Gives `other` (another object) the headers known here.
    void copyTo(StreamHeaders& other) const;

private:
    bool hasVideoLocked() const;
    static bool copyBytes(const std::vector<uint8_t>& bytes, AVCodecParameters* par);

    mutable std::mutex m_mutex; // guards every field below
    mutable std::condition_variable m_videoArrived;
    AVCodecParametersPtr m_videoPar;
    std::vector<uint8_t> m_videoExtradata;
    std::vector<uint8_t> m_audioExtradata;
};
