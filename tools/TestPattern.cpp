#include "tools/TestPattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct Yuv
{
    uint8_t y, u, v;
};

// BT.601 limited-range bars: white, yellow, cyan, green, magenta, red, blue, black.
const Yuv kBars[] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                     {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

// 5x7 glyphs, one byte per row, bit 4 the leftmost dot.
struct Glyph
{
    char c;
    uint8_t rows[7];
};

const Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};

const Glyph* glyph(char c)
{
    for (const Glyph& g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

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
    fillRect(px < spanX ? px : 2 * spanX - px, py < spanY ? py : 2 * spanY - py, box, box, 235, 128,
             128);
    // Frame number, 20 bits, one block per bit, along the bottom.
    const int block = std::max(2, m_width / 40);
    for (int bit = 0; bit < 20; ++bit) {
        const bool on = (index >> (19 - bit)) & 1;
        fillRect(bit * block * 2 + block, m_height - 2 * block, block, block, on ? 235 : 16, 128,
                 128);
    }
    return m_buffer.data();
}

int TestPattern::drawText(int x, int y, int scale, const std::string& text, uint8_t luma)
{
    const int advance = 6 * scale;
    for (size_t i = 0; i < text.size(); ++i) {
        const Glyph* g = glyph(text[i]);
        if (!g)
            continue;
        const int left = x + static_cast<int>(i) * advance;
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (g->rows[row] & (0x10 >> col))
                    fillRect(left + col * scale, y + row * scale, scale, scale, luma, 128, 128);
    }
    return static_cast<int>(text.size()) * advance - scale;
}

std::string TestPattern::clockText(double seconds)
{
    // The small epsilon keeps 0.1 * 30 frames from showing as ...099 after the division.
    const long long ms = static_cast<long long>(std::floor(std::max(0.0, seconds) * 1000.0 + 1e-6));
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return text;
}

const uint8_t* TestPattern::frame(int64_t index, double frameRate)
{
    frame(index);
    const double seconds = frameRate > 0.0 ? index / frameRate : 0.0;
    char counter[32];
    std::snprintf(counter, sizeof counter, "FRAME %06lld", static_cast<long long>(index));
    const std::string lines[2] = {clockText(seconds), counter};

    const int scale = std::max(1, m_height / 90);
    const int lineHeight = 9 * scale;
    const int textWidth = 12 * 6 * scale - scale;
    const int pad = 2 * scale;
    const int flash = 2 * lineHeight - 2 * scale;
    const int boxWidth = textWidth + 3 * pad + flash;
    const int boxHeight = 2 * lineHeight + 2 * pad - 2 * scale;
    const int x = std::max(0, (m_width - boxWidth) / 2);
    const int y = m_height / 12;
    fillRect(x, y, boxWidth, boxHeight, 16, 128, 128);
    for (int i = 0; i < 2; ++i)
        drawText(x + pad, y + pad + i * lineHeight, scale, lines[i], 235);
    const double phase = seconds - std::floor(seconds + 1e-9);
    const bool lit = phase < kFlashSeconds - 1e-9;
    fillRect(x + 2 * pad + textWidth, y + pad, flash, flash, lit ? 235 : 48, 128, 128);
    return m_buffer.data();
}
