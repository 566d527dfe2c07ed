#pragma once

class IMuxer;
class IMuxerCallback;

// Creates the muxer of a pipeline.
class MuxerFactory
{
public:
    // A new, not yet initialised muxer reporting to `callback` (kept, never deleted); null when
    // this build has no muxer.
    static IMuxer* create(IMuxerCallback* callback);
};
