#include "codec/video/FFmpegVideo.h"

#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <QStringList>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <mutex>

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

// SVT-AV1's presets run from 0 (slowest) to 13 (fastest; its own default is 10). x264's names
// are spread over them, one step apart at the fast end and two at the slow end, where each of
// SVT-AV1's presets costs more: "veryfast", the record's default, is 11, which codes 720p30 in
// real time on two cores; "medium" is 8, two steps slower than SVT-AV1's own default.
struct Av1Preset
{
    const char* name;
    int preset;
};
const Av1Preset kAv1Presets[] = {
    {"ultrafast", 13}, {"superfast", 12}, {"veryfast", 11}, {"faster", 10},  {"fast", 9},
    {"medium", 8},     {"slow", 6},       {"slower", 4},    {"veryslow", 2}, {"placebo", 0},
};

// The SVT-AV1 preset for a record's preset name or number; -1 for none (the encoder's default)
// and -2 for a name it does not know.
int av1Preset(const QString& name)
{
    if (name.isEmpty())
        return -1;
    for (const Av1Preset& p : kAv1Presets)
        if (name == QLatin1String(p.name))
            return p.preset;
    bool number = false;
    const int preset = name.toInt(&number);
    return number && preset >= 0 && preset <= 13 ? preset : -2;
}

QStringList tuneWords(const QString& tune)
{
    return tune.split(QRegExp(QStringLiteral("[,+]")), Qt::SkipEmptyParts);
}

// SVT-AV1's settings (svtav1-params) for the record's tunes: "vq" and "psnr" pick what its
// rate control aims at, "zerolatency" codes each picture from earlier ones only (no picture
// waits for later ones, so packets come out a few pictures after theirs instead of about two
// seconds later), "fastdecode" its decoder-friendly tools. False for a word it does not take.
bool av1Settings(const QString& tune, QByteArray* settings)
{
    settings->clear();
    for (const QString& word : tuneWords(tune)) {
        const char* setting = word == QLatin1String("vq")            ? "tune=0"
                              : word == QLatin1String("psnr")        ? "tune=1"
                              : word == QLatin1String("zerolatency") ? "pred-struct=1"
                              : word == QLatin1String("fastdecode")  ? "fast-decode=1"
                                                                     : nullptr;
        if (!setting)
            return false;
        *settings += (settings->isEmpty() ? "" : ":") + QByteArray(setting);
    }
    return true;
}

// What only these encoders ask of a record, beyond VideoRecordCheck.
bool validForEncoder(const CodecModel::VideoCodec& v, AVCodecID id)
{
    const bool interFrames = id == AV_CODEC_ID_AV1 || id == AV_CODEC_ID_HEVC;
    QByteArray settings;
    const char* problem = nullptr;
    if (v.scanMode < 0 || v.scanMode > 2)
        problem =
            "scan mode must be 0 (progressive), 1 (top field first) or 2 (bottom field first)";
    else if (interFrames && v.scanMode != 0)
        problem = "the encoder codes progressive pictures only (scan mode 0)";
    else if (id == AV_CODEC_ID_PRORES && (v.codecProfile < 0 || v.codecProfile > 5))
        problem = "ProRes profile must be 0 (PROXY) to 5 (XQ)";
    else if (id == AV_CODEC_ID_AV1 && av1Preset(v.preset) == -2)
        problem = "SVT-AV1 takes x264's preset names or its preset numbers 0 to 13";
    else if (id == AV_CODEC_ID_AV1 && !av1Settings(v.tune, &settings))
        problem = "SVT-AV1 takes the tunes vq, psnr, zerolatency and fastdecode";
    else if (id == AV_CODEC_ID_HEVC && tuneWords(v.tune).size() > 1)
        problem = "x265 takes one tune";
    if (problem)
        qCWarning(lcStrevo,
                  "FFmpegVideo: cannot encode %s with scan mode %d, profile %d, preset '%s', tune "
                  "'%s': %s",
                  qPrintable(v.codecName), v.scanMode, v.codecProfile, qPrintable(v.preset),
                  qPrintable(v.tune), problem);
    return problem == nullptr;
}

// SVT-AV1 prints its settings to the standard error stream each time it opens, and has no call
// to quiet it, only its SVT_LOG variable, read at each open: errors only, unless the host set a
// level of its own. Set once, before the first encoder opens.
void quietSvtAv1()
{
    static std::once_flag once;
    std::call_once(once, [] { setenv("SVT_LOG", "1", 0); });
}

// The encoder's own settings for the record (libx265 and libsvtav1). False with a warning when
// the encoder does not take them.
bool setEncoderOptions(AVCodecContext* context, const CodecModel::VideoCodec& video, AVCodecID id)
{
    void* options = context->priv_data;
    const QByteArray preset = video.preset.toUtf8();
    const QByteArray tune = video.tune.toUtf8();
    int failed = 0;
    if (id == AV_CODEC_ID_HEVC) {
        // No B-frames (packets stay in picture order, as the muxer stamps them), closed GOPs
        // (every key frame an IDR picture, as a requested one is too) and the parameter sets
        // at every key frame as well as in the extradata, so that any container, and a second
        // output sharing the encoder, can start at any key frame. x265 writes to the standard
        // error stream itself: errors only.
        if (!preset.isEmpty())
            failed |= av_opt_set(options, "preset", preset.constData(), 0);
        if (!tune.isEmpty())
            failed |= av_opt_set(options, "tune", tune.constData(), 0);
        failed |= av_opt_set_int(options, "forced-idr", 1, 0);
        failed |= av_opt_set(options, "x265-params",
                             "bframes=0:open-gop=0:repeat-headers=1:log-level=error", 0);
    } else if (id == AV_CODEC_ID_AV1) {
        quietSvtAv1();
        const int number = av1Preset(video.preset);
        if (number >= 0)
            failed |= av_opt_set_int(options, "preset", number, 0);
        QByteArray settings;
        if (av1Settings(video.tune, &settings) && !settings.isEmpty())
            failed |= av_opt_set(options, "svtav1-params", settings.constData(), 0);
    }
    if (failed)
        qCWarning(lcStrevo, "FFmpegVideo: %s takes no preset '%s' or tune '%s'",
                  context->codec->name, preset.constData(), tune.constData());
    return !failed;
}

} // namespace

FFmpegVideo::FFmpegVideo() : m_inputFormat(PIX_YUV420P), m_fieldOrder(AV_FIELD_PROGRESSIVE) {}

FFmpegVideo::~FFmpegVideo()
{
    closeEncoder();
}

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
    closeEncoder();
    m_preset = *preset;
    m_frame.reset();
    m_pending.clear();
    m_header.clear();
    m_frameCounter = 0;
    m_keyFrameRequested = false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();

    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    if (!entry || entry->backend != CodecTable::Backend::FFmpegVideo) {
        qCWarning(lcStrevo,
                  "FFmpegVideo: codec name \"%s\" is not QuickTime Animation (RLE), MJPEG, Apple "
                  "ProRes, AV1 or X265",
                  qPrintable(video.codecName));
        return false;
    }
    m_inputFormat = entry->inputFormat;
    // Packed ARGB takes any size; the 4:2:x formats need even widths, 4:2:0 even heights.
    // QuickTime RLE and ProRes ignore the bitrate.
    const auto id = static_cast<AVCodecID>(entry->avCodecId);
    VideoRecordCheck::Needs needs;
    needs.evenWidth = m_inputFormat != PIX_ARGB;
    needs.evenHeight = m_inputFormat == PIX_YUV420P;
    needs.bitrate = id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_AV1 || id == AV_CODEC_ID_HEVC;
    if (!VideoRecordCheck::check(video, "FFmpegVideo", needs) || !validForEncoder(video, id))
        return false;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
    m_intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    // libsvtav1 (libavcodec 59) ignores a frame's type, hangs when it is closed, or asked for
    // the end of the stream, before it was given a picture, and complains when it is closed
    // without the end of the stream.
    m_svtAv1 = id == AV_CODEC_ID_AV1;
    if (!openEncoder())
        return false;
    if (m_context->extradata && m_context->extradata_size > 0)
        m_header.assign(m_context->extradata, m_context->extradata + m_context->extradata_size);
    return true;
}

void FFmpegVideo::closeEncoder()
{
    if (m_context && m_svtAv1) {
        // The end of the stream, after one blank picture if it had none; what it still holds
        // is read and dropped.
        if (!m_draining) {
            if (m_framesSent == 0)
                sendBlankFrame();
            avcodec_send_frame(m_context.get(), nullptr);
        }
        AVPacketPtr packet(av_packet_alloc());
        while (packet && avcodec_receive_packet(m_context.get(), packet.get()) >= 0)
            av_packet_unref(packet.get());
    }
    m_context.reset();
    m_framesSent = 0;
    m_draining = false;
}

void FFmpegVideo::sendBlankFrame()
{
    AVFramePtr blank(av_frame_alloc());
    if (!blank)
        return;
    blank->format = m_context->pix_fmt;
    blank->width = m_context->width;
    blank->height = m_context->height;
    if (av_frame_get_buffer(blank.get(), 0) < 0)
        return;
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? blank->height : (blank->height + 1) / 2;
        std::memset(blank->data[plane], plane == 0 ? 16 : 128,
                    static_cast<size_t>(blank->linesize[plane]) * rows);
    }
    blank->pts = m_frameCounter;
    if (avcodec_send_frame(m_context.get(), blank.get()) >= 0)
        ++m_framesSent;
}

bool FFmpegVideo::openEncoder()
{
    closeEncoder();
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    const auto id = static_cast<AVCodecID>(entry->avCodecId);

    // A recording's format is a file extension ("mkv"); a live stream's may be a muxer's name
    // ("rtsp").
    const QByteArray format = m_preset.container().format.toLocal8Bit();
    const AVOutputFormat* outputFormat = av_guess_format(nullptr, "file." + format, nullptr);
    if (!outputFormat && !format.isEmpty())
        outputFormat = av_guess_format(format.constData(), nullptr, nullptr);
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
    if (!context || !frame)
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
    // Inter-coding encoders (QuickTime RLE) start a key frame at the record's interval; x265
    // and SVT-AV1 keep their own default for 0 (libavcodec's 12 frames would be far shorter).
    const int keyDistance = VideoRecordCheck::keyFrameDistance(video);
    const bool ownDefault = id == AV_CODEC_ID_AV1 || id == AV_CODEC_ID_HEVC;
    if (keyDistance > 0 || ownDefault)
        context->gop_size = keyDistance > 0 ? keyDistance : -1;

    static const AVFieldOrder kFieldOrders[] = {AV_FIELD_PROGRESSIVE, AV_FIELD_TT, AV_FIELD_BB};
    m_fieldOrder = kFieldOrders[video.scanMode];
    context->field_order = static_cast<AVFieldOrder>(m_fieldOrder);
    // ProRes codes the two fields of an interlaced frame separately only when asked to.
    if (id == AV_CODEC_ID_PRORES && m_fieldOrder != AV_FIELD_PROGRESSIVE)
        context->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    // x265 hands its parameter sets over as extradata too whatever the container, for the
    // muxer's trial header.
    if ((outputFormat->flags & AVFMT_GLOBALHEADER) || id == AV_CODEC_ID_HEVC)
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
    if (!setEncoderOptions(context.get(), video, id))
        return false;

    const int opened = avcodec_open2(context.get(), encoder, nullptr);
    if (opened < 0) {
        qCWarning(lcStrevo, "FFmpegVideo: cannot open the %s encoder at %dx%d: %s", encoder->name,
                  video.width, video.height, avErrorText(opened).constData());
        return false;
    }
    m_context = std::move(context);
    m_frame = std::move(frame);
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
        endStream();
        return handOut(out, outCapacity, outSize, keyFrame, pts, dts);
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
    // frames back is asked through the frame's type instead, except SVT-AV1, which ignores
    // the type: it is drained first and started anew, its last packets handed out before the
    // new sequence's.
    const bool forceKey = m_keyFrameRequested && !m_intraOnly;
    if (forceKey && m_svtAv1)
        endStream();
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

    int sent = avcodec_send_frame(m_context.get(), frame);
    if (sent == AVERROR(EAGAIN)) {
        // Packets are waiting to be read before the encoder takes another frame.
        collect();
        sent = avcodec_send_frame(m_context.get(), frame);
    }
    if (sent < 0)
        qCWarning(lcStrevo, "FFmpegVideo: cannot encode frame %lld: %s",
                  static_cast<long long>(frame->pts), avErrorText(sent).constData());
    else
        ++m_framesSent;
    collect();
    return handOut(out, outCapacity, outSize, keyFrame, pts, dts);
}

void FFmpegVideo::endStream()
{
    if (!m_draining && (m_framesSent > 0 || !m_svtAv1)) {
        m_draining = true;
        avcodec_send_frame(m_context.get(), nullptr);
    }
    if (m_draining)
        collect();
}

void FFmpegVideo::collect()
{
    for (;;) {
        AVPacketPtr packet(av_packet_alloc());
        if (!packet || avcodec_receive_packet(m_context.get(), packet.get()) < 0)
            return;
        m_pending.push_back(std::move(packet));
    }
}

bool FFmpegVideo::handOut(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                          unsigned int& keyFrame, long long& pts, long long& dts)
{
    if (m_pending.empty())
        return false;
    const AVPacketPtr packet = std::move(m_pending.front());
    m_pending.pop_front();
    const size_t length = static_cast<size_t>(packet->size);
    if (length > capacity) {
        qCWarning(lcStrevo,
                  "FFmpegVideo: %s packet of %zu bytes does not fit the %u-byte output buffer",
                  m_context->codec->name, length, capacity);
        return false;
    }
    std::memcpy(out, packet->data, length);
    outSize = static_cast<unsigned int>(length);
    keyFrame = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
    pts = packet->pts;
    dts = packet->dts;
    return true;
}
