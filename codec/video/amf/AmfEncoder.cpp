#include "codec/video/amf/AmfEncoder.h"

#include "codec/video/CodedStream.h"
#include "codec/video/VideoRecordCheck.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/ThreadCallback.h"
#include "platform/amf/AmfTraceAdapter.h"
#include "platform/amf/AmfVariant.h"

#include <QDebug>
#include <chrono>
#include <cmath>
#include <cstring>

using namespace amf;

namespace {

const char* const kScope = "AmfEncoder";
const char* const kConverterId = "AMFVideoConverter";
const char* const kEncoderId = "AMFVideoEncoderVCE_AVC";
// Packets the worker queues ahead of encode(); beyond that it leaves them in the encoder
// component until encode() takes one.
constexpr size_t kMaxQueued = 64;
// How long one draining encode() call waits for the GPU to hand out the next held frame.
constexpr int kDrainWaitMs = 3000;
// After a failed query, the worker looks again this much later.
constexpr unsigned long kRetryMs = 20;

#define AMF_ERROR(result, message)                                                                 \
    AmfTraceAdapter::error(kScope, __FILE__, __LINE__, result, message)

const char* memoryName(int type)
{
    switch (type) {
    case AMF_MEMORY_HOST:
        return "AMF_MEMORY_HOST";
    case AMF_MEMORY_DX11:
        return "AMF_MEMORY_DX11";
    default:
        return "AMF_MEMORY_UNKNOWN";
    }
}

const char* formatName(int format)
{
    switch (format) {
    case AMF_SURFACE_NV12:
        return "AMF_SURFACE_NV12";
    case AMF_SURFACE_RGBA:
        return "AMF_SURFACE_RGBA";
    default:
        return "AMF_SURFACE_UNKNOWN";
    }
}

} // namespace

AmfEncoder::AmfEncoder()
    : m_worker(std::make_unique<ThreadCallback>(this)), m_thread(m_worker.get())
{
}

AmfEncoder::~AmfEncoder()
{
    // The worker drives both components: it stops first. A component may still report output
    // until its observer is detached; that only wakes the thread object, which lives on until
    // the observers are gone.
    m_thread->requestExit();
    m_thread->wait();
    if (m_converter)
        m_converter->SetOutputObserver(nullptr);
    if (m_encoder)
        m_encoder->SetOutputObserver(nullptr);
    m_worker.reset();
    m_pendingSurface.reset();
    if (m_encoder)
        m_encoder->Terminate();
    if (m_converter)
        m_converter->Terminate();
    if (m_context)
        m_context->Terminate();
}

int AmfEncoder::supportFormat()
{
    return PIX_NV12;
}

AMFRate AmfEncoder::frameRate(double rate)
{
    const bool fractional = rate != std::floor(rate);
    return AMFRate{static_cast<uint32_t>(std::lround(rate)) * 1000u, fractional ? 1001u : 1000u};
}

int64_t AmfEncoder::idrPeriod(const CodecModel::VideoCodec& video)
{
    return static_cast<int64_t>(video.keyframeInterval) * static_cast<int64_t>(video.frameRate);
}

bool AmfEncoder::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    if (!VideoRecordCheck::check(video, "AMF"))
        return false;
    m_width = video.width;
    m_height = video.height;

    if (m_runtime.acquire() != AMF_OK) {
        qCWarning(lcStrevo, "AMF Failed to initialize: the AMF runtime (%s) is missing or unusable",
                  AmfRuntime::kLibraryName);
        return false;
    }
    AMFFactory* factory = AmfRuntime::factory();
    AMF_RESULT r = factory->CreateContext(m_context.receive());
    if (r != AMF_OK || !m_context) {
        AMF_ERROR(r, QStringLiteral("CreateContext failed"));
        return false;
    }
    if (!createConverter() || !createEncoder())
        return false;

    m_converter->SetOutputObserver(&m_observer);
    m_encoder->SetOutputObserver(&m_observer);
    m_worker->start(QThread::InheritPriority);
    fetchExtraData();
    m_open = true;
    return true;
}

bool AmfEncoder::createConverter()
{
    AMF_RESULT r = AmfRuntime::factory()->CreateComponent(m_context.get(), kConverterId,
                                                          m_converter.receive());
    if (r != AMF_OK || !m_converter) {
        AMF_ERROR(r, QStringLiteral("CreateComponent(%1) failed").arg(kConverterId));
        return false;
    }
    r = m_converter->SetProperty("MemoryType", AmfVariant(AMF_MEMORY_HOST));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("AMF_VIDEO_CONVERTER_MEMORY_TYPE(%1) failed")
                         .arg(memoryName(AMF_MEMORY_HOST)));
        return false;
    }
    r = m_converter->SetProperty("OutputFormat", AmfVariant(AMF_SURFACE_NV12));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("AMF_VIDEO_CONVERTER_OUTPUT_FORMAT(%1) failed")
                         .arg(formatName(AMF_SURFACE_NV12)));
        return false;
    }
    r = m_converter->SetProperty("OutputSize", AmfVariant(AMFSize{m_width, m_height}));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_CONVERTER_OUTPUT_SIZE, %1x%2) failed")
                         .arg(m_width)
                         .arg(m_height));
        return false;
    }
    r = m_converter->Init(AMF_SURFACE_NV12, m_width, m_height);
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("Init(%1x%2) failed").arg(m_width).arg(m_height));
        return false;
    }
    return true;
}

bool AmfEncoder::createEncoder()
{
    AMF_RESULT r =
        AmfRuntime::factory()->CreateComponent(m_context.get(), kEncoderId, m_encoder.receive());
    if (r != AMF_OK || !m_encoder) {
        AMF_ERROR(r, QStringLiteral("CreateComponent(%1) failed").arg(kEncoderId));
        return false;
    }
    if (!setEncoderProperties())
        return false;
    r = m_encoder->Init(AMF_SURFACE_NV12, m_width, m_height);
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("encoder->Init() failed"));
        return false;
    }
    return true;
}

bool AmfEncoder::setEncoderProperties()
{
    CodecModel::VideoCodec& video = m_preset.videoCodec();
    AMF_RESULT r = m_encoder->SetProperty("BPicturesPattern", AmfVariant(3));
    if (r != AMF_OK) {
        // Not fatal: an encoder without B-pictures answers with what it supports.
        AmfVariant value;
        m_encoder->GetProperty("BPicturesPattern", &value);
        qCDebug(lcStrevo) << "max b-frames" << value.toInt64();
    }

    if (video.preset.isEmpty())
        video.preset = QStringLiteral("Balanced");
    // Exact, case-sensitive names; any other preset (an x264 speed name) leaves the encoder's
    // default.
    int quality = -1;
    const char* qualityName = nullptr;
    if (video.preset == QLatin1String("Balanced")) {
        quality = AMF_VIDEO_ENCODER_QUALITY_PRESET_BALANCED;
        qualityName = "AMF_VIDEO_ENCODER_QUALITY_PRESET_BALANCED";
    } else if (video.preset == QLatin1String("Speed")) {
        m_encoder->SetProperty("BPicturesPattern", AmfVariant(0));
        quality = AMF_VIDEO_ENCODER_QUALITY_PRESET_SPEED;
        qualityName = "AMF_VIDEO_ENCODER_QUALITY_PRESET_SPEED";
    } else if (video.preset == QLatin1String("Quality")) {
        quality = AMF_VIDEO_ENCODER_QUALITY_PRESET_QUALITY;
        qualityName = "AMF_VIDEO_ENCODER_QUALITY_PRESET_QUALITY";
    }
    if (quality >= 0) {
        r = m_encoder->SetProperty("QualityPreset", AmfVariant(quality));
        if (r != AMF_OK) {
            AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_QUALITY_PRESET, %1) failed")
                             .arg(qualityName));
            return false;
        }
    }

    m_encoder->SetProperty("RateControlMethod",
                           AmfVariant(AMF_VIDEO_ENCODER_RATE_CONTROL_METHOD_CBR));
    m_encoder->SetProperty("RateControlSkipFrameEnable", AmfVariant(false));

    const int64_t idr = idrPeriod(video);
    r = m_encoder->SetProperty("IDRPeriod", AmfVariant(idr));
    if (r != AMF_OK) {
        AMF_ERROR(r,
                  QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_IDR_PERIOD, %1) failed").arg(idr));
        return false;
    }
    const int64_t bitrate = static_cast<int64_t>(video.bitrate) * 1000;
    r = m_encoder->SetProperty("TargetBitrate", AmfVariant(bitrate));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_TARGET_BITRATE, %1) failed")
                         .arg(bitrate));
        return false;
    }
    r = m_encoder->SetProperty("FrameSize", AmfVariant(AMFSize{m_width, m_height}));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_FRAMESIZE, %1x%2) failed")
                         .arg(m_width)
                         .arg(m_height));
        return false;
    }
    const AMFRate rate = frameRate(video.frameRate);
    r = m_encoder->SetProperty("FrameRate", AmfVariant(rate));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_FRAMERATE, %1x%2) failed")
                         .arg(rate.num)
                         .arg(rate.den));
        return false;
    }
    r = m_encoder->SetProperty("Profile", AmfVariant(video.profileIdc));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_PROFILE, %1) failed")
                         .arg(video.profileIdc == 66   ? "AMF_VIDEO_ENCODER_PROFILE_BASELINE"
                              : video.profileIdc == 77 ? "AMF_VIDEO_ENCODER_PROFILE_MAIN"
                                                       : "AMF_VIDEO_ENCODER_PROFILE_HIGH"));
        return false;
    }
    r = m_encoder->SetProperty("ProfileLevel", AmfVariant(51));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_PROFILE_LEVEL, 51) failed"));
        return false;
    }
    r = m_encoder->SetProperty("BPicturesPattern", AmfVariant(0));
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("SetProperty(AMF_VIDEO_ENCODER_B_PIC_PATTERN, 0) failed"));
        return false;
    }
    return true;
}

void AmfEncoder::fetchExtraData()
{
    AmfVariant value;
    if (m_encoder->GetProperty("ExtraData", &value) != AMF_OK || !value.toInterface())
        return;
    AmfBufferRef buffer =
        AmfRef<AMFInterface>::share(value.toInterface()).query<AMFBuffer>(AmfIid::Buffer);
    if (!buffer || buffer->GetSize() == 0 || !buffer->GetNative())
        return;
    const auto* bytes = static_cast<const unsigned char*>(buffer->GetNative());
    m_extraData.assign(bytes, bytes + buffer->GetSize());
}

unsigned int AmfEncoder::maxPacketSize()
{
    return m_open ? VideoRecordCheck::worstPacketSize(m_preset.videoCodec()) : 0;
}

bool AmfEncoder::streamParameters(AVCodecParameters* par)
{
    // Whatever the name, the stream is H.264 (the table declares "HEVC(AMF)" so).
    return m_open &&
           CodedStream::describe(par, m_preset.videoCodec(), extraData(), extraDataSize());
}

bool AmfEncoder::encode(unsigned char* data, unsigned int size, int, unsigned char* out,
                        unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                        long long&, long long&)
{
    if (!m_open)
        return false;
    if (!data)
        return drainOne(out, outCapacity, outSize, keyFrame);
    const size_t lumaBytes = static_cast<size_t>(m_width) * m_height;
    if (size < lumaBytes * 3 / 2) {
        qCDebug(lcStrevo, "AMF: frame of %u bytes, %zu expected", size, lumaBytes * 3 / 2);
        return false;
    }
    if (m_draining) {
        // A frame after a drain starts a new stream. The encoder's input side is the worker's:
        // it flushes the encoder and forgets the old stream's surface it may hold. The new
        // frame waits for that (one step of the worker), so none of it can reach the old stream.
        m_converter->Flush();
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_eof = false;
            m_restart.store(true);
        }
        signal();
        std::unique_lock<std::mutex> lock(m_queueMutex);
        m_queueCond.wait(lock, [this] { return !m_restart.load(); });
        m_draining = false;
    }

    AmfSurfaceRef surface;
    AMF_RESULT r = m_context->AllocSurface(AMF_MEMORY_HOST, AMF_SURFACE_NV12, m_width, m_height,
                                           surface.receive());
    if (r != AMF_OK || !surface) {
        qCDebug(lcStrevo, "AMF: AllocSurface(%dx%d) returned %d", m_width, m_height, r);
        return false;
    }
    if (m_keyFrameRequested) {
        surface->SetProperty("ForcePictureType", AmfVariant(AMF_VIDEO_ENCODER_PICTURE_TYPE_IDR));
        m_keyFrameRequested = false;
    }
    const unsigned char* src = data;
    for (int i = 0; i < 2; ++i) {
        AMFPlane plane{};
        if (surface->GetPlaneAt(i, &plane) != AMF_OK || !plane.native) {
            qCDebug(lcStrevo, "AMF: the surface has no plane %d", i);
            return false;
        }
        // Rows of `width` bytes (two chroma samples per pair of pixels), to the surface's pitch.
        auto* dst = static_cast<unsigned char*>(plane.native);
        const int rows = i == 0 ? m_height : m_height / 2;
        for (int row = 0; row < rows; ++row)
            std::memcpy(dst + static_cast<size_t>(row) * plane.hPitch,
                        src + static_cast<size_t>(row) * m_width, m_width);
        src += lumaBytes;
    }
    r = m_converter->SubmitInput(surface.get());
    if (r != AMF_OK)
        qCDebug(lcStrevo, "AMF: the converter refused a frame (%d)", r);
    return popPacket(out, outCapacity, outSize, keyFrame);
}

bool AmfEncoder::popPacket(unsigned char* out, unsigned int outCapacity, unsigned int& outSize,
                           unsigned int& keyFrame)
{
    Packet packet;
    bool wasFull = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_queue.empty())
            return false;
        wasFull = m_queue.size() >= kMaxQueued;
        packet = std::move(m_queue.front());
        m_queue.pop_front();
    }
    if (wasFull)
        signal();
    if (packet.data.size() > outCapacity) {
        qCWarning(lcStrevo, "AMF: packet of %zu bytes does not fit the %u-byte output buffer",
                  packet.data.size(), outCapacity);
        return false;
    }
    if (!packet.data.empty())
        std::memcpy(out, packet.data.data(), packet.data.size());
    outSize = static_cast<unsigned int>(packet.data.size());
    keyFrame = packet.key;
    return true;
}

bool AmfEncoder::drainOne(unsigned char* out, unsigned int outCapacity, unsigned int& outSize,
                          unsigned int& keyFrame)
{
    if (!m_draining) {
        m_draining = true;
        // A converter that refuses to drain gives no end of stream: the worker then drains the
        // encoder once the converter has nothing more.
        const AMF_RESULT r = m_converter->Drain();
        if (r != AMF_OK) {
            qCDebug(lcStrevo, "AMF: converter Drain returned %d", r);
            m_drainWithoutEof.store(true);
        }
        signal();
    }
    {
        std::unique_lock<std::mutex> lock(m_queueMutex);
        if (!m_queueCond.wait_for(lock, std::chrono::milliseconds(kDrainWaitMs),
                                  [this] { return !m_queue.empty() || m_eof; })) {
            qCWarning(lcStrevo, "AMF: the encoder handed out no frame within %d ms while draining",
                      kDrainWaitMs);
            return false;
        }
    }
    return popPacket(out, outCapacity, outSize, keyFrame);
}

void AmfEncoder::signal()
{
    m_signalled.store(true);
    m_thread->wakeThread();
}

void AmfEncoder::threadCallback()
{
    ThreadCallback* const worker = m_thread;
    bool failed = false;
    while (!worker->isExitThread()) {
        // A component that failed may still hold output that no further report announces:
        // after a failure look again a little later, otherwise sleep until told.
        if (failed)
            worker->waitThread(kRetryMs);
        else
            worker->waitUntil([this] { return m_signalled.exchange(false); });
        if (worker->isExitThread())
            break;
        if (m_restart.load()) {
            m_encoder->Flush();
            m_pendingSurface.reset();
            m_encoderDrained = false;
            m_drainWithoutEof.store(false);
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_restart.store(false);
            m_queueCond.notify_all();
        }
        failed = !pump(!failed);
    }
}

bool AmfEncoder::pump(bool logFailures)
{
    bool ok = true;
    for (bool progressed = true; progressed;) {
        if (m_restart.load())
            return ok; // the old stream's output is flushed, not worth fetching
        progressed = false;
        if (!m_pendingSurface) {
            AmfDataRef converted;
            const AMF_RESULT r = m_converter->QueryOutput(converted.receive());
            if (r == AMF_OK && converted) {
                m_pendingSurface = std::move(converted);
            } else if ((r == AMF_EOF || (r == AMF_REPEAT && m_drainWithoutEof.load())) &&
                       !m_encoderDrained) {
                m_encoderDrained = true;
                m_encoder->Drain();
                progressed = true;
            } else if (r != AMF_OK && r != AMF_REPEAT && r != AMF_EOF) {
                if (logFailures)
                    qCDebug(lcStrevo, "AMF: converter QueryOutput returned %d", r);
                ok = false;
            }
        }
        if (m_pendingSurface) {
            const AMF_RESULT r = m_encoder->SubmitInput(m_pendingSurface.get());
            if (r != AMF_INPUT_FULL) {
                if (r != AMF_OK)
                    qCDebug(lcStrevo, "AMF: the encoder refused a frame (%d); it is dropped", r);
                m_pendingSurface.reset();
                progressed = true;
            }
        }

        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_queue.size() >= kMaxQueued)
                continue; // encode() wakes the worker when it takes one
        }
        AmfDataRef output;
        const AMF_RESULT r = m_encoder->QueryOutput(output.receive());
        if (r == AMF_EOF) {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_eof = true;
            m_queueCond.notify_all();
            continue;
        }
        if (r != AMF_OK || !output) {
            if (r != AMF_REPEAT && r != AMF_OK) {
                if (logFailures)
                    qCDebug(lcStrevo, "AMF: encoder QueryOutput returned %d", r);
                ok = false;
            }
            continue;
        }
        progressed = true;
        Packet packet;
        AmfVariant type;
        output->GetProperty("OutputDataType", &type);
        if (AmfBufferRef buffer = output.query<AMFBuffer>(AmfIid::Buffer)) {
            if (buffer->GetSize() > 0 && buffer->GetNative()) {
                const auto* bytes = static_cast<const unsigned char*>(buffer->GetNative());
                packet.data.assign(bytes, bytes + buffer->GetSize());
                packet.key = type.toInt64() < AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE_P ? 1 : 0;
            }
        }
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(packet));
        m_queueCond.notify_all();
    }
    return ok;
}

bool AmfEncoder::amfAvailable()
{
    static const bool available = [] {
        AmfRuntimeUser runtime;
        if (runtime.acquire() != AMF_OK)
            return false;
        AmfContextRef context;
        if (AmfRuntime::factory()->CreateContext(context.receive()) != AMF_OK || !context)
            return false;
        AmfComponentRef encoder;
        const bool ok = AmfRuntime::factory()->CreateComponent(context.get(), kEncoderId,
                                                               encoder.receive()) == AMF_OK &&
                        encoder;
        if (encoder)
            encoder->Terminate();
        context->Terminate();
        return ok;
    }();
    return available;
}
