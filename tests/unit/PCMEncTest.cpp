#include "codec/audio/PCMEnc.h"

#include "AudioTestSignals.h"

#include <gtest/gtest.h>

using namespace audiotest;

TEST(PCMEnc, PassesChunksThroughUnchanged)
{
    for (int channels : {1, 2}) {
        SCOPED_TRACE(testing::Message() << channels << " channel(s)");
        CodecPreset preset = audioPreset("PCM", 48000, channels, 1536);
        PCMEnc codec;
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_EQ(codec.frameSize(), 1920u * channels);
        EXPECT_EQ(codec.extraDataSize(), 0u);

        std::vector<double> tones(channels, 440.0);
        const auto input = sineBytes(48000, tones, 0.1, 1.0);
        std::vector<unsigned char> out(64 * 1024, 0xee);
        for (size_t pos = 0; pos + codec.frameSize() <= input.size(); pos += codec.frameSize()) {
            std::vector<unsigned char> chunk(input.begin() + pos,
                                             input.begin() + pos + codec.frameSize());
            unsigned int outSize = 0;
            ASSERT_TRUE(codec.encode(chunk.data(), codec.frameSize(), out.data(), outSize));
            ASSERT_EQ(outSize, codec.frameSize());
            EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), out.begin()));
            EXPECT_EQ(out[outSize], 0xee); // nothing written past the packet
        }
    }
}

TEST(PCMEnc, RejectsUnsupportedSettings)
{
    for (auto [rate, channels] : {std::pair{48000, 0}, {48000, 6}, {0, 2}, {-1, 1}}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channel(s)");
        CodecPreset preset = audioPreset("PCM", rate, channels, 1536);
        PCMEnc codec;
        EXPECT_FALSE(codec.initialize(&preset));
        EXPECT_EQ(codec.frameSize(), 0u);
    }
    PCMEnc codec;
    unsigned char out[4];
    unsigned int outSize = 0;
    EXPECT_FALSE(codec.encode(nullptr, 4, out, outSize));
}
