#include "tools/GeneratedSource.h"

#include "common/PixelFormat.h"

#include <cmath>

GeneratedSource::GeneratedSource(int width, int height, double frameRate, int sampleRate,
                                 int channels)
    : m_width(width), m_height(height), m_frameRate(frameRate), m_sampleRate(sampleRate),
      m_channels(channels), m_pattern(width, height),
      m_tone(sampleRate, channels, TestPattern::kFlashSeconds)
{
}

bool GeneratedSource::open(QString* error)
{
    if (m_width < 16 || m_height < 16 || !(m_frameRate > 0.0)) {
        *error = QStringLiteral(
            "the generated source needs a picture of at least 16x16 and a positive frame rate");
        return false;
    }
    return true;
}

bool GeneratedSource::read(Chunk* chunk)
{
    chunk->video = m_pattern.frame(m_index, m_frameRate);
    chunk->width = m_width;
    chunk->height = m_height;
    chunk->format = PIX_NV12;
    // Sample frames up to the end of this video frame, rounded, so that 29.97 fps never drifts.
    const long long end = std::llround((m_index + 1) * m_sampleRate / m_frameRate);
    const int samples = static_cast<int>(end - m_tone.position());
    m_audio.resize(static_cast<size_t>(std::max(samples, 0)) * m_channels);
    m_tone.fill(m_audio.data(), samples);
    chunk->audio = reinterpret_cast<const unsigned char*>(m_audio.data());
    chunk->audioBytes = static_cast<int>(m_audio.size() * sizeof(int16_t));
    ++m_index;
    return true;
}

QString GeneratedSource::describe() const
{
    return QStringLiteral("test pattern %1x%2 at %3 fps with a 1 s beep")
        .arg(m_width)
        .arg(m_height)
        .arg(m_frameRate);
}
