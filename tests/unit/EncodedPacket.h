#pragma once

#include "MessageCapture.h"
#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

// Shared by the codec tests: records, the moving test picture in every input format, and
// encode calls as the pipeline makes them.

// A codec fresh from its factory set up for the preset. Without a `problem` initialize() must
// succeed; with one it must fail with exactly one warning, which names the problem. Null when
// it went otherwise.
template <class Codec>
std::unique_ptr<Codec> initialized(Codec* created, CodecPreset preset,
                                   const char* problem = nullptr)
{
    std::unique_ptr<Codec> codec(created);
    MessageCapture log;
    const bool asExpected = codec && codec->initialize(&preset) == !problem;
    EXPECT_TRUE(asExpected) << (problem ? problem : "should open");
    if (problem) {
        EXPECT_EQ(log.count(QLatin1String(problem)), 1) << log.messages().join('\n').toStdString();
        EXPECT_EQ(log.count(QStringLiteral("warning: ")), 1);
    }
    return asExpected ? std::move(codec) : nullptr;
}

inline CodecPreset videoPreset(const char* codec, int width = 320, int height = 240,
                               double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QString::fromLatin1(codec);
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 1500;
    v.keyframeInterval = 2;
    p.container().format = QStringLiteral("mov");
    return p;
}

// Grey picture with a bright 32x32 square at x = 4 * index (wrapping), rows 16..47, so that
// predicted pictures carry motion. Luma 230 on 128 (8 bits), 900 on 512 (10 bits); in ARGB the
// square's red is 250 and the background a gradient, so that run-length coding has work.
inline std::vector<unsigned char> testFrame(int format, int w, int h, int index)
{
    const size_t pixels = static_cast<size_t>(w) * h;
    auto inSquare = [&](int x, int y) {
        return y >= 16 && y < 48 && ((x - index * 4) % w + w) % w < 32;
    };
    std::vector<unsigned char> f;
    if (format == PIX_ARGB) {
        f.resize(pixels * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                unsigned char* p = &f[(static_cast<size_t>(y) * w + x) * 4];
                p[0] = 255;
                p[1] = inSquare(x, y) ? 250 : static_cast<unsigned char>(x);
                p[2] = static_cast<unsigned char>(y);
                p[3] = static_cast<unsigned char>(index);
            }
    } else if (format == PIX_YUV422P10) {
        f.resize(pixels * 4);
        auto* s = reinterpret_cast<uint16_t*>(f.data());
        for (size_t i = 0; i < 2 * pixels; ++i)
            s[i] = i < pixels && inSquare(static_cast<int>(i % w), static_cast<int>(i / w)) ? 900
                                                                                            : 512;
    } else { // YUV420P and NV12 agree when the chroma is flat
        f.assign(pixels * 3 / 2, 128);
        for (size_t i = 0; i < pixels; ++i)
            if (inSquare(static_cast<int>(i % w), static_cast<int>(i / w)))
                f[i] = 230;
    }
    return f;
}

// Frame rates, their exact fractions (NTSC rates as N*1000/1001) and 2 s in whole frames.
struct ExactRate
{
    double fps;
    int num, den, keyDistance;
};
inline const ExactRate kExactRates[] = {{25, 25, 1, 50},           {29.97, 30000, 1001, 59},
                                        {23.976, 24000, 1001, 47}, {12.5, 25, 2, 25},
                                        {7.5, 15, 2, 15},          {0.9, 9, 10, 1},
                                        {59.94, 60000, 1001, 119}, {119.88, 120000, 1001, 239}};

// One call of IVideoCodec::encode as the pipeline makes it (null frame: a drain call).
struct EncodedPacket
{
    bool produced = false;
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    std::vector<unsigned char> data;

    static EncodedPacket encode(IVideoCodec& codec, const std::vector<unsigned char>* frame,
                                unsigned int capacity = 0)
    {
        std::vector<unsigned char> out(std::max(1u, capacity ? capacity : codec.maxPacketSize()));
        EncodedPacket p;
        p.produced = codec.encode(
            frame ? const_cast<unsigned char*>(frame->data()) : nullptr,
            frame ? static_cast<unsigned int>(frame->size()) : 0, codec.supportFormat(), out.data(),
            static_cast<unsigned int>(out.size()), p.size, p.key, p.pts, p.dts);
        p.data.assign(out.begin(), out.begin() + p.size);
        return p;
    }
};

// Calls encode(call, out, capacity, size) (the codec fed or drained as the call number says)
// into a buffer of `capacity` bytes until the codec warns that its packet does not fit: every
// call must fail with nothing written, and no byte past the capacity may change.
template <class Encode> void expectPacketRefusedWhenTooLarge(unsigned int capacity, Encode encode)
{
    MessageCapture log;
    std::vector<unsigned char> out(capacity + 1024, 0xAB);
    for (int i = 0; i < 200 && log.count(QStringLiteral("does not fit")) == 0; ++i) {
        unsigned int size = 0;
        EXPECT_FALSE(encode(i, out.data(), capacity, size));
        EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(log.count(QStringLiteral("-byte output buffer")), 1);
    EXPECT_EQ(log.count(QStringLiteral("does not fit the %1-byte output buffer").arg(capacity)), 1);
    for (size_t i = capacity; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xAB) << "byte " << i << " written past the capacity";
}

// NAL unit types of an Annex B buffer, in order.
inline std::vector<int> nalTypes(const unsigned char* data, size_t size)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            types.push_back(data[i + 3] & 0x1f);
            i += 2;
        }
    }
    return types;
}
