#pragma once

#include "base/StrevoExport.h"
#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct GUID;
class ICodecAPI;
class IMFMediaEventGenerator;
class IMFTransform;
class MFMediaEvent;
class MFMediaType;
class MFSample;

/// H.264 or HEVC through a Media Foundation encoder transform, by codec name: "H264(QuickSync)"
/// and "HEVC(QuickSync)" (Intel's transforms), "H264(NVENC)", "HEVC(NVENC)", "H264(AMF)",
/// "HEVC(AMF)" (the other GPU vendors'), the platform's software H.264 transform for any other
/// name. On Linux the vendors' transforms are VA-API on the vendor's GPU (or Intel's runtime,
/// or NVIDIA's driver) through libavcodec; a name without its GPU is refused with the reason. GPU
/// transforms run in the asynchronous, event-driven model; the software one synchronously.
/// NV12 in, at most one Annex B picture out per encode(). The parameter sets (extraData())
/// exist only once the first key frame has come out.
///
/// Threads: initialize() on the set-up thread; encode(), processInput(), processOutput() and
/// requestKeyFrame() on one video thread; extraData() from any thread after initialize() (the
/// header is written once, on the video thread, before the packet that carries it is handed
/// out). Every wait on the transform is bounded (kEventWaitMs). The destructor releases the
/// transform, whose own threads are joined when its last reference goes.
class STREVO_EXPORT MFVideo : public IVideoCodec
{
public:
    /// What processInput() and processOutput() report.
    enum Status
    {
        Failed = 0,        ///< the transform refused the call (a warning says why)
        InputAccepted = 1, ///< the frame was submitted
        NoOutput = 3,      ///< no coded picture was ready
    };
    /// Longest wait for one event of an asynchronous transform, in milliseconds.
    static constexpr int kEventWaitMs = 2000;

    MFVideo();
    ~MFVideo() override;

    bool initialize(CodecPreset* preset) override;
    /// processInput() then processOutput(); true when a packet was written. Null data drains
    /// the transform: one held-back packet per call, false once none is left.
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    unsigned int maxPacketSize() override;
    /// The next frame is coded as a key frame (CODECAPI_AVEncVideoForceKeyFrame).
    void requestKeyFrame() override;
    unsigned char* extraData() override;
    unsigned int extraDataSize() override;
    int supportFormat() override;
    bool isHWTextureSupport() override { return false; }

    /// Whether an encoder transform of the class exists here: starts the platform, creates and
    /// releases one, shuts the platform down.
    static bool enableCheck(const GUID& classId);
    /// enableCheck() for a class id written "{XXXXXXXX-...}"; false when it does not parse.
    static bool enableCheck(const char* classId);
    /// Whether a GPU vendor's name ("H264(QuickSync)", "HEVC(AMF)", ...) has its transform here.
    static bool available(const QString& name);
    /// The device that serves a GPU vendor's name ("VA-API /dev/dri/renderD128 (AMD amdgpu)"),
    /// empty where none does.
    static QString device(const QString& name);

    /// Submits one packed NV12 frame of exactly the picture's size; *status becomes
    /// InputAccepted, or Failed with a warning.
    bool processInput(unsigned char* data, unsigned int size, Status* status);
    /// Writes at most one packet (its size and key-frame flag) to out, which holds at least
    /// outCapacity bytes; *status becomes NoOutput when there is none. False on failure.
    bool processOutput(unsigned char* out, unsigned int& size, unsigned int& keyFrame,
                       Status* status, unsigned int outCapacity = 0xFFFFFFFFu);

    /// Whether the transform runs in the asynchronous model (GPU transforms); for tests and
    /// diagnostics.
    bool isAsynchronous() const { return m_async; }
    /// Frames accepted and not yet handed out; for tests and diagnostics, from any thread.
    int framesInFlight() const { return m_inFlight.load(); }

private:
    struct Packet
    {
        std::vector<uint8_t> bytes;
        uint32_t keyFrame = 0;
    };

    bool open();
    std::shared_ptr<MFMediaType> buildType(bool output) const;
    // Reads every pending event without waiting; MF_E_NO_EVENTS_AVAILABLE when done.
    int drainEvents();
    // Waits for one event (at most timeoutMs) and counts it.
    int waitEvent(int timeoutMs);
    void countEvent(const MFMediaEvent& event);
    // Collects one coded picture from the transform into the output list.
    int collectOutput();
    int handOver(const std::shared_ptr<MFSample>& sample);
    bool deliver(unsigned char* out, unsigned int capacity, unsigned int& size,
                 unsigned int& keyFrame);
    bool drain(unsigned char* out, unsigned int capacity, unsigned int& size,
               unsigned int& keyFrame);
    void dumpType(const char* title, MFMediaType* type) const;

    CodecPreset m_preset;
    std::shared_ptr<IMFTransform> m_transform;
    std::shared_ptr<ICodecAPI> m_codecApi;
    std::shared_ptr<IMFMediaEventGenerator> m_eventGenerator;
    bool m_hevc = false;
    bool m_async = true;
    bool m_callerAllocates = true;
    bool m_started = false;  // the platform was started by initialize()
    bool m_draining = false; // a drain was sent and has not completed (video thread)
    bool m_drainDone = false;
    uint32_t m_profileSelector = 0; // 0 baseline, 1 main, 2 high
    uint32_t m_imageSize = 0;
    int64_t m_sampleDuration = 0;
    // Changed by the video thread as events are read, read by diagnostics: atomics.
    std::atomic<int32_t> m_needInput{0};                // input requests not yet served
    std::atomic<int32_t> m_haveOutput{0};               // output announcements not yet collected
    std::atomic<int32_t> m_inFlight{0};                 // frames accepted and not yet delivered
    std::deque<std::shared_ptr<MFSample>> m_inputQueue; // video thread only
    int64_t m_nextSampleTime = 0;                       // 100-ns units, video thread only
    // Written once on the video thread before the packet carrying it is handed out; read by
    // the pipeline after that packet (the hand-over orders the accesses).
    std::vector<uint8_t> m_header;
    std::atomic<uint32_t> m_headerLength{0};

    std::deque<Packet> m_outputList; // guarded by m_outputMutex
    std::mutex m_outputMutex;
};
