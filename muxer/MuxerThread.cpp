#include "muxer/MuxerThread.h"

#include "muxer/IMuxerThread.h"

MuxerThread::MuxerThread(IMuxerThread* target)
    : ThreadCallback(static_cast<IThreadCallback*>(this)), m_target(target)
{
}

MuxerThread::~MuxerThread()
{
    finish();
}

void MuxerThread::threadCallback()
{
    setPriority(QThread::HighestPriority);
    if (m_target)
        m_target->muxingLoop();
}
