#pragma once

#include "common/ThreadCallback.h"

class IVideoThread;

// The video worker of a pipeline: runs IVideoThread::videoThread() once, at the highest
// priority. Deleting it raises the exit flag, wakes the body and joins.
class VideoThread : public ThreadCallback, private IThreadCallback
{
public:
    explicit VideoThread(IVideoThread* body);
    ~VideoThread() override;

private:
    void threadCallback() override;

    IVideoThread* m_body;
};
