#include "muxer/StreamHeaders.h"

#include <algorithm>

void StreamHeaders::setVideoParameters(const AVCodecParameters* par)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_videoPar.reset();
        if (!par)
            return;
        m_videoPar.reset(avcodec_parameters_alloc());
        if (m_videoPar && avcodec_parameters_copy(m_videoPar.get(), par) < 0)
            m_videoPar.reset();
    }
    m_videoArrived.notify_all();
}

void StreamHeaders::setVideoExtradata(const unsigned char* data, unsigned int size)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (size == 0 || !data || !m_videoExtradata.empty())
            return;
        m_videoExtradata.assign(data, data + size);
    }
    m_videoArrived.notify_all();
}

void StreamHeaders::setAudioExtradata(const unsigned char* data, unsigned int size)
{
    if (size == 0 || !data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_audioExtradata.assign(data, data + size);
}

bool StreamHeaders::hasVideo() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return hasVideoLocked();
}

bool StreamHeaders::hasVideoLocked() const
{
    return !m_videoExtradata.empty() || (m_videoPar && m_videoPar->extradata_size > 0);
}

bool StreamHeaders::waitForVideo(std::chrono::milliseconds limit,
                                 const std::function<bool()>& giveUp) const
{
    constexpr auto kStep = std::chrono::milliseconds(100); // checks giveUp in between
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!hasVideoLocked() && !giveUp() && std::chrono::steady_clock::now() < deadline)
        m_videoArrived.wait_for(lock, kStep);
    return hasVideoLocked();
}

bool StreamHeaders::copyVideoParameters(AVCodecParameters* par, bool* failed) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *failed = false;
    if (!m_videoPar)
        return false;
    *failed = avcodec_parameters_copy(par, m_videoPar.get()) < 0;
    return true;
}

bool StreamHeaders::fillVideoExtradata(AVCodecParameters* par) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (par->extradata_size > 0 || m_videoExtradata.empty())
        return true;
    return copyBytes(m_videoExtradata, par);
}

bool StreamHeaders::fillAudioExtradata(AVCodecParameters* par) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_audioExtradata.empty() || copyBytes(m_audioExtradata, par);
}

bool StreamHeaders::copyBytes(const std::vector<uint8_t>& bytes, AVCodecParameters* par)
{
    par->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        return false;
    std::copy(bytes.begin(), bytes.end(), par->extradata);
    par->extradata_size = static_cast<int>(bytes.size());
    return true;
}

void StreamHeaders::copyTo(StreamHeaders& other) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    other.setVideoParameters(m_videoPar.get());
    other.setVideoExtradata(m_videoExtradata.data(),
                            static_cast<unsigned int>(m_videoExtradata.size()));
    other.setAudioExtradata(m_audioExtradata.data(),
                            static_cast<unsigned int>(m_audioExtradata.size()));
}
