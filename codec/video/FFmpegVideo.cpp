#include "codec/video/FFmpegVideo.h"

#include "api/Strevo.h"
#include "common/PixelFormat.h"

#include <QDebug>
#include <QThread>

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

// libavcodec's names for the ProRes profiles, indexed like the record's codecProfile.
const char* const kProResProfiles[] = {"proxy", "lt", "standard", "hq", "4444", "4444xq"};

struct CodecChoice
{
    AVCodecID id = AV_CODEC_ID_NONE;
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    int inputFormat = PIX_YUV420P;
};

CodecChoice choose(const QString& codecName)
{
    CodecChoice c;
    c.id = static_cast<AVCodecID>(Strevo::codecIdFromName(codecName));
    switch (c.id) {
    case AV_CODEC_ID_QTRLE:
        c.pixelFormat = AV_PIX_FMT_ARGB;
        c.inputFormat = PIX_ARGB;
        break;
    case AV_CODEC_ID_MJPEG:
        // The pipeline delivers YUV420P; it is passed on as it is, without range conversion.
        c.pixelFormat = AV_PIX_FMT_YUVJ420P;
        c.inputFormat = PIX_YUV420P;
        break;
    case AV_CODEC_ID_PRORES:
        c.pixelFormat = AV_PIX_FMT_YUV422P10LE;
        c.inputFormat = PIX_YUV422P10;
        break;
    default:
        c.id = AV_CODEC_ID_NONE;
        break;
    }
    return c;
}

bool validVideoRecord(const CodecModel::VideoCodec& v, AVCodecID id)
{
    const char* problem = nullptr;
    if (v.width <= 0 || v.height <= 0)
        problem = "size must be positive";
    else if (id == AV_CODEC_ID_MJPEG && (v.width % 2 || v.height % 2))
        problem = "size must be even for 4:2:0";
    else if (id == AV_CODEC_ID_PRORES && v.width % 2)
        problem = "width must be even for 4:2:2";
    else if (!(v.frameRate >= 0.5) || !std::isfinite(v.frameRate))
        problem = "frame rate must be at least 0.5";
    else if (id == AV_CODEC_ID_MJPEG && v.bitrate <= 0)
        problem = "bitrate must be above 0";
    else if (v.scanMode < 0 || v.scanMode > 2)
        problem =
            "scan mode must be 0 (progressive), 1 (top field first) or 2 (bottom field first)";
    else if (id == AV_CODEC_ID_PRORES && (v.codecProfile < 0 || v.codecProfile > 5))
        problem = "ProRes profile must be 0 (PROXY) to 5 (XQ)";
    if (problem)
        qWarning("FFmpegVideo: cannot encode %s at %dx%d, %g fps, %d kbit/s, scan mode %d, profile "
                 "%d: %s",
                 qPrintable(v.codecName), v.width, v.height, v.frameRate, v.bitrate, v.scanMode,
                 v.codecProfile, problem);
    return problem == nullptr;
}

} // namespace

FFmpegVideo::FFmpegVideo() : m_inputFormat(PIX_YUV420P), m_fieldOrder(AV_FIELD_PROGRESSIVE) {}

FFmpegVideo::~FFmpegVideo() = default;

unsigned int FFmpegVideo::frameSize() const
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (video.width <= 0 || video.height <= 0)
        return 0;
    const unsigned int pixels = static_cast<unsigned int>(video.width) * video.height;
    switch (m_inputFormat) {
    case PIX_ARGB:
    case PIX_YUV422P10:
        return pixels * 4;
    default:
        return pixels * 3 / 2;
    }
}

bool FFmpegVideo::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_context.reset();
    m_frame.reset();
    m_packet.reset();
    m_header.clear();
    m_frameCounter = 0;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();

    const CodecChoice choice = choose(video.codecName);
    if (choice.id == AV_CODEC_ID_NONE) {
        qWarning("FFmpegVideo: codec name \"%s\" is not QuickTime Animation (RLE), MJPEG or Apple "
                 "ProRes",
                 qPrintable(video.codecName));
        return false;
    }
    m_inputFormat = choice.inputFormat;
    if (!validVideoRecord(video, choice.id))
        return false;

    const QByteArray fileName = ("file." + m_preset.container().format).toLocal8Bit();
    const AVOutputFormat* outputFormat = av_guess_format(nullptr, fileName.constData(), nullptr);
    if (!outputFormat) {
        qDebug("FFMPEG: Could not find suitable output format\n");
        return false;
    }

    // ProRes goes through the "prores_ks" encoder, which codes every profile from a 4:2:2
    // source (the default ProRes encoder refuses 4444 and XQ without 4:4:4 input).
    const AVCodec* encoder = nullptr;
    if (choice.id == AV_CODEC_ID_PRORES)
        encoder = avcodec_find_encoder_by_name("prores_ks");
    if (!encoder)
        encoder = avcodec_find_encoder(choice.id);
    if (!encoder) {
        qDebug("FFMPEG: no encoder for %s", qPrintable(video.codecName));
        return false;
    }

    AVCodecContextPtr context(avcodec_alloc_context3(encoder));
    if (!context)
        return false;
    context->codec_type = AVMEDIA_TYPE_VIDEO;
    context->codec_id = choice.id;
    context->pix_fmt = choice.pixelFormat;
    context->bit_rate = static_cast<int64_t>(video.bitrate) * 1000;
    context->width = video.width;
    context->height = video.height;
    // The frame rate rounded to a whole number (halves up), in thousandths over 1001:
    // 29.97 gives 1001/30000, 25 gives 1001/25000.
    const int rounded = static_cast<int>(std::floor(video.frameRate + 0.5));
    context->time_base = AVRational{1001, rounded * 1000};

    static const AVFieldOrder kFieldOrders[] = {AV_FIELD_PROGRESSIVE, AV_FIELD_TT, AV_FIELD_BB};
    m_fieldOrder = kFieldOrders[video.scanMode];
    context->field_order = static_cast<AVFieldOrder>(m_fieldOrder);
    // ProRes codes the two fields of an interlaced frame separately only when asked to.
    if (choice.id == AV_CODEC_ID_PRORES && m_fieldOrder != AV_FIELD_PROGRESSIVE)
        context->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    if (outputFormat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // Slice threading where the encoder has it: every frame comes out of the call that
    // sent it. Frame threading holds thread_count - 1 frames back, which the interface has
    // no drain to recover at the end, and spoils MJPEG's rate control.
    context->thread_count = QThread::idealThreadCount();
    context->thread_type =
        (encoder->capabilities & AV_CODEC_CAP_SLICE_THREADS) ? FF_THREAD_SLICE : FF_THREAD_FRAME;

    if (choice.id == AV_CODEC_ID_PRORES) {
        context->profile = video.codecProfile;
        // prores_ks reads its profile from its own option; the generic field is kept for
        // the default encoder.
        if (context->priv_data)
            av_opt_set(context->priv_data, "profile", kProResProfiles[video.codecProfile], 0);
    }

    const int opened = avcodec_open2(context.get(), encoder, nullptr);
    if (opened < 0) {
        qDebug("FFMPEG: cannot open the %s encoder at %dx%d: %s", encoder->name, video.width,
               video.height, avErrorText(opened).constData());
        return false;
    }

    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return false;
    if (context->extradata && context->extradata_size > 0)
        m_header.assign(context->extradata, context->extradata + context->extradata_size);
    m_context = std::move(context);
    m_frame = std::move(frame);
    m_packet = std::move(packet);
    return true;
}

bool FFmpegVideo::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                         unsigned int& outSize, unsigned int& keyFrame, long long& pts,
                         long long& dts)
{
    if (!m_context || !data)
        return false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const unsigned int needed = frameSize();
    if (size < needed) {
        qDebug("FFMPEG: frame of %u bytes is short of the %u bytes of %dx%d input", size, needed,
               video.width, video.height);
        return false;
    }

    // The planes point into the caller's frame: the frame carries no reference-counted
    // buffers, so libavcodec copies it when it is sent.
    AVFrame* frame = m_frame.get();
    const int w = video.width;
    const int h = video.height;
    frame->format = m_context->pix_fmt;
    frame->width = w;
    frame->height = h;
    frame->interlaced_frame = m_fieldOrder != AV_FIELD_PROGRESSIVE ? 1 : 0;
    frame->top_field_first = m_fieldOrder == AV_FIELD_TT ? 1 : 0;
    frame->quality = 0;
    frame->pict_type = AV_PICTURE_TYPE_I;
    frame->pts = m_frameCounter++;
    const size_t pixels = static_cast<size_t>(w) * h;
    switch (m_inputFormat) {
    case PIX_ARGB:
        frame->data[0] = data;
        frame->linesize[0] = 4 * w;
        break;
    case PIX_YUV422P10:
        frame->data[0] = data;
        frame->data[1] = data + 2 * pixels;
        frame->data[2] = data + 3 * pixels;
        frame->linesize[0] = 2 * w;
        frame->linesize[1] = w;
        frame->linesize[2] = w;
        break;
    default:
        frame->data[0] = data;
        frame->data[1] = data + pixels;
        frame->data[2] = data + pixels + pixels / 4;
        frame->linesize[0] = w;
        frame->linesize[1] = w / 2;
        frame->linesize[2] = w / 2;
        break;
    }

    bool produced = false;
    int sent = avcodec_send_frame(m_context.get(), frame);
    if (sent == AVERROR(EAGAIN)) {
        // A packet is waiting to be read before the encoder takes another frame.
        produced = receivePacket(out, outSize, keyFrame, pts, dts);
        sent = avcodec_send_frame(m_context.get(), frame);
    }
    if (sent < 0)
        qDebug("FFMPEG: cannot encode frame %lld: %s", static_cast<long long>(frame->pts),
               avErrorText(sent).constData());
    if (!produced)
        produced = receivePacket(out, outSize, keyFrame, pts, dts);
    return produced;
}

bool FFmpegVideo::receivePacket(unsigned char* out, unsigned int& outSize, unsigned int& keyFrame,
                                long long& pts, long long& dts)
{
    AVPacket* packet = m_packet.get();
    if (avcodec_receive_packet(m_context.get(), packet) < 0)
        return false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const size_t capacity = static_cast<size_t>(video.width) * video.height * 4;
    const size_t length = static_cast<size_t>(packet->size);
    if (length > capacity) {
        qDebug("FFMPEG: packet of %zu bytes does not fit the %zu-byte output buffer", length,
               capacity);
        av_packet_unref(packet);
        return false;
    }
    std::memcpy(out, packet->data, length);
    outSize = static_cast<unsigned int>(length);
    keyFrame = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
    pts = packet->pts;
    dts = packet->dts;
    av_packet_unref(packet);
    return true;
}
