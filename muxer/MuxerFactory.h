#pragma once

#include <QString>

class CodecPreset;
class IMuxer;
class IMuxerCallback;

// Creates the muxer of a pipeline.
class MuxerFactory
{
public:
    // A new, not yet initialised muxer for `preset` reporting to `callback` (kept, never
    // deleted): a replay buffer (ReplayMuxer) for a recording with local.replaySeconds above 0,
    // otherwise the container muxer; null when this build has no muxer.
    static IMuxer* create(IMuxerCallback* callback, const CodecPreset& preset);
    // Whether `preset` makes a replay buffer, which writes no file until it is asked to save.
    static bool isReplay(const CodecPreset& preset);
    // The first muxer setting of `preset` out of range, as "field value (range)"; empty when
    // all are usable.
    static QString invalidSettings(const CodecPreset& preset);
};
