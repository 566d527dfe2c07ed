#include "common/Interlace.h"
#include "common/PixelFormat.h"
#include "common/VideoQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

using Bytes = std::vector<unsigned char>;

TEST(Interlace, AlternateLineStripesBecomeFlat)
{
    // Rows of 200 and 50 blend to 125 only with weights 1-2-1 and the right strides and rows.
    struct Layout
    {
        int format;
        std::vector<std::pair<int, int>> planes; // bytes a row, rows
    };
    const Layout layouts[] = {
        {PIX_YUV420P, {{64, 36}, {32, 18}, {32, 18}}},
        {PIX_NV12, {{64, 36}, {64, 18}}},
        {PIX_YUYV, {{128, 36}}},
        {PIX_BGRA, {{256, 36}}},
    };
    for (const Layout& l : layouts) {
        Bytes px;
        for (const auto& [stride, rows] : l.planes)
            for (int y = 0; y < rows; ++y)
                px.insert(px.end(), stride, y % 2 ? 50 : 200);
        ASSERT_EQ(int(px.size()), pixelFormatFrameSize(l.format, 64, 36));
        VideoQueue frame(px.data(), 64, 36, l.format);
        Interlace filter;
        ASSERT_NE(filter.filterFrame(&frame, false, false), 0) << pixelFormatName(l.format);
        EXPECT_TRUE(filter.size() > 0 && std::all_of(filter.data(), filter.data() + filter.size(),
                                                     [](unsigned char c) { return c == 125; }))
            << pixelFormatName(l.format);
    }

    // 10-bit little-endian samples, 2x3 pixels: rows of 800 and 200 in Y, U and V give 500.
    const uint16_t wide[] = {800, 800, 200, 200, 800, 800, 800, 200, 800, 800, 200, 800};
    ASSERT_EQ(int(sizeof(wide)), pixelFormatFrameSize(PIX_YUV422P10, 2, 3));
    VideoQueue frame(wide, int(sizeof(wide)), 2, 3, PIX_YUV422P10);
    Interlace filter;
    ASSERT_NE(filter.filterFrame(&frame, false, false), 0);
    uint16_t out[12];
    std::memcpy(out, filter.data(), sizeof(out));
    EXPECT_TRUE(std::all_of(out, out + 12, [](uint16_t v) { return v == 500; }));
}

TEST(Interlace, FramesWithoutPixelsGiveNothing)
{
    Interlace filter;
    EXPECT_EQ(filter.filterFrame(nullptr, false, false), 0);
    VideoQueue empty(nullptr, 64, 32, PIX_NV12, false, nullptr);
    EXPECT_EQ(filter.filterFrame(&empty, false, false), 0);
    const Bytes bytes(64 * 32 / 2, 0xFF); // half an NV12 picture
    VideoQueue compressed(bytes.data(), int(bytes.size()), 64, 32, PIX_MJPG);
    EXPECT_EQ(filter.filterFrame(&compressed, false, false), 0);
    // A frame shorter than its size needs is refused rather than over-read.
    VideoQueue truncated(bytes.data(), int(bytes.size()), 64, 32, PIX_NV12);
    EXPECT_EQ(filter.filterFrame(&truncated, false, false), 0);
    EXPECT_EQ(filter.data(), nullptr);
}
