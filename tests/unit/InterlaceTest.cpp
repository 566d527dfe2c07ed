#include "common/Interlace.h"
#include "common/PixelFormat.h"
#include "common/VideoQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A frame whose rows alternate between two byte values in every plane; luma plane and
// chroma planes alike (the whole packed buffer is striped row by row of each plane).
struct Plane
{
    size_t offset;
    int stride;
    int rows;
};

std::vector<Plane> planes(int format, int w, int h)
{
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const size_t luma = size_t(w) * h;
    switch (format) {
    case PIX_YUV420P:
        return {{0, w, h}, {luma, cw, ch}, {luma + size_t(cw) * ch, cw, ch}};
    case PIX_NV12:
        return {{0, w, h}, {luma, 2 * cw, ch}};
    case PIX_YUV422P10:
        return {{0, 2 * w, h}, {luma * 2, 2 * cw, h}, {luma * 2 + size_t(2 * cw) * h, 2 * cw, h}};
    case PIX_YUYV:
        return {{0, 4 * cw, h}};
    case PIX_BGRA:
        return {{0, 4 * w, h}};
    default:
        return {};
    }
}

Bytes striped(int format, int w, int h, int even, int odd)
{
    Bytes px(pixelFormatFrameSize(format, w, h));
    const bool wide = format == PIX_YUV422P10;
    for (const Plane& p : planes(format, w, h))
        for (int y = 0; y < p.rows; ++y) {
            unsigned char* row = px.data() + p.offset + size_t(y) * p.stride;
            const int v = y % 2 ? odd : even;
            for (int x = 0; x < p.stride; x += wide ? 2 : 1) {
                row[x] = static_cast<unsigned char>(v & 0xFF);
                if (wide)
                    row[x + 1] = static_cast<unsigned char>(v >> 8);
            }
        }
    return px;
}

int sampleAt(const unsigned char* data, int format, const Plane& p, int x, int y)
{
    const unsigned char* s = data + p.offset + size_t(y) * p.stride;
    return format == PIX_YUV422P10 ? s[2 * x] | (s[2 * x + 1] << 8) : s[x];
}

} // namespace

TEST(Interlace, AlternateLineStripesBecomeFlat)
{
    const int w = 64, h = 36;
    for (int format : {PIX_YUV420P, PIX_NV12, PIX_YUYV, PIX_BGRA, PIX_YUV422P10}) {
        const bool wide = format == PIX_YUV422P10;
        const int even = wide ? 800 : 200, odd = wide ? 200 : 50, flat = wide ? 500 : 125;
        Bytes px = striped(format, w, h, even, odd);
        VideoQueue frame(px.data(), w, h, format, false, nullptr);

        Interlace filter;
        ASSERT_NE(filter.filterFrame(&frame, false, false), 0) << pixelFormatName(format);
        EXPECT_EQ(filter.size(), frame.size());
        EXPECT_EQ(filter.width(), w);
        EXPECT_EQ(filter.height(), h);
        EXPECT_EQ(filter.format(), format);
        for (const Plane& p : planes(format, w, h)) {
            const int samples = wide ? p.stride / 2 : p.stride;
            for (int y = 1; y + 1 < p.rows; ++y)
                for (int x = 0; x < samples; ++x)
                    ASSERT_EQ(sampleAt(filter.data(), format, p, x, y), flat)
                        << pixelFormatName(format) << " plane at " << p.offset << " x " << x
                        << " y " << y;
        }
    }
}

TEST(Interlace, WeightsRowsOneTwoOneAndKeepsFlatAreas)
{
    // Top half 200, bottom half 40: rows away from the edge keep their value, the two rows at
    // the edge become (200 + 2*200 + 40) / 4 = 160 and (200 + 2*40 + 40) / 4 = 80.
    const int w = 16, h = 16;
    Bytes px(pixelFormatFrameSize(PIX_YUV420P, w, h), 128);
    std::fill_n(px.begin(), w * h / 2, 200);
    std::fill_n(px.begin() + w * h / 2, w * h / 2, 40);
    VideoQueue frame(px.data(), w, h, PIX_YUV420P, false, nullptr);
    Interlace filter;
    ASSERT_NE(filter.filterFrame(&frame, false, false), 0);
    const unsigned char* out = filter.data();
    const int expected[] = {200, 200, 200, 200, 200, 200, 200, 160, 80, 40, 40, 40, 40, 40, 40, 40};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(out[y * w + x], expected[y]) << "x " << x << " y " << y;
    EXPECT_TRUE(
        std::all_of(out + w * h, out + filter.size(), [](unsigned char c) { return c == 128; }));
}

TEST(Interlace, FramesWithoutPixelsGiveNothing)
{
    Interlace filter;
    EXPECT_EQ(filter.filterFrame(nullptr, false, false), 0);
    EXPECT_EQ(filter.data(), nullptr);

    VideoQueue empty(nullptr, 64, 32, PIX_NV12, false, nullptr);
    EXPECT_EQ(filter.filterFrame(&empty, false, false), 0);

    const Bytes jpeg(1000, 0xFF);
    VideoQueue compressed(jpeg.data(), int(jpeg.size()), 64, 32, PIX_MJPG);
    EXPECT_EQ(filter.filterFrame(&compressed, false, false), 0);

    // A frame shorter than its size needs is refused rather than over-read.
    const Bytes half(64 * 32 / 2, 0);
    VideoQueue truncated(half.data(), int(half.size()), 64, 32, PIX_NV12);
    EXPECT_EQ(filter.filterFrame(&truncated, false, false), 0);
    EXPECT_EQ(filter.data(), nullptr);
    EXPECT_EQ(filter.size(), 0);

    // One-row pictures blend with themselves.
    Bytes line(pixelFormatFrameSize(PIX_BGRA, 8, 1), 77);
    VideoQueue single(line.data(), 8, 1, PIX_BGRA, false, nullptr);
    ASSERT_NE(filter.filterFrame(&single, false, false), 0);
    EXPECT_TRUE(std::all_of(filter.data(), filter.data() + filter.size(),
                            [](unsigned char c) { return c == 77; }));
}
