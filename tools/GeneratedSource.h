#pragma once

#include "tools/MediaSource.h"
#include "tools/TestPattern.h"
#include "tools/ToneGenerator.h"

#include <vector>

// The live test source: the moving test pattern with its clock and frame counter, and a tone
// that beeps at every whole second while the picture's flash square is lit. Every chunk holds
// one NV12 frame and exactly the audio that lasts as long as that frame.
class GeneratedSource : public MediaSource
{
public:
    GeneratedSource(int width, int height, double frameRate, int sampleRate, int channels);

    bool open(QString* error) override;
    bool read(Chunk* chunk) override;
    bool isLive() const override { return true; }
    bool hasAudio() const override { return true; }
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    double frameRate() const override { return m_frameRate; }
    QString describe() const override;

private:
    int m_width;
    int m_height;
    double m_frameRate;
    int m_sampleRate;
    int m_channels;
    TestPattern m_pattern;
    ToneGenerator m_tone;
    std::vector<int16_t> m_audio;
    long long m_index = 0;
};
