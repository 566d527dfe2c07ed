#include "codec/video/VPX.h"

#include "codec/video/VideoRecordCheck.h"
#include "common/PixelFormat.h"

#include <QDebug>
#include <QThread>
#include <algorithm>

#include <cmath>
#include <cstring>

#include <vpx/vp8cx.h>

extern "C" {
#include <libavutil/rational.h>
}

namespace {

const char* errorDetail(vpx_codec_ctx_t* context)
{
    const char* detail = vpx_codec_error_detail(context);
    return detail ? detail : vpx_codec_error(context);
}

} // namespace

void VPX::ContextDeleter::operator()(vpx_codec_ctx_t* context) const
{
    if (vpx_codec_destroy(context) != VPX_CODEC_OK)
        qDebug("%s: %s\n", "Failed to destroy codec", errorDetail(context));
    delete context;
}

VPX::VPX()
{
    std::memset(&m_config, 0, sizeof(m_config));
}

VPX::~VPX() = default;

int VPX::supportFormat()
{
    return PIX_YUV420P;
}

vpx_codec_iface_t* VPX::encoderInterface(const QString& codecName)
{
    if (codecName == QLatin1String("VP8"))
        return vpx_codec_vp8_cx();
    if (codecName == QLatin1String("VP9"))
        return vpx_codec_vp9_cx();
    return nullptr;
}

vpx_codec_err_t VPX::fillConfig(const CodecModel::VideoCodec& video, vpx_codec_iface_t* iface,
                                vpx_codec_enc_cfg_t* config)
{
    const vpx_codec_err_t result = vpx_codec_enc_config_default(iface, config, 0);
    if (result != VPX_CODEC_OK)
        return result;

    config->rc_target_bitrate = static_cast<unsigned int>(video.bitrate);
    config->g_w = static_cast<unsigned int>(video.width);
    config->g_h = static_cast<unsigned int>(video.height);
    // The time base is one frame: 29.97 fps gives 100/2997, 25 fps 1/25.
    const AVRational rate = av_d2q(video.frameRate, 1001000);
    config->g_timebase.num = rate.den;
    config->g_timebase.den = rate.num;
    // Threads for the cores there are (libvpx splits VP8 by partitions, VP9 by tiles).
    config->g_threads =
        static_cast<unsigned int>(std::min(16, std::max(1, QThread::idealThreadCount())));
    config->g_pass = VPX_RC_ONE_PASS;
    config->rc_end_usage = VPX_VBR;
    config->kf_min_dist = 0;
    config->kf_max_dist = static_cast<unsigned int>(video.keyframeInterval * video.frameRate);
    // No look-ahead: VP9's default holds 25 frames back, which adds most of a second of
    // latency to live output and, with no drain at the end, loses the last second.
    config->g_lag_in_frames = 0;
    return VPX_CODEC_OK;
}

bool VPX::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_context.reset();
    m_pending.clear();
    m_frameCounter = 0;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();

    vpx_codec_iface_t* iface = encoderInterface(video.codecName);
    const vpx_codec_err_t configured = fillConfig(video, iface, &m_config);
    if (configured != VPX_CODEC_OK) {
        qDebug("Failed to get config: %s\n", vpx_codec_err_to_string(configured));
        return false;
    }
    if (!VideoRecordCheck::check(video, "VPX"))
        return false;
    qDebug() << "VPX::initialize : threads" << QThread::idealThreadCount();

    std::unique_ptr<vpx_codec_ctx_t> context(new vpx_codec_ctx_t);
    std::memset(context.get(), 0, sizeof(vpx_codec_ctx_t));
    if (vpx_codec_enc_init(context.get(), iface, &m_config, 0) != VPX_CODEC_OK) {
        // A failed init leaves nothing to destroy; the context only carries the error text.
        qDebug("%s: %s\n", "Failed to initialize encoder", errorDetail(context.get()));
        return false;
    }
    m_context.reset(context.release());
    return true;
}

bool VPX::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                 unsigned int& outSize, unsigned int& keyFrame, long long&, long long&)
{
    if (!m_context)
        return false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (!data) // draining: hand out what is still waiting, then report nothing left
        return !m_pending.empty() && emitPending(out, outSize, keyFrame);
    const size_t frameSize = static_cast<size_t>(video.width) * video.height * 3 / 2;
    if (size < frameSize) {
        qDebug("VPX::encode : frame of %u bytes is short of the %zu bytes of %dx%d YUV420P", size,
               frameSize, video.width, video.height);
        return false;
    }

    vpx_image_t image;
    vpx_img_wrap(&image, VPX_IMG_FMT_I420, static_cast<unsigned int>(video.width),
                 static_cast<unsigned int>(video.height), 1, data);

    // libvpx keeps compressed frames in its own buffers; they are copied out below, so a
    // frame of any size reaches the caller or is reported.
    if (vpx_codec_encode(m_context.get(), &image, m_frameCounter, 1, 0, VPX_DL_REALTIME) !=
        VPX_CODEC_OK)
        qDebug("%s: %s\n", "Failed to encode frame", errorDetail(m_context.get()));
    ++m_frameCounter;

    vpx_codec_iter_t iter = nullptr;
    while (const vpx_codec_cx_pkt_t* packet = vpx_codec_get_cx_data(m_context.get(), &iter)) {
        if (packet->kind != VPX_CODEC_CX_FRAME_PKT)
            continue;
        const auto* bytes = static_cast<const unsigned char*>(packet->data.frame.buf);
        Frame frame;
        frame.data.assign(bytes, bytes + packet->data.frame.sz);
        frame.key = (packet->data.frame.flags & VPX_FRAME_IS_KEY) != 0;
        m_pending.push_back(std::move(frame));
    }

    if (m_pending.empty())
        return true;
    return emitPending(out, outSize, keyFrame);
}

bool VPX::emitPending(unsigned char* out, unsigned int& outSize, unsigned int& keyFrame)
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const Frame frame = std::move(m_pending.front());
    m_pending.pop_front();
    const size_t capacity = static_cast<size_t>(video.width) * video.height * 4;
    if (frame.data.size() > capacity) {
        qDebug(
            "VPX::encode : compressed frame of %zu bytes does not fit the %zu-byte output buffer",
            frame.data.size(), capacity);
        return true;
    }
    std::memcpy(out, frame.data.data(), frame.data.size());
    outSize = static_cast<unsigned int>(frame.data.size());
    if (frame.key)
        keyFrame = 1;
    return true;
}
