#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"
#include "common/IThreadCallback.h"
#include "platform/amf/AmfRef.h"
#include "platform/amf/AmfRuntime.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class ThreadCallback;

// H.264 on AMD GPUs through the AMF runtime, for "H264(AMF)" and "HEVC(AMF)" alike: both
// create the AVC encoder component, so both produce H.264.
//
// encode() copies an NV12 frame into a host surface and submits it to a video converter; a
// worker thread of the object's own moves converted surfaces into the encoder component and
// queues the packets that come out; each encode() call hands out at most one queued packet, so
// encode never waits for the GPU (a packet comes out one call or more after its frame; the
// drain hands out the rest). The worker sleeps until a component reports output
// (AMFComponentObserver) or encode() makes room in a full queue; only after a failed query does
// it look again on a short timer, since output a component still holds may not be announced
// again.
//
// Lifecycle: initialize() loads the runtime (once per process, shared), creates the context,
// the converter and the encoder and starts the worker; the destructor joins the worker first,
// then detaches the observers and terminates the components, and copes with a failed or
// missing initialize(). A frame after a drain starts a new stream: the worker flushes the
// encoder before the frame goes in.
// Threads: initialize() and the destructor on the owner's thread, encode() on the pipeline's
// video thread, threadCallback() on the worker.
class AmfEncoder : public IVideoCodec, public IThreadCallback
{
public:
    AmfEncoder();
    ~AmfEncoder() override;

    bool initialize(CodecPreset* preset) override;
    // pts and dts are left as the caller set them. Null data drains: the held frames come out
    // one per call, then false.
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    unsigned int maxPacketSize() override;
    // The next frame's surface carries "ForcePictureType" IDR, which the converter passes on.
    void requestKeyFrame() override { m_keyFrameRequested = true; }
    bool streamParameters(AVCodecParameters* par) override;
    unsigned char* extraData() override
    {
        return m_extraData.empty() ? nullptr : m_extraData.data();
    }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_extraData.size()); }
    int supportFormat() override;
    bool isHWTextureSupport() override { return false; }

    void threadCallback() override;

    // Whether an AMF runtime that can create the AVC encoder is present. Probed on the first
    // call (the runtime is loaded and unloaded once), cached for the process.
    static bool amfAvailable();

    // "FrameRate" as the encoder gets it: round(rate) * 1000 over 1001 for a fractional rate
    // (29.97 -> 30000/1001), else over 1000.
    static amf::AMFRate frameRate(double rate);
    // "IDRPeriod": the key-frame interval in seconds times the frame rate truncated to an
    // integer (2 s at 29.97 -> 58).
    static int64_t idrPeriod(const CodecModel::VideoCodec& video);

private:
    struct Packet
    {
        std::vector<unsigned char> data;
        unsigned int key = 0;
    };
    class Observer : public amf::AMFComponentObserver
    {
    public:
        explicit Observer(AmfEncoder* owner) : m_owner(owner) {}
        void OnOutputReady() override { m_owner->signal(); }

    private:
        AmfEncoder* m_owner;
    };

    bool createConverter();
    bool createEncoder();
    bool setEncoderProperties();
    void fetchExtraData();
    void signal();
    // Worker: moves what the components have ready until neither makes progress. False when a
    // query failed (logged unless the previous pass failed too).
    bool pump(bool logFailures);
    bool popPacket(unsigned char* out, unsigned int outCapacity, unsigned int& outSize,
                   unsigned int& keyFrame);
    bool drainOne(unsigned char* out, unsigned int outCapacity, unsigned int& outSize,
                  unsigned int& keyFrame);

    CodecPreset m_preset;
    int m_width = 0;
    int m_height = 0;
    std::vector<unsigned char> m_extraData; // written by initialize() only

    // Declared first, so that it is released after every AMF object below.
    AmfRuntimeUser m_runtime;
    amf::AmfContextRef m_context;
    amf::AmfComponentRef m_converter; // input side: encode(); output side: the worker
    amf::AmfComponentRef m_encoder;   // input and output side, flush included: the worker
    Observer m_observer{this};

    // Worker only.
    amf::AmfDataRef m_pendingSurface; // converted, refused by a full encoder: submitted again
    bool m_encoderDrained = false;    // reset by encode() through m_restart
    // Set by encode() when a frame follows a drain, cleared by the worker once it flushed the
    // encoder; both with m_queueMutex held (encode() waits on m_queueCond), read without.
    std::atomic<bool> m_restart{false};
    // Set by encode() when the converter refused to drain: the encoder is drained once the
    // converter has nothing more, without its end of stream.
    std::atomic<bool> m_drainWithoutEof{false};

    // Video thread only.
    bool m_draining = false;
    bool m_open = false;
    bool m_keyFrameRequested = false;

    std::atomic<bool> m_signalled{false}; // set before waking the worker, cleared by it
    std::deque<Packet> m_queue;           // guarded by m_queueMutex
    bool m_eof = false;                   // guarded by m_queueMutex: the encoder drained empty
    std::mutex m_queueMutex;
    std::condition_variable m_queueCond; // a packet was queued, m_eof set or m_restart cleared

    // Created with the object (never null), started by initialize(); reset by the destructor
    // only after the worker has ended and the observers are detached.
    std::unique_ptr<ThreadCallback> m_worker;
    // The same thread, for the worker and signal() (which the observers call from the
    // components' threads): set at construction and never changed.
    ThreadCallback* const m_thread;
};
