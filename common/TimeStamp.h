#pragma once

/// Stamp that a host passes with each live frame.
struct TimeStamp
{
    int startFlag = 0;       ///< 1 on the frame where a recording may begin
    bool interlaced = false; ///< the frame holds two fields
    long long pts = 0; ///< the host's own presentation time, microseconds (not read by pipelines)
};
