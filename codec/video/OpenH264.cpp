#include "codec/video/OpenH264.h"

#include "base/LogRouting.h"
#include "codec/video/CodedStream.h"
#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>

#include <algorithm>
#include <climits>
#include <cstring>

void OpenH264::EncoderDeleter::operator()(ISVCEncoder* encoder) const
{
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
}

OpenH264::OpenH264() = default;

OpenH264::~OpenH264() = default;

int OpenH264::supportFormat()
{
    return PIX_YUV420P;
}

void OpenH264::fillParams(const CodecModel::VideoCodec& video, SEncParamExt* param)
{
    // initialize() refuses bitrates whose bits per second overflow; clamp for direct callers.
    const int bitsPerSecond =
        static_cast<int>(std::min<long long>(video.bitrate * 1000LL, INT_MAX));
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    const float fps = rate.den > 0 ? static_cast<float>(rate.num) / rate.den : 0.0f;

    param->iUsageType = CAMERA_VIDEO_REAL_TIME;
    param->fMaxFrameRate = fps;
    param->iPicWidth = video.width;
    param->iPicHeight = video.height;
    param->iTargetBitrate = bitsPerSecond;
    param->iMaxBitrate = bitsPerSecond;
    param->iRCMode = RC_BITRATE_MODE;
    param->iTemporalLayerNum = 1;
    param->iSpatialLayerNum = 1;
    param->bEnableDenoise = false;
    param->bEnableBackgroundDetection = true;
    param->bEnableAdaptiveQuant = true;
    param->bEnableFrameSkip = false;
    param->bEnableLongTermReference = false;
    param->iLtrMarkPeriod = 30;
    param->uiIntraPeriod = static_cast<unsigned int>(VideoRecordCheck::keyFrameDistance(video));
    param->eSpsPpsIdStrategy = CONSTANT_ID; // the global headers stay valid for every IDR
    param->bPrefixNalAddingCtrl = false;
    param->iLoopFilterDisableIdc = 0;
    param->iEntropyCodingModeFlag = 1;
    param->iMultipleThreadIdc = 0;
    param->iComplexityMode = video.codecProfile != 0 ? HIGH_COMPLEXITY : LOW_COMPLEXITY;

    SSpatialLayerConfig& layer = param->sSpatialLayers[0];
    layer.iVideoWidth = video.width;
    layer.iVideoHeight = video.height;
    layer.fFrameRate = fps;
    layer.iSpatialBitrate = bitsPerSecond;
    layer.iMaxSpatialBitrate = bitsPerSecond;
    layer.uiProfileIdc = PRO_MAIN;
    layer.uiLevelIdc = LEVEL_UNKNOWN;
    layer.iDLayerQp = 0;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    layer.sSliceArgument.uiSliceNum = 1;
}

bool OpenH264::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_encoder.reset();
    m_header.clear();
    m_frameIndex = 0;
    m_keyFrameRequested = false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (!VideoRecordCheck::check(video, "OpenH264"))
        return false;

    WelsGetCodecVersion();
    ISVCEncoder* raw = nullptr;
    if (WelsCreateSVCEncoder(&raw) != 0 || !raw) {
        qCWarning(lcStrevo, "OpenH264: cannot create an encoder");
        return false;
    }
    std::unique_ptr<ISVCEncoder, EncoderDeleter> encoder(raw);

    // OpenH264's messages go to the strevo.openh264 category instead of the standard error
    // stream. Errors only, unless that category shows its debug lines: at its default level it
    // warns about the fixed settings for every encoder it opens.
    WelsTraceCallback trace = &LogRouting::openH264Trace;
    encoder->SetOption(ENCODER_OPTION_TRACE_CALLBACK, &trace);
    int traceLevel = lcOpenH264().isDebugEnabled() ? WELS_LOG_INFO : WELS_LOG_ERROR;
    encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &traceLevel);

    SEncParamExt param;
    std::memset(&param, 0, sizeof(param));
    encoder->GetDefaultParams(&param);
    fillParams(video, &param);
    if (encoder->InitializeExt(&param) != 0) {
        qCWarning(lcStrevo, "OpenH264: cannot open the encoder at %dx%d, %g fps, %d kbit/s",
                  video.width, video.height, video.frameRate, video.bitrate);
        return false;
    }
    m_bitsPerSecond = param.iTargetBitrate;

    SFrameBSInfo info;
    std::memset(&info, 0, sizeof(info));
    if (encoder->EncodeParameterSets(&info) == 0 && info.iLayerNum > 0) {
        const SLayerBSInfo& layer = info.sLayerInfo[0];
        size_t length = 0;
        for (int i = 0; i < layer.iNalCount; ++i)
            length += static_cast<size_t>(layer.pNalLengthInByte[i]);
        m_header.assign(layer.pBsBuf, layer.pBsBuf + length);
    }
    m_encoder = std::move(encoder);
    return true;
}

unsigned int OpenH264::maxPacketSize()
{
    return m_encoder ? VideoRecordCheck::worstPacketSize(m_preset.videoCodec()) : 0;
}

bool OpenH264::streamParameters(AVCodecParameters* par)
{
    return m_encoder &&
           CodedStream::describe(par, m_preset.videoCodec(), extraData(), extraDataSize());
}

bool OpenH264::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                      unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                      long long&, long long&)
{
    if (!m_encoder || !data)
        return false;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const size_t lumaSize = static_cast<size_t>(video.width) * video.height;
    const size_t frameSize = lumaSize * 3 / 2;
    if (size < frameSize) {
        qCWarning(lcStrevo,
                  "OpenH264: frame of %u bytes is short of the %zu bytes of %dx%d YUV420P", size,
                  frameSize, video.width, video.height);
        return false;
    }

    // The encoder copies the picture into its own buffers during EncodeFrame, so the planes
    // point straight into the caller's frame.
    SSourcePicture source;
    std::memset(&source, 0, sizeof(source));
    source.iColorFormat = videoFormatI420;
    source.iStride[0] = video.width;
    source.iStride[1] = video.width / 2;
    source.iStride[2] = video.width / 2;
    source.pData[0] = data;
    source.pData[1] = data + lumaSize;
    source.pData[2] = data + lumaSize + lumaSize / 4;
    source.iPicWidth = video.width;
    source.iPicHeight = video.height;
    // Milliseconds of the frame's position in the stream; the rate control measures
    // elapsed time with them.
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    source.uiTimeStamp = m_frameIndex * 1000 * rate.den / rate.num;
    ++m_frameIndex;

    if (m_keyFrameRequested)
        m_encoder->ForceIntraFrame(true);

    SFrameBSInfo info;
    std::memset(&info, 0, sizeof(info));
    if (m_encoder->EncodeFrame(&source, &info) != 0) {
        qCWarning(lcStrevo, "OpenH264: cannot encode frame %lld", m_frameIndex - 1);
        return false;
    }
    if (info.eFrameType == videoFrameTypeIDR)
        m_keyFrameRequested = false;
    if (info.eFrameType == videoFrameTypeSkip) {
        qCDebug(lcStrevo, "OpenH264: frame %lld skipped", m_frameIndex - 1);
        return true;
    }

    // Every layer goes into the packet, the parameter sets that come with an IDR picture too:
    // they repeat extraData(), but containers without a global header (AVI, MPEG-TS) and
    // players that read those containers find them only in the stream.
    size_t total = 0;
    for (int l = 0; l < info.iLayerNum; ++l) {
        const SLayerBSInfo& layer = info.sLayerInfo[l];
        for (int i = 0; i < layer.iNalCount; ++i)
            total += static_cast<size_t>(layer.pNalLengthInByte[i]);
    }
    if (total == 0)
        return false;
    if (total > outCapacity) {
        qCWarning(lcStrevo, "OpenH264: packet of %zu bytes does not fit the %u-byte output buffer",
                  total, outCapacity);
        return false;
    }

    size_t pos = 0;
    for (int l = 0; l < info.iLayerNum; ++l) {
        const SLayerBSInfo& layer = info.sLayerInfo[l];
        size_t length = 0;
        for (int i = 0; i < layer.iNalCount; ++i)
            length += static_cast<size_t>(layer.pNalLengthInByte[i]);
        std::memcpy(out + pos, layer.pBsBuf, length);
        pos += length;
    }
    outSize = static_cast<unsigned int>(pos);
    if (info.eFrameType == videoFrameTypeIDR)
        keyFrame = 1;
    return true;
}

bool OpenH264::setBitrate(int kbps)
{
    if (!m_encoder || kbps <= 0 || kbps > INT_MAX / 1000)
        return false;
    SBitrateInfo rate{SPATIAL_LAYER_ALL, kbps * 1000};
    // The ceiling is never below the target: raised first when the rate goes up, lowered last
    // when it goes down.
    const bool up = kbps * 1000 > m_bitsPerSecond;
    const ENCODER_OPTION first = up ? ENCODER_OPTION_MAX_BITRATE : ENCODER_OPTION_BITRATE;
    const ENCODER_OPTION second = up ? ENCODER_OPTION_BITRATE : ENCODER_OPTION_MAX_BITRATE;
    if (m_encoder->SetOption(first, &rate) != 0 || m_encoder->SetOption(second, &rate) != 0)
        return false;
    m_bitsPerSecond = kbps * 1000;
    return true;
}
