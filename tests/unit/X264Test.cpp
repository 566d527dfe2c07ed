#include "codec/video/X264.h"
#include "EncodedPacket.h"
#include "codec/video/VideoCodecFactory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>

extern "C" {
#include <x264.h>
}

// The exact rate and field order (the other encoders: VideoCodecTest).
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

// At 16x16 the headers outweigh the picture: the first key frame with its SEI is larger than
// the raw frame, and still fits the worst case the codec reports.
TEST(X264, ParameterSetsInTheHeaderSeiLeadsTheFirstPacketAndADrainStartsAnew)
{
    CodecPreset preset = videoPreset("X264", 16, 16);
    preset.videoCodec().preset = QStringLiteral("medium"); // look-ahead holds frames back
    std::unique_ptr<IVideoCodec> codec(VideoCodecFactory::create(QStringLiteral("X264")));
    ASSERT_TRUE(codec->initialize(&preset));
    EXPECT_EQ(nalTypes(codec->extraData(), codec->extraDataSize()), (std::vector<int>{7, 8}));

    std::vector<EncodedPacket> packets;
    for (int i = 0; i < 30; ++i) {
        const std::vector<unsigned char> frame = testFrame(PIX_NV12, 16, 16, i);
        EncodedPacket p = EncodedPacket::encode(*codec, &frame);
        if (p.produced)
            packets.push_back(std::move(p));
    }
    EXPECT_LT(packets.size(), 30u) << "frames are held back";
    for (EncodedPacket p; (p = EncodedPacket::encode(*codec, nullptr)).produced;)
        packets.push_back(std::move(p));
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
    EncodedPacket next;
    for (int i = 30; i < 80 && !next.produced; ++i) {
        const std::vector<unsigned char> frame = testFrame(PIX_NV12, 16, 16, i);
        next = EncodedPacket::encode(*codec, &frame);
    }
    ASSERT_TRUE(next.produced);
    EXPECT_EQ(next.key, 1u);
    EXPECT_EQ(next.pts, 30);
}
