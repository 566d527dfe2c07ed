#include "common/AVResampler.h"
#include "AudioTestSignals.h"
#include "MessageCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int S16 = AV_SAMPLE_FMT_S16;

// Interleaved s16 sine of the given frequency at about a third of full scale, the same on
// every channel.
Bytes sine(int rate, int channels, double seconds, double hz)
{
    return audiotest::sineBytes(rate, std::vector<double>(channels, hz), seconds, 10000 / 32767.0);
}

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

// Sign changes of one channel of interleaved s16 samples.
int zeroCrossings(const Bytes& b, int channels, int channel)
{
    int n = 0;
    int16_t last = 0, v = 0;
    for (size_t i = size_t(channel) * 2; i + 1 < b.size(); i += size_t(channels) * 2, last = v) {
        std::memcpy(&v, &b[i], 2);
        n += i >= size_t(channels) * 2 && (last < 0) != (v < 0);
    }
    return n;
}

} // namespace

TEST(AVResampler, RateAndChannelChangesKeepLengthFrequencyAndLevel)
{
    {
        // One second of 44100 stereo in 10 ms host buffers -> 48000 mono in whole chunks:
        // 1000 cycles give 2000 zero crossings.
        AVResampler r(0, 0, 0);
        feed(r, sine(44100, 2, 1.0, 1000.0), 1764, 1, 2, 48000, 44100);
        const int chunk = 2048; // one mono AAC frame
        const Bytes out = drain(r, chunk);
        EXPECT_LT(r.availableBytes(), chunk);
        // 48000 mono samples, less the few the filter still holds back.
        const int total = int(out.size()) + r.availableBytes();
        EXPECT_LE(total, 96000);
        EXPECT_GE(total, 96000 - 2 * 64);
        EXPECT_NEAR(zeroCrossings(out, 1, 0), 2000 * double(out.size()) / 96000, 3);
        std::vector<int16_t> mono(out.size() / 2);
        std::memcpy(mono.data(), out.data(), out.size());
        EXPECT_NEAR(*std::max_element(mono.begin() + 200, mono.end()), 10000, 300);
    }
    {
        // 22050 mono -> 48000 stereo: both channels carry the tone.
        AVResampler r(0, 0, 0);
        feed(r, sine(22050, 1, 1.0, 1000.0), 882, 2, 1, 48000, 22050);
        const Bytes out = drain(r, 4);
        EXPECT_NEAR(int(out.size()), 192000, 4 * 64);
        for (int ch = 0; ch < 2; ++ch)
            EXPECT_NEAR(zeroCrossings(out, 2, ch), 2000, 3) << ch;
    }
}

TEST(AVResampler, IdenticalParametersPassBytesThroughInOrder)
{
    // A counter pattern fed in uneven pieces and taken in chunks of another size, with
    // feeding and taking interleaved the way the audio thread does it.
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
    const Bytes in = sine(48000, 2, 0.25, 440.0);
    AVResampler whole(0, 0, 0), split(0, 0, 0);
    feed(whole, in, int(in.size()), 1, 2, 44100, 48000);
    feed(split, in, 7, 1, 2, 44100, 48000); // cuts through samples and sample frames
    ASSERT_EQ(whole.availableBytes(), split.availableBytes());
    EXPECT_EQ(drain(whole, 2), drain(split, 2));
}

TEST(AVResampler, ChangedParametersTakeEffectOnTheNextBuffer)
{
    AVResampler r(0, 0, 0);
    feed(r, sine(48000, 2, 0.5, 440.0), 3840, 2, 2, 44100, 48000);
    const int converted = r.availableBytes();
    EXPECT_NEAR(converted, 88200, 4 * 64);

    const Bytes raw = sine(44100, 2, 0.1, 440.0);
    r.resampleAudio(raw.data(), int(raw.size()), 2, 2, 44100, 44100, S16, S16);
    EXPECT_EQ(r.availableBytes(), converted + int(raw.size()));
    ASSERT_TRUE(r.requestAudioData(r.availableBytes()));
    EXPECT_EQ(std::memcmp(r.audioData() + converted, raw.data(), raw.size()), 0);
}

TEST(AVResampler, BadArgumentsAppendNothingAndWarnOnce)
{
    MessageCapture log;
    AVResampler r(0, 0, 0);
    const Bytes in = sine(48000, 2, 0.01, 440.0);
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
