#include "tools/MediaFileSource.h"

#include "common/PixelFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>

namespace {

// Damaged reads in a row after which the input is taken to be unreadable rather than damaged.
constexpr int kMaxDamagedInARow = 1000;

QString avText(int code)
{
    return QString::fromUtf8(avErrorText(code));
}

double seconds(int64_t stamp, AVRational base)
{
    return stamp == AV_NOPTS_VALUE ? -1.0 : stamp * av_q2d(base);
}

} // namespace

MediaFileSource::MediaFileSource(const QString& path, int sampleRate, int channels)
    : m_path(path), m_sampleRate(sampleRate), m_channels(channels)
{
}

MediaFileSource::~MediaFileSource() = default;

bool MediaFileSource::openDecoder(int index, AVCodecContextPtr* decoder, QString* error)
{
    const AVStream* stream = m_format->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        *error =
            QStringLiteral("'%1': no decoder for its %2 stream")
                .arg(m_path, QString::fromLatin1(avcodec_get_name(stream->codecpar->codec_id)));
        return false;
    }
    decoder->reset(avcodec_alloc_context3(codec));
    int result = decoder->get() ? avcodec_parameters_to_context(decoder->get(), stream->codecpar)
                                : AVERROR(ENOMEM);
    if (result >= 0) {
        (*decoder)->thread_count = 0;
        (*decoder)->pkt_timebase = stream->time_base;
        result = avcodec_open2(decoder->get(), codec, nullptr);
    }
    if (result < 0) {
        *error = QStringLiteral("'%1': cannot open the %2 decoder: %3")
                     .arg(m_path, QString::fromLatin1(codec->name), avText(result));
        return false;
    }
    return true;
}

bool MediaFileSource::open(QString* error)
{
    AVFormatContext* format = nullptr;
    const QByteArray name = QFile::encodeName(m_path);
    int result = avformat_open_input(&format, name.constData(), nullptr, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot open '%1': %2").arg(m_path, avText(result));
        return false;
    }
    m_format.reset(format);
    if ((result = avformat_find_stream_info(format, nullptr)) < 0) {
        *error = QStringLiteral("'%1': %2").arg(m_path, avText(result));
        return false;
    }
    m_videoIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_videoIndex < 0) {
        *error = QStringLiteral("'%1' has no video stream").arg(m_path);
        return false;
    }
    if (!openDecoder(m_videoIndex, &m_video, error))
        return false;
    m_width = m_video->width;
    m_height = m_video->height;
    if (m_width <= 0 || m_height <= 0) {
        *error = QStringLiteral("'%1': the video stream has no picture size").arg(m_path);
        return false;
    }
    const AVRational rate = av_guess_frame_rate(format, format->streams[m_videoIndex], nullptr);
    m_frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;

    m_audioIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, m_videoIndex, nullptr, 0);
    if (m_audioIndex >= 0) {
        if (!openDecoder(m_audioIndex, &m_audio, error))
            return false;
        AVChannelLayout out;
        av_channel_layout_default(&out, m_channels);
        SwrContext* swr = nullptr;
        result =
            swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, m_sampleRate, &m_audio->ch_layout,
                                m_audio->sample_fmt, m_audio->sample_rate, 0, nullptr);
        m_resampler.reset(swr);
        if (result >= 0)
            result = swr_init(swr);
        av_channel_layout_uninit(&out);
        if (result < 0) {
            *error =
                QStringLiteral("'%1': cannot convert its audio: %2").arg(m_path, avText(result));
            return false;
        }
    }
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_frame || !m_packet) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    return true;
}

bool MediaFileSource::fail(const QString& what, int code)
{
    m_error = QStringLiteral("'%1': %2: %3").arg(m_path, what, avText(code));
    return false;
}

void MediaFileSource::addVideo(AVFrame* frame)
{
    // The decoder's frame is kept by reference, not converted yet: read() converts it straight
    // into the buffer it is delivered in.
    Item item;
    item.picture.reset(av_frame_alloc());
    if (!item.picture)
        return;
    av_frame_move_ref(item.picture.get(), frame);
    if (m_videoStart < 0.0) {
        const double t = seconds(item.picture->best_effort_timestamp,
                                 m_format->streams[m_videoIndex]->time_base);
        m_videoStart = t < 0.0 ? 0.0 : t;
        m_pending.push_back(std::move(item));
        if (!m_early.empty()) {
            std::vector<unsigned char> early;
            early.swap(m_early);
            addAudioSamples(early.data(), static_cast<int>(early.size()), m_earlyStart);
        }
        return;
    }
    m_pending.push_back(std::move(item));
}

bool MediaFileSource::convert(const AVFrame* picture, unsigned char* dest)
{
    // A stream that changes its picture size mid-way is scaled back to the size it started with.
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), m_width,
                                        m_height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr,
                                        nullptr));
    if (!m_scaler)
        return false;
    uint8_t* planes[4] = {dest, dest + static_cast<size_t>(m_width) * m_height, nullptr, nullptr};
    int strides[4] = {m_width, 2 * ((m_width + 1) / 2), 0, 0};
    return sws_scale(m_scaler.get(), picture->data, picture->linesize, 0, picture->height, planes,
                     strides) > 0;
}

// Aligns and queues converted audio whose first sample belongs at `firstSampleTime`.
void MediaFileSource::addAudioSamples(const unsigned char* data, int bytes, double firstSampleTime)
{
    const int frameBytes = 2 * m_channels;
    if (m_videoStart < 0.0) {
        if (m_early.empty())
            m_earlyStart = firstSampleTime;
        m_early.insert(m_early.end(), data, data + bytes);
        return;
    }
    if (m_audioBytesOut == 0 && firstSampleTime >= 0.0) {
        const long long offset =
            std::llround((firstSampleTime - m_videoStart) * m_sampleRate) * frameBytes;
        if (offset < 0) {
            const long long cut = std::min<long long>(-offset, bytes);
            data += cut;
            bytes -= static_cast<int>(cut);
        } else if (offset > 0) {
            // At most ten seconds of silence: a later start is more likely a stamp problem.
            Item silence;
            silence.data.assign(
                static_cast<size_t>(std::min<long long>(offset, 10LL * m_sampleRate * frameBytes)),
                0);
            m_audioBytesOut += static_cast<long long>(silence.data.size());
            m_pending.push_back(std::move(silence));
        }
    }
    if (bytes <= 0)
        return;
    Item item;
    item.data.assign(data, data + bytes);
    m_audioBytesOut += bytes;
    m_pending.push_back(std::move(item));
}

void MediaFileSource::addAudio(AVFrame* frame)
{
    const int capacity = swr_get_out_samples(m_resampler.get(), frame ? frame->nb_samples : 0);
    if (capacity <= 0)
        return;
    std::vector<unsigned char> out(static_cast<size_t>(capacity) * 2 * m_channels);
    uint8_t* planes[1] = {out.data()};
    const int samples =
        swr_convert(m_resampler.get(), planes, capacity,
                    frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                    frame ? frame->nb_samples : 0);
    if (samples <= 0)
        return;
    const double t =
        frame ? seconds(frame->best_effort_timestamp, m_format->streams[m_audioIndex]->time_base)
              : -1.0;
    addAudioSamples(out.data(), samples * 2 * m_channels, t);
}

bool MediaFileSource::skipDamaged(const QString& what, int code)
{
    ++m_damaged;
    if (++m_damagedInARow < kMaxDamagedInARow)
        return true;
    return fail(QStringLiteral("%1 (%2 times in a row)").arg(what).arg(m_damagedInARow), code);
}

bool MediaFileSource::drain(AVCodecContext* decoder, bool video)
{
    for (;;) {
        const int result = avcodec_receive_frame(decoder, m_frame.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result == AVERROR(ENOMEM))
            return fail(QStringLiteral("decoding failed"), result);
        if (result < 0) {
            // A frame the decoder could not rebuild: skip it, the next one may be fine.
            if (!skipDamaged(QStringLiteral("decoding failed"), result))
                return false;
            continue;
        }
        if (video)
            addVideo(m_frame.get());
        else
            addAudio(m_frame.get());
        av_frame_unref(m_frame.get());
    }
}

bool MediaFileSource::fill()
{
    while (m_pending.empty() && !m_flushed) {
        if (m_endOfInput) {
            // Flush both decoders and the resampler once, then nothing more comes.
            m_flushed = true;
            avcodec_send_packet(m_video.get(), nullptr);
            if (!drain(m_video.get(), true))
                return false;
            if (m_audio) {
                avcodec_send_packet(m_audio.get(), nullptr);
                if (!drain(m_audio.get(), false))
                    return false;
                addAudio(nullptr);
            }
            break;
        }
        const int result = av_read_frame(m_format.get(), m_packet.get());
        if (result == AVERROR_EOF) {
            m_endOfInput = true;
            continue;
        }
        if (result == AVERROR(ENOMEM) || result == AVERROR_EXIT)
            return fail(QStringLiteral("reading failed"), result);
        if (result < 0) {
            // A damaged stretch of the file; the demuxer resynchronises on the next read.
            if (!skipDamaged(QStringLiteral("reading failed"), result))
                return false;
            continue;
        }
        m_damagedInARow = 0;
        AVCodecContext* decoder = m_packet->stream_index == m_videoIndex   ? m_video.get()
                                  : m_packet->stream_index == m_audioIndex ? m_audio.get()
                                                                           : nullptr;
        if (decoder) {
            const int sent = avcodec_send_packet(decoder, m_packet.get());
            if (sent == AVERROR(ENOMEM)) {
                av_packet_unref(m_packet.get());
                return fail(QStringLiteral("decoding failed"), sent);
            }
            // A packet the decoder refuses is skipped as players skip it.
            if (sent < 0 && sent != AVERROR(EAGAIN))
                ++m_damaged;
        }
        av_packet_unref(m_packet.get());
        if (decoder && !drain(decoder, decoder == m_video.get()))
            return false;
    }
    return true;
}

int MediaFileSource::directFormat() const
{
    return PIX_NV12;
}

bool MediaFileSource::read(Chunk* chunk)
{
    unsigned char* const target = m_target;
    m_target = nullptr;
    for (;;) {
        if (!fill() || m_pending.empty())
            return false;
        Item item = std::move(m_pending.front());
        m_pending.pop_front();
        *chunk = Chunk();
        if (!item.picture) {
            m_audioItem = std::move(item);
            chunk->audio = m_audioItem.data.data();
            chunk->audioBytes = static_cast<int>(m_audioItem.data.size());
            return true;
        }
        unsigned char* dest = target;
        if (!dest) {
            m_picture.resize(
                static_cast<size_t>(pixelFormatFrameSize(PIX_NV12, m_width, m_height)));
            dest = m_picture.data();
        }
        if (!convert(item.picture.get(), dest)) {
            // A picture in a layout the converter cannot take: skipped like a damaged one.
            if (!skipDamaged(QStringLiteral("converting a picture failed"), AVERROR(EINVAL)))
                return false;
            continue;
        }
        chunk->video = dest;
        chunk->width = m_width;
        chunk->height = m_height;
        chunk->format = PIX_NV12;
        return true;
    }
}

QString MediaFileSource::describe() const
{
    return QStringLiteral("'%1': %2x%3 at %4 fps%5")
        .arg(QFileInfo(m_path).fileName())
        .arg(m_width)
        .arg(m_height)
        .arg(m_frameRate, 0, 'g', 6)
        .arg(m_audioIndex >= 0 ? QStringLiteral(" with sound") : QStringLiteral(", no sound"));
}
