#include "codec/video/X264.h"
#include "EncodedPacket.h"
#include "codec/video/VideoCodecFactory.h"

#include <gtest/gtest.h>

#include <tuple>

extern "C" {
#include <x264.h>
}

// The exact rate and the field order (the other encoders: VideoCodecTest).
TEST(X264, ParametersFollowTheRecordAtTheExactRate)
{
    for (const auto& [fps, num, den, keyDistance] : kExactRates) {
        CodecModel::VideoCodec v = videoPreset("X264", 320, 240, fps).videoCodec();
        v.scanMode = static_cast<int>(fps) % 3; // progressive, top first, bottom first
        x264_param_t x;
        X264::fillParams(v, &x);
        EXPECT_EQ(std::make_tuple(x.i_fps_num, x.i_fps_den, x.i_timebase_num, x.i_timebase_den,
                                  x.i_keyint_max, x.b_interlaced, x.b_tff),
                  std::make_tuple(uint32_t(num), uint32_t(den), uint32_t(den), uint32_t(num),
                                  keyDistance, v.scanMode != 0 ? 1 : 0, v.scanMode != 2 ? 1 : 0))
            << fps;
    }
}

// At 16x16 the first key frame with its SEI outweighs the raw frame yet fits maxPacketSize().
TEST(X264, ParameterSetsInTheHeaderSeiLeadsTheFirstPacketAndADrainStartsAnew)
{
    CodecPreset preset = videoPreset("X264", 16, 16);
    preset.videoCodec().preset = QStringLiteral("medium"); // look-ahead holds frames back
    const auto codec = initialized(VideoCodecFactory::create(QStringLiteral("X264")), preset);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(nalTypes(codec->extraData(), codec->extraDataSize()), (std::vector<int>{7, 8}));
    const std::vector<EncodedPacket> calls = encodeFrames(*codec, 16, 16, 30);
    EXPECT_FALSE(calls[0].produced) << "frames are held back";
    const std::vector<EncodedPacket> packets = packetsOf(calls);
    ASSERT_EQ(packets.size(), 30u);
    EXPECT_EQ(packets.back().pts, 29);
    EXPECT_GT(packets[0].size, 16u * 16 * 4);
    EXPECT_LE(packets[0].size, codec->maxPacketSize());
    const std::vector<int> first = nalTypes(packets[0].data.data(), packets[0].size);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.front(), 6) << "the held-back SEI comes first";
    EXPECT_EQ(std::count(first.begin(), first.end(), 5), 1) << "an IDR slice";
    const std::vector<int> second = nalTypes(packets[1].data.data(), packets[1].size);
    EXPECT_EQ(std::count(second.begin(), second.end(), 6), 0) << "only the first has the SEI";

    // A frame after the drain opens a new sequence: it comes out as a key frame.
    const std::vector<EncodedPacket> next = packetsOf(encodeFrames(*codec, 16, 16, 5, -1, 30));
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next[0].key, 1u);
    EXPECT_EQ(next[0].pts, 30);
}
