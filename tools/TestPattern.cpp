#include "tools/TestPattern.h"

#include <algorithm>
#include <cstring>

namespace {

struct Yuv
{
    uint8_t y, u, v;
};

// BT.601 limited-range bars: white, yellow, cyan, green, magenta, red, blue, black.
const Yuv kBars[] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                     {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

} // namespace

TestPattern::TestPattern(int width, int height)
    : m_width(width), m_height(height),
      m_buffer(static_cast<size_t>(width) * height + 2 * ((width + 1) / 2) * ((height + 1) / 2))
{
}

void TestPattern::fillRect(int x, int y, int w, int h, uint8_t luma, uint8_t u, uint8_t v)
{
    const int x0 = std::max(0, x), y0 = std::max(0, y);
    const int x1 = std::min(m_width, x + w), y1 = std::min(m_height, y + h);
    if (x0 >= x1 || y0 >= y1)
        return;
    uint8_t* yPlane = m_buffer.data();
    uint8_t* uvPlane = yPlane + static_cast<size_t>(m_width) * m_height;
    const int chromaStride = 2 * ((m_width + 1) / 2);
    for (int row = y0; row < y1; ++row)
        std::memset(yPlane + static_cast<size_t>(row) * m_width + x0, luma, x1 - x0);
    for (int row = y0 / 2; row < (y1 + 1) / 2; ++row) {
        uint8_t* p = uvPlane + static_cast<size_t>(row) * chromaStride;
        for (int col = x0 / 2; col < (x1 + 1) / 2; ++col) {
            p[2 * col] = u;
            p[2 * col + 1] = v;
        }
    }
}

const uint8_t* TestPattern::frame(int64_t index)
{
    const int bars = 8;
    const int barWidth = std::max(1, (m_width + bars - 1) / bars);
    const int period = bars * barWidth;
    const int shift = static_cast<int>((index * 4) % period);
    for (int b = 0; b < bars; ++b) {
        const int x = (b * barWidth + shift) % period;
        fillRect(x, 0, barWidth, m_height, kBars[b].y, kBars[b].u, kBars[b].v);
        fillRect(x - period, 0, barWidth, m_height, kBars[b].y, kBars[b].u, kBars[b].v);
    }
    // Bouncing box.
    const int box = std::max(2, m_height / 6);
    const int spanX = std::max(1, m_width - box), spanY = std::max(1, m_height - box);
    const int px = static_cast<int>((index * 7) % (2 * spanX));
    const int py = static_cast<int>((index * 5) % (2 * spanY));
    fillRect(px < spanX ? px : 2 * spanX - px, py < spanY ? py : 2 * spanY - py, box, box, 235,
             128, 128);
    // Frame number, 20 bits, one block per bit, along the bottom.
    const int block = std::max(2, m_width / 40);
    for (int bit = 0; bit < 20; ++bit) {
        const bool on = (index >> (19 - bit)) & 1;
        fillRect(bit * block * 2 + block, m_height - 2 * block, block, block, on ? 235 : 16, 128,
                 128);
    }
    return m_buffer.data();
}
