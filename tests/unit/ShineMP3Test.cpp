#include "codec/audio/ShineMP3.h"

#include "AudioTestSignals.h"

#include <gtest/gtest.h>

using namespace audiotest;

namespace {

struct Mp3Case
{
    int sampleRate;
    std::vector<double> tones; // one per channel
    int bitrate;
    unsigned int frameSize;
};

// Byte length of the MPEG audio layer III frame whose header starts at p.
unsigned int frameLengthFromHeader(const unsigned char* p, int sampleRate, int bitrate)
{
    const bool mpeg1 = ((p[1] >> 3) & 0x03) == 3;
    const unsigned int padding = (p[2] >> 1) & 0x01;
    return (mpeg1 ? 144u : 72u) * static_cast<unsigned int>(bitrate) * 1000u /
               static_cast<unsigned int>(sampleRate) +
           padding;
}

} // namespace

TEST(ShineMP3, EncodesFramesThatDecodeBack)
{
    const Mp3Case cases[] = {
        {44100, {1000.0, 1500.0}, 160, 4608},
        {22050, {1000.0, 1500.0}, 64, 2304},
        {22050, {1000.0}, 64, 1152},
    };
    for (const Mp3Case& c : cases) {
        const int channels = static_cast<int>(c.tones.size());
        SCOPED_TRACE(testing::Message() << c.sampleRate << " Hz, " << channels << " channel(s)");
        CodecPreset preset = audioPreset("MP3", c.sampleRate, channels, c.bitrate);
        ShineMP3 codec;
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_EQ(codec.frameSize(), c.frameSize);
        EXPECT_EQ(codec.extraDataSize(), 0u);
        EXPECT_EQ(codec.extraData(), nullptr);

        const auto input = sineBytes(c.sampleRate, c.tones, 1.0);
        std::vector<Packet> packets;
        std::vector<unsigned char> out(64 * 1024);
        for (size_t pos = 0; pos + codec.frameSize() <= input.size(); pos += codec.frameSize()) {
            std::vector<unsigned char> chunk(input.begin() + pos,
                                             input.begin() + pos + codec.frameSize());
            unsigned int outSize = 0;
            if (codec.encode(chunk.data(), codec.frameSize(), out.data(), outSize))
                packets.emplace_back(out.begin(), out.begin() + outSize);
        }
        ASSERT_GT(packets.size(), input.size() / codec.frameSize() - 2);

        const bool mpeg1 = c.sampleRate >= 32000;
        for (const Packet& p : packets) {
            ASSERT_GE(p.size(), 4u);
            ASSERT_EQ(p[0], 0xff);
            ASSERT_EQ(p[1] & 0xe0, 0xe0);
            EXPECT_EQ((p[1] >> 3) & 0x03, mpeg1 ? 3 : 2); // MPEG version
            EXPECT_EQ((p[1] >> 1) & 0x03, 1);             // layer III
            EXPECT_EQ(p[3] >> 6, channels == 2 ? 0 : 3);  // stereo or mono
            // One whole frame per packet, nothing more.
            EXPECT_EQ(p.size(), frameLengthFromHeader(p.data(), c.sampleRate, c.bitrate));
        }

        const Decoded decoded = decode(AV_CODEC_ID_MP3, Packet(), packets);
        ASSERT_EQ(decoded.channels.size(), static_cast<size_t>(channels));
        EXPECT_EQ(decoded.sampleRate, c.sampleRate);
        const size_t length = decoded.channels[0].size();
        ASSERT_GT(length, static_cast<size_t>(c.sampleRate) * 9 / 10);
        const size_t begin = 2048, end = length - 1024;
        for (int ch = 0; ch < channels; ++ch) {
            SCOPED_TRACE(testing::Message() << "channel " << ch);
            const double f = dominantFrequency(decoded.channels[ch], begin, end, c.sampleRate);
            EXPECT_NEAR(f, c.tones[ch], c.tones[ch] * 0.02);
            EXPECT_NEAR(rms(decoded.channels[ch], begin, end), 0.5 / std::sqrt(2.0), 0.05);
        }
    }
}

TEST(ShineMP3, RejectsSettingsShineCannotEncode)
{
    struct Bad
    {
        int sampleRate, channels, bitrate;
        const char* named; // the value the warning names
    };
    const Bad cases[] = {
        {44100, 0, 128, "0 channels"}, {44100, 6, 128, "6 channels"},
        {0, 2, 128, "0 Hz"},           {44000, 2, 128, "44000 Hz"},
        {44100, 2, 0, "0 kbit/s"},     {44100, 2, 8, "8 kbit/s"}, // not an MPEG-1 rate
        {22050, 2, 320, "320 kbit/s"},                            // above MPEG-2's range
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(testing::Message()
                     << b.sampleRate << " Hz, " << b.channels << " ch, " << b.bitrate << " kbit/s");
        CodecPreset preset = audioPreset("MP3", b.sampleRate, b.channels, b.bitrate);
        ShineMP3 codec;
        WarningCapture warnings;
        EXPECT_FALSE(codec.initialize(&preset));
        EXPECT_TRUE(warnings.joined().contains(QLatin1String(b.named)))
            << warnings.joined().toStdString();
        EXPECT_EQ(codec.frameSize(), 0u);
        std::vector<unsigned char> data(4608), out(64 * 1024);
        unsigned int outSize = 0;
        EXPECT_FALSE(codec.encode(data.data(), 4608, out.data(), outSize));
    }
}

TEST(ShineMP3, ToleratesShortNullAndFullScaleInput)
{
    CodecPreset preset = audioPreset("MP3", 48000, 2, 128);
    ShineMP3 codec;
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<unsigned char> out(64 * 1024);
    unsigned int outSize = 0;
    EXPECT_FALSE(codec.encode(nullptr, codec.frameSize(), out.data(), outSize));

    std::vector<unsigned char> loud(codec.frameSize());
    for (size_t i = 0; i + 1 < loud.size(); i += 2) {
        const bool negative = (i / 4 / 24) % 2 != 0;
        loud[i] = negative ? 0x00 : 0xff;
        loud[i + 1] = negative ? 0x80 : 0x7f;
    }
    for (int i = 0; i < 10; ++i) {
        outSize = 0;
        ASSERT_TRUE(codec.encode(loud.data(), codec.frameSize(), out.data(), outSize));
        EXPECT_EQ(outSize, frameLengthFromHeader(out.data(), 48000, 128));
    }
    for (unsigned int size : {1u, 3u, 100u}) {
        std::vector<unsigned char> shortChunk(loud.begin(), loud.begin() + size);
        outSize = 0;
        EXPECT_TRUE(codec.encode(shortChunk.data(), size, out.data(), outSize));
        EXPECT_GT(outSize, 0u);
    }
}
