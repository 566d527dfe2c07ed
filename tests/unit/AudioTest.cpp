#include "EncodedPacket.h"
#include "codec/audio/AudioCodecFactory.h"
#include "codec/audio/IAudioCodec.h"
#include "common/AVResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int S16 = AV_SAMPLE_FMT_S16;

CodecPreset audioPreset(const char* codec, int sampleRate, int channels, int bitrate)
{
    CodecPreset preset;
    preset.audioCodec() = {true, QString::fromLatin1(codec), sampleRate, bitrate, 16, channels};
    return preset;
}

// Interleaved 16-bit samples of one sine per channel.
Bytes sineBytes(int sampleRate, const std::vector<double>& freqs, double seconds,
                double amplitude = 0.5)
{
    const size_t frames = static_cast<size_t>(sampleRate * seconds), channels = freqs.size();
    Bytes bytes(frames * channels * 2);
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < channels; ++c) {
            const double v = amplitude * std::sin(2.0 * M_PI * freqs[c] * i / sampleRate);
            const auto s = static_cast<int16_t>(std::lround(v * 32767.0));
            std::memcpy(&bytes[2 * (i * channels + c)], &s, 2);
        }
    return bytes;
}

// One channel of interleaved 16-bit samples, scaled to [-1, 1).
std::vector<float> channelOf(const Bytes& b, int channels, int channel)
{
    std::vector<float> x;
    for (size_t i = 2 * channel; i + 1 < b.size(); i += 2 * channels)
        x.push_back(static_cast<int16_t>(b[i] | b[i + 1] << 8) / 32768.0f);
    return x;
}

struct Decoded
{
    int sampleRate = 0;
    int errors = 0; // packets the decoder refused
    std::vector<std::vector<float>> channels;
};

// Decodes raw packets (one codec frame each) with libavcodec's decoder for id.
Decoded decode(AVCodecID id, const Bytes& extradata, const std::vector<Bytes>& packets,
               int sampleRate, int channels)
{
    AVCodecParametersPtr par(avcodec_parameters_alloc());
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = id;
    par->sample_rate = sampleRate; // raw PCM carries neither
    av_channel_layout_default(&par->ch_layout, channels);
    par->extradata =
        static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(extradata.begin(), extradata.end(), par->extradata);
    par->extradata_size = static_cast<int>(extradata.size());
    Decoder decoder(par.get());
    Decoded result;
    const auto take = [&](const AVFrame& frame) {
        const int n = frame.ch_layout.nb_channels;
        const auto format = static_cast<AVSampleFormat>(frame.format);
        const bool planar = av_sample_fmt_is_planar(format);
        const bool s16 = format == AV_SAMPLE_FMT_S16 || format == AV_SAMPLE_FMT_S16P;
        result.sampleRate = frame.sample_rate;
        result.channels.resize(n);
        for (int c = 0; c < n; ++c)
            for (int i = 0, at = planar ? 0 : c; i < frame.nb_samples; ++i, at += planar ? 1 : n) {
                const uint8_t* plane = frame.extended_data[planar ? c : 0];
                result.channels[c].push_back(s16 ? reinterpret_cast<const int16_t*>(plane)[at] /
                                                       32768.0f
                                                 : reinterpret_cast<const float*>(plane)[at]);
            }
    };
    for (const Bytes& p : packets)
        decoder.decode(p.data(), p.size(), take);
    decoder.decode(nullptr, 0, take);
    result.errors = decoder.errors;
    return result;
}

// The strongest frequency from 200 Hz to 4 kHz (5 Hz steps) in samples [begin, end).
double dominantFrequency(const std::vector<float>& x, size_t begin, size_t end, int sampleRate)
{
    double best = 0.0, bestLevel = -1.0;
    for (double f = 200.0; f <= 4000.0; f += 5.0) {
        double re = 0.0, im = 0.0;
        for (size_t i = begin; i < end; ++i) {
            re += x[i] * std::cos(2.0 * M_PI * f * i / sampleRate);
            im += x[i] * std::sin(2.0 * M_PI * f * i / sampleRate);
        }
        if (std::hypot(re, im) > bestLevel) {
            bestLevel = std::hypot(re, im);
            best = f;
        }
    }
    return best;
}

double rms(const std::vector<float>& x, size_t begin, size_t end)
{
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

struct AudioCase
{
    const char* name;
    int sampleRate;
    std::vector<double> tones; // one per channel
    int bitrate;
    unsigned int frameSize;
    AVCodecID decoder;
};

// One encode call; null data drains.
bool encodeChunk(IAudioCodec& codec, const unsigned char* data, unsigned int size,
                 std::vector<Bytes>& packets)
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
                      std::vector<Bytes>& packets)
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

// Feeds the input in pieces of the given size.
void feed(AVResampler& r, const Bytes& in, int piece, int outCh, int inCh, int outRate, int inRate)
{
    for (size_t pos = 0; pos < in.size(); pos += piece) {
        const int n = int(std::min<size_t>(piece, in.size() - pos));
        r.resampleAudio(in.data() + pos, n, outCh, inCh, outRate, inRate, S16, S16);
    }
}

// Takes every whole chunk of the given size.
Bytes drain(AVResampler& r, int chunk)
{
    Bytes out;
    for (const unsigned char* p; r.requestAudioData(chunk) && (p = r.audioData());)
        out.insert(out.end(), p, p + chunk);
    return out;
}

} // namespace

// Tones in, the drained packets decode to the same tones; a chunk after the drain starts anew.
TEST_P(AudioCodecs, DrainedPacketsDecodeToTheInputTonesAndTooSmallBuffersAreRefused)
{
    const AudioCase& c = GetParam();
    const int channels = static_cast<int>(c.tones.size());
    const auto codec = initialized(AudioCodecFactory::create(c.name),
                                   audioPreset(c.name, c.sampleRate, channels, c.bitrate));
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->frameSize(), c.frameSize);
    const unsigned int samplesPerChunk = c.frameSize / 2 / channels;

    std::vector<Bytes> packets;
    const size_t chunks = encodeAndDrain(*codec, sineBytes(c.sampleRate, c.tones, 1.0), packets);
    for (const Bytes& p : packets) {
        ASSERT_LE(p.size(), codec->maxPacketSize());
        if (c.decoder == AV_CODEC_ID_MP3) { // one whole frame per packet
            ASSERT_EQ(p[0], 0xff);
            const unsigned int bytesPerKbit = (p[1] >> 3 & 3) == 3 ? 144 : 72;
            EXPECT_EQ(p.size(), bytesPerKbit * c.bitrate * 1000u / c.sampleRate + (p[2] >> 1 & 1));
        }
    }
    const Bytes header(codec->extraData(), codec->extraData() + codec->extraDataSize());
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

    std::vector<Bytes> again;
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
                      AudioCase{"VORBIS", 44100, {1000.0, 1500.0}, 128, 256, AV_CODEC_ID_VORBIS},
                      // Lossless: no bitrate to keep.
                      AudioCase{"FLAC", 48000, {1000.0, 1500.0}, 0, 16384, AV_CODEC_ID_FLAC}));

// Records an encoder cannot code fail initialize() with one warning saying why.
TEST(AudioCodecs, BadRecordsFailWithAWarning)
{
    struct Case
    {
        const char* name;
        int sampleRate, channels, bits, bitrate;
        const char* problem; // null: opens
    };
    for (const Case& c : {
             Case{"AAC", 48000, 6, 16, 160, "channels must be 1 or 2"},
             Case{"PCM", 48000, 0, 16, 0, "channels must be 1 or 2"},
             Case{"MP3", 44100, 2, 8, 128, "samples must have 16 bits"},
             Case{"PCM", 0, 2, 16, 0, "sample rate must be from 1 Hz to 384 kHz"},
             Case{"PCM", 400000, 2, 16, 0, "sample rate must be from 1 Hz to 384 kHz"},
             Case{"AAC", 1234, 2, 16, 160, "the encoder does not take this sample rate"},
             Case{"AAC", 48000, 2, 16, 0, "bitrate must be above 0"},
             Case{"PCM", 44100, 1, 16, 0, nullptr},
             Case{"MP3", 44000, 2, 16, 128, "no MPEG audio layer III mode"},
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

// 44.1 kHz stereo to 48 kHz mono and 22.05 kHz mono to stereo keep length, pitch and level.
TEST(AVResampler, RateAndChannelChangesKeepLengthFrequencyAndLevel)
{
    for (const auto& [inRate, inCh, outCh] : {std::tuple(44100, 2, 1), std::tuple(22050, 1, 2)}) {
        SCOPED_TRACE(inRate);
        AVResampler r(0, 0, 0);
        feed(r, sineBytes(inRate, std::vector<double>(inCh, 1000.0), 1.0), inRate / 25, outCh, inCh,
             48000, inRate);
        const int chunk = 1024 * outCh * 2; // one AAC frame
        const Bytes out = drain(r, chunk);
        EXPECT_LT(r.availableBytes(), chunk);
        // 48000 samples a channel, less the few the filter still holds back.
        const int total = int(out.size()) + r.availableBytes();
        EXPECT_LE(total, 96000 * outCh);
        EXPECT_GE(total, (96000 - 2 * 64) * outCh);
        for (int ch = 0; ch < outCh; ++ch) {
            const std::vector<float> x = channelOf(out, outCh, ch);
            EXPECT_NEAR(dominantFrequency(x, 1000, 5800, 48000), 1000.0, 5.0) << ch;
            if (outCh == 1) { // the two input channels are mixed, not added
                EXPECT_NEAR(rms(x, 1000, 40000), 0.5 / std::sqrt(2.0), 0.01);
            }
        }
    }
}

TEST(AVResampler, IdenticalParametersPassBytesThroughInOrder)
{
    // A counter pattern fed in uneven pieces, taken in other chunks in between, as the audio
    // thread.
    Bytes in(100000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<unsigned char>(i * 31 + (i >> 8));
    AVResampler r(0, 0, 0);
    Bytes out;
    const int pieces[] = {300, 7, 1764, 1};
    for (size_t pos = 0, k = 0, n = 0; pos < in.size(); pos += n, ++k) {
        n = std::min<size_t>(pieces[k % 4], in.size() - pos);
        r.resampleAudio(in.data() + pos, int(n), 2, 2, 48000, 48000, S16, S16);
        const Bytes got = drain(r, 1000);
        out.insert(out.end(), got.begin(), got.end());
    }
    EXPECT_EQ(r.availableBytes(), int(in.size() % 1000));
    EXPECT_EQ(out, Bytes(in.begin(), in.begin() + in.size() / 1000 * 1000));
}

TEST(AVResampler, SplitSampleFramesGiveTheSameResultAsWholeBuffers)
{
    const Bytes in = sineBytes(48000, {440.0, 440.0}, 0.25);
    AVResampler whole(0, 0, 0), split(0, 0, 0);
    feed(whole, in, int(in.size()), 1, 2, 44100, 48000);
    feed(split, in, 7, 1, 2, 44100, 48000); // cuts through samples and sample frames
    ASSERT_EQ(whole.availableBytes(), split.availableBytes());
    EXPECT_EQ(drain(whole, 2), drain(split, 2));
}

TEST(AVResampler, BadArgumentsAppendNothingAndWarnOnce)
{
    MessageCapture log;
    AVResampler r(0, 0, 0);
    const Bytes in = sineBytes(48000, {440.0, 440.0}, 0.01);
    const int n = int(in.size());
    const unsigned char* d = in.data();

    r.resampleAudio(nullptr, n, 2, 2, 48000, 48000, S16, S16);
    r.resampleAudio(d, n, 0, 2, 48000, 48000, S16, S16);
    r.resampleAudio(d, n, 2, 0, 48000, 44100, S16, S16);
    r.resampleAudio(d, n, 2, 2, 0, 48000, S16, S16);
    r.resampleAudio(d, n, 2, 2, 48000, -1, S16, S16);
    r.resampleAudio(d, n, 2, 2, 48000, 48000, AV_SAMPLE_FMT_S16P, S16);
    r.resampleAudio(d, n, 2, 2, 48000, 48000, S16, 99);
    EXPECT_EQ(r.availableBytes(), 0);
    EXPECT_EQ(log.count(QStringLiteral("warning: AVResampler")), 7);

    // The same fault again and again is reported once.
    for (int i = 0; i < 5; ++i)
        r.resampleAudio(d, n, 2, 2, 0, 48000, S16, S16);
    EXPECT_EQ(log.messages().size(), 8);

    // Nothing was left behind: valid audio afterwards comes out alone.
    r.resampleAudio(d, n, 2, 2, 48000, 48000, S16, S16);
    EXPECT_EQ(r.availableBytes(), n);
    EXPECT_FALSE(r.requestAudioData(0));
    EXPECT_FALSE(r.requestAudioData(-4));
    EXPECT_EQ(r.audioData(), nullptr);
}
