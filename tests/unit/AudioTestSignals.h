#pragma once

// Shared by the audio codec tests: test tones, a libavcodec decoder for the packets the
// codecs produce, tone analysis and a capture of Qt warnings.

#include "common/CodecPreset.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

namespace audiotest {

using Packet = std::vector<unsigned char>;

inline CodecPreset audioPreset(const char* codec, int sampleRate, int channels, int bitrate)
{
    CodecPreset preset;
    auto& audio = preset.audioCodec();
    audio.codecName = QString::fromLatin1(codec);
    audio.sampleRate = sampleRate;
    audio.channels = channels;
    audio.bitrate = bitrate;
    return preset;
}

// Interleaved little-endian 16-bit samples of one sine per channel.
inline std::vector<unsigned char> sineBytes(int sampleRate, const std::vector<double>& freqs,
                                            double seconds, double amplitude = 0.5)
{
    const size_t frames = static_cast<size_t>(sampleRate * seconds);
    const size_t channels = freqs.size();
    std::vector<unsigned char> bytes(frames * channels * 2);
    for (size_t i = 0; i < frames; ++i) {
        for (size_t c = 0; c < channels; ++c) {
            const double v = amplitude * std::sin(2.0 * M_PI * freqs[c] * i / sampleRate);
            const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767.0)));
            bytes[2 * (i * channels + c)] = static_cast<unsigned char>(s & 0xff);
            bytes[2 * (i * channels + c) + 1] = static_cast<unsigned char>(s >> 8);
        }
    }
    return bytes;
}

struct Decoded
{
    int sampleRate = 0;
    std::vector<std::vector<float>> channels;
};

struct ContextFree
{
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

inline float sampleAsFloat(const AVFrame* frame, int channel, int index, int channels)
{
    switch (frame->format) {
    case AV_SAMPLE_FMT_FLTP:
        return reinterpret_cast<const float*>(frame->extended_data[channel])[index];
    case AV_SAMPLE_FMT_FLT:
        return reinterpret_cast<const float*>(frame->data[0])[index * channels + channel];
    case AV_SAMPLE_FMT_S16P:
        return reinterpret_cast<const int16_t*>(frame->extended_data[channel])[index] / 32768.0f;
    case AV_SAMPLE_FMT_S16:
        return reinterpret_cast<const int16_t*>(frame->data[0])[index * channels + channel] /
               32768.0f;
    default:
        return NAN;
    }
}

// Decodes raw packets (one codec frame each) with libavcodec's decoder for id. Returns no
// channels when the decoder fails.
inline Decoded decode(AVCodecID id, const Packet& extradata, const std::vector<Packet>& packets)
{
    Decoded result;
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec)
        return result;
    std::unique_ptr<AVCodecContext, ContextFree> ctx(avcodec_alloc_context3(codec));
    if (!extradata.empty()) {
        ctx->extradata =
            static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(ctx->extradata, extradata.data(), extradata.size());
        ctx->extradata_size = static_cast<int>(extradata.size());
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return result;

    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    auto drain = [&]() {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            const int channels = frame->ch_layout.nb_channels;
            result.sampleRate = frame->sample_rate;
            result.channels.resize(channels);
            for (int c = 0; c < channels; ++c)
                for (int i = 0; i < frame->nb_samples; ++i)
                    result.channels[c].push_back(sampleAsFloat(frame.get(), c, i, channels));
            av_frame_unref(frame.get());
        }
    };
    for (const Packet& p : packets) {
        if (av_new_packet(pkt.get(), static_cast<int>(p.size())) < 0)
            return Decoded();
        std::memcpy(pkt->data, p.data(), p.size());
        const int sent = avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        if (sent < 0)
            return Decoded();
        drain();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    return result;
}

// Magnitude of one frequency over samples [begin, end), by correlation with a complex tone.
inline double toneLevel(const std::vector<float>& x, size_t begin, size_t end, double freq,
                        int sampleRate)
{
    double re = 0.0, im = 0.0;
    for (size_t i = begin; i < end; ++i) {
        const double phase = 2.0 * M_PI * freq * i / sampleRate;
        re += x[i] * std::cos(phase);
        im += x[i] * std::sin(phase);
    }
    return std::hypot(re, im) * 2.0 / static_cast<double>(end - begin);
}

// The strongest frequency between 200 Hz and 4 kHz, scanned in 5 Hz steps.
inline double dominantFrequency(const std::vector<float>& x, size_t begin, size_t end,
                                int sampleRate)
{
    double best = 0.0, bestLevel = -1.0;
    for (double f = 200.0; f <= 4000.0; f += 5.0) {
        const double level = toneLevel(x, begin, end, f, sampleRate);
        if (level > bestLevel) {
            bestLevel = level;
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

// Collects Qt warnings while alive.
class WarningCapture
{
public:
    WarningCapture() : m_previous(qInstallMessageHandler(&WarningCapture::handler))
    {
        messages().clear();
    }
    ~WarningCapture() { qInstallMessageHandler(m_previous); }
    WarningCapture(const WarningCapture&) = delete;
    WarningCapture& operator=(const WarningCapture&) = delete;

    static QStringList& messages()
    {
        static QStringList list;
        return list;
    }
    QString joined() const { return messages().join(QLatin1Char('\n')); }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtWarningMsg)
            messages().append(text);
    }

    QtMessageHandler m_previous;
};

} // namespace audiotest
