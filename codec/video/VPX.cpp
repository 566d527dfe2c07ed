#include "codec/video/VPX.h"

#include "codec/video/CodedStream.h"
#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <QThread>
#include <algorithm>

#include <cstring>

#include <vpx/vp8cx.h>

extern "C" {
#include <libavcodec/codec_id.h>
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
        qCWarning(lcStrevo, "VPX: cannot close the encoder: %s", errorDetail(context));
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
    const CodecTable::Entry* entry = CodecTable::find(codecName);
    if (!entry || entry->backend != CodecTable::Backend::Vpx)
        return nullptr;
    switch (entry->avCodecId) {
    case AV_CODEC_ID_VP8:
        return vpx_codec_vp8_cx();
    case AV_CODEC_ID_VP9:
        return vpx_codec_vp9_cx();
    default:
        return nullptr;
    }
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
    // The time base is one frame of the exact rate: 29.97 fps gives 1001/30000.
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    config->g_timebase.num = rate.den;
    config->g_timebase.den = rate.num;
    // Threads for the cores there are (libvpx splits VP8 by partitions, VP9 by tiles).
    config->g_threads =
        static_cast<unsigned int>(std::min(16, std::max(1, QThread::idealThreadCount())));
    config->g_pass = VPX_RC_ONE_PASS;
    config->rc_end_usage = VPX_VBR;
    config->kf_min_dist = 0;
    config->kf_max_dist = static_cast<unsigned int>(VideoRecordCheck::keyFrameDistance(video));
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
    m_keyFrameRequested = false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();

    if (!VideoRecordCheck::check(video, "VPX"))
        return false;
    vpx_codec_iface_t* iface = encoderInterface(video.codecName);
    const vpx_codec_err_t configured =
        iface ? fillConfig(video, iface, &m_config) : VPX_CODEC_INVALID_PARAM;
    if (configured != VPX_CODEC_OK) {
        qCWarning(lcStrevo, "VPX: no libvpx configuration for %s: %s", qPrintable(video.codecName),
                  vpx_codec_err_to_string(configured));
        return false;
    }

    std::unique_ptr<vpx_codec_ctx_t> context(new vpx_codec_ctx_t);
    std::memset(context.get(), 0, sizeof(vpx_codec_ctx_t));
    if (vpx_codec_enc_init(context.get(), iface, &m_config, 0) != VPX_CODEC_OK) {
        // A failed init leaves nothing to destroy; the context only carries the error text.
        qCWarning(lcStrevo, "VPX: cannot open the %s encoder at %dx%d: %s",
                  qPrintable(video.codecName), video.width, video.height,
                  errorDetail(context.get()));
        return false;
    }
    m_context.reset(context.release());
    return true;
}

unsigned int VPX::maxPacketSize()
{
    return m_context ? VideoRecordCheck::worstPacketSize(m_preset.videoCodec()) : 0;
}

bool VPX::streamParameters(AVCodecParameters* par)
{
    return m_context && CodedStream::describe(par, m_preset.videoCodec(), nullptr, 0);
}

bool VPX::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                 unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                 long long&, long long&)
{
    if (!m_context)
        return false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (!data) // draining: hand out what is still waiting, then report nothing left
        return !m_pending.empty() && emitPending(out, outCapacity, outSize, keyFrame);
    const size_t frameSize = static_cast<size_t>(video.width) * video.height * 3 / 2;
    if (size < frameSize) {
        qCWarning(lcStrevo, "VPX: frame of %u bytes is short of the %zu bytes of %dx%d YUV420P",
                  size, frameSize, video.width, video.height);
        return false;
    }

    vpx_image_t image;
    vpx_img_wrap(&image, VPX_IMG_FMT_I420, static_cast<unsigned int>(video.width),
                 static_cast<unsigned int>(video.height), 1, data);

    // libvpx keeps compressed frames in its own buffers; they are copied out below, so a
    // frame of any size reaches the caller or is reported.
    const vpx_enc_frame_flags_t flags = m_keyFrameRequested ? VPX_EFLAG_FORCE_KF : 0;
    if (vpx_codec_encode(m_context.get(), &image, m_frameCounter, 1, flags, VPX_DL_REALTIME) !=
        VPX_CODEC_OK)
        qCWarning(lcStrevo, "VPX: cannot encode frame %lld: %s", m_frameCounter,
                  errorDetail(m_context.get()));
    else
        m_keyFrameRequested = false;
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
    return emitPending(out, outCapacity, outSize, keyFrame);
}

bool VPX::emitPending(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                      unsigned int& keyFrame)
{
    const Frame frame = std::move(m_pending.front());
    m_pending.pop_front();
    if (frame.data.size() > capacity) {
        qCWarning(lcStrevo, "VPX: packet of %zu bytes does not fit the %u-byte output buffer",
                  frame.data.size(), capacity);
        return false;
    }
    std::memcpy(out, frame.data.data(), frame.data.size());
    outSize = static_cast<unsigned int>(frame.data.size());
    if (frame.key)
        keyFrame = 1;
    return true;
}

bool VPX::setBitrate(int kbps)
{
    if (!m_context || kbps <= 0)
        return false;
    vpx_codec_enc_cfg_t config = m_config;
    config.rc_target_bitrate = static_cast<unsigned int>(kbps);
    if (vpx_codec_enc_config_set(m_context.get(), &config) != VPX_CODEC_OK)
        return false;
    m_config = config;
    return true;
}
