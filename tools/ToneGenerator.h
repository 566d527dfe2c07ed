#pragma once

#include <cstdint>

// Signed 16-bit interleaved test sound: a quiet steady tone with a louder, higher beep for the
// first `beepSeconds` of every second of media time, the same channel content on every channel.
class ToneGenerator
{
public:
    ToneGenerator(int sampleRate, int channels, double beepSeconds);

    // Writes the next `frames` sample frames (frames * channels values) to `out`.
    void fill(int16_t* out, int frames);
    long long position() const { return m_position; }

private:
    int m_sampleRate;
    int m_channels;
    long long m_beepSamples;
    long long m_position = 0; // sample frames written so far
};
