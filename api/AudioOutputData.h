#pragma once

/// One audio input of the list form of Strevo::enqueueAudio: a buffer of 16-bit interleaved
/// samples in the project's audio format (null: no audio from this input this time) and a value
/// of the host's own, which the facade keeps unchanged.
struct AudioOutputData
{
    /// The samples, still the host's: the facade copies them during the call.
    unsigned char* buffer = nullptr;
    int tag = 0; ///< the host's own value
};
