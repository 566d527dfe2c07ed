#pragma once

#include "platform/mf/ICodecAPI.h"
#include "platform/mf/IMFTransform.h"
#include "platform/mf/MFEventQueue.h"
#include "platform/mf/MFLibavEncoder.h"
#include "platform/mf/RenderNodeProbe.h"

#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

constexpr HRESULT MF_E_TRANSFORM_ASYNC_LOCKED = hresult(0xC00D6D77);

// The platform's encoder transforms, backed by a libavcodec encoder: the software H.264
// encoder (libx264, synchronous, the caller allocates output samples) and the GPU encoders
// (asynchronous, event driven, output samples provided by the transform).
//
// The encoder opens when both types are set (output first); coded pictures come out in input
// order. In the asynchronous model the work happens inside ProcessInput() on the client's
// thread: the transform has no thread of its own, and its events (one input request at a
// time, one output announcement per coded picture) are queued as the work is done. Every
// method runs on the client's thread; only the event queue is shared with other threads.
class MFLibavTransform : public IMFTransform, public ICodecAPI, public MFEventQueue
{
public:
    struct Backend
    {
        QByteArray encoder;    // libavcodec encoder name
        QByteArray renderNode; // VA-API device, empty otherwise
        bool hevc = false;
        bool async = false;
        bool lowPower = false; // VA-API: the low-power entry point
    };
    explicit MFLibavTransform(const Backend& backend);

    // What the GPU probe found: the classes this machine opens, with the device that serves
    // each ("/dev/dri/renderD129 (Intel i915, low power)", "h264_qsv"), and for the other GPU
    // classes why not.
    struct GpuEncoder
    {
        GUID classId;
        Backend backend;
        QString device;
    };
    struct GpuProbe
    {
        std::vector<GpuEncoder> found;
        std::map<GUID, QString> refused;
        const GpuEncoder* find(const GUID& classId) const;
    };
    // Whether libavcodec's encoder opens (a small picture): encoder, HEVC, render node (VA-API
    // encoders only), low power.
    using OpenCheck = std::function<bool(const char*, bool, const QByteArray&, bool)>;

    // The GPU encoder classes by transform class id. Intel's: h264_qsv/hevc_qsv, else the VA-API
    // encoders on an Intel render node; AMD's (H.264 and HEVC): VA-API on an AMD render node;
    // NVIDIA's: h264_nvenc/hevc_nvenc when an NVIDIA driver is loaded. Each VA-API class takes
    // the first node of its vendor that opens it (full power, then low power). Tries only
    // encoders whose device exists, so a machine without a GPU answers at once.
    static GpuProbe probeGpuEncoders(const std::vector<RenderNodeProbe::Node>& nodes,
                                     bool nvidiaDriver, const OpenCheck& canOpen);
    // This machine's answer, probed once per process.
    static const GpuProbe& gpuEncoders();

    HRESULT GetAttributes(std::shared_ptr<MFAttributes>* attributes) override;
    HRESULT GetOutputStreamInfo(uint32_t stream, MFT_OUTPUT_STREAM_INFO* info) override;
    HRESULT SetInputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                         uint32_t flags) override;
    HRESULT SetOutputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                          uint32_t flags) override;
    HRESULT GetOutputCurrentType(uint32_t stream, std::shared_ptr<MFMediaType>* type) override;
    HRESULT GetOutputAvailableType(uint32_t stream, uint32_t index,
                                   std::shared_ptr<MFMediaType>* type) override;
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, uintptr_t param) override;
    HRESULT ProcessInput(uint32_t stream, const std::shared_ptr<MFSample>& sample,
                         uint32_t flags) override;
    HRESULT ProcessOutput(uint32_t flags, uint32_t count, MFT_OUTPUT_DATA_BUFFER* buffers,
                          uint32_t* status) override;

    HRESULT IsSupported(const GUID& api) override;
    HRESULT GetValue(const GUID& api, uint32_t* value) override;
    HRESULT SetValue(const GUID& api, uint32_t value) override;

private:
    // Moves the encoder's coded pictures to m_ready, announcing each in the asynchronous model.
    HRESULT collect();
    uint32_t maxPacketSize() const;

    const Backend m_backend;
    std::shared_ptr<MFAttributes> m_attributes;
    std::shared_ptr<MFMediaType> m_inputType;
    std::shared_ptr<MFMediaType> m_outputType;
    MFLibavEncoder m_encoder;
    MFLibavEncoder::Settings m_settings;
    std::deque<MFLibavEncoder::Packet> m_ready; // coded, not yet handed out
    bool m_streaming = false;
    bool m_drained = false;  // flushed: the next input reopens the encoder
    int m_inputRequests = 0; // asynchronous: input requests announced, not yet served
    bool m_forceKey = false;
    bool m_headerSet = false; // MF_MT_MPEG_SEQUENCE_HEADER is on the output type
    int64_t m_lastTime = 0;
    int64_t m_lastDuration = 0;
};
