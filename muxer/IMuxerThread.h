#pragma once

// Body of a muxer's writing thread: drains the packet queues into the container until the
// thread is asked to stop.
class IMuxerThread
{
public:
    virtual ~IMuxerThread() = default;
    virtual void muxingLoop() = 0;
};
