#pragma once

#include "muxer/IMuxerCallback.h"

#include <QString>

class IEncoder;

// What a pipeline tells the object that runs it (Encoder::setOutputEvents) beyond the status
// reports: a live output's link changed state, a replay buffer saved a file. Called on the
// link's connection thread, the thread that stops the output, or the replay's saving thread,
// under no pipeline lock; the receiver keeps to short work (it queues the change).
class IOutputEvents
{
public:
    virtual ~IOutputEvents() = default;
    // `reason`: why the last attempt failed or the last link broke; empty while nothing failed.
    virtual void liveStateChanged(IEncoder* encoder, LiveState state, const QString& reason) = 0;
    // A replay save ended (IMuxerCallback::replaySaved says what the arguments are).
    virtual void replaySaved(IEncoder* encoder, const QString& path, bool ok,
                             const QString& reason) = 0;
};
