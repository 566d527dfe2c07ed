#include "codec/audio/FFmpegAudio.h"

#include "api/Strevo.h"

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
inline float sampleAt(const unsigned char* p)
{
    const auto value = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    // -32768 maps slightly below -1.0; the encoder takes it as it is.
    return static_cast<float>(value / 32767.0);
}

} // namespace

FFmpegAudio::FFmpegAudio() = default;

FFmpegAudio::~FFmpegAudio() = default;

bool FFmpegAudio::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_context.reset();
    m_frame.reset();
    m_packet.reset();
    m_header.clear();
    m_nextPts = 0;

    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    if (audio.channels != 1 && audio.channels != 2) {
        qWarning("AAC: cannot encode %d channels, only 1 or 2", audio.channels);
        return false;
    }
    if (audio.sampleRate <= 0) {
        qWarning("AAC: sample rate %d Hz", audio.sampleRate);
        return false;
    }
    if (audio.bitrate <= 0) {
        qWarning("AAC: bitrate %d kbit/s", audio.bitrate);
        return false;
    }

    const auto id = static_cast<AVCodecID>(Strevo::codecIdFromName(audio.codecName));
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec)
        return false;

    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return false;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = audio.sampleRate;
    context->time_base = AVRational{1, audio.sampleRate};
    // Native order: front centre for one channel, front left and right for two.
    av_channel_layout_default(&context->ch_layout, audio.channels);
    context->bit_rate = static_cast<int64_t>(audio.bitrate) * 1000;
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;

    const int opened = avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        qDebug("AAC: cannot open the encoder at %d Hz, %d kbit/s, %d channels: %s",
               audio.sampleRate, audio.bitrate, audio.channels, avErrorText(opened).constData());
        return false;
    }

    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return false;
    frame->nb_samples = context->frame_size;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &context->ch_layout) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0)
        return false;

    if (context->extradata && context->extradata_size > 0)
        m_header.assign(context->extradata, context->extradata + context->extradata_size);
    m_context = std::move(context);
    m_frame = std::move(frame);
    m_packet = std::move(packet);
    return true;
}

unsigned int FFmpegAudio::frameSize()
{
    if (!m_context)
        return 0;
    return static_cast<unsigned int>(m_context->ch_layout.nb_channels * m_context->frame_size * 2);
}

bool FFmpegAudio::fillFrame(const unsigned char* data, unsigned int size)
{
    // The encoder may still reference the previous frame's buffers.
    if (av_frame_make_writable(m_frame.get()) < 0)
        return false;

    const int channels = m_context->ch_layout.nb_channels;
    const int frameLength = m_context->frame_size;
    const int present = std::min<int>(frameLength, size / (2u * channels));
    for (int c = 0; c < channels; ++c) {
        auto* plane = reinterpret_cast<float*>(m_frame->extended_data[c]);
        for (int i = 0; i < present; ++i)
            plane[i] = sampleAt(data + 2 * (i * channels + c));
        std::fill(plane + present, plane + frameLength, 0.0f);
    }
    m_frame->nb_samples = frameLength;
    m_frame->pts = m_nextPts;
    m_nextPts += frameLength;
    return true;
}

bool FFmpegAudio::takePacket(unsigned char* out, unsigned int& outSize)
{
    if (avcodec_receive_packet(m_context.get(), m_packet.get()) < 0)
        return false;
    const bool got = m_packet->size > 0;
    if (got) {
        std::memcpy(out, m_packet->data, m_packet->size);
        outSize = static_cast<unsigned int>(m_packet->size);
    }
    av_packet_unref(m_packet.get());
    return got;
}

bool FFmpegAudio::encode(unsigned char* data, unsigned int size, unsigned char* out,
                         unsigned int& outSize)
{
    if (!m_context || !data || !out || !fillFrame(data, size))
        return false;

    int sent = avcodec_send_frame(m_context.get(), m_frame.get());
    if (sent == AVERROR(EAGAIN)) {
        // A packet is still waiting: hand it out now and queue this chunk behind it.
        const bool got = takePacket(out, outSize);
        sent = avcodec_send_frame(m_context.get(), m_frame.get());
        if (sent < 0)
            qDebug("AAC: dropped a chunk: %s", avErrorText(sent).constData());
        return got;
    }
    if (sent < 0) {
        qDebug("AAC: cannot encode a chunk: %s", avErrorText(sent).constData());
        return false;
    }
    return takePacket(out, outSize);
}
