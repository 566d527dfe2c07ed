#pragma once

// Body of a ThreadCallback thread.
class IThreadCallback
{
public:
    virtual ~IThreadCallback() = default;
    // Runs once on the thread. A looping body checks ThreadCallback::isExitThread() and waits
    // with waitThread() between passes.
    virtual void threadCallback() = 0;
};
