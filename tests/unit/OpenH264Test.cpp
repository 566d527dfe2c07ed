#include "codec/video/OpenH264.h"
#include "EncodedPacket.h"
#include "H264Decoder.h"
#include "MessageCapture.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

CodecPreset openH264Preset(int width = 320, int height = 240, double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("H264");
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 600;
    v.keyframeInterval = 2;
    return p;
}

using Packet = EncodedPacket;

Packet encodeOne(IVideoCodec& codec, const std::vector<unsigned char>& frame, int width, int height)
{
    return EncodedPacket::encode(codec, frame, PIX_YUV420P, width, height);
}

bool contains(const std::vector<int>& v, int value)
{
    return std::find(v.begin(), v.end(), value) != v.end();
}

} // namespace

TEST(OpenH264, FactoryGivesOpenH264ForH264)
{
    std::unique_ptr<IVideoCodec> codec(IEncoder::createVideoEncoder(QStringLiteral("H264")));
    ASSERT_NE(codec, nullptr);
    EXPECT_NE(dynamic_cast<OpenH264*>(codec.get()), nullptr);
    EXPECT_EQ(codec->supportFormat(), PIX_YUV420P);
    EXPECT_FALSE(codec->isHWTextureSupport());
    EXPECT_EQ(codec->extraDataSize(), 0u);
    EXPECT_EQ(codec->extraData(), nullptr);
    EXPECT_EQ(IEncoder::createVideoEncoder(QStringLiteral("h264")), nullptr);
}

TEST(OpenH264, ParametersFollowTheVideoRecord)
{
    CodecModel::VideoCodec v = openH264Preset().videoCodec();
    v.frameRate = 29.97;
    v.keyframeInterval = 2;
    SEncParamExt param = {};
    OpenH264::fillParams(v, &param);
    EXPECT_EQ(param.uiIntraPeriod, 59u) << "2 s at 29.97 fps, truncated";
    EXPECT_EQ(param.iTargetBitrate, 600000);
    EXPECT_EQ(param.iMaxBitrate, 600000);
    EXPECT_EQ(param.iRCMode, RC_BITRATE_MODE);
    EXPECT_FLOAT_EQ(param.fMaxFrameRate, 29.97f);
    EXPECT_EQ(param.iEntropyCodingModeFlag, 1);
    EXPECT_FALSE(param.bEnableFrameSkip);
    EXPECT_EQ(param.eSpsPpsIdStrategy, CONSTANT_ID);
    EXPECT_EQ(param.sSpatialLayers[0].uiProfileIdc, PRO_MAIN);
    EXPECT_EQ(param.sSpatialLayers[0].iSpatialBitrate, 600000);
    EXPECT_EQ(param.sSpatialLayers[0].sSliceArgument.uiSliceMode, SM_SINGLE_SLICE);
    EXPECT_EQ(param.sSpatialLayers[0].iVideoWidth, 320);

    for (int profile : {0, 1, 2, 7}) {
        v.codecProfile = profile;
        OpenH264::fillParams(v, &param);
        EXPECT_EQ(param.iComplexityMode, profile ? HIGH_COMPLEXITY : LOW_COMPLEXITY) << profile;
    }
}

TEST(OpenH264, ParameterSetsTravelOnlyInTheGlobalHeader)
{
    OpenH264 codec;
    CodecPreset preset = openH264Preset();
    ASSERT_TRUE(codec.initialize(&preset));

    ASSERT_GT(codec.extraDataSize(), 8u);
    const unsigned char* h = codec.extraData();
    EXPECT_TRUE((h[0] == 0 && h[1] == 0 && h[2] == 0 && h[3] == 1));
    EXPECT_EQ(nalTypes(h, codec.extraDataSize()), (std::vector<int>{7, 8}));

    const Packet first = encodeOne(codec, yuv420Frame(320, 240, 0), 320, 240);
    ASSERT_TRUE(first.produced);
    EXPECT_EQ(first.key, 1u);
    EXPECT_EQ(first.pts, -1) << "time stamps are not written";
    EXPECT_EQ(first.dts, -1);
    const std::vector<int> types = nalTypes(first.data.data(), first.size);
    EXPECT_TRUE(contains(types, 5)) << "IDR slice";
    EXPECT_FALSE(contains(types, 7)) << "no SPS in the packet";
    EXPECT_FALSE(contains(types, 8)) << "no PPS in the packet";

    // Without the global header the packet alone does not decode; with it, it does.
    H264Decoder bare;
    bare.decode(first.data.data(), first.size);
    EXPECT_TRUE(bare.flush().empty());
}

TEST(OpenH264, StreamHasIdrEveryIntraPeriodAndDecodes)
{
    // 2 s at 29.97 fps: IDR pictures at frames 0 and 59.
    OpenH264 codec;
    CodecPreset preset = openH264Preset(320, 240, 29.97);
    ASSERT_TRUE(codec.initialize(&preset));
    const std::vector<unsigned char> header(codec.extraData(),
                                            codec.extraData() + codec.extraDataSize());

    H264Decoder decoder;
    std::vector<H264Decoder::Picture> pictures;
    std::vector<int> keys;
    const int frames = 70;
    for (int i = 0; i < frames; ++i) {
        const Packet p = encodeOne(codec, yuv420Frame(320, 240, i), 320, 240);
        ASSERT_TRUE(p.produced) << "frame skipping is off, frame " << i;
        ASSERT_GT(p.size, 0u);
        const std::vector<int> types = nalTypes(p.data.data(), p.size);
        EXPECT_FALSE(contains(types, 7) || contains(types, 8)) << "frame " << i;
        if (p.key) {
            keys.push_back(i);
            EXPECT_TRUE(contains(types, 5)) << "frame " << i;
        } else {
            EXPECT_EQ(p.key, 0u);
            EXPECT_TRUE(contains(types, 1)) << "non-IDR slice in frame " << i;
        }
        std::vector<unsigned char> unit;
        if (i == 0)
            unit = header; // as a muxer writes the global header ahead of the stream
        unit.insert(unit.end(), p.data.begin(), p.data.end());
        for (auto& pic : decoder.decode(unit.data(), unit.size()))
            pictures.push_back(std::move(pic));
    }
    for (auto& pic : decoder.flush())
        pictures.push_back(std::move(pic));

    EXPECT_EQ(keys, (std::vector<int>{0, 59}));
    ASSERT_EQ(pictures.size(), static_cast<size_t>(frames));
    for (const auto& pic : pictures) {
        EXPECT_EQ(pic.width, 320);
        EXPECT_EQ(pic.height, 240);
    }
    EXPECT_TRUE(pictures[0].key);
    EXPECT_TRUE(pictures[59].key);
    EXPECT_FALSE(pictures[1].key);
    // The square is bright where it was drawn: the decode is the picture, not garbage.
    EXPECT_GT(pictures[10].y[20 * 320 + 40 + 8], 180);
    EXPECT_NEAR(pictures[10].y[200 * 320 + 200], 128, 12);
}

TEST(OpenH264, BadSettingsFailInitializeWithAWarning)
{
    struct Case
    {
        int width, height;
        double fps;
        int bitrate;
        const char* value; // what the warning names
    };
    for (const Case& c :
         {Case{0, 240, 30, 600, "0x240"}, Case{320, -2, 30, 600, "320x-2"},
          Case{321, 240, 30, 600, "321x240"}, Case{320, 239, 30, 600, "320x239"},
          Case{320, 240, 0, 600, "at 0 fps"}, Case{320, 240, -30, 600, "at -30 fps"},
          Case{320, 240, 30, 0, "and 0 kbit/s"}}) {
        MessageCapture log;
        OpenH264 codec;
        CodecPreset preset = openH264Preset(c.width, c.height, c.fps);
        preset.videoCodec().bitrate = c.bitrate;
        EXPECT_FALSE(codec.initialize(&preset)) << c.value;
        EXPECT_EQ(log.count(QStringLiteral("warning: OpenH264: cannot encode")), 1) << c.value;
        EXPECT_EQ(log.count(QLatin1String(c.value)), 1) << c.value;
        EXPECT_FALSE(encodeOne(codec, yuv420Frame(320, 240, 0), 320, 240).produced);
        EXPECT_EQ(codec.extraDataSize(), 0u);
    }
}

TEST(OpenH264, EncodeNeedsAnOpenEncoderAndAWholeFrame)
{
    OpenH264 closed;
    EXPECT_FALSE(encodeOne(closed, yuv420Frame(320, 240, 0), 320, 240).produced);

    OpenH264 codec;
    CodecPreset preset = openH264Preset();
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<unsigned char> shortFrame = yuv420Frame(320, 240, 0);
    shortFrame.resize(shortFrame.size() - 1);
    const Packet p = encodeOne(codec, shortFrame, 320, 240);
    EXPECT_FALSE(p.produced);
    EXPECT_EQ(p.size, 0u);
    // A later frame larger than the frame size is read only up to the frame size.
    std::vector<unsigned char> longFrame = yuv420Frame(320, 240, 1);
    longFrame.resize(longFrame.size() * 2, 0);
    EXPECT_TRUE(encodeOne(codec, longFrame, 320, 240).produced);
}
