#pragma once

#include "api/StrevoExport.h"

// What a muxer reports back to its pipeline. Called on the muxing thread, with no muxer lock
// held.
class STREVO_EXPORT IMuxerCallback
{
public:
    virtual ~IMuxerCallback() = default;
    // A video packet (or a skipped frame) of `seconds` was written (0 resets the count);
    // `queued` packets wait.
    virtual void videoWriteTs(double seconds, int queued) = 0;
    virtual void audioWriteTs(double seconds, int queued) = 0;
    // Seconds of video and audio written so far.
    virtual double videoTs() = 0;
    virtual double audioTs() = 0;
};
