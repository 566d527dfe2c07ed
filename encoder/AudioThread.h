#pragma once

#include "common/ThreadCallback.h"

class IAudioThread;

// The audio worker of a pipeline: runs IAudioThread::audioThread() once, at the highest
// priority. Deleting it raises the exit flag, wakes the body and joins.
class AudioThread : public ThreadCallback, private IThreadCallback
{
public:
    explicit AudioThread(IAudioThread* body);
    ~AudioThread() override;

private:
    void threadCallback() override;

    IAudioThread* m_body;
};
