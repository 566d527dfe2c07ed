#include "codec/audio/FFmpegAudio.h"

#include "AudioTestSignals.h"

#include <gtest/gtest.h>

using namespace audiotest;

namespace {

constexpr unsigned int kOutCapacity = 64 * 1024;

// Feeds chunks of frameSize() bytes from input until `wanted` sample frames have come out as
// packets (1024 each), or the input ends.
std::vector<Packet> encodeUntil(FFmpegAudio& codec, const std::vector<unsigned char>& input,
                                size_t wanted)
{
    std::vector<Packet> packets;
    std::vector<unsigned char> out(kOutCapacity);
    const unsigned int chunk = codec.frameSize();
    for (size_t pos = 0; pos + chunk <= input.size() && packets.size() * 1024 < wanted;
         pos += chunk) {
        std::vector<unsigned char> data(input.begin() + pos, input.begin() + pos + chunk);
        unsigned int outSize = 0;
        if (codec.encode(data.data(), chunk, out.data(), outSize)) {
            EXPECT_GT(outSize, 0u);
            EXPECT_LE(outSize, kOutCapacity);
            packets.emplace_back(out.begin(), out.begin() + outSize);
        }
    }
    return packets;
}

struct AacCase
{
    int sampleRate;
    std::vector<double> tones; // one per channel
    unsigned int frameSize;
    int sampleRateIndex; // in the audio-specific configuration
};

} // namespace

TEST(FFmpegAudio, EncodesToneThatDecodesBack)
{
    const AacCase cases[] = {
        {48000, {1000.0, 1500.0}, 4096, 3},
        {44100, {1000.0}, 2048, 4},
    };
    for (const AacCase& c : cases) {
        const int channels = static_cast<int>(c.tones.size());
        SCOPED_TRACE(testing::Message() << c.sampleRate << " Hz, " << channels << " channel(s)");
        CodecPreset preset = audioPreset("AAC", c.sampleRate, channels, 160);
        FFmpegAudio codec;
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_EQ(codec.frameSize(), c.frameSize);

        // Audio-specific configuration: 5 bits object type (2 = AAC LC), 4 bits sample-rate
        // index, 4 bits channel configuration.
        ASSERT_GE(codec.extraDataSize(), 2u);
        const unsigned char* asc = codec.extraData();
        EXPECT_EQ(asc[0] >> 3, 2);
        EXPECT_EQ(((asc[0] & 0x07) << 1) | (asc[1] >> 7), c.sampleRateIndex);
        EXPECT_EQ((asc[1] >> 3) & 0x0f, channels);

        const auto input = sineBytes(c.sampleRate, c.tones, 2.0);
        const auto packets = encodeUntil(codec, input, static_cast<size_t>(c.sampleRate));
        ASSERT_GE(packets.size() * 1024, static_cast<size_t>(c.sampleRate));

        const Packet header(asc, asc + codec.extraDataSize());
        const Decoded decoded = decode(AV_CODEC_ID_AAC, header, packets);
        ASSERT_EQ(decoded.channels.size(), static_cast<size_t>(channels));
        EXPECT_EQ(decoded.sampleRate, c.sampleRate);
        const size_t length = decoded.channels[0].size();
        EXPECT_NEAR(static_cast<double>(length), c.sampleRate, 1024.0);

        // Skip the encoder's priming at the start.
        const size_t begin = 4096, end = length - 1024;
        for (int ch = 0; ch < channels; ++ch) {
            SCOPED_TRACE(testing::Message() << "channel " << ch);
            const double f = dominantFrequency(decoded.channels[ch], begin, end, c.sampleRate);
            EXPECT_NEAR(f, c.tones[ch], c.tones[ch] * 0.02);
            EXPECT_NEAR(rms(decoded.channels[ch], begin, end), 0.5 / std::sqrt(2.0), 0.05);
        }
    }
}

TEST(FFmpegAudio, RejectsUnsupportedSettings)
{
    struct Bad
    {
        int sampleRate, channels, bitrate;
        const char* named; // the value the warning names; null when none is expected
    };
    const Bad cases[] = {
        {48000, 0, 160, "0 channels"}, {48000, 6, 160, "6 channels"}, {0, 2, 160, "0 Hz"},
        {-44100, 2, 160, "-44100 Hz"}, {48000, 2, 0, "0 kbit/s"},     {1234, 2, 160, nullptr},
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(testing::Message()
                     << b.sampleRate << " Hz, " << b.channels << " ch, " << b.bitrate << " kbit/s");
        CodecPreset preset = audioPreset("AAC", b.sampleRate, b.channels, b.bitrate);
        FFmpegAudio codec;
        WarningCapture warnings;
        EXPECT_FALSE(codec.initialize(&preset));
        if (b.named) {
            EXPECT_TRUE(warnings.joined().contains(QLatin1String(b.named)))
                << warnings.joined().toStdString();
        }
        EXPECT_EQ(codec.frameSize(), 0u);
        std::vector<unsigned char> data(4096), out(kOutCapacity);
        unsigned int outSize = 0;
        EXPECT_FALSE(codec.encode(data.data(), 4096, out.data(), outSize));
    }

    // The codec name picks the libavcodec encoder.
    CodecPreset preset = audioPreset("no such codec", 48000, 2, 160);
    FFmpegAudio codec;
    EXPECT_FALSE(codec.initialize(&preset));
}

TEST(FFmpegAudio, ToleratesShortNullAndFullScaleInput)
{
    CodecPreset preset = audioPreset("AAC", 48000, 2, 128);
    FFmpegAudio codec;
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<unsigned char> out(kOutCapacity);
    unsigned int outSize = 0;

    EXPECT_FALSE(codec.encode(nullptr, codec.frameSize(), out.data(), outSize));

    // Full scale both ways, -32768 included: packets keep coming and stay small.
    std::vector<unsigned char> loud(codec.frameSize());
    for (size_t i = 0; i + 1 < loud.size(); i += 2) {
        const bool negative = (i / 4 / 24) % 2 != 0; // a 1 kHz square wave at 48 kHz
        loud[i] = negative ? 0x00 : 0xff;
        loud[i + 1] = negative ? 0x80 : 0x7f;
    }
    int packets = 0;
    for (int i = 0; i < 20; ++i) {
        outSize = 0;
        if (codec.encode(loud.data(), codec.frameSize(), out.data(), outSize)) {
            ++packets;
            EXPECT_GT(outSize, 0u);
            EXPECT_LT(outSize, 8192u);
        }
    }
    EXPECT_GE(packets, 17);

    // A short chunk is read only as far as it goes (the sanitizer build checks the reads).
    for (unsigned int size : {0u, 1u, 3u, 100u}) {
        std::vector<unsigned char> shortChunk(loud.begin(), loud.begin() + size);
        codec.encode(shortChunk.empty() ? loud.data() : shortChunk.data(), size, out.data(),
                     outSize);
    }
}
