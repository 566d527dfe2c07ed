#include "codec/video/FFmpegVideo.h"

#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <QThread>

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

// What only these encoders ask of a record, beyond VideoRecordCheck.
bool validForEncoder(const CodecModel::VideoCodec& v, AVCodecID id)
{
    const char* problem = nullptr;
    if (v.scanMode < 0 || v.scanMode > 2)
        problem =
            "scan mode must be 0 (progressive), 1 (top field first) or 2 (bottom field first)";
    else if (id == AV_CODEC_ID_PRORES && (v.codecProfile < 0 || v.codecProfile > 5))
        problem = "ProRes profile must be 0 (PROXY) to 5 (XQ)";
    if (problem)
        qCWarning(lcStrevo, "FFmpegVideo: cannot encode %s with scan mode %d, profile %d: %s",
                  qPrintable(v.codecName), v.scanMode, v.codecProfile, problem);
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
    m_keyFrameRequested = false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();

    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    if (!entry || entry->backend != CodecTable::Backend::FFmpegVideo) {
        qCWarning(lcStrevo,
                  "FFmpegVideo: codec name \"%s\" is not QuickTime Animation (RLE), MJPEG or Apple "
                  "ProRes",
                  qPrintable(video.codecName));
        return false;
    }
    m_inputFormat = entry->inputFormat;
    // Packed ARGB takes any size; the 4:2:x formats need even widths, 4:2:0 even heights.
    // Only MJPEG's rate control reads the bitrate.
    const auto id = static_cast<AVCodecID>(entry->avCodecId);
    VideoRecordCheck::Needs needs;
    needs.evenWidth = m_inputFormat != PIX_ARGB;
    needs.evenHeight = m_inputFormat == PIX_YUV420P;
    needs.bitrate = id == AV_CODEC_ID_MJPEG;
    if (!VideoRecordCheck::check(video, "FFmpegVideo", needs) || !validForEncoder(video, id))
        return false;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
    m_intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    if (!openEncoder())
        return false;
    if (m_context->extradata && m_context->extradata_size > 0)
        m_header.assign(m_context->extradata, m_context->extradata + m_context->extradata_size);
    return true;
}

bool FFmpegVideo::openEncoder()
{
    m_context.reset();
    m_draining = false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    const auto id = static_cast<AVCodecID>(entry->avCodecId);

    const QByteArray fileName = ("file." + m_preset.container().format).toLocal8Bit();
    const AVOutputFormat* outputFormat = av_guess_format(nullptr, fileName.constData(), nullptr);
    if (!outputFormat) {
        qCWarning(lcStrevo, "FFmpegVideo: no container format \"%s\" for %s",
                  qPrintable(m_preset.container().format), qPrintable(video.codecName));
        return false;
    }
    const AVCodec* encoder = avcodec_find_encoder_by_name(entry->libavEncoder);
    if (!encoder) {
        qCWarning(lcStrevo, "FFmpegVideo: libavcodec has no encoder \"%s\" for %s",
                  entry->libavEncoder, qPrintable(video.codecName));
        return false;
    }

    AVCodecContextPtr context(avcodec_alloc_context3(encoder));
    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet)
        return false;
    context->codec_type = AVMEDIA_TYPE_VIDEO;
    context->codec_id = id;
    context->pix_fmt = static_cast<AVPixelFormat>(entry->streamPixelFormat);
    context->bit_rate = static_cast<int64_t>(video.bitrate) * 1000;
    context->width = video.width;
    context->height = video.height;
    // One tick per frame of the exact rate: 1001/30000 for 29.97.
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    context->time_base = AVRational{rate.den, rate.num};
    context->framerate = rate;
    // Inter-coding encoders (QuickTime RLE) start a key frame at the record's interval.
    const int keyDistance = VideoRecordCheck::keyFrameDistance(video);
    if (keyDistance > 0)
        context->gop_size = keyDistance;

    static const AVFieldOrder kFieldOrders[] = {AV_FIELD_PROGRESSIVE, AV_FIELD_TT, AV_FIELD_BB};
    m_fieldOrder = kFieldOrders[video.scanMode];
    context->field_order = static_cast<AVFieldOrder>(m_fieldOrder);
    // ProRes codes the two fields of an interlaced frame separately only when asked to.
    if (id == AV_CODEC_ID_PRORES && m_fieldOrder != AV_FIELD_PROGRESSIVE)
        context->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    if (outputFormat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // Slice threading where the encoder has it: every frame comes out of the call that sent
    // it. Frame threading holds thread_count - 1 frames back until the drain, and spoils
    // MJPEG's rate control.
    context->thread_count = QThread::idealThreadCount();
    context->thread_type =
        (encoder->capabilities & AV_CODEC_CAP_SLICE_THREADS) ? FF_THREAD_SLICE : FF_THREAD_FRAME;

    if (id == AV_CODEC_ID_PRORES) {
        context->profile = video.codecProfile;
        // prores_ks reads its profile from its own option; the generic field is kept for
        // the default encoder.
        if (context->priv_data)
            av_opt_set(context->priv_data, "profile", kProResProfiles[video.codecProfile], 0);
    }

    const int opened = avcodec_open2(context.get(), encoder, nullptr);
    if (opened < 0) {
        qCWarning(lcStrevo, "FFmpegVideo: cannot open the %s encoder at %dx%d: %s", encoder->name,
                  video.width, video.height, avErrorText(opened).constData());
        return false;
    }
    m_context = std::move(context);
    m_frame = std::move(frame);
    m_packet = std::move(packet);
    return true;
}

unsigned int FFmpegVideo::maxPacketSize()
{
    return m_context ? frameSize() * 2 + 65536 : 0;
}

bool FFmpegVideo::streamParameters(AVCodecParameters* par)
{
    return m_context && par && avcodec_parameters_from_context(par, m_context.get()) >= 0;
}

bool FFmpegVideo::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                         unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                         long long& pts, long long& dts)
{
    if (!m_context)
        return false;
    if (!data) {
        // Draining: the end of the stream goes in once, then one held-back packet per call.
        if (!m_draining) {
            m_draining = true;
            avcodec_send_frame(m_context.get(), nullptr);
        }
        return receivePacket(out, outCapacity, outSize, keyFrame, pts, dts);
    }
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const unsigned int needed = frameSize();
    if (size < needed) {
        qCWarning(lcStrevo,
                  "FFmpegVideo: frame of %u bytes is short of the %u bytes of %dx%d input", size,
                  needed, video.width, video.height);
        return false;
    }
    // A requested key frame: an encoder that holds no frames back is started anew, since its
    // first frame is a key frame whatever its own schedule (QuickTime RLE places key frames by
    // its frame count and ignores the frame type); nothing is lost by it. One that holds
    // frames back is asked through the frame's type instead.
    const bool forceKey = m_keyFrameRequested && !m_intraOnly;
    const bool restart =
        m_draining || (forceKey && !(m_context->codec->capabilities & AV_CODEC_CAP_DELAY));
    if (restart && !openEncoder())
        return false;
    m_keyFrameRequested = false;

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
    frame->pict_type = m_intraOnly || forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame->key_frame = m_intraOnly || forceKey ? 1 : 0;
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
        produced = receivePacket(out, outCapacity, outSize, keyFrame, pts, dts);
        sent = avcodec_send_frame(m_context.get(), frame);
    }
    if (sent < 0)
        qCWarning(lcStrevo, "FFmpegVideo: cannot encode frame %lld: %s",
                  static_cast<long long>(frame->pts), avErrorText(sent).constData());
    if (!produced)
        produced = receivePacket(out, outCapacity, outSize, keyFrame, pts, dts);
    return produced;
}

bool FFmpegVideo::receivePacket(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                                unsigned int& keyFrame, long long& pts, long long& dts)
{
    AVPacket* packet = m_packet.get();
    if (avcodec_receive_packet(m_context.get(), packet) < 0)
        return false;
    const size_t length = static_cast<size_t>(packet->size);
    if (length > capacity) {
        qCWarning(lcStrevo,
                  "FFmpegVideo: %s packet of %zu bytes does not fit the %u-byte output buffer",
                  m_context->codec->name, length, capacity);
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
