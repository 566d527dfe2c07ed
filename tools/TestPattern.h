#pragma once

#include <cstdint>
#include <vector>

// A moving NV12 test picture: colour bars that scroll one step per frame, a bouncing white box
// and the frame number drawn as a row of binary blocks, so that every frame differs and dropped
// or repeated frames can be seen.
class TestPattern
{
public:
    TestPattern(int width, int height);

    // The picture for frame `index`, width * height * 3 / 2 bytes, valid until the next call.
    const uint8_t* frame(int64_t index);
    int frameSize() const { return static_cast<int>(m_buffer.size()); }

private:
    void fillRect(int x, int y, int w, int h, uint8_t luma, uint8_t u, uint8_t v);

    int m_width;
    int m_height;
    std::vector<uint8_t> m_buffer;
};
