#include "AudioTestSignals.h"
#include "EncodedPacket.h"
#include "codec/audio/AudioCodecFactory.h"
#include "codec/audio/IAudioCodec.h"

#include <gtest/gtest.h>

#include <memory>

using namespace audiotest;

namespace {

struct AudioCase
{
    const char* name;
    int sampleRate;
    std::vector<double> tones; // one per channel
    int bitrate;
    unsigned int frameSize;
    AVCodecID decoder;
};

void PrintTo(const AudioCase& c, std::ostream* os)
{
    *os << c.name << " " << c.sampleRate << " Hz " << c.tones.size() << " ch";
}

// One encode call; null data drains.
bool encodeChunk(IAudioCodec& codec, const unsigned char* data, unsigned int size,
                 std::vector<Packet>& packets)
{
    std::vector<unsigned char> out(codec.maxPacketSize());
    unsigned int outSize = 0;
    if (!codec.encode(const_cast<unsigned char*>(data), size, out.data(),
                      static_cast<unsigned int>(out.size()), outSize))
        return false;
    EXPECT_GT(outSize, 0u);
    packets.emplace_back(out.begin(), out.begin() + outSize);
    return true;
}

// Feeds whole chunks of input, then drains; returns the number of chunks fed.
size_t encodeAndDrain(IAudioCodec& codec, const std::vector<unsigned char>& input,
                      std::vector<Packet>& packets)
{
    const unsigned int chunk = codec.frameSize();
    size_t chunks = 0;
    for (size_t pos = 0; pos + chunk <= input.size(); pos += chunk, ++chunks)
        encodeChunk(codec, input.data() + pos, chunk, packets);
    for (int i = 0; i < 16 && encodeChunk(codec, nullptr, 0, packets); ++i) {
    }
    EXPECT_FALSE(encodeChunk(codec, nullptr, 0, packets)) << "drained codecs hold nothing";
    return chunks;
}

using AudioCodecs = ::testing::TestWithParam<AudioCase>;

} // namespace

// Tones go in, the packets (drained at the end) decode to the same tones and every input
// sample comes out; a chunk after the drain starts a new stream.
TEST_P(AudioCodecs, DrainedPacketsDecodeToTheInputTonesAndTooSmallBuffersAreRefused)
{
    const AudioCase& c = GetParam();
    const int channels = static_cast<int>(c.tones.size());
    const auto codec = initialized(AudioCodecFactory::create(c.name),
                                   audioPreset(c.name, c.sampleRate, channels, c.bitrate));
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->frameSize(), c.frameSize);
    const unsigned int samplesPerChunk = c.frameSize / 2 / channels;

    std::vector<Packet> packets;
    const size_t chunks = encodeAndDrain(*codec, sineBytes(c.sampleRate, c.tones, 1.0), packets);
    for (const Packet& p : packets) {
        ASSERT_LE(p.size(), codec->maxPacketSize());
        if (c.decoder == AV_CODEC_ID_MP3) { // one whole frame per packet
            ASSERT_EQ(p[0], 0xff);
            const unsigned int bytesPerKbit = (p[1] >> 3 & 3) == 3 ? 144 : 72;
            EXPECT_EQ(p.size(), bytesPerKbit * c.bitrate * 1000u / c.sampleRate + (p[2] >> 1 & 1));
        }
    }
    if (c.decoder == AV_CODEC_ID_AAC) { // audio-specific configuration: AAC LC, channels
        ASSERT_GE(codec->extraDataSize(), 2u);
        EXPECT_EQ(codec->extraData()[0] >> 3, 2);
        EXPECT_EQ((codec->extraData()[1] >> 3) & 0x0f, channels);
    }

    const Packet header(codec->extraData(), codec->extraData() + codec->extraDataSize());
    const Decoded decoded = decode(c.decoder, header, packets, c.sampleRate, channels);
    EXPECT_EQ(decoded.errors, 0);
    ASSERT_EQ(decoded.channels.size(), static_cast<size_t>(channels));
    EXPECT_EQ(decoded.sampleRate, c.sampleRate);
    const size_t length = decoded.channels[0].size();
    EXPECT_GE(length, chunks * samplesPerChunk) << "the drain gives up every held-back sample";
    EXPECT_LE(length, chunks * samplesPerChunk + 4096);
    const size_t begin = 4096, end = chunks * samplesPerChunk - 2048; // past priming, before fade
    for (int ch = 0; ch < channels; ++ch) {
        SCOPED_TRACE(testing::Message() << "channel " << ch);
        const double f = dominantFrequency(decoded.channels[ch], begin, end, c.sampleRate);
        EXPECT_NEAR(f, c.tones[ch], c.tones[ch] * 0.02);
        EXPECT_NEAR(rms(decoded.channels[ch], begin, end), 0.5 / std::sqrt(2.0), 0.05);
    }

    std::vector<Packet> again;
    const size_t chunksAgain = encodeAndDrain(*codec, sineBytes(c.sampleRate, c.tones, 0.2), again);
    const Decoded second = decode(c.decoder, header, again, c.sampleRate, channels);
    ASSERT_EQ(second.channels.size(), static_cast<size_t>(channels))
        << "a new stream after a drain";
    EXPECT_GE(second.channels[0].size(), chunksAgain * samplesPerChunk);

    // A packet that does not fit the caller's buffer is a clear failure, never an overflow.
    const std::vector<unsigned char> input = sineBytes(c.sampleRate, c.tones, 0.2);
    const size_t chunk = codec->frameSize();
    expectPacketRefusedWhenTooLarge(
        4, [&](int i, unsigned char* out, unsigned int capacity, unsigned int& size) {
            const bool drain = (i + 1) * chunk > input.size(); // codecs that hold input give it up
            return codec->encode(drain ? nullptr : const_cast<unsigned char*>(&input[i * chunk]),
                                 drain ? 0 : static_cast<unsigned int>(chunk), out, capacity, size);
        });
}

INSTANTIATE_TEST_SUITE_P(
    All, AudioCodecs,
    ::testing::Values(AudioCase{"AAC", 48000, {1000.0, 1500.0}, 160, 4096, AV_CODEC_ID_AAC},
                      AudioCase{"AAC", 44100, {1000.0}, 128, 2048, AV_CODEC_ID_AAC},
                      AudioCase{"MP3", 44100, {1000.0, 1500.0}, 160, 4608, AV_CODEC_ID_MP3},
                      AudioCase{"MP3", 22050, {1000.0}, 64, 1152, AV_CODEC_ID_MP3},
                      AudioCase{"PCM", 48000, {1000.0, 1500.0}, 1536, 3840, AV_CODEC_ID_PCM_S16LE},
                      AudioCase{"OPUS", 48000, {1000.0, 1500.0}, 128, 3840, AV_CODEC_ID_OPUS},
                      AudioCase{"VORBIS", 44100, {1000.0, 1500.0}, 128, 256, AV_CODEC_ID_VORBIS}));

// Records an encoder cannot code fail initialize() with one warning saying why.
TEST(AudioCodecs, BadRecordsFailWithAWarning)
{
    struct Case
    {
        const char* name;
        int sampleRate, channels, bits, bitrate;
        const char* problem; // null: opens
    };
    const char* const noMode = "no MPEG audio layer III mode";
    for (const Case& c : {
             Case{"AAC", 48000, 6, 16, 160, "channels must be 1 or 2"},
             Case{"PCM", 48000, 0, 16, 0, "channels must be 1 or 2"},
             Case{"MP3", 44100, 2, 8, 128, "samples must have 16 bits"},
             Case{"PCM", 0, 2, 16, 0, "sample rate must be from 1 Hz to 384 kHz"},
             Case{"PCM", 400000, 2, 16, 0, "sample rate must be from 1 Hz to 384 kHz"},
             Case{"AAC", 1234, 2, 16, 160, "the encoder does not take this sample rate"},
             Case{"AAC", 48000, 2, 16, 0, "bitrate must be above 0"},
             Case{"PCM", 44100, 1, 16, 0, nullptr},
             Case{"MP3", 44000, 2, 16, 128, noMode},
             Case{"MP3", 22050, 2, 16, 320, noMode},
             Case{"MP3", 44100, 2, 16, 8, noMode},
         }) {
        SCOPED_TRACE(testing::Message() << c.name << " " << c.sampleRate << " Hz " << c.channels
                                        << " ch " << c.bits << " bits " << c.bitrate);
        CodecPreset preset = audioPreset(c.name, c.sampleRate, c.channels, c.bitrate);
        preset.audioCodec().bitsPerSample = c.bits;
        const auto codec = initialized(AudioCodecFactory::create(c.name), preset, c.problem);
        if (!codec || !c.problem)
            continue;
        EXPECT_EQ(codec->frameSize(), 0u);
        EXPECT_EQ(codec->maxPacketSize(), 0u);
        std::vector<unsigned char> data(4608), out(8192);
        unsigned int outSize = 0;
        EXPECT_FALSE(codec->encode(data.data(), 4608, out.data(), 8192, outSize));
    }
}
