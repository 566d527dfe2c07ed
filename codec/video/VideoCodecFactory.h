#pragma once

#include <QString>

class IVideoCodec;

// Maps a video codec name to its implementation. Names are compared exactly, with case.
class VideoCodecFactory
{
public:
    // A new codec with reference count 1, or null for an empty or unknown name.
    static IVideoCodec* create(const QString& name);
};
