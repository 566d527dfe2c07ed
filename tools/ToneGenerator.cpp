#include "tools/ToneGenerator.h"

#include <cmath>

namespace {
constexpr double kToneHz = 440.0;
constexpr double kBeepHz = 1000.0;
constexpr double kToneLevel = 2000.0;
constexpr double kBeepLevel = 12000.0;
} // namespace

ToneGenerator::ToneGenerator(int sampleRate, int channels, double beepSeconds)
    : m_sampleRate(sampleRate), m_channels(channels),
      m_beepSamples(static_cast<long long>(std::llround(beepSeconds * sampleRate)))
{
}

void ToneGenerator::fill(int16_t* out, int frames)
{
    for (int i = 0; i < frames; ++i, ++m_position) {
        // Phases from the whole-second remainder keep the sine exact over long runs.
        const long long inSecond = m_position % m_sampleRate;
        const double t = static_cast<double>(inSecond) / m_sampleRate;
        const bool beep = inSecond < m_beepSamples;
        const double value = beep ? kBeepLevel * std::sin(2.0 * M_PI * kBeepHz * t)
                                  : kToneLevel * std::sin(2.0 * M_PI * kToneHz * t);
        const int16_t sample = static_cast<int16_t>(std::lround(value));
        for (int c = 0; c < m_channels; ++c)
            *out++ = sample;
    }
}
