#pragma once

#include "common/ThreadCallback.h"

class IMuxerThread;

// The writing thread of a muxer: runs IMuxerThread::muxingLoop() once at the highest priority.
// The loop checks isExitThread() and waits with waitThread(); writers wake it with
// wakeThread(). Deleting the thread raises the flag, wakes the loop and joins.
class MuxerThread : public ThreadCallback, private IThreadCallback
{
public:
    explicit MuxerThread(IMuxerThread* target);
    ~MuxerThread() override;

private:
    void threadCallback() override;

    IMuxerThread* m_target;
};
