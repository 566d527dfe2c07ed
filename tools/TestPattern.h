#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A moving NV12 test picture: colour bars that scroll one step per frame, a bouncing white box
// and the frame number drawn as a row of binary blocks, so that every frame differs and dropped
// or repeated frames can be seen.
//
// The overload with a frame rate adds a readable overlay: the media time (hh:mm:ss.mmm) and the
// frame counter in large digits, and a square that lights up white for the first
// kFlashSeconds of every second, when the generated tone beeps, so A/V sync can be checked.
class TestPattern
{
public:
    static constexpr double kFlashSeconds = 0.1;

    TestPattern(int width, int height);

    // The picture for frame `index`, width * height * 3 / 2 bytes, valid until the next call.
    const uint8_t* frame(int64_t index);
    // The same with the clock, counter and flash overlay for `frameRate` frames per second.
    const uint8_t* frame(int64_t index, double frameRate);
    int frameSize() const { return static_cast<int>(m_buffer.size()); }

    // "hh:mm:ss.mmm" for a media time in seconds (truncated to the millisecond).
    static std::string clockText(double seconds);

private:
    void fillRect(int x, int y, int w, int h, uint8_t luma, uint8_t u, uint8_t v);
    // Draws `text` in the built-in 5x7 font with square dots of `scale` pixels; characters
    // without a glyph are left blank. Returns the width drawn.
    int drawText(int x, int y, int scale, const std::string& text, uint8_t luma);

    int m_width;
    int m_height;
    std::vector<uint8_t> m_buffer;
};
