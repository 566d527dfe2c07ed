#pragma once

// codec/: the video and audio encoders (software, and the hardware ones over platform/) and
// their factories. May include common/, base/ and platform/.

#include <QString>
#include <functional>

class IVideoCodec;

/// Maps a video codec name to its implementation. Names are compared exactly, with case.
class VideoCodecFactory
{
public:
    /// Makes a new codec, owned by the caller, for addCodec().
    using Creator = std::function<IVideoCodec*()>;

    /// A new codec, not yet initialised and owned by the caller, or null for an empty or
    /// unknown name.
    static IVideoCodec* create(const QString& name);

    /// Adds a codec under a name, consulted before the built-in table (a later entry for the
    /// same name replaces an earlier one; an empty creator removes it). For encoders outside
    /// the library, such as test doubles standing in for hardware. Call before pipelines are
    /// set up.
    static void addCodec(const QString& name, Creator creator);
};
