#include "encoder/VideoThread.h"

#include "encoder/IVideoThread.h"

VideoThread::VideoThread(IVideoThread* body)
    : ThreadCallback(static_cast<IThreadCallback*>(this)), m_body(body)
{
}

VideoThread::~VideoThread()
{
    finish();
}

void VideoThread::threadCallback()
{
    setPriority(QThread::HighestPriority);
    m_body->videoThread();
}
