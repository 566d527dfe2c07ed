#pragma once

#include "muxer/IMuxerCallback.h"

#include <QString>

class IEncoder;

// What a pipeline tells the object that runs it (Encoder::setOutputEvents) beyond the status
// reports: a live output's link changed state. Called on the link's
// connection thread or the thread that stops the output, under no pipeline lock; the receiver
// keeps to short work (it queues the change).
class IOutputEvents
{
public:
    virtual ~IOutputEvents() = default;
    // `reason`: why the last attempt failed or the last link broke; empty while nothing failed.
    virtual void liveStateChanged(IEncoder* encoder, LiveState state, const QString& reason) = 0;
};
