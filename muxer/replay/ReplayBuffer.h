#pragma once

// muxer/replay/: the replay buffer, an output that keeps the last seconds of a pipeline's
// packets in memory and writes them to a file on request.

#include "common/AVHandles.h"

#include <cstdint>
#include <deque>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

// The packets of a replay buffer: the last seconds of a pipeline's encoded video and sound,
// from a key frame, bounded in time and in bytes.
//
// Every packet gets its place in the output's timeline as it arrives: a picture its frame
// number (skipped frames count too), a sound packet its first sample. The timeline starts at
// the first key frame; nothing before it is kept or counted, and the sound starts with the
// picture, as in a recording. The video is kept in whole key-frame intervals: the oldest one
// goes as soon as the intervals after it hold the seconds asked for, so a buffer that has run
// long enough holds those seconds and at most one interval more. While the bytes are over the
// bound, the oldest intervals go too; should the newest interval alone be over it, everything
// goes and the buffer starts again at the next key frame. The sound is kept from the packet
// whose middle is nearest after the first picture's time. A pipeline hands its sound over a
// little later than its pictures (by about its video encoder's delay), or earlier: what the
// buffer holds whole, and what a snapshot gives, ends where the shorter of the two ends (the
// sound within one packet), unless the sound has stopped for longer than a second, when the
// pictures alone count.
//
// Threads: none of its own, and no lock: its owner serialises every call.
class ReplayBuffer
{
public:
    struct Limits
    {
        double seconds = 0.0;        // of video to keep
        long long maxBytes = 0;      // encoded bytes of video and sound together
        AVRational frameRate{30, 1}; // pictures per second
        int sampleRate = 48000;      // sound samples per second
    };

    // One packet. Video: `stamp` is its frame number, `key` marks a key frame, and a null
    // packet is a skipped frame. Sound: `stamp` is its first sample and `samples` its length;
    // a null packet is a lost audio frame.
    struct Entry
    {
        AVPacketPtr packet;
        int64_t stamp = 0;
        int64_t samples = 0;
        bool key = false;
    };

    // What the buffer held at one moment; the packets share the buffer's data (av_packet_ref).
    struct Snapshot
    {
        std::vector<Entry> video, audio;
        AVRational frameRate{30, 1};
        int sampleRate = 48000;
        double seconds = 0.0; // of video, from the first key frame
    };

    explicit ReplayBuffer(const Limits& limits);

    void addVideo(AVPacketPtr packet, bool key);
    void skipVideo();
    void addAudio(AVPacketPtr packet, int64_t samples);
    void skipAudio(int64_t samples);

    // False only when out of memory; a buffer that holds nothing gives an empty snapshot.
    bool snapshot(Snapshot* out) const;
    // The first key frame came: packets are counted from here on.
    bool started() const { return m_started; }
    bool holdsPicture() const { return !m_video.empty(); }
    // Encoded bytes held (packet payloads).
    long long bytes() const { return m_bytes; }
    // Seconds held whole (sound and picture), from the first key frame.
    double seconds() const;
    // Frames stamped since the first key frame, skipped ones included.
    long long frames() const { return m_nextFrame; }
    // How often one key-frame interval alone was over the byte bound (everything went).
    long long restarts() const { return m_restarts; }

private:
    // The frame number after the last one held whole (see the class).
    int64_t completeEnd() const;
    void trim();
    void dropOldestInterval();
    // Drops the sound from before the first picture.
    void trimSound();
    void clear();

    const Limits m_limits;
    const int64_t m_framesWanted; // the seconds asked for, in frames
    bool m_started = false;       // the first key frame came: the timeline runs
    int64_t m_nextFrame = 0;
    int64_t m_nextSample = 0;
    std::deque<Entry> m_video;
    std::deque<Entry> m_audio;
    std::deque<int64_t> m_keys; // frame numbers of the key frames held, oldest first
    long long m_bytes = 0;
    long long m_restarts = 0;
};
