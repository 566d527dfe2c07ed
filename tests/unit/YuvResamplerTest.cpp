#include "common/YuvResampler.h"
#include "MessageCapture.h"
#include "common/AVHandles.h"
#include "common/PixelFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// R, G, B and their BT.601 limited-range Y, U, V: red, green, blue, white, black and grey.
const int kColours[][6] = {{255, 0, 0, 81, 90, 240},  {0, 255, 0, 145, 54, 34},
                           {0, 0, 255, 41, 240, 110}, {255, 255, 255, 235, 128, 128},
                           {0, 0, 0, 16, 128, 128},   {128, 128, 128, 126, 128, 128}};

unsigned char u8(int v)
{
    return static_cast<unsigned char>(v);
}

// A flat picture, 4 bytes a pixel (B, G, R, A) or 3 (R, G, B).
Bytes rgb(int w, int h, int r, int g, int b, bool bgra = true)
{
    const Bytes pixel = bgra ? Bytes{u8(b), u8(g), u8(r), 255} : Bytes{u8(r), u8(g), u8(b)};
    Bytes px;
    for (int i = 0; i < w * h; ++i)
        px.insert(px.end(), pixel.begin(), pixel.end());
    return px;
}

// An NV12 picture whose rows above splitRow have colour top (Y, U, V) and the rest bottom.
Bytes nv12(int w, int h, const int (&top)[3], const int (&bottom)[3], int splitRow)
{
    Bytes px;
    for (int y = 0; y < h; ++y)
        px.insert(px.end(), w, u8(y < splitRow ? top[0] : bottom[0]));
    for (int y = 0; y < h; y += 2)
        for (int x = 0; x < w; x += 2) {
            const int* c = y < splitRow ? top : bottom;
            px.insert(px.end(), {u8(c[1]), u8(c[2])});
        }
    return px;
}

// Converts with conv; the picture it gives, empty when it refuses.
Bytes convert(YuvResampler& conv, const unsigned char* src, int sw, int sh, int sf, int dw, int dh,
              int df, int mode = 0, bool flip = false)
{
    if (!conv.resampleVideo(src, sw, sh, sf, nullptr, dw, dh, df, mode, flip))
        return {};
    return Bytes(conv.videoData(), conv.videoData() + conv.videoDataSize());
}

// Every step-th sample in [begin, end) lies within tolerance of expected.
void expectPlane(const Bytes& p, size_t begin, size_t end, size_t step, int expected, int tolerance,
                 const std::string& what)
{
    ASSERT_LE(end, p.size()) << what;
    for (size_t i = begin; i < end; i += step)
        ASSERT_NEAR(p[i], expected, tolerance) << what << " at " << i;
}

} // namespace

TEST(YuvResampler, KnownColoursBecomeBt601LimitedRangeNv12)
{
    const int w = 16, h = 16;
    const size_t ySize = size_t(w) * h;
    YuvResampler conv;
    for (const auto& c : kColours) {
        for (int fmt : {PIX_BGRA, PIX_RGB24}) {
            const std::string what = std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
                                     std::to_string(c[2]) + " from " + pixelFormatName(fmt);
            const Bytes src = rgb(w, h, c[0], c[1], c[2], fmt == PIX_BGRA);
            const Bytes out = convert(conv, src.data(), w, h, fmt, w, h, PIX_NV12);
            ASSERT_EQ(out.size(), ySize * 3 / 2) << what;
            expectPlane(out, 0, ySize, 1, c[3], 2, what + " Y");
            expectPlane(out, ySize, ySize * 3 / 2, 2, c[4], 2, what + " U");
            expectPlane(out, ySize + 1, ySize * 3 / 2, 2, c[5], 2, what + " V");
        }
    }
}

TEST(YuvResampler, EveryMappableFormatRoundTripsThroughNv12)
{
    // Two colours split at a row; a second pass with them exchanged shows unwritten planes.
    const int w = 64, h = 48;
    const int colours[2][3] = {{100, 90, 160}, {180, 150, 100}};
    const size_t ySize = size_t(w) * h;
    int tried = 0;
    for (int fmt = 0; fmt < PIX_FORMAT_COUNT; ++fmt) {
        if (pixelFormatToAV(fmt) < 0)
            continue;
        ++tried;
        YuvResampler to, back;
        for (int pass = 0; pass < 2; ++pass) {
            const Bytes src = nv12(w, h, colours[pass], colours[1 - pass], 16);
            const std::string name =
                std::string(pixelFormatName(fmt)) + " pass " + std::to_string(pass);
            const Bytes mid = convert(to, src.data(), w, h, PIX_NV12, w, h, fmt);
            ASSERT_EQ(int(mid.size()), pixelFormatFrameSize(fmt, w, h)) << name;
            if (fmt == PIX_YV12) // V is stored before U, the reverse of YUV420P
                expectPlane(mid, ySize + w, ySize + 3 * w / 2, 1, colours[pass][2], 3,
                            name + " V plane first");
            const Bytes out = convert(back, mid.data(), w, h, fmt, w, h, PIX_NV12);
            // Rows 4 and 40 lie well inside the two colour areas (chroma rows 2 and 20).
            for (size_t y : {4, 40}) {
                const int* c = colours[y == 4 ? pass : 1 - pass];
                const size_t uv = ySize + y / 2 * w;
                const std::string at = name + " row " + std::to_string(y);
                expectPlane(out, y * w, (y + 1) * w, 1, c[0], 3, at + " Y");
                expectPlane(out, uv, uv + w, 2, c[1], 3, at + " U");
                expectPlane(out, uv + 1, uv + w, 2, c[2], 3, at + " V");
            }
        }
    }
    EXPECT_EQ(tried, 23);
}

TEST(YuvResampler, LetterboxAndPillarboxPaintBlackBars)
{
    YuvResampler conv;
    // 16:9 into a square: 480x270 picture, bars above and below (the top one on an even row).
    const Bytes red = rgb(640, 360, 255, 0, 0);
    const Bytes out = convert(conv, red.data(), 640, 360, PIX_BGRA, 480, 480, PIX_NV12, 1);
    const size_t w = 480, ySize = w * 480;
    expectPlane(out, 0, 104 * w, 1, 16, 0, "top bar Y");
    expectPlane(out, 106 * w, 372 * w, 1, 81, 2, "picture Y");
    expectPlane(out, 375 * w, ySize, 1, 16, 0, "bottom bar Y");
    expectPlane(out, ySize, ySize + 52 * w, 1, 128, 0, "top bar chroma");
    expectPlane(out, ySize + 60 * w, ySize + 180 * w, 2, 90, 2, "picture U");
    expectPlane(out, ySize + 60 * w + 1, ySize + 180 * w, 2, 240, 2, "picture V");
    expectPlane(out, ySize + 188 * w, ySize * 3 / 2, 1, 128, 0, "bottom bar chroma");

    // A square into 16:9 RGB: 360 wide in the middle, black opaque bars left and right.
    const Bytes grey = nv12(360, 360, {126, 128, 128}, {126, 128, 128}, 360);
    const Bytes bgra = convert(conv, grey.data(), 360, 360, PIX_NV12, 640, 360, PIX_BGRA, 1);
    ASSERT_EQ(bgra.size(), 640u * 360 * 4);
    for (int x : {0, 139, 141, 320, 498, 500, 639}) {
        const unsigned char* p = &bgra[(180 * 640 + x) * 4];
        const bool bar = x < 140 || x >= 500;
        EXPECT_NEAR(p[0] + p[1] + p[2], bar ? 0 : 3 * 128, bar ? 0 : 6) << x;
        EXPECT_EQ(p[3], 255) << x;
    }
}

TEST(YuvResampler, CropTakesTheCentreUnknownModesStretchAndFlipMirrors)
{
    // The top quarter in one colour (Y 200, U 100), the rest in another (Y 50, U 150).
    const int w = 64, h = 64;
    const Bytes src = nv12(w, h, {200, 100, 150}, {50, 150, 100}, 16);
    YuvResampler conv;
    // Into half the height, crop reads rows 16 to 47, all of the second colour.
    expectPlane(convert(conv, src.data(), w, h, PIX_NV12, w, 32, PIX_NV12, 2), 0, w * 32, 1, 50, 0,
                "crop");
    // Mode 7 behaves as stretch: the top rows keep the first colour.
    expectPlane(convert(conv, src.data(), w, h, PIX_NV12, w, 32, PIX_NV12, 7), 0, w, 1, 200, 2,
                "stretch");
    for (int dst : {PIX_NV12, PIX_YUV420P}) {
        const Bytes out = convert(conv, src.data(), w, h, PIX_NV12, w, h, dst, 0, true);
        ASSERT_EQ(out.size(), size_t(w * h * 3 / 2));
        EXPECT_EQ(out[0], 50);
        EXPECT_EQ(out[w * (h - 1)], 200);
        EXPECT_EQ(out[w * h], 150) << "the first chroma row has the former bottom colour";
    }
}

TEST(YuvResampler, PaddedStridesReadLikePackedPlanes)
{
    const int w = 32, h = 16, strides[3] = {48, 24, 20};
    Bytes packed, padded;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? h / 2 : h); ++y)
            for (int x = 0; x < strides[p]; ++x) {
                const auto v = static_cast<unsigned char>(p * 80 + y * 13 + x * 7);
                padded.push_back(x < (p ? w / 2 : w) ? v : 0xEE);
                if (x < (p ? w / 2 : w))
                    packed.push_back(v);
            }
    YuvResampler a, b;
    ASSERT_TRUE(
        b.resampleVideo(padded.data(), w, h, PIX_YUV420P, strides, w, h, PIX_NV12, 0, false));
    EXPECT_EQ(Bytes(b.videoData(), b.videoData() + b.videoDataSize()),
              convert(a, packed.data(), w, h, PIX_YUV420P, w, h, PIX_NV12));
    const int narrow[3] = {31, 16, 16};
    EXPECT_FALSE(
        b.resampleVideo(padded.data(), w, h, PIX_YUV420P, narrow, w, h, PIX_NV12, 0, false));
}

TEST(YuvResampler, RejectsWhatItCannotConvertWithoutOutput)
{
    MessageCapture log;
    const Bytes src(64 * 64 * 4, 0);
    YuvResampler conv;
    auto convert = [&](const unsigned char* data, int sw, int sf, int dh, int df) {
        return conv.resampleVideo(data, sw, 16, sf, nullptr, 16, dh, df, 0, false);
    };
    // A failure leaves no stale picture behind, and a run of the same fault is reported once.
    ASSERT_TRUE(convert(src.data(), 16, PIX_NV12, 16, PIX_NV12));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(convert(src.data(), 16, PIX_UYVA, 16, PIX_NV12));
    EXPECT_EQ(conv.videoData(), nullptr);
    EXPECT_EQ(conv.videoDataSize(), 0);
    EXPECT_EQ(log.messages().size(), 1);
    EXPECT_EQ(log.count(QStringLiteral("'UYVA'")), 1) << log.messages().join('\n').toStdString();

    const int unsupported[] = {PIX_NONE, PIX_NV61,    PIX_UYVA, PIX_MJPG, PIX_H264,
                               PIX_H265, PIX_TEXTURE, -1,       99};
    for (int bad : unsupported) {
        EXPECT_FALSE(convert(src.data(), 16, bad, 16, PIX_NV12)) << bad;
        EXPECT_FALSE(convert(src.data(), 16, PIX_NV12, 16, bad)) << bad;
    }
    EXPECT_FALSE(convert(src.data(), 16, PIX_NV12, 16, PIX_V210)) << "V210 is read, not written";
    EXPECT_FALSE(convert(nullptr, 16, PIX_NV12, 16, PIX_NV12));
    EXPECT_FALSE(convert(src.data(), 0, PIX_NV12, 16, PIX_NV12));
    EXPECT_FALSE(convert(src.data(), 16, PIX_NV12, -2, PIX_NV12));
    EXPECT_FALSE(convert(src.data(), 0, PIX_V210, 16, PIX_NV12));
}

TEST(YuvResampler, ReadsV210AsLibavcodecWritesIt)
{
    const int w = 100, h = 6; // rows of three 48-pixel groups, the last one partly used
    AVFramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV422P10LE;
    frame->width = w;
    frame->height = h;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    std::vector<uint16_t> samples; // packed planes, as YuvResampler writes them
    for (int plane = 0; plane < 3; ++plane)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < (plane ? w / 2 : w); ++x) {
                samples.push_back(
                    uint16_t(64 + (x * (7 + 6 * plane) + y * (131 - 40 * plane)) % 876));
                reinterpret_cast<uint16_t*>(frame->data[plane] + y * frame->linesize[plane])[x] =
                    samples.back();
            }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_V210);
    AVCodecContextPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = w;
    encoder->height = h;
    encoder->pix_fmt = AV_PIX_FMT_YUV422P10LE;
    encoder->time_base = {1, 25};
    AVPacketPtr packet(av_packet_alloc());
    ASSERT_TRUE(avcodec_open2(encoder.get(), codec, nullptr) >= 0 &&
                avcodec_send_frame(encoder.get(), frame.get()) >= 0 &&
                avcodec_receive_packet(encoder.get(), packet.get()) >= 0);
    ASSERT_EQ(packet->size, pixelFormatFrameSize(PIX_V210, w, h));

    YuvResampler conv;
    const Bytes unpacked = convert(conv, packet->data, w, h, PIX_V210, w, h, PIX_YUV422P10);
    ASSERT_EQ(unpacked.size(), samples.size() * 2);
    const auto* out = reinterpret_cast<const uint16_t*>(unpacked.data());
    EXPECT_EQ(std::vector<uint16_t>(out, out + samples.size()), samples);
    // And on to NV12, through the scaler, at another size.
    EXPECT_FALSE(convert(conv, packet->data, w, h, PIX_V210, 64, 4, PIX_NV12).empty());
}
