#include "codec/audio/FFmpegAudio.h"

#include "codec/audio/AudioRecordCheck.h"
#include "common/CodecTable.h"
#include "common/StrevoLog.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {

// Little-endian signed 16-bit sample at p, read byte-wise: the caller's buffer need not be
// aligned for int16_t.
inline int16_t sampleAt(const unsigned char* p)
{
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// The encoder's sample format that the 16-bit input converts to, preferring what loses
// nothing; AV_SAMPLE_FMT_NONE when the encoder takes none of them.
AVSampleFormat pickSampleFormat(const AVCodec* codec)
{
    static const AVSampleFormat kUsable[] = {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P,
                                             AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT};
    for (AVSampleFormat wanted : kUsable) {
        for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
            if (*f == wanted)
                return wanted;
    }
    return AV_SAMPLE_FMT_NONE;
}

bool takesSampleRate(const AVCodec* codec, int rate)
{
    if (!codec->supported_samplerates)
        return true;
    for (const int* r = codec->supported_samplerates; *r; ++r)
        if (*r == rate)
            return true;
    return false;
}

} // namespace

FFmpegAudio::FFmpegAudio() = default;

FFmpegAudio::~FFmpegAudio() = default;

bool FFmpegAudio::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_context.reset();
    m_header.clear();
    m_nextPts = 0;

    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const CodecTable::Entry* entry = CodecTable::find(audio.codecName);
    const AVCodec* codec = entry && entry->backend == CodecTable::Backend::FFmpegAudio
                               ? avcodec_find_encoder_by_name(entry->libavEncoder)
                               : nullptr;
    const QByteArray name = audio.codecName.toUtf8();
    const char* problem = nullptr;
    if (!codec)
        problem = "no libavcodec encoder for the name";
    else if (pickSampleFormat(codec) == AV_SAMPLE_FMT_NONE)
        problem = "the encoder takes no 16-bit or float samples";
    else if (!takesSampleRate(codec, audio.sampleRate))
        problem = "the encoder does not take this sample rate";
    // A lossless coder (FLAC) has no bitrate to keep.
    const AVCodecDescriptor* descriptor = codec ? avcodec_descriptor_get(codec->id) : nullptr;
    const bool lossless = descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
    if (!AudioRecordCheck::check(audio, name.constData(), !lossless, problem))
        return false;
    if (!openEncoder())
        return false;
    if (m_context->extradata && m_context->extradata_size > 0)
        m_header.assign(m_context->extradata, m_context->extradata + m_context->extradata_size);
    return true;
}

bool FFmpegAudio::openEncoder()
{
    m_context.reset();
    m_draining = false;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const AVCodec* codec =
        avcodec_find_encoder_by_name(CodecTable::find(audio.codecName)->libavEncoder);

    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet)
        return false;
    context->sample_fmt = pickSampleFormat(codec);
    context->sample_rate = audio.sampleRate;
    context->time_base = AVRational{1, audio.sampleRate};
    // Native order: front centre for one channel, front left and right for two.
    av_channel_layout_default(&context->ch_layout, audio.channels);
    context->bit_rate = static_cast<int64_t>(audio.bitrate) * 1000;
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    // FLAC's block length, which the muxer counts with too (StreamSetup::audioFrameSize):
    // 4096 samples at any rate, where libavcodec would pick one by the rate.
    if (codec->id == AV_CODEC_ID_FLAC)
        context->frame_size = 4096;

    const int opened = avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        qCWarning(lcStrevo, "%s: cannot open the %s encoder at %d Hz, %d kbit/s, %d channels: %s",
                  qPrintable(audio.codecName), codec->name, audio.sampleRate, audio.bitrate,
                  audio.channels, avErrorText(opened).constData());
        return false;
    }

    // Encoders that take any frame length get chunks of 1024 sample frames.
    frame->nb_samples = context->frame_size > 0 ? context->frame_size : 1024;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &context->ch_layout) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0)
        return false;
    m_context = std::move(context);
    m_frame = std::move(frame);
    m_packet = std::move(packet);
    return true;
}

unsigned int FFmpegAudio::frameSize()
{
    if (!m_context)
        return 0;
    return static_cast<unsigned int>(m_context->ch_layout.nb_channels * m_frame->nb_samples * 2);
}

unsigned int FFmpegAudio::maxPacketSize()
{
    return m_context ? frameSize() * 2 + 8192 : 0;
}

bool FFmpegAudio::fillFrame(const unsigned char* data, unsigned int size)
{
    // The encoder may still reference the previous frame's buffers.
    if (av_frame_make_writable(m_frame.get()) < 0)
        return false;

    const int channels = m_context->ch_layout.nb_channels;
    const int frameLength = m_frame->nb_samples;
    const int present = std::min<int>(frameLength, size / (2u * channels));
    const auto format = static_cast<AVSampleFormat>(m_frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    for (int c = 0; c < channels; ++c) {
        // Sample i of channel c sits at index i * step + c0 of plane `plane`.
        uint8_t* plane = m_frame->extended_data[planar ? c : 0];
        const int step = planar ? 1 : channels;
        const int c0 = planar ? 0 : c;
        for (int i = 0; i < frameLength; ++i) {
            const int16_t s = i < present ? sampleAt(data + 2 * (i * channels + c)) : 0;
            if (format == AV_SAMPLE_FMT_S16 || format == AV_SAMPLE_FMT_S16P)
                reinterpret_cast<int16_t*>(plane)[i * step + c0] = s;
            else // -32768 maps slightly below -1.0; the encoders take it as it is
                reinterpret_cast<float*>(plane)[i * step + c0] = static_cast<float>(s / 32767.0);
        }
    }
    m_frame->pts = m_nextPts;
    m_nextPts += frameLength;
    return true;
}

bool FFmpegAudio::takePacket(unsigned char* out, unsigned int capacity, unsigned int& outSize)
{
    if (avcodec_receive_packet(m_context.get(), m_packet.get()) < 0)
        return false;
    const auto length = static_cast<unsigned int>(m_packet->size);
    bool got = length > 0;
    if (length > capacity) {
        qCWarning(lcStrevo, "%s: packet of %u bytes does not fit the %u-byte output buffer",
                  m_context->codec->name, length, capacity);
        got = false;
    } else if (got) {
        std::memcpy(out, m_packet->data, length);
        outSize = length;
        // The time base is one sample.
        m_packetSamples = m_packet->duration > 0 ? static_cast<int>(m_packet->duration) : 0;
    }
    av_packet_unref(m_packet.get());
    return got;
}

bool FFmpegAudio::encode(unsigned char* data, unsigned int size, unsigned char* out,
                         unsigned int outCapacity, unsigned int& outSize)
{
    if (!m_context || !out)
        return false;
    if (!data) {
        // Draining: the end of the stream goes in once, then one held-back packet per call.
        if (!m_draining) {
            m_draining = true;
            avcodec_send_frame(m_context.get(), nullptr);
        }
        return takePacket(out, outCapacity, outSize);
    }
    if (m_draining && !openEncoder())
        return false;
    if (!fillFrame(data, size))
        return false;

    int sent = avcodec_send_frame(m_context.get(), m_frame.get());
    if (sent == AVERROR(EAGAIN)) {
        // A packet is still waiting: hand it out now and queue this chunk behind it.
        const bool got = takePacket(out, outCapacity, outSize);
        sent = avcodec_send_frame(m_context.get(), m_frame.get());
        if (sent < 0)
            qCWarning(lcStrevo, "%s: dropped a chunk: %s", m_context->codec->name,
                      avErrorText(sent).constData());
        return got;
    }
    if (sent < 0) {
        qCWarning(lcStrevo, "%s: cannot encode a chunk: %s", m_context->codec->name,
                  avErrorText(sent).constData());
        return false;
    }
    return takePacket(out, outCapacity, outSize);
}
