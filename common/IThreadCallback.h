#pragma once

/// Body of a ThreadCallback thread.
class IThreadCallback
{
public:
    virtual ~IThreadCallback() = default;
    /// Runs once on the thread. A looping body checks ThreadCallback::isExitThread() and sleeps
    /// with waitUntil() until there is work.
    virtual void threadCallback() = 0;
};
