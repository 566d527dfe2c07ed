#pragma once

// codec/audio/: the audio encoders and their factory (see codec/video/VideoCodecFactory.h for
// what the codec layer may include).

#include <QString>

class IAudioCodec;

/// Maps an audio codec name to its implementation. Names are compared exactly, with case.
class AudioCodecFactory
{
public:
    /// A new codec, not yet initialised and owned by the caller, or null for an empty or
    /// unknown name.
    static IAudioCodec* create(const QString& name);
};
