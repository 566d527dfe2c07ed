#include "codec/video/X264.h"

#include "base/LogRouting.h"
#include "codec/video/CodedStream.h"
#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>
extern "C" {
#include <x264.h>
}
#include <cstring>

X264::X264() : m_input(new x264_picture_t()), m_output(new x264_picture_t()) {}

X264::~X264()
{
    if (m_encoder)
        x264_encoder_close(m_encoder);
}

int X264::supportFormat()
{
    return PIX_NV12;
}

const char* X264::profileName(int profileIdc)
{
    switch (profileIdc) {
    case 77:
        return "main";
    case 88:
    case 100:
        return "high";
    default:
        return "baseline";
    }
}

void X264::fillParams(const CodecModel::VideoCodec& video, x264_param_t* param)
{
    x264_param_default(param);
    const QByteArray preset = video.preset.toLocal8Bit();
    const QByteArray tune = video.tune.toLocal8Bit();
    x264_param_default_preset(param, preset.isEmpty() ? nullptr : preset.constData(),
                              tune.isEmpty() ? nullptr : tune.constData());

    param->pf_log = &LogRouting::x264Log;
    // x264's informational lines (its settings, the statistics at the end) only while someone
    // reads them: they are debug lines of strevo.x264.
    param->i_log_level = lcX264().isDebugEnabled() ? X264_LOG_INFO : X264_LOG_ERROR;
    param->i_width = video.width;
    param->i_height = video.height;

    // The time base is one frame of the exact rate (30000/1001 for 29.97).
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    param->i_fps_num = static_cast<uint32_t>(rate.num);
    param->i_fps_den = static_cast<uint32_t>(rate.den);
    param->i_timebase_num = param->i_fps_den;
    param->i_timebase_den = param->i_fps_num;

    param->i_keyint_max = VideoRecordCheck::keyFrameDistance(video);
    param->rc.i_rc_method = X264_RC_ABR;
    param->rc.i_bitrate = video.bitrate;
    param->i_threads = X264_THREADS_AUTO;
    param->b_vfr_input = 0;
    param->b_interlaced = video.scanMode != 0 ? 1 : 0;
    param->b_tff = video.scanMode != 2 ? 1 : 0;
    param->i_frame_reference = 1;
    param->i_bframe = 0;
    x264_param_apply_profile(param, profileName(video.profileIdc));
}

bool X264::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (!VideoRecordCheck::check(video, "x264"))
        return false;

    if (!openEncoder()) {
        qCWarning(lcStrevo, "x264: cannot open the encoder at %dx%d", video.width, video.height);
        return false;
    }
    *m_input = x264_picture_t();
    *m_output = x264_picture_t();

    m_header.clear();
    int count = 0;
    x264_nal_t* nals = nullptr;
    if (x264_encoder_headers(m_encoder, &nals, &count) < 0 || count <= 0)
        return true;
    for (int i = 0; i < count; ++i) {
        const x264_nal_t& nal = nals[i];
        if (nal.i_type == NAL_SEI) {
            m_pendingSei.assign(nal.p_payload, nal.p_payload + nal.i_payload);
            continue;
        }
        m_header.insert(m_header.end(), nal.p_payload, nal.p_payload + nal.i_payload);
    }
    return true;
}

bool X264::openEncoder()
{
    x264_param_t param;
    fillParams(m_preset.videoCodec(), &param);
    // x264 changes its average rate as it runs only under a VBV; a stream that adapts to its
    // link wants one anyway: no second may carry much more than the rate.
    if (m_preset.streaming().enabled && m_preset.streaming().adaptiveBitrate) {
        param.rc.i_vbv_max_bitrate = m_preset.videoCodec().bitrate;
        param.rc.i_vbv_buffer_size = m_preset.videoCodec().bitrate;
    }
    m_encoder = x264_encoder_open(&param);
    m_drained = false;
    return m_encoder != nullptr;
}

bool X264::setBitrate(int kbps)
{
    if (!m_encoder || kbps <= 0)
        return false;
    x264_param_t param;
    x264_encoder_parameters(m_encoder, &param);
    param.rc.i_bitrate = kbps;
    if (param.rc.i_vbv_max_bitrate > 0) {
        param.rc.i_vbv_max_bitrate = kbps;
        param.rc.i_vbv_buffer_size = kbps;
    }
    if (x264_encoder_reconfig(m_encoder, &param) < 0)
        return false;
    m_preset.videoCodec().bitrate = kbps; // an encoder reopened after a drain keeps the rate
    return true;
}

unsigned int X264::maxPacketSize()
{
    if (!m_encoder)
        return 0;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const size_t frame = static_cast<size_t>(video.width) * video.height * 3 / 2;
    return static_cast<unsigned int>(frame * 2 + m_header.size() + m_pendingSei.size() + 4096);
}

bool X264::streamParameters(AVCodecParameters* par)
{
    return m_encoder &&
           CodedStream::describe(par, m_preset.videoCodec(), extraData(), extraDataSize());
}

bool X264::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                  unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                  long long& pts, long long& dts)
{
    if (!m_encoder)
        return false;
    const int width = m_preset.videoCodec().width;
    const int height = m_preset.videoCodec().height;
    int count = 0;
    int bytes = 0;

    if (!data) {
        // Draining: one held-back frame per call until x264 holds none. With frame threads a
        // flush call can return before a frame is done, so ask again while frames remain.
        while (x264_encoder_delayed_frames(m_encoder) > 0) {
            m_drained = true; // x264 ends its look-ahead thread once it flushes
            bytes = x264_encoder_encode(m_encoder, &m_nals, &count, nullptr, m_output.get());
            if (bytes < 0)
                return false;
            if (bytes > 0)
                return writePacket(out, outCapacity, count, outSize, keyFrame, pts, dts);
        }
        return false;
    }
    const size_t frameSize = static_cast<size_t>(width) * height * 3 / 2;
    if (size < frameSize) {
        qCWarning(lcStrevo, "x264: frame of %u bytes is short of the %zu bytes of %dx%d NV12", size,
                  frameSize, width, height);
        return false;
    }
    if (m_drained) {
        // Frames after a drain start a new sequence with the same settings (and headers).
        x264_encoder_close(m_encoder);
        if (!openEncoder()) {
            m_encoder = nullptr;
            qCWarning(lcStrevo, "x264: cannot reopen the encoder at %dx%d", width, height);
            return false;
        }
    }

    m_input->img.i_csp = X264_CSP_NV12;
    m_input->img.i_plane = 2;
    m_input->img.plane[0] = data;
    m_input->img.plane[1] = data + width * height;
    m_input->img.plane[2] = nullptr;
    m_input->img.i_stride[0] = width;
    m_input->img.i_stride[1] = width;
    m_input->img.i_stride[2] = 0;
    m_input->i_pts = m_frameCounter++;
    // x264 keeps the type with the picture through its look-ahead, so the IDR comes out with
    // this frame however many frames are held back. The picture struct is reused: reset the
    // type for the frames after it.
    m_input->i_type = m_keyFrameRequested ? X264_TYPE_IDR : X264_TYPE_AUTO;
    m_keyFrameRequested = false;

    bytes = x264_encoder_encode(m_encoder, &m_nals, &count, m_input.get(), m_output.get());
    if (bytes < 1)
        return false;
    return writePacket(out, outCapacity, count, outSize, keyFrame, pts, dts);
}

bool X264::writePacket(unsigned char* out, unsigned int capacity, int count, unsigned int& outSize,
                       unsigned int& keyFrame, long long& pts, long long& dts)
{
    size_t total = m_pendingSei.size();
    for (int i = 0; i < count; ++i)
        total += m_nals[i].i_payload;
    if (total > capacity) {
        qCWarning(lcStrevo, "x264: packet of %zu bytes does not fit the %u-byte output buffer",
                  total, capacity);
        return false;
    }

    size_t pos = 0;
    if (!m_pendingSei.empty()) {
        std::memcpy(out, m_pendingSei.data(), m_pendingSei.size());
        pos = m_pendingSei.size();
        m_pendingSei.clear();
        m_pendingSei.shrink_to_fit();
    }
    for (int i = 0; i < count; ++i) {
        std::memcpy(out + pos, m_nals[i].p_payload, m_nals[i].i_payload);
        pos += m_nals[i].i_payload;
    }
    outSize = static_cast<unsigned int>(pos);
    keyFrame = m_output->b_keyframe ? 1 : 0;
    pts = m_output->i_pts;
    dts = m_output->i_dts;
    return true;
}
