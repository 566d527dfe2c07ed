#include "encoder/WorkerThreads.h"

#include "encoder/AudioThread.h"
#include "encoder/VideoThread.h"

WorkerThreads::WorkerThreads(IVideoThread* video, IAudioThread* audio)
    : m_videoBody(video), m_audioBody(audio)
{
}

WorkerThreads::~WorkerThreads()
{
    join();
}

void WorkerThreads::startAudio()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_audio)
        return;
    m_audio = std::make_unique<AudioThread>(m_audioBody);
    m_audio->start(QThread::InheritPriority);
}

bool WorkerThreads::startVideo()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_video)
        return false;
    m_video = std::make_unique<VideoThread>(m_videoBody);
    m_video->start(QThread::InheritPriority);
    return true;
}

bool WorkerThreads::join()
{
    std::unique_ptr<VideoThread> video;
    std::unique_ptr<AudioThread> audio;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const QThread* self = QThread::currentThread();
        if (self == m_video.get() || self == m_audio.get()) {
            if (m_video)
                m_video->requestExit();
            return false;
        }
        video = std::move(m_video);
        audio = std::move(m_audio);
    }
    // Joined outside the lock, video first: the enqueue calls still take the lock to wake.
    video.reset();
    audio.reset();
    return true;
}

void WorkerThreads::wakeVideo()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_video)
        m_video->wakeThread();
}

void WorkerThreads::wakeAudio()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_audio)
        m_audio->wakeThread();
}
