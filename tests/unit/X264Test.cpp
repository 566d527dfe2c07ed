#include "codec/video/X264.h"

extern "C" {
#include <x264.h>
}
#include "EncodedPacket.h"
#include "MessageCapture.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"

#include <cstdarg>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

CodecPreset x264Preset(int width = 320, int height = 240, double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 800;
    v.keyframeInterval = 2;
    v.preset = QStringLiteral("ultrafast");
    v.tune = QStringLiteral("zerolatency");
    return p;
}

// A grey NV12 picture with a moving square so that frames differ.
std::vector<unsigned char> nv12Frame(int width, int height, int index)
{
    std::vector<unsigned char> f(width * height * 3 / 2, 128);
    for (int y = 0; y < 32 && y < height; ++y)
        for (int x = 0; x < 32 && x < width; ++x)
            f[y * width + (x + index * 3) % width] = 235;
    return f;
}

using Packet = EncodedPacket;

Packet encodeOne(IVideoCodec& codec, int width, int height, int index)
{
    return EncodedPacket::encode(codec, nv12Frame(width, height, index), PIX_NV12, width, height);
}

void callLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    X264::logCallback(nullptr, 0, format, args);
    va_end(args);
}

} // namespace

TEST(X264, FactoryMatchesExactName)
{
    std::unique_ptr<IVideoCodec> codec(IEncoder::createVideoEncoder(QStringLiteral("X264")));
    ASSERT_NE(codec, nullptr);
    EXPECT_NE(dynamic_cast<X264*>(codec.get()), nullptr);
    EXPECT_EQ(codec->supportFormat(), PIX_NV12);
    EXPECT_FALSE(codec->isHWTextureSupport());
    EXPECT_EQ(IEncoder::createVideoEncoder(QStringLiteral("x264")), nullptr);
    EXPECT_EQ(IEncoder::createVideoEncoder(QString()), nullptr);
    EXPECT_EQ(IEncoder::createVideoEncoder(QStringLiteral("X264 ")), nullptr);
}

TEST(X264, FrameRateBecomesThousandthFraction)
{
    struct Case
    {
        double fps;
        uint32_t num, den;
    };
    for (const Case& c :
         {Case{25, 25000, 1000}, Case{29.97, 30000, 1001}, Case{23.976, 24000, 1001},
          Case{12.5, 13000, 1001}, Case{60, 60000, 1000}, Case{59.94, 60000, 1001}}) {
        CodecModel::VideoCodec v = x264Preset().videoCodec();
        v.frameRate = c.fps;
        x264_param_t param;
        X264::fillParams(v, &param);
        EXPECT_EQ(param.i_fps_num, c.num) << c.fps;
        EXPECT_EQ(param.i_fps_den, c.den) << c.fps;
        EXPECT_EQ(param.i_timebase_num, c.den) << c.fps;
        EXPECT_EQ(param.i_timebase_den, c.num) << c.fps;
    }
}

TEST(X264, ParametersFollowTheVideoRecord)
{
    CodecModel::VideoCodec v = x264Preset().videoCodec();
    x264_param_t param;

    v.frameRate = 29.97;
    v.keyframeInterval = 2;
    X264::fillParams(v, &param);
    EXPECT_EQ(param.i_keyint_max, 59); // truncated, not rounded
    EXPECT_EQ(param.rc.i_rc_method, X264_RC_ABR);
    EXPECT_EQ(param.rc.i_bitrate, 800);
    EXPECT_EQ(param.i_bframe, 0);
    EXPECT_EQ(param.i_frame_reference, 1);
    EXPECT_EQ(param.b_interlaced, 0);
    EXPECT_EQ(param.b_vfr_input, 0);
    EXPECT_EQ(param.b_annexb, 1);
    EXPECT_EQ(param.b_repeat_headers, 1);

    v.keyframeInterval = 0;
    X264::fillParams(v, &param);
    EXPECT_EQ(param.i_keyint_max, 0);

    for (int scan : {1, 2}) {
        v.scanMode = scan;
        X264::fillParams(v, &param);
        EXPECT_EQ(param.b_interlaced, 1) << scan;
    }

    EXPECT_STREQ(X264::profileName(77), "main");
    EXPECT_STREQ(X264::profileName(88), "high");
    EXPECT_STREQ(X264::profileName(100), "high");
    EXPECT_STREQ(X264::profileName(66), "baseline");
    EXPECT_STREQ(X264::profileName(0), "baseline");
    EXPECT_STREQ(X264::profileName(110), "baseline");
}

TEST(X264, HeadersAreParameterSetsAndSeiLeadsTheFirstPacket)
{
    X264 codec;
    CodecPreset preset = x264Preset();
    ASSERT_TRUE(codec.initialize(&preset));

    ASSERT_GT(codec.extraDataSize(), 8u);
    const unsigned char* h = codec.extraData();
    EXPECT_TRUE((h[0] == 0 && h[1] == 0 && h[2] == 0 && h[3] == 1) ||
                (h[0] == 0 && h[1] == 0 && h[2] == 1));
    EXPECT_EQ(nalTypes(h, codec.extraDataSize()), (std::vector<int>{7, 8}));

    const Packet first = encodeOne(codec, 320, 240, 0);
    ASSERT_TRUE(first.produced);
    EXPECT_EQ(first.key, 1u);
    EXPECT_EQ(first.pts, 0);
    const std::vector<int> types = nalTypes(first.data.data(), first.size);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.front(), 6) << "the held-back SEI comes first";
    EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end()) << "an IDR slice follows";

    const Packet second = encodeOne(codec, 320, 240, 1);
    ASSERT_TRUE(second.produced);
    EXPECT_EQ(second.key, 0u);
    EXPECT_EQ(second.pts, 1);
    const std::vector<int> later = nalTypes(second.data.data(), second.size);
    EXPECT_EQ(std::count(later.begin(), later.end(), 6), 0) << "only the first packet has the SEI";
}

TEST(X264, KeyFramesFollowTheInterval)
{
    X264 codec;
    CodecPreset preset = x264Preset(160, 120, 30.0);
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<int> keys;
    for (int i = 0; i < 150; ++i) {
        const Packet p = encodeOne(codec, 160, 120, i);
        ASSERT_TRUE(p.produced) << "zerolatency gives one packet per frame, frame " << i;
        EXPECT_EQ(p.pts, i);
        if (p.key)
            keys.push_back(i);
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 60, 120}));
}

TEST(X264, HeldBackFrameLeavesOutputsUntouched)
{
    X264 codec;
    CodecPreset preset = x264Preset();
    preset.videoCodec().tune.clear(); // default lookahead: the first frames are held back
    preset.videoCodec().preset = QStringLiteral("medium");
    ASSERT_TRUE(codec.initialize(&preset));
    const Packet p = encodeOne(codec, 320, 240, 0);
    EXPECT_FALSE(p.produced);
    EXPECT_EQ(p.size, 0u);
    EXPECT_EQ(p.key, 0u);
    EXPECT_EQ(p.pts, -1);
    EXPECT_EQ(p.dts, -1);
}

TEST(X264, BadSettingsFailInitializeWithAWarning)
{
    struct Case
    {
        int width, height;
        double fps;
        int bitrate;
    };
    for (const Case& c : {Case{0, 240, 30, 800}, Case{320, 0, 30, 800}, Case{321, 240, 30, 800},
                          Case{320, 241, 30, 800}, Case{320, 240, 0, 800}, Case{320, 240, -25, 800},
                          Case{320, 240, 30, 0}, Case{-320, 240, 30, 800}}) {
        MessageCapture log;
        X264 codec;
        CodecPreset preset = x264Preset(c.width, c.height, c.fps);
        preset.videoCodec().bitrate = c.bitrate;
        EXPECT_FALSE(codec.initialize(&preset)) << c.width << "x" << c.height << "@" << c.fps;
        EXPECT_EQ(log.count(QStringLiteral("warning: x264: cannot encode")), 1);
        // A codec that did not open encodes nothing and does not crash.
        const Packet p = encodeOne(codec, 320, 240, 0);
        EXPECT_FALSE(p.produced);
        EXPECT_EQ(codec.extraDataSize(), 0u);
    }
}

TEST(X264, LogHookDropsVbvUnderflowAndPrefixesTheRest)
{
    MessageCapture log;
    callLog("frame I:%d Avg QP:%5.2f\n", 1, 20.0);
    callLog("VBV underflow (frame %d, %.0f bits)\n", 4, 1234.0);
    const QStringList messages = log.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QStringLiteral("debug: x264 frame I:1 Avg QP:20.00\n"));
}

TEST(X264, DrainingHandsOutEveryHeldFrameAndALaterFrameStartsAnew)
{
    X264 codec;
    CodecPreset preset = x264Preset();
    preset.videoCodec().tune.clear(); // look-ahead and frame threads hold frames back
    preset.videoCodec().preset = QStringLiteral("medium");
    ASSERT_TRUE(codec.initialize(&preset));
    int packets = 0;
    for (int i = 0; i < 30; ++i)
        packets += encodeOne(codec, 320, 240, i).produced ? 1 : 0;
    EXPECT_LT(packets, 30);

    std::vector<unsigned char> out(320 * 240 * 4);
    std::vector<long long> drainedPts;
    for (;;) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        if (!codec.encode(nullptr, 0, PIX_NV12, out.data(), size, key, pts, dts))
            break;
        ASSERT_GT(size, 0u);
        drainedPts.push_back(pts);
        ASSERT_LT(drainedPts.size(), 100u);
    }
    EXPECT_EQ(packets + static_cast<int>(drainedPts.size()), 30);
    ASSERT_FALSE(drainedPts.empty());
    EXPECT_EQ(drainedPts.back(), 29);

    // A frame after the drain opens a new sequence: it comes out (eventually) as a key frame.
    Packet next;
    for (int i = 30; i < 80 && !next.produced; ++i)
        next = encodeOne(codec, 320, 240, i);
    ASSERT_TRUE(next.produced);
    EXPECT_EQ(next.key, 1u);
    EXPECT_EQ(next.pts, 30);
}
