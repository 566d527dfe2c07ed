#pragma once

/// @file
/// Sound as the host pushes it (Strevo::pushAudio).

#include <cstdint>

namespace strevo {

/// A run of interleaved 16-bit PCM for one audio input, in the project's audio format
/// (ProjectPreset's channels and sample rate; the job does not resample). Copied before
/// Strevo::pushAudio returns.
struct AudioChunk
{
    int audioInput = 0;               ///< Audio input, 0 to 8; its outputs take the sound.
    const int16_t* samples = nullptr; ///< frames × channels samples, interleaved.
    int frames = 0;                   ///< Sample frames (one sample per channel each).
    int channels = 2;                 ///< Must equal the project's channels.
    int sampleRate = 48000;           ///< Hz; must equal the project's sample rate.
};

} // namespace strevo
