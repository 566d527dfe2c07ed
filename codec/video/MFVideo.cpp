#include "codec/video/MFVideo.h"

#include "codec/video/VideoRecordCheck.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "platform/mf/ICodecAPI.h"
#include "platform/mf/IMFMediaEventGenerator.h"
#include "platform/mf/MFError.h"
#include "platform/mf/MFLibavTransform.h"
#include "platform/mf/MFPlatform.h"

#include <QDebug>
#include <QLoggingCategory>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

// Media-type dumps and renegotiations: debug messages, off unless enabled by a filter rule.
Q_LOGGING_CATEGORY(mfLog, "strevo.mf", QtWarningMsg)

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

struct Choice
{
    const char* name;
    const GUID* classId;
    bool hevc;
};

const Choice kChoices[] = {
    {"H264(QuickSync)", &MFGuids::CLSID_IntelH264Encoder, false},
    {"HEVC(QuickSync)", &MFGuids::CLSID_IntelHevcEncoder, true},
    {"H264(NVENC)", &MFGuids::CLSID_NvidiaH264Encoder, false},
    {"HEVC(NVENC)", &MFGuids::CLSID_NvidiaHevcEncoder, true},
    {"H264(AMF)", &MFGuids::CLSID_AmdH264Encoder, false},
    {"HEVC(AMF)", &MFGuids::CLSID_AmdHevcEncoder, true},
};

const Choice* choiceFor(const QString& name)
{
    for (const Choice& c : kChoices)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QByteArray attributeValue(const MFAttributes::Value& value)
{
    if (const auto* v = std::get_if<uint32_t>(&value))
        return QByteArray::number(*v);
    if (const auto* v = std::get_if<uint64_t>(&value))
        return QByteArray::number(static_cast<uint32_t>(*v >> 32)) + ", " +
               QByteArray::number(static_cast<uint32_t>(*v));
    if (const auto* v = std::get_if<double>(&value))
        return QByteArray::number(*v);
    if (const auto* v = std::get_if<GUID>(&value)) {
        const char* name = MFGuids::name(*v);
        return name ? QByteArray(name) : guidToString(*v).toLatin1();
    }
    return "<<byte array>>";
}

} // namespace

MFVideo::MFVideo() = default;

MFVideo::~MFVideo()
{
    // An asynchronous transform finishes the frames it holds before it is released; what it
    // still codes is lost, as is what was collected and not handed out.
    if (m_async && m_transform && m_inFlight.load() > 0) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kEventWaitMs);
        while (m_needInput.load() == 0 && remainingMs(deadline) > 0) {
            const HRESULT hr = collectOutput();
            if (FAILED(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
                MFError::report("MFVideo::~MFVideo", "ProcessOutput()", hr);
                break;
            }
            if (m_needInput.load() == 0 && m_haveOutput.load() == 0 &&
                waitEvent(remainingMs(deadline)) == MF_E_SHUTDOWN)
                break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        m_outputList.clear();
    }
    m_eventGenerator.reset();
    m_codecApi.reset();
    m_transform.reset();
    m_inputQueue.clear();
    if (m_started)
        MFPlatform::MFShutdown();
}

int MFVideo::supportFormat()
{
    return PIX_NV12;
}

bool MFVideo::enableCheck(const GUID& classId)
{
    if (FAILED(MFPlatform::MFStartup(MF_VERSION, MFSTARTUP_FULL)))
        return false;
    std::shared_ptr<IMFTransform> transform;
    const bool created = SUCCEEDED(MFPlatform::CoCreateInstance(classId, &transform));
    transform.reset();
    MFPlatform::MFShutdown();
    return created;
}

bool MFVideo::enableCheck(const char* classId)
{
    GUID id{};
    return guidFromString(classId, &id) && enableCheck(id);
}

bool MFVideo::available(const QString& name)
{
    const Choice* c = choiceFor(name);
    return c && enableCheck(*c->classId);
}

QString MFVideo::device(const QString& name)
{
    const Choice* c = choiceFor(name);
    const MFLibavTransform::GpuEncoder* gpu =
        c ? MFLibavTransform::gpuEncoders().find(*c->classId) : nullptr;
    return gpu ? gpu->device : QString();
}

bool MFVideo::initialize(CodecPreset* preset)
{
    if (!preset) {
        qCWarning(lcStrevo, "MFVideo: no preset");
        return false;
    }
    m_preset = *preset;
    const CodecModel::VideoCodec& v = m_preset.videoCodec();
    const char* problem = nullptr;
    if (v.width <= 0 || v.height <= 0)
        problem = "size must be positive";
    else if (v.width % 2 || v.height % 2)
        problem = "size must be even";
    else if (static_cast<long long>(v.width) * v.height > CodecTable::kMaxVideoPixels)
        problem = "size is above what the encoder codes";
    else if (!std::isfinite(v.frameRate) || v.frameRate < VideoRecordCheck::kMinFrameRate ||
             v.frameRate > VideoRecordCheck::kMaxFrameRate)
        problem = "frame rate must be from 0.1 to 1000";
    else if (v.bitrate <= 0 || v.bitrate > INT_MAX / 1000)
        problem = "bitrate must be from 1 to 2147483 kbit/s";
    else if (v.keyframeInterval < 0 || v.keyframeInterval * v.frameRate >= INT_MAX)
        problem = "key-frame interval out of range";
    if (problem) {
        qCWarning(lcStrevo,
                  "MFVideo: cannot encode %s at %dx%d, %g fps, %d kbit/s, key frame every %d s: %s",
                  qPrintable(v.codecName), v.width, v.height, v.frameRate, v.bitrate,
                  v.keyframeInterval, problem);
        return false;
    }
    if (!open()) {
        m_eventGenerator.reset();
        m_codecApi.reset();
        m_transform.reset();
        return false;
    }
    return true;
}

std::shared_ptr<MFMediaType> MFVideo::buildType(bool output) const
{
    const CodecModel::VideoCodec& v = m_preset.videoCodec();
    std::shared_ptr<MFMediaType> type;
    MFPlatform::MFCreateMediaType(&type);
    const AVRational rate = CodecTable::frameRate(v.frameRate);
    const uint32_t width = static_cast<uint32_t>(v.width), height = static_cast<uint32_t>(v.height);
    type->SetGUID(MFGuids::MF_MT_MAJOR_TYPE, MFGuids::MFMediaType_Video);
    type->SetGUID(MFGuids::MF_MT_SUBTYPE,
                  !output ? MFGuids::MFVideoFormat_NV12
                          : (m_hevc ? MFGuids::MFVideoFormat_HEVC : MFGuids::MFVideoFormat_H264));
    type->SetPair(MFGuids::MF_MT_FRAME_SIZE, width, height);
    type->SetPair(MFGuids::MF_MT_FRAME_RATE, static_cast<uint32_t>(rate.num),
                  static_cast<uint32_t>(rate.den));
    type->SetUINT32(MFGuids::MF_MT_INTERLACE_MODE, 2); // progressive
    type->SetPair(MFGuids::MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    if (output) {
        static const uint32_t profiles[] = {66, 77, 100};
        type->SetUINT32(MFGuids::MF_MT_AVG_BITRATE, static_cast<uint32_t>(v.bitrate) * 1000);
        type->SetUINT32(MFGuids::MF_MT_MAX_KEYFRAME_SPACING,
                        static_cast<uint32_t>(VideoRecordCheck::keyFrameDistance(v)));
        type->SetUINT32(MFGuids::MF_MT_MPEG2_LEVEL, 0xFFFFFFFFu); // the transform chooses
        type->SetUINT32(MFGuids::MF_MT_MPEG2_PROFILE, m_hevc ? 1
                                                      : m_profileSelector < 3
                                                          ? profiles[m_profileSelector]
                                                          : 66);
    }
    return type;
}

bool MFVideo::open()
{
    const QString& name = m_preset.videoCodec().codecName;
    m_profileSelector = 1;
    const Choice* choice = choiceFor(name);
    const GUID* classId = choice ? choice->classId : &MFGuids::CLSID_MSH264EncoderMFT;
    m_hevc = choice && choice->hevc;
    m_async = choice != nullptr;

    HRESULT hr = MFPlatform::MFStartup(MF_VERSION, MFSTARTUP_FULL);
    if (FAILED(hr)) {
        MFError::report("MFVideo", "MFStartup()", hr);
        return false;
    }
    m_started = true;
    hr = MFPlatform::CoCreateInstance(*classId, &m_transform);
    if (hr == REGDB_E_CLASSNOTREG && choice) {
        const auto& refused = MFLibavTransform::gpuEncoders().refused;
        const auto why = refused.find(*classId);
        if (why != refused.end()) {
            qCWarning(lcStrevo, "MFVideo: %s cannot encode on this machine: %s", qPrintable(name),
                      qPrintable(why->second));
            return false;
        }
    }
    if (FAILED(hr)) {
        qCWarning(lcStrevo, "MFVideo: no encoder transform for %s (class %s) on this machine: %s",
                  qPrintable(name), qPrintable(guidToString(*classId)),
                  MFError::describe(hr).constData());
        return false;
    }
    const std::shared_ptr<MFMediaType> output = buildType(true);
    const std::shared_ptr<MFMediaType> input = buildType(false);
    if (m_async) {
        std::shared_ptr<MFAttributes> attributes;
        hr = m_transform->GetAttributes(&attributes);
        if (FAILED(hr) || !attributes) {
            MFError::report("MFVideo", "GetAttributes()", FAILED(hr) ? hr : E_POINTER);
            return false;
        }
        attributes->SetUINT32(MFGuids::MF_TRANSFORM_ASYNC_UNLOCK, 1);
    }
    m_codecApi = std::dynamic_pointer_cast<ICodecAPI>(m_transform);
    if (!m_codecApi) {
        MFError::report("MFVideo", "QueryInterface(ICodecAPI)", E_NOINTERFACE);
        return false;
    }

    qCDebug(mfLog, "Activating encoder: %s", qPrintable(name));
    dumpType("\nSetting output type to transform:", output.get());
    if (FAILED(hr = m_transform->SetOutputType(0, output, 0))) {
        MFError::report("MFVideo", "SetOutputType()", hr);
        return false;
    }
    dumpType("\nSetting input type to transform:", input.get());
    if (FAILED(hr = m_transform->SetInputType(0, input, 0))) {
        MFError::report("MFVideo", "SetInputType()", hr);
        return false;
    }
    if (FAILED(hr = m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0)) ||
        FAILED(hr = m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0))) {
        MFError::report("MFVideo", "ProcessMessage()", hr);
        return false;
    }
    if (m_async) {
        m_eventGenerator = std::dynamic_pointer_cast<IMFMediaEventGenerator>(m_transform);
        if (!m_eventGenerator) {
            MFError::report("MFVideo", "QueryInterface(IMFMediaEventGenerator)", E_NOINTERFACE);
            return false;
        }
    }
    MFT_OUTPUT_STREAM_INFO info;
    if (FAILED(hr = m_transform->GetOutputStreamInfo(0, &info))) {
        MFError::report("MFVideo", "GetOutputStreamInfo()", hr);
        return false;
    }
    m_callerAllocates = !(info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES |
                                          MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES));

    const CodecModel::VideoCodec& v = m_preset.videoCodec();
    MFPlatform::MFCalculateImageSize(MFGuids::MFVideoFormat_NV12, static_cast<uint32_t>(v.width),
                                     static_cast<uint32_t>(v.height), &m_imageSize);
    uint64_t duration = 0;
    MFPlatform::MFFrameRateToAverageTimePerFrame(static_cast<uint32_t>(v.frameRate * 1000), 1000,
                                                 &duration);
    m_sampleDuration = static_cast<int64_t>(duration);
    return true;
}

void MFVideo::dumpType(const char* title, MFMediaType* type) const
{
    if (!mfLog().isDebugEnabled())
        return;
    qCDebug(mfLog, "%s", title);
    const uint32_t count = type->GetCount();
    if (count == 0)
        qCDebug(mfLog, "    Empty media type.");
    for (uint32_t i = 0; i < count; ++i) {
        GUID key{};
        MFAttributes::Value value;
        type->GetItemByIndex(i, &key, &value);
        const char* name = MFGuids::name(key);
        qCDebug(mfLog, "    %s: %s", name ? name : qPrintable(guidToString(key)),
                attributeValue(value).constData());
    }
}

unsigned int MFVideo::maxPacketSize()
{
    return m_transform ? VideoRecordCheck::worstPacketSize(m_preset.videoCodec()) : 0;
}

void MFVideo::requestKeyFrame()
{
    if (m_codecApi)
        m_codecApi->SetValue(MFGuids::CODECAPI_AVEncVideoForceKeyFrame, 1);
}

unsigned char* MFVideo::extraData()
{
    return m_headerLength.load(std::memory_order_acquire) ? m_header.data() : nullptr;
}

unsigned int MFVideo::extraDataSize()
{
    return m_headerLength.load(std::memory_order_acquire);
}

void MFVideo::countEvent(const MFMediaEvent& event)
{
    if (FAILED(event.GetStatus())) {
        MFError::report("MFVideo", "transform event", event.GetStatus());
        return;
    }
    switch (event.GetType()) {
    case METransformNeedInput:
        m_needInput.fetch_add(1);
        break;
    case METransformHaveOutput:
        m_haveOutput.fetch_add(1);
        break;
    case METransformDrainComplete:
        // Input requests start afresh after a drain.
        m_drainDone = true;
        m_needInput.store(0);
        break;
    default:
        break;
    }
}

int MFVideo::drainEvents()
{
    for (;;) {
        std::shared_ptr<MFMediaEvent> event;
        const HRESULT hr = m_eventGenerator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        if (FAILED(hr))
            return hr;
        countEvent(*event);
    }
}

int MFVideo::waitEvent(int timeoutMs)
{
    std::shared_ptr<MFMediaEvent> event;
    const HRESULT hr = m_eventGenerator->GetEvent(0, &event, timeoutMs > 0 ? timeoutMs : 0);
    if (SUCCEEDED(hr))
        countEvent(*event);
    return hr;
}

int MFVideo::collectOutput()
{
    if (m_async) {
        drainEvents();
        if (m_haveOutput.load() == 0)
            return S_OK;
        m_haveOutput.fetch_sub(1);
    }
    for (;;) {
        MFT_OUTPUT_DATA_BUFFER buffer;
        if (m_callerAllocates) {
            MFT_OUTPUT_STREAM_INFO info;
            HRESULT hr = m_transform->GetOutputStreamInfo(0, &info);
            std::shared_ptr<MFMediaBuffer> memory;
            if (SUCCEEDED(hr))
                hr = MFPlatform::MFCreateSample(&buffer.pSample);
            if (SUCCEEDED(hr))
                hr = MFPlatform::MFCreateMemoryBuffer(info.cbSize, &memory);
            if (SUCCEEDED(hr))
                hr = buffer.pSample->AddBuffer(memory);
            if (FAILED(hr))
                return MFError::report("MFVideo", "output sample", hr);
        }
        uint32_t status = 0;
        HRESULT hr = m_transform->ProcessOutput(0, 1, &buffer, &status);
        if (SUCCEEDED(hr)) {
            std::shared_ptr<MFMediaBuffer> contiguous;
            if (!buffer.pSample ||
                FAILED(hr = buffer.pSample->ConvertToContiguousBuffer(&contiguous)))
                return MFError::report("MFVideo", "ConvertToContiguousBuffer()",
                                       buffer.pSample ? hr : E_POINTER);
            uint32_t clean = 0;
            buffer.pSample->GetUINT32(MFGuids::MFSampleExtension_CleanPoint, &clean);
            uint8_t* data = nullptr;
            uint32_t length = 0;
            contiguous->Lock(&data, nullptr, &length);
            if (clean && m_headerLength.load(std::memory_order_relaxed) == 0) {
                std::shared_ptr<MFMediaType> type;
                uint32_t size = 0;
                if (SUCCEEDED(m_transform->GetOutputCurrentType(0, &type)) &&
                    SUCCEEDED(type->GetBlobSize(MFGuids::MF_MT_MPEG_SEQUENCE_HEADER, &size)) &&
                    size > 0) {
                    m_header.resize(size);
                    if (SUCCEEDED(type->GetBlob(MFGuids::MF_MT_MPEG_SEQUENCE_HEADER,
                                                m_header.data(), size, &size)))
                        m_headerLength.store(size, std::memory_order_release);
                }
            }
            Packet packet;
            packet.bytes.assign(data, data + length);
            packet.keyFrame = clean ? 1 : 0;
            contiguous->Unlock();
            std::lock_guard<std::mutex> lock(m_outputMutex);
            m_outputList.push_back(std::move(packet));
            return S_OK;
        }
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            qCDebug(mfLog, "Updating output type to transform");
            std::shared_ptr<MFMediaType> type;
            if (FAILED(hr = m_transform->GetOutputAvailableType(0, 0, &type)) ||
                FAILED(hr = m_transform->SetOutputType(0, type, 0)))
                return MFError::report("MFVideo", "renegotiating the output type:", hr);
            dumpType("\nSetting output type to transform:", type.get());
            if (!m_async || m_haveOutput.load() == 0)
                return MF_E_TRANSFORM_NEED_MORE_INPUT;
            m_haveOutput.fetch_sub(1);
            continue;
        }
        if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT)
            MFError::report("MFVideo", "transform->ProcessOutput()", hr);
        return hr;
    }
}

int MFVideo::handOver(const std::shared_ptr<MFSample>& sample)
{
    if (m_needInput.load() == 1 && m_inputQueue.empty()) {
        m_needInput.fetch_sub(1);
        return m_transform->ProcessInput(0, sample, 0);
    }
    m_inputQueue.push_back(sample);
    while (m_needInput.load() >= 1 && !m_inputQueue.empty()) {
        const std::shared_ptr<MFSample> oldest = std::move(m_inputQueue.front());
        m_inputQueue.pop_front();
        m_needInput.fetch_sub(1);
        const HRESULT hr = m_transform->ProcessInput(0, oldest, 0);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

bool MFVideo::processInput(unsigned char* data, unsigned int size, Status* status)
{
    Status ignored;
    Status& result = status ? *status : ignored;
    result = Failed;
    if (!m_transform || !data) {
        qCWarning(lcStrevo, "MFVideo: %s",
                  m_transform ? "no frame data" : "the encoder is not open");
        return false;
    }
    if (size != m_imageSize) {
        qCWarning(lcStrevo, "MFVideo: frame of %u bytes is not a %dx%d NV12 picture (%u bytes)",
                  size, m_preset.videoCodec().width, m_preset.videoCodec().height, m_imageSize);
        return false;
    }
    std::shared_ptr<MFSample> sample;
    std::shared_ptr<MFMediaBuffer> buffer;
    HRESULT hr = MFPlatform::MFCreateSample(&sample);
    if (SUCCEEDED(hr))
        hr = MFPlatform::MFCreateMemoryBuffer(m_imageSize, &buffer);
    if (SUCCEEDED(hr))
        hr = sample->AddBuffer(buffer);
    if (FAILED(hr)) {
        MFError::report("MFVideo", "input sample", hr);
        return false;
    }
    uint8_t* bytes = nullptr;
    buffer->Lock(&bytes, nullptr, nullptr);
    std::memcpy(bytes, data, size);
    buffer->Unlock();
    buffer->SetCurrentLength(m_imageSize);
    sample->SetSampleTime(m_nextSampleTime);
    sample->SetSampleDuration(m_sampleDuration);
    m_nextSampleTime += m_sampleDuration;

    if (!m_async) {
        hr = m_transform->ProcessInput(0, sample, 0);
        if (FAILED(hr)) {
            MFError::report("MFVideo", "ProcessInput()", hr);
            return false;
        }
        m_inFlight.fetch_add(1);
        result = InputAccepted;
        return true;
    }

    drainEvents();
    hr = S_OK;
    while (m_haveOutput.load() >= 1 && hr == S_OK)
        hr = collectOutput();
    if (FAILED(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
        MFError::report("MFVideo", "ProcessOutput()", hr);
        return false;
    }
    // Waits for the transform's input request: woken by its events, never longer than
    // kEventWaitMs in all.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kEventWaitMs);
    while (m_needInput.load() == 0) {
        const int left = remainingMs(deadline);
        if (left <= 0) {
            qCWarning(lcStrevo, "MFVideo: the transform asked for no input within %d ms",
                      kEventWaitMs);
            return false;
        }
        hr = waitEvent(left);
        if (hr == MF_E_NO_EVENTS_AVAILABLE)
            continue;
        if (FAILED(hr)) {
            MFError::report("MFVideo", "DrainEvent()", hr);
            return false;
        }
        if (m_haveOutput.load() >= 1) {
            hr = collectOutput();
            if (FAILED(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT)
                return false;
        }
    }
    hr = handOver(sample);
    if (FAILED(hr)) {
        MFError::report("MFVideo", "ProcessInput()", hr);
        return false;
    }
    m_inFlight.fetch_add(1);
    result = InputAccepted;
    return true;
}

bool MFVideo::deliver(unsigned char* out, unsigned int capacity, unsigned int& size,
                      unsigned int& keyFrame)
{
    Packet packet;
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        if (m_outputList.empty())
            return false;
        packet = std::move(m_outputList.front());
        m_outputList.pop_front();
    }
    m_inFlight.fetch_sub(1);
    if (packet.bytes.size() > capacity || !out) {
        qCWarning(lcStrevo, "MFVideo: packet of %zu bytes does not fit the %u-byte output buffer",
                  packet.bytes.size(), capacity);
        return false;
    }
    std::memcpy(out, packet.bytes.data(), packet.bytes.size());
    size = static_cast<unsigned int>(packet.bytes.size());
    keyFrame = packet.keyFrame;
    return true;
}

bool MFVideo::processOutput(unsigned char* out, unsigned int& size, unsigned int& keyFrame,
                            Status* status, unsigned int outCapacity)
{
    Status ignored;
    Status& result = status ? *status : ignored;
    if (!m_transform) {
        result = Failed;
        return false;
    }
    const HRESULT hr = collectOutput();
    if (FAILED(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
        result = Failed;
        return false;
    }
    if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
        unsigned int written = 0, key = 0;
        bool had = false;
        {
            std::lock_guard<std::mutex> lock(m_outputMutex);
            had = !m_outputList.empty();
        }
        if (had) {
            if (!deliver(out, outCapacity, written, key)) {
                result = Failed;
                return false;
            }
            size = written;
            keyFrame = key;
            result = InputAccepted;
            return true;
        }
    }
    result = NoOutput;
    return true;
}

bool MFVideo::drain(unsigned char* out, unsigned int capacity, unsigned int& size,
                    unsigned int& keyFrame)
{
    if (!m_draining) {
        const HRESULT hr = m_transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
        if (FAILED(hr)) {
            MFError::report("MFVideo", "ProcessMessage(drain)", hr);
            return false;
        }
        m_draining = true;
        m_drainDone = false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kEventWaitMs);
    for (;;) {
        if (deliver(out, capacity, size, keyFrame))
            return true;
        HRESULT hr = S_OK;
        if (!m_async) {
            hr = collectOutput();
            if (hr == S_OK)
                continue;
        } else {
            drainEvents();
            if (m_haveOutput.load() >= 1) {
                hr = collectOutput();
                if (SUCCEEDED(hr) || hr == MF_E_TRANSFORM_NEED_MORE_INPUT)
                    continue;
            } else if (!m_drainDone) {
                const int left = remainingMs(deadline);
                if (left > 0 && (hr = waitEvent(left)) == S_OK)
                    continue;
                qCWarning(lcStrevo,
                          "MFVideo: the transform did not complete its drain within %d ms",
                          kEventWaitMs);
            }
        }
        // Drained (or given up): the next frame starts a new sequence.
        m_draining = false;
        m_inFlight.store(0);
        return false;
    }
}

bool MFVideo::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                     unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                     long long&, long long&)
{
    if (!m_transform)
        return false;
    if (!data)
        return drain(out, outCapacity, outSize, keyFrame);
    Status status = Failed;
    if (!processInput(data, size, &status))
        return false;
    unsigned int written = 0, key = 0;
    if (!processOutput(out, written, key, &status, outCapacity) || status == NoOutput)
        return false;
    outSize = written;
    keyFrame = key;
    return true;
}
