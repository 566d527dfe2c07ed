#include "muxer/replay/ReplayBuffer.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/mathematics.h>
}

ReplayBuffer::ReplayBuffer(const Limits& limits)
    : m_limits(limits),
      m_framesWanted(std::max<int64_t>(
          1, static_cast<int64_t>(std::ceil(limits.seconds * av_q2d(limits.frameRate) - 1e-9))))
{
}

void ReplayBuffer::addVideo(AVPacketPtr packet, bool key)
{
    if (!packet)
        return;
    if (!m_started) {
        if (!key)
            return;
        m_started = true;
    }
    const int64_t stamp = m_nextFrame++;
    if (m_video.empty() && !key)
        return; // started again after an overflow: waits for the next key frame
    if (key)
        m_keys.push_back(stamp);
    m_bytes += packet->size;
    m_video.push_back(Entry{std::move(packet), stamp, 0, key});
    trim();
}

void ReplayBuffer::skipVideo()
{
    if (!m_started)
        return;
    const int64_t stamp = m_nextFrame++;
    if (m_video.empty())
        return;
    m_video.push_back(Entry{nullptr, stamp, 0, false});
    trim();
}

void ReplayBuffer::addAudio(AVPacketPtr packet, int64_t samples)
{
    if (!m_started)
        return; // the sound starts with the picture
    const int64_t stamp = m_nextSample;
    m_nextSample += samples;
    if (m_video.empty())
        return;
    if (packet)
        m_bytes += packet->size;
    m_audio.push_back(Entry{std::move(packet), stamp, samples, false});
    trim();
}

void ReplayBuffer::skipAudio(int64_t samples)
{
    addAudio(nullptr, samples);
}

int64_t ReplayBuffer::completeEnd() const
{
    if (m_audio.empty())
        return m_nextFrame;
    const Entry& last = m_audio.back();
    // The frames that begin before the sound ends.
    const int64_t soundEnd =
        av_rescale_q_rnd(last.stamp + last.samples, AVRational{1, m_limits.sampleRate},
                         av_inv_q(m_limits.frameRate), AV_ROUND_UP);
    const int64_t secondOfFrames = av_rescale_q(1, AVRational{1, 1}, av_inv_q(m_limits.frameRate));
    if (m_nextFrame - soundEnd > secondOfFrames)
        return m_nextFrame; // the sound stopped
    return std::max(std::min(m_nextFrame, soundEnd), m_video.front().stamp + 1);
}

void ReplayBuffer::trim()
{
    while (m_keys.size() >= 2 && completeEnd() - m_keys[1] >= m_framesWanted)
        dropOldestInterval();
    while (m_bytes > m_limits.maxBytes && !m_video.empty()) {
        if (m_keys.size() >= 2) {
            dropOldestInterval();
        } else {
            clear();
            ++m_restarts;
        }
    }
}

void ReplayBuffer::dropOldestInterval()
{
    const int64_t next = m_keys[1];
    while (!m_video.empty() && m_video.front().stamp < next) {
        if (m_video.front().packet)
            m_bytes -= m_video.front().packet->size;
        m_video.pop_front();
    }
    m_keys.pop_front();
    trimSound();
}

void ReplayBuffer::trimSound()
{
    if (m_video.empty()) {
        while (!m_audio.empty()) {
            if (m_audio.front().packet)
                m_bytes -= m_audio.front().packet->size;
            m_audio.pop_front();
        }
        return;
    }
    // The first picture's time in samples, doubled so that a packet's middle stays whole.
    const int64_t start2 = 2 * av_rescale_q(m_video.front().stamp, av_inv_q(m_limits.frameRate),
                                            AVRational{1, m_limits.sampleRate});
    while (!m_audio.empty() && 2 * m_audio.front().stamp + m_audio.front().samples < start2) {
        if (m_audio.front().packet)
            m_bytes -= m_audio.front().packet->size;
        m_audio.pop_front();
    }
}

void ReplayBuffer::clear()
{
    m_video.clear();
    m_audio.clear();
    m_keys.clear();
    m_bytes = 0;
}

double ReplayBuffer::seconds() const
{
    if (m_video.empty())
        return 0.0;
    return (completeEnd() - m_video.front().stamp) / av_q2d(m_limits.frameRate);
}

bool ReplayBuffer::snapshot(Snapshot* out) const
{
    out->frameRate = m_limits.frameRate;
    out->sampleRate = m_limits.sampleRate;
    out->seconds = seconds();
    const int64_t end = m_video.empty() ? 0 : completeEnd();
    const auto copy = [](const std::deque<Entry>& from, std::vector<Entry>& to, int64_t until) {
        to.clear();
        to.reserve(from.size());
        for (const Entry& e : from) {
            if (e.stamp >= until)
                break;
            AVPacketPtr shared;
            if (e.packet) {
                shared.reset(av_packet_clone(e.packet.get()));
                if (!shared)
                    return false;
            }
            to.push_back(Entry{std::move(shared), e.stamp, e.samples, e.key});
        }
        return true;
    };
    const int64_t soundEnd =
        av_rescale_q(end, av_inv_q(m_limits.frameRate), AVRational{1, m_limits.sampleRate});
    return copy(m_video, out->video, end) && copy(m_audio, out->audio, soundEnd);
}
