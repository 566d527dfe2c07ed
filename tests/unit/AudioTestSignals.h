#pragma once

// Shared by the audio tests: test tones, decoding of the packets the codecs produce, and tone
// analysis.

#include "Decoder.h"
#include "common/AVHandles.h"
#include "common/CodecPreset.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace audiotest {

using Packet = std::vector<unsigned char>;

inline CodecPreset audioPreset(const char* codec, int sampleRate, int channels, int bitrate)
{
    CodecPreset preset;
    preset.audioCodec() = {true, QString::fromLatin1(codec), sampleRate, bitrate, 16, channels};
    return preset;
}

// Interleaved little-endian 16-bit samples of one sine per channel.
inline std::vector<unsigned char> sineBytes(int sampleRate, const std::vector<double>& freqs,
                                            double seconds, double amplitude = 0.5)
{
    const size_t frames = static_cast<size_t>(sampleRate * seconds);
    const size_t channels = freqs.size();
    std::vector<unsigned char> bytes(frames * channels * 2);
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < channels; ++c) {
            const double v = amplitude * std::sin(2.0 * M_PI * freqs[c] * i / sampleRate);
            const auto s = static_cast<int16_t>(std::lround(v * 32767.0));
            std::memcpy(&bytes[2 * (i * channels + c)], &s, 2);
        }
    return bytes;
}

struct Decoded
{
    int sampleRate = 0;
    int errors = 0; // packets the decoder refused
    std::vector<std::vector<float>> channels;
};

// Decodes raw packets (one codec frame each) with libavcodec's decoder for id.
inline Decoded decode(AVCodecID id, const Packet& extradata, const std::vector<Packet>& packets,
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
    for (const Packet& p : packets)
        decoder.decode(p.data(), p.size(), take);
    decoder.decode(nullptr, 0, take);
    result.errors = decoder.errors;
    return result;
}

// The strongest frequency between 200 Hz and 4 kHz in samples [begin, end), scanned in 5 Hz
// steps by correlation with a complex tone.
inline double dominantFrequency(const std::vector<float>& x, size_t begin, size_t end,
                                int sampleRate)
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

inline double rms(const std::vector<float>& x, size_t begin, size_t end)
{
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

} // namespace audiotest
