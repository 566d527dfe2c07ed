#include "encoder/AudioThread.h"

#include "encoder/IAudioThread.h"

AudioThread::AudioThread(IAudioThread* body)
    : ThreadCallback(static_cast<IThreadCallback*>(this)), m_body(body)
{
}

AudioThread::~AudioThread()
{
    finish();
}

void AudioThread::threadCallback()
{
    setPriority(QThread::HighestPriority);
    m_body->audioThread();
}
