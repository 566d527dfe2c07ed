#include "platform/mf/MFLibavTransform.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t MFT_SET_TYPE_TEST_ONLY = 1;

} // namespace

MFLibavTransform::MFLibavTransform(const Backend& backend)
    : m_backend(backend), m_attributes(std::make_shared<MFAttributes>())
{
    if (backend.async)
        m_attributes->SetUINT32(MFGuids::MF_TRANSFORM_ASYNC, 1);
}

const MFLibavTransform::GpuEncoder* MFLibavTransform::GpuProbe::find(const GUID& classId) const
{
    for (const GpuEncoder& e : found)
        if (e.classId == classId)
            return &e;
    return nullptr;
}

MFLibavTransform::GpuProbe
MFLibavTransform::probeGpuEncoders(const std::vector<RenderNodeProbe::Node>& nodes,
                                   bool nvidiaDriver, const OpenCheck& canOpen)
{
    GpuProbe probe;
    auto found = [&](const GUID& id, const Backend& backend, const QString& device) {
        probe.found.push_back({id, backend, device});
        qCInfo(lcStrevo, "MFLibavTransform: %s encodes here on %s, as transform %s",
               backend.encoder.constData(), qPrintable(device), qPrintable(guidToString(id)));
    };
    // A vendor's class through VA-API on the first of its nodes that opens the encoder.
    auto vaapi = [&](const GUID& id, const char* encoder, bool hevc, const char* pciId) {
        RenderNodeProbe::Choice choice;
        QString why;
        const auto tryOpen = [&](const RenderNodeProbe::Node& node, bool lowPower) {
            return canOpen(encoder, hevc, node.path, lowPower);
        };
        if (RenderNodeProbe::choose(nodes, pciId, tryOpen, &choice, &why))
            found(id, Backend{encoder, choice.node.path, hevc, true, choice.lowPower},
                  QStringLiteral("VA-API ") + choice.describe());
        else
            probe.refused[id] = why;
    };
    // Intel's own runtime first (it takes the GPU the runtime picks), on machines with an
    // Intel GPU.
    const bool intel = std::any_of(nodes.begin(), nodes.end(), [](const auto& node) {
        return node.pciId == RenderNodeProbe::kIntel;
    });
    for (const bool hevc : {false, true}) {
        const GUID& id = hevc ? MFGuids::CLSID_IntelHevcEncoder : MFGuids::CLSID_IntelH264Encoder;
        const char* qsv = hevc ? "hevc_qsv" : "h264_qsv";
        if (intel && canOpen(qsv, hevc, QByteArray(), false))
            found(id, Backend{qsv, QByteArray(), hevc, true}, QStringLiteral("Intel Media SDK"));
        else
            vaapi(id, hevc ? "hevc_vaapi" : "h264_vaapi", hevc, RenderNodeProbe::kIntel);
    }
    vaapi(MFGuids::CLSID_AmdH264Encoder, "h264_vaapi", false, RenderNodeProbe::kAmd);
    vaapi(MFGuids::CLSID_AmdHevcEncoder, "hevc_vaapi", true, RenderNodeProbe::kAmd);
    // libavcodec's NVENC wrapper loads the driver's libraries itself; only try where the
    // driver is loaded.
    for (const bool hevc : {false, true}) {
        const GUID& id = hevc ? MFGuids::CLSID_NvidiaHevcEncoder : MFGuids::CLSID_NvidiaH264Encoder;
        const char* nvenc = hevc ? "hevc_nvenc" : "h264_nvenc";
        if (!nvidiaDriver)
            probe.refused[id] = QStringLiteral("no NVIDIA driver loaded");
        else if (canOpen(nvenc, hevc, QByteArray(), false))
            found(id, Backend{nvenc, QByteArray(), hevc, true}, QStringLiteral("NVIDIA driver"));
        else
            probe.refused[id] = QStringLiteral("%1 did not open").arg(QLatin1String(nvenc));
    }
    return probe;
}

const MFLibavTransform::GpuProbe& MFLibavTransform::gpuEncoders()
{
    static const GpuProbe probe = probeGpuEncoders(
        RenderNodeProbe::listNodes(), ::access("/proc/driver/nvidia/version", R_OK) == 0,
        [](const char* encoder, bool hevc, const QByteArray& node, bool low) {
            return MFLibavEncoder::canOpen(encoder, hevc, node, low);
        });
    return probe;
}

HRESULT MFLibavTransform::GetAttributes(std::shared_ptr<MFAttributes>* attributes)
{
    if (!attributes)
        return E_POINTER;
    *attributes = m_attributes;
    return S_OK;
}

uint32_t MFLibavTransform::maxPacketSize() const
{
    // Twice the raw 4:2:0 picture: an intra picture of noise can exceed the raw size.
    return static_cast<uint32_t>(m_settings.width) * m_settings.height * 3 + 4096;
}

HRESULT MFLibavTransform::GetOutputStreamInfo(uint32_t stream, MFT_OUTPUT_STREAM_INFO* info)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!info)
        return E_POINTER;
    info->dwFlags = m_backend.async ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
    info->cbSize = m_outputType ? maxPacketSize() : 0;
    info->cbAlignment = 0;
    return S_OK;
}

HRESULT MFLibavTransform::SetOutputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                                        uint32_t flags)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type) {
        m_outputType.reset();
        return S_OK;
    }
    GUID subtype{};
    uint32_t width = 0, height = 0, num = 0, den = 0;
    if (FAILED(type->GetGUID(MFGuids::MF_MT_SUBTYPE, &subtype)) ||
        subtype != (m_backend.hevc ? MFGuids::MFVideoFormat_HEVC : MFGuids::MFVideoFormat_H264) ||
        FAILED(type->GetPair(MFGuids::MF_MT_FRAME_SIZE, &width, &height)) || width == 0 ||
        height == 0 || width % 2 || height % 2 || width > 16384 || height > 16384 ||
        FAILED(type->GetPair(MFGuids::MF_MT_FRAME_RATE, &num, &den)) || num == 0 || den == 0)
        return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY)
        return S_OK;

    m_outputType = MFMediaType::create();
    type->CopyAllItems(m_outputType.get());
    m_outputType->DeleteItem(MFGuids::MF_MT_MPEG_SEQUENCE_HEADER);
    m_headerSet = false;
    m_settings = MFLibavEncoder::Settings();
    m_settings.encoder = m_backend.encoder;
    m_settings.renderNode = m_backend.renderNode;
    m_settings.lowPower = m_backend.lowPower;
    m_settings.hevc = m_backend.hevc;
    m_settings.width = static_cast<int>(width);
    m_settings.height = static_cast<int>(height);
    m_settings.frameRate = AVRational{static_cast<int>(num), static_cast<int>(den)};
    uint32_t value = 0;
    if (SUCCEEDED(type->GetUINT32(MFGuids::MF_MT_AVG_BITRATE, &value)))
        m_settings.bitrate = value;
    if (SUCCEEDED(type->GetUINT32(MFGuids::MF_MT_MAX_KEYFRAME_SPACING, &value)))
        m_settings.gop = static_cast<int>(value);
    if (!m_backend.hevc && SUCCEEDED(type->GetUINT32(MFGuids::MF_MT_MPEG2_PROFILE, &value)) &&
        (value == 66 || value == 77 || value == 100))
        m_settings.profile = static_cast<int>(value);
    return S_OK;
}

HRESULT MFLibavTransform::SetInputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                                       uint32_t flags)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type) {
        m_inputType.reset();
        return S_OK;
    }
    if (!m_outputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    GUID subtype{};
    uint32_t width = 0, height = 0;
    if (FAILED(type->GetGUID(MFGuids::MF_MT_SUBTYPE, &subtype)) ||
        subtype != MFGuids::MFVideoFormat_NV12 ||
        FAILED(type->GetPair(MFGuids::MF_MT_FRAME_SIZE, &width, &height)) ||
        static_cast<int>(width) != m_settings.width ||
        static_cast<int>(height) != m_settings.height)
        return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY)
        return S_OK;
    if (!m_encoder.open(m_settings))
        return E_FAIL;
    m_inputType = MFMediaType::create();
    type->CopyAllItems(m_inputType.get());
    m_ready.clear();
    m_drained = false;
    return S_OK;
}

HRESULT MFLibavTransform::GetOutputCurrentType(uint32_t stream, std::shared_ptr<MFMediaType>* type)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type)
        return E_POINTER;
    if (!m_outputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    *type = m_outputType;
    return S_OK;
}

HRESULT MFLibavTransform::GetOutputAvailableType(uint32_t stream, uint32_t index,
                                                 std::shared_ptr<MFMediaType>* type)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type)
        return E_POINTER;
    if (index > 0)
        return MF_E_NO_MORE_TYPES;
    auto offered = MFMediaType::create();
    if (m_outputType)
        m_outputType->CopyAllItems(offered.get());
    offered->SetGUID(MFGuids::MF_MT_MAJOR_TYPE, MFGuids::MFMediaType_Video);
    offered->SetGUID(MFGuids::MF_MT_SUBTYPE,
                     m_backend.hevc ? MFGuids::MFVideoFormat_HEVC : MFGuids::MFVideoFormat_H264);
    *type = offered;
    return S_OK;
}

HRESULT MFLibavTransform::ProcessMessage(MFT_MESSAGE_TYPE message, uintptr_t)
{
    switch (message) {
    case MFT_MESSAGE_NOTIFY_BEGIN_STREAMING:
        m_streaming = true;
        return S_OK;
    case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        if (!m_inputType)
            return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (m_backend.async && m_inputRequests == 0) {
            m_inputRequests = 1;
            QueueEvent(METransformNeedInput);
        }
        return S_OK;
    case MFT_MESSAGE_COMMAND_DRAIN: {
        if (!m_encoder.isOpen())
            return MF_E_TRANSFORM_TYPE_NOT_SET;
        const HRESULT hr = m_drained ? S_OK : (m_encoder.flush() ? collect() : E_FAIL);
        m_drained = true;
        if (m_backend.async) {
            // Input requests start again after the drain completes.
            m_inputRequests = 1;
            QueueEvent(METransformDrainComplete, hr);
            QueueEvent(METransformNeedInput);
        }
        return hr;
    }
    case MFT_MESSAGE_COMMAND_FLUSH:
        m_ready.clear();
        m_drained = true;
        return S_OK;
    default:
        return S_OK;
    }
}

HRESULT MFLibavTransform::collect()
{
    MFLibavEncoder::Packet packet;
    for (;;) {
        const int got = m_encoder.receive(&packet);
        if (got == 0)
            return S_OK;
        if (got < 0)
            return E_FAIL;
        m_ready.push_back(std::move(packet));
        if (m_backend.async)
            QueueEvent(METransformHaveOutput);
    }
}

HRESULT MFLibavTransform::ProcessInput(uint32_t stream, const std::shared_ptr<MFSample>& sample,
                                       uint32_t)
{
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!sample)
        return E_POINTER;
    if (!m_inputType || !m_outputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (m_backend.async) {
        uint32_t unlocked = 0;
        m_attributes->GetUINT32(MFGuids::MF_TRANSFORM_ASYNC_UNLOCK, &unlocked);
        if (!unlocked)
            return MF_E_TRANSFORM_ASYNC_LOCKED;
        if (m_inputRequests == 0)
            return MF_E_NOTACCEPTING;
    }
    std::shared_ptr<MFMediaBuffer> buffer;
    HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr))
        return hr;
    const uint32_t pictureSize =
        static_cast<uint32_t>(m_settings.width) * m_settings.height * 3 / 2;
    if (buffer->GetCurrentLength() < pictureSize)
        return MF_E_BUFFERTOOSMALL;
    if (m_drained) {
        m_drained = false;
        if (!m_encoder.open(m_settings))
            return E_FAIL;
    }
    uint8_t* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    const bool sent = m_encoder.send(data, buffer, m_forceKey);
    buffer->Unlock();
    if (!sent)
        return E_FAIL;
    m_forceKey = false;
    m_lastTime = sample->GetSampleTime();
    m_lastDuration = sample->GetSampleDuration();
    hr = collect();
    if (m_backend.async) {
        // The request is served; the next one follows at once, as the work is already done.
        QueueEvent(METransformNeedInput);
    }
    return hr;
}

HRESULT MFLibavTransform::ProcessOutput(uint32_t, uint32_t count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                        uint32_t* status)
{
    if (count < 1 || !buffers)
        return E_INVALIDARG;
    if (status)
        *status = 0;
    if (m_ready.empty())
        return MF_E_TRANSFORM_NEED_MORE_INPUT;
    const MFLibavEncoder::Packet& packet = m_ready.front();
    const uint32_t size = static_cast<uint32_t>(packet.data.size());
    MFT_OUTPUT_DATA_BUFFER& slot = buffers[0];
    std::shared_ptr<MFMediaBuffer> buffer;
    if (m_backend.async) {
        slot.pSample = MFSample::create();
        buffer = MFMediaBuffer::create(size);
        slot.pSample->AddBuffer(buffer);
    } else {
        if (!slot.pSample)
            return E_INVALIDARG;
        const HRESULT hr = slot.pSample->ConvertToContiguousBuffer(&buffer);
        if (FAILED(hr))
            return hr;
        if (buffer->GetMaxLength() < size)
            return MF_E_BUFFERTOOSMALL;
    }
    uint8_t* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    std::memcpy(data, packet.data.data(), size);
    buffer->Unlock();
    buffer->SetCurrentLength(size);
    slot.pSample->SetUINT32(MFGuids::MFSampleExtension_CleanPoint, packet.key ? 1 : 0);
    slot.pSample->SetSampleTime(m_lastTime);
    slot.pSample->SetSampleDuration(m_lastDuration);
    slot.dwStatus = 0;
    if (packet.key && !m_headerSet) {
        const QByteArray sets =
            MFLibavEncoder::parameterSets(packet.data.data(), size, m_backend.hevc);
        if (!sets.isEmpty()) {
            m_outputType->SetBlob(MFGuids::MF_MT_MPEG_SEQUENCE_HEADER,
                                  reinterpret_cast<const uint8_t*>(sets.constData()),
                                  static_cast<uint32_t>(sets.size()));
            m_headerSet = true;
        }
    }
    m_ready.pop_front();
    return S_OK;
}

HRESULT MFLibavTransform::IsSupported(const GUID& api)
{
    return api == MFGuids::CODECAPI_AVEncVideoForceKeyFrame ? S_OK : E_NOTIMPL;
}

HRESULT MFLibavTransform::GetValue(const GUID& api, uint32_t* value)
{
    if (api != MFGuids::CODECAPI_AVEncVideoForceKeyFrame)
        return E_NOTIMPL;
    if (!value)
        return E_POINTER;
    *value = m_forceKey ? 1 : 0;
    return S_OK;
}

HRESULT MFLibavTransform::SetValue(const GUID& api, uint32_t value)
{
    if (api != MFGuids::CODECAPI_AVEncVideoForceKeyFrame)
        return E_NOTIMPL;
    m_forceKey = value != 0;
    return S_OK;
}
