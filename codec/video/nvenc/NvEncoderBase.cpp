#include "codec/video/nvenc/NvEncoderBase.h"

#include "codec/video/CodedStream.h"
#include "codec/video/VideoRecordCheck.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// A completion event normally comes within one picture time of NVENC; this bound only keeps a
// lost picture from stopping the pipeline for good.
constexpr std::chrono::milliseconds kCompletionTimeout(5000);
constexpr std::chrono::milliseconds kEndOfStreamTimeout(500);
constexpr uint32_t kParameterSetLimit = 256;

const char* multiPassName(NV_ENC_MULTI_PASS pass)
{
    switch (pass) {
    case NV_ENC_TWO_PASS_QUARTER_RESOLUTION:
        return "two-pass, quarter-resolution first pass";
    case NV_ENC_TWO_PASS_FULL_RESOLUTION:
        return "two-pass, full-resolution first pass";
    default:
        return "single pass";
    }
}

GUID profileGuid(int codec, int profileIdc)
{
    if (codec == 1)
        return NV_ENC_HEVC_PROFILE_MAIN_GUID;
    switch (profileIdc) {
    case 66:
        return NV_ENC_H264_PROFILE_BASELINE_GUID;
    case 100:
        return NV_ENC_H264_PROFILE_HIGH_GUID;
    default:
        return NV_ENC_H264_PROFILE_MAIN_GUID;
    }
}

} // namespace

NvEncoderBase::NvEncoderBase() : m_session(std::make_unique<CNvHWEncoder>())
{
    m_endOfStream.output.endOfStream = true;
}

NvEncoderBase::~NvEncoderBase() = default;

int NvEncoderBase::supportFormat()
{
    return PIX_NV12;
}

unsigned int NvEncoderBase::maxPacketSize()
{
    return m_open ? kBitstreamBufferSize : 0;
}

bool NvEncoderBase::streamParameters(AVCodecParameters* par)
{
    return m_open &&
           CodedStream::describe(par, m_preset.videoCodec(), extraData(), extraDataSize());
}

uint32_t NvEncoderBase::bFrameCount(int codec, int requested)
{
    if (codec != 0 || requested <= 0)
        return 0;
    int maxB = 0;
    if (m_session->getCaps(CNvHWEncoder::codecGuid(0), NV_ENC_CAPS_NUM_MAX_BFRAMES, &maxB) !=
        NV_ENC_SUCCESS)
        return 0;
    return static_cast<uint32_t>(std::max(0, std::min(requested, maxB)));
}

bool NvEncoderBase::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (video.codecName != QLatin1String("H264(NVENC)") &&
        video.codecName != QLatin1String("HEVC(NVENC)")) {
        qCWarning(lcStrevo, "%s: cannot encode '%s': only H264(NVENC) and HEVC(NVENC)", className(),
                  qPrintable(video.codecName));
        return false;
    }
    if (!VideoRecordCheck::check(video, className()))
        return false;
    if (!openDevice())
        return false;
    if (!configure(preset))
        return false;
    const NVENCSTATUS r =
        allocateBuffers(static_cast<uint32_t>(video.width), static_cast<uint32_t>(video.height));
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s: setting up the buffers failed (%d)", className(), r);
        return false;
    }
    if (!fetchParameterSets())
        return false;
    m_open = true;
    return true;
}

bool NvEncoderBase::configure(CodecPreset* callerPreset)
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    CNvHWEncoder::EncodeConfig config;
    config.width = static_cast<uint32_t>(video.width);
    config.height = static_cast<uint32_t>(video.height);
    config.fps = video.frameRate;
    config.bitrate = static_cast<uint32_t>(video.bitrate) * 1000;
    config.vbvMaxBitrate = static_cast<uint32_t>(config.bitrate * 1.2);
    config.vbvSize = vbvSizeFor(config.bitrate);
    config.codec = video.codecName == QLatin1String("HEVC(NVENC)") ? 1 : 0;
    const CNvHWEncoder::Preset& preset = CNvHWEncoder::preset(video.preset.toUtf8().constData());
    config.presetGUID = CNvHWEncoder::presetGuid(preset.level);
    config.tuning = preset.tuning;
    config.multiPass = preset.multiPass;
    config.gopLength = static_cast<uint32_t>(video.keyframeInterval * video.frameRate);
    config.numB = bFrameCount(config.codec, video.bFrames);
    config.pictureStruct = m_pictureStruct;
    config.profileGUID = profileGuid(config.codec, video.profileIdc);

    // Every picture goes in as a progressive frame, and the caller's record says so.
    callerPreset->videoCodec().scanMode = 0;

    qCDebug(lcStrevo, "         class           : \"%s\"", className());
    qCDebug(lcStrevo, "         codec           : \"%s\"", config.codec == 1 ? "HEVC" : "H264");
    qCDebug(lcStrevo, "         size            : %dx%d", config.width, config.height);
    qCDebug(lcStrevo, "         bitrate         : %d bits/sec", config.bitrate);
    if (logsRateDetails())
        qCDebug(lcStrevo, "         vbvMaxBitrate   : %d bits/sec", config.vbvMaxBitrate);
    qCDebug(lcStrevo, "         vbvSize         : %d bits", config.vbvSize);
    qCDebug(lcStrevo, "         fps             : %f frames/sec", config.fps);
    if (preset.tuning == NV_ENC_TUNING_INFO_LOSSLESS || !config.bitrate)
        qCDebug(lcStrevo, "         rcMode          : CONSTQP");
    else
        qCDebug(lcStrevo, "         rcMode          : CBR, %s", multiPassName(config.multiPass));
    if (logsRateDetails()) {
        if (config.gopLength == 0xFFFFFFFF)
            qCDebug(lcStrevo, "         goplength       : INFINITE GOP");
        else
            qCDebug(lcStrevo, "         goplength       : %d", config.gopLength);
        qCDebug(lcStrevo, "         B frames        : %d", config.numB);
        qCDebug(lcStrevo, "         QP              : %d", config.qp);
    }
    qCDebug(lcStrevo, "         preset          : P%d, %s (\"%s\")", preset.level,
            CNvHWEncoder::tuningName(preset.tuning), preset.name);

    const NVENCSTATUS r = m_session->createEncoder(&config);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s: the NVENC session could not be configured (%d)", className(), r);
        return false;
    }
    const uint32_t n = std::min<uint32_t>(bufferCountFor(config.numB), kMaxBuffers);
    m_ring.reset(m_buffers, n);
    return true;
}

bool NvEncoderBase::fetchParameterSets()
{
    std::vector<unsigned char> payload(kParameterSetLimit);
    uint32_t written = 0;
    NV_ENC_SEQUENCE_PARAM_PAYLOAD params{};
    params.inBufferSize = kParameterSetLimit;
    params.spsppsBuffer = payload.data();
    params.outSPSPPSPayloadSize = &written;
    if (m_session->getSequenceParams(&params) != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s: the parameter sets could not be read", className());
        return false;
    }
    payload.resize(std::min(written, kParameterSetLimit));
    m_extra = std::move(payload);
    return true;
}

NVENCSTATUS NvEncoderBase::setUpOutput(NvEncodeBuffer& buffer, bool withEvent)
{
    NVENCSTATUS r =
        m_session->createBitstreamBuffer(kBitstreamBufferSize, &buffer.output.bitstream);
    if (r != NV_ENC_SUCCESS)
        return r;
    if (withEvent) {
        r = m_session->registerAsyncEvent(&buffer.output.event);
        if (r != NV_ENC_SUCCESS)
            return r;
    }
    buffer.output.waitOnEvent = withEvent;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NvEncoderBase::setUpEndOfStream(bool withEvent)
{
    m_endOfStream.output.endOfStream = true;
    return withEvent ? m_session->registerAsyncEvent(&m_endOfStream.output.event) : NV_ENC_SUCCESS;
}

NVENCSTATUS NvEncoderBase::collect(NvEncodeBuffer& buffer, unsigned char* out,
                                   unsigned int capacity, unsigned int& outSize,
                                   unsigned int& keyFrame, long long& pts)
{
    NVENCSTATUS r = NV_ENC_SUCCESS;
    if (!buffer.submitted || (!buffer.output.bitstream && !buffer.output.endOfStream)) {
        r = NV_ENC_ERR_INVALID_PARAM;
    } else if (buffer.output.waitOnEvent &&
               (!buffer.output.event || !buffer.output.event->wait(kCompletionTimeout))) {
        qCWarning(lcStrevo, "%s: NVENC did not complete a picture within %lld ms", className(),
                  static_cast<long long>(kCompletionTimeout.count()));
        r = NV_ENC_ERR_GENERIC;
    } else if (!buffer.output.endOfStream) {
        uint32_t size = 0, key = keyFrame;
        uint64_t stamp = 0;
        r = m_session->fetchOutput(buffer.output.bitstream, out, capacity, &size, &key, &stamp);
        if (r == NV_ENC_SUCCESS && out) {
            outSize = size;
            keyFrame = key;
            pts = static_cast<long long>(stamp);
        }
    }
    buffer.submitted = false;
    if (buffer.input.mapped) {
        m_session->unmapInput(buffer.input.mapped);
        buffer.input.mapped = nullptr;
    }
    return r;
}

bool NvEncoderBase::deliver(NvEncodeBuffer& buffer, unsigned char* out, unsigned int capacity,
                            unsigned int& outSize, unsigned int& keyFrame, long long& pts,
                            long long& dts)
{
    unsigned int size = outSize, key = keyFrame;
    long long stamp = pts;
    if (collect(buffer, out, capacity, size, key, stamp) != NV_ENC_SUCCESS)
        return false;
    outSize = size;
    keyFrame = key;
    pts = stamp;
    dts = m_packetCounter++;
    if (m_extra.empty() && !fetchParameterSets())
        return false;
    return true;
}

bool NvEncoderBase::encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                           unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                           long long& pts, long long& dts)
{
    if (!m_open)
        return false;
    if (!data)
        return drainOne(out, outCapacity, outSize, keyFrame, pts, dts);
    // The texture inputs take nothing but a texture (pixels read as one would crash), the CUDA
    // input nothing but pixels.
    if ((format == PIX_TEXTURE) != isHWTextureSupport()) {
        qCWarning(lcStrevo, "%s: cannot encode a frame of pixel format %d", className(), format);
        return false;
    }
    if (m_endOfStreamSent) {
        // A frame after a drain starts a new coded sequence.
        m_endOfStreamSent = false;
        m_forceIdr = true;
    }

    bool delivered = false;
    NvEncodeBuffer* buffer = m_ring.takeFree();
    if (!buffer) {
        delivered = deliver(*m_ring.takeOldest(), out, outCapacity, outSize, keyFrame, pts, dts);
        buffer = m_ring.takeFree();
    }
    // A frame that does not reach NVENC gives its buffer back at once. A packet collected above
    // is still handed out.
    if (!loadFrame(*buffer, data, size)) {
        m_ring.untakeFree();
        return delivered;
    }
    if (m_session->mapInput(buffer->input.registered, &buffer->input.mapped) != NV_ENC_SUCCESS) {
        buffer->input.mapped = nullptr;
        m_ring.untakeFree();
        return delivered;
    }
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const NVENCSTATUS r = m_session->encodePicture(
        buffer->input.mapped, buffer->input.format, static_cast<uint32_t>(video.width),
        static_cast<uint32_t>(video.height), buffer->output.bitstream, buffer->output.event.get(),
        m_pictureStruct, m_forceIdr ? NV_ENC_PIC_FLAG_FORCEIDR : 0);
    if (r != NV_ENC_SUCCESS && r != NV_ENC_ERR_NEED_MORE_INPUT) {
        m_session->unmapInput(buffer->input.mapped);
        buffer->input.mapped = nullptr;
        m_ring.untakeFree();
        return delivered;
    }
    m_forceIdr = false;
    buffer->submitted = true;
    return delivered;
}

bool NvEncoderBase::drainOne(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                             unsigned int& keyFrame, long long& pts, long long& dts)
{
    if (m_ring.pending() == 0)
        return false;
    if (!m_endOfStreamSent) {
        if (m_session->flushQueue(m_endOfStream.output.event.get()) != NV_ENC_SUCCESS) {
            // Without the end of stream, pictures held for reordering may never complete.
            discardPending();
            return false;
        }
        m_endOfStreamSent = true;
    }
    bool delivered = false;
    while (!delivered && m_ring.pending() > 0)
        delivered = deliver(*m_ring.takeOldest(), out, capacity, outSize, keyFrame, pts, dts);
    if (m_ring.pending() == 0)
        waitForEndOfStream();
    return delivered;
}

void NvEncoderBase::waitForEndOfStream()
{
    if (waitsForEndOfStream() && m_endOfStream.output.event)
        m_endOfStream.output.event->wait(kEndOfStreamTimeout);
}

void NvEncoderBase::discardPending()
{
    while (NvEncodeBuffer* b = m_ring.takeOldest()) {
        b->submitted = false;
        if (b->input.mapped) {
            m_session->unmapInput(b->input.mapped);
            b->input.mapped = nullptr;
        }
    }
}

void NvEncoderBase::shutdown()
{
    if (!m_session)
        return;
    // What is still in flight is completed and thrown away: there is nobody to hand it to.
    if (m_session->initialized() && (m_ring.pending() > 0 || !m_endOfStreamSent) &&
        m_session->flushQueue(m_endOfStream.output.event.get()) == NV_ENC_SUCCESS) {
        unsigned int size = 0, key = 0;
        long long pts = -1;
        while (NvEncodeBuffer* b = m_ring.takeOldest())
            collect(*b, nullptr, 0, size, key, pts);
        waitForEndOfStream();
    }
    discardPending();
    releaseInputs();
    for (NvEncodeBuffer& b : m_buffers) {
        m_session->destroyBitstreamBuffer(b.output.bitstream);
        b.output.bitstream = nullptr;
        m_session->unregisterAsyncEvent(b.output.event.get());
        b.output.event.reset();
    }
    m_session->unregisterAsyncEvent(m_endOfStream.output.event.get());
    m_endOfStream.output.event.reset();
    m_session->destroyEncoder();
    closeDevice();
    m_session.reset();
    m_open = false;
}
