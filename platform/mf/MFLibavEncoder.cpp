#include "platform/mf/MFLibavEncoder.h"
#include "common/StrevoLog.h"

#include <QDebug>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace {

// The keep-alive of a picture handed to libavcodec, released with the frame's last reference.
void releasePicture(void* opaque, uint8_t*)
{
    delete static_cast<std::shared_ptr<void>*>(opaque);
}

} // namespace

MFLibavEncoder::MFLibavEncoder() = default;
MFLibavEncoder::~MFLibavEncoder() = default;

bool MFLibavEncoder::open(const Settings& s)
{
    m_ctx.reset();
    m_settings = s;
    m_pts = 0;
    const AVCodec* codec = avcodec_find_encoder_by_name(s.encoder.constData());
    if (!codec) {
        qCWarning(lcStrevo, "MFLibavEncoder: libavcodec has no encoder '%s'",
                  s.encoder.constData());
        return false;
    }
    AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return false;
    ctx->width = s.width;
    ctx->height = s.height;
    ctx->pix_fmt = AV_PIX_FMT_NV12;
    ctx->framerate = s.frameRate;
    ctx->time_base = av_inv_q(s.frameRate);
    ctx->bit_rate = s.bitrate;
    ctx->gop_size = s.gop > 0 ? s.gop : 250;
    ctx->max_b_frames = 0;
    if (!s.hevc && s.profile > 0)
        ctx->profile = s.profile;
    if (s.encoder == "libx264") {
        // No look-ahead and no frame threads: a picture comes out for each one that goes in.
        av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        ctx->thread_count = 0;
    }
    // Intel's newer GPUs have only the low-power (fixed-function) entry point; the others may
    // have both, and the full-power one is the default.
    if (s.lowPower)
        av_opt_set_int(ctx->priv_data, "low_power", 1, 0);
    m_ctx = std::move(ctx);
    if (!s.renderNode.isEmpty() && !openHardwareFrames()) {
        m_ctx.reset();
        return false;
    }
    const int ret = avcodec_open2(m_ctx.get(), codec, nullptr);
    if (ret < 0) {
        qCWarning(lcStrevo, "MFLibavEncoder: cannot open '%s'%s at %dx%d: %s",
                  s.encoder.constData(), s.lowPower ? " (low power)" : "", s.width, s.height,
                  avErrorText(ret).constData());
        m_ctx.reset();
        return false;
    }
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    return m_frame && m_packet;
}

// VA-API encoders take pictures in GPU surfaces: a device on the render node and a pool of
// NV12 surfaces that send() uploads into.
bool MFLibavEncoder::openHardwareFrames()
{
    AVBufferRef* device = nullptr;
    int ret = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI,
                                     m_settings.renderNode.constData(), nullptr, 0);
    if (ret < 0) {
        qCWarning(lcStrevo, "MFLibavEncoder: cannot open VA-API device '%s': %s",
                  m_settings.renderNode.constData(), avErrorText(ret).constData());
        return false;
    }
    m_device.reset(device);
    BufferPtr frames(av_hwframe_ctx_alloc(m_device.get()));
    if (!frames)
        return false;
    auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
    fc->format = AV_PIX_FMT_VAAPI;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = m_settings.width;
    fc->height = m_settings.height;
    fc->initial_pool_size = 16;
    if ((ret = av_hwframe_ctx_init(frames.get())) < 0) {
        qCWarning(lcStrevo, "MFLibavEncoder: cannot allocate VA-API surfaces: %s",
                  avErrorText(ret).constData());
        return false;
    }
    m_ctx->pix_fmt = AV_PIX_FMT_VAAPI;
    m_ctx->hw_frames_ctx = av_buffer_ref(frames.get());
    return m_ctx->hw_frames_ctx != nullptr;
}

bool MFLibavEncoder::send(const uint8_t* nv12, std::shared_ptr<void> keepAlive, bool forceKey)
{
    if (!m_ctx || !nv12)
        return false;
    const int w = m_settings.width, h = m_settings.height;
    AVFrame* f = m_frame.get();
    av_frame_unref(f);
    f->format = AV_PIX_FMT_NV12;
    f->width = w;
    f->height = h;
    auto* owner = new std::shared_ptr<void>(std::move(keepAlive));
    f->buf[0] = av_buffer_create(const_cast<uint8_t*>(nv12), w * h * 3 / 2, &releasePicture, owner,
                                 AV_BUFFER_FLAG_READONLY);
    if (!f->buf[0]) {
        delete owner;
        return false;
    }
    f->data[0] = f->buf[0]->data;
    f->data[1] = f->data[0] + static_cast<size_t>(w) * h;
    f->linesize[0] = w;
    f->linesize[1] = w;
    f->pts = m_pts++;
    f->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    AVFramePtr surface;
    if (m_ctx->hw_frames_ctx) {
        surface.reset(av_frame_alloc());
        int ret = surface ? av_hwframe_get_buffer(m_ctx->hw_frames_ctx, surface.get(), 0)
                          : AVERROR(ENOMEM);
        if (ret >= 0)
            ret = av_hwframe_transfer_data(surface.get(), f, 0);
        if (ret < 0) {
            qCWarning(lcStrevo, "MFLibavEncoder: cannot upload a picture: %s",
                      avErrorText(ret).constData());
            return false;
        }
        surface->pts = f->pts;
        surface->pict_type = f->pict_type;
    }
    const int ret = avcodec_send_frame(m_ctx.get(), surface ? surface.get() : f);
    av_frame_unref(f);
    if (ret < 0) {
        qCWarning(lcStrevo, "MFLibavEncoder: '%s' refused a picture: %s",
                  m_settings.encoder.constData(), avErrorText(ret).constData());
        return false;
    }
    return true;
}

bool MFLibavEncoder::flush()
{
    return m_ctx && avcodec_send_frame(m_ctx.get(), nullptr) >= 0;
}

int MFLibavEncoder::receive(Packet* packet)
{
    if (!m_ctx)
        return -1;
    const int ret = avcodec_receive_packet(m_ctx.get(), m_packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return 0;
    if (ret < 0) {
        qCWarning(lcStrevo, "MFLibavEncoder: '%s' failed: %s", m_settings.encoder.constData(),
                  avErrorText(ret).constData());
        return -1;
    }
    packet->data.assign(m_packet->data, m_packet->data + m_packet->size);
    packet->key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
    av_packet_unref(m_packet.get());
    return 1;
}

bool MFLibavEncoder::canOpen(const char* encoder, bool hevc, const QByteArray& renderNode,
                             bool lowPower)
{
    Settings s;
    s.encoder = encoder;
    s.renderNode = renderNode;
    s.lowPower = lowPower;
    s.hevc = hevc;
    s.width = 320;
    s.height = 240;
    s.frameRate = AVRational{30, 1};
    s.bitrate = 500000;
    return MFLibavEncoder().open(s);
}

QByteArray MFLibavEncoder::parameterSets(const uint8_t* data, size_t size, bool hevc)
{
    QByteArray sets;
    size_t i = 0;
    // Walks the start codes; each unit runs to the next start code (its trailing zero bytes
    // belong to the next code) or to the end.
    auto nextStart = [&](size_t from) {
        for (size_t j = from; j + 3 <= size; ++j)
            if (data[j] == 0 && data[j + 1] == 0 && data[j + 2] == 1)
                return j;
        return size;
    };
    i = nextStart(0);
    while (i < size) {
        const size_t payload = i + 3;
        size_t end = nextStart(payload);
        const size_t next = end;
        while (end > payload && data[end - 1] == 0)
            --end;
        if (payload < end) {
            const int type = hevc ? (data[payload] >> 1) & 0x3F : data[payload] & 0x1F;
            const bool isSet = hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
            if (isSet) {
                sets.append("\0\0\0\1", 4);
                sets.append(reinterpret_cast<const char*>(data + payload),
                            static_cast<int>(end - payload));
            }
        }
        i = next;
    }
    return sets;
}
