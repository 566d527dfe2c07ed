#pragma once

#include "codec/video/IVideoCodec.h"
#include "codec/video/nvenc/CNvHWEncoder.h"
#include "codec/video/nvenc/NvBufferRing.h"
#include "common/CodecPreset.h"

#include <memory>
#include <vector>

// What the three NVENC inner encoders (CUDA, Direct3D 9, Direct3D 11) share: the session
// configuration, the ring of pictures in flight, the encode loop, the drain and the flush.
//
// Lifecycle: initialize() copies the preset, opens the device and the session (openDevice),
// configures it, sets up N buffers (allocateBuffers) and fetches the parameter sets. encode()
// keeps N pictures in flight: the first N calls return false, then each call collects the
// oldest picture; a null frame drains them one per call. The derived destructor calls
// shutdown(), which completes and discards what is still in flight and releases everything in
// reverse order; it copes with every partly built state.
//
// Threads: initialize() on the set-up thread, encode() on one video thread, destruction on the
// destroying thread; never two at once. The encoder holds no lock.
class NvEncoderBase : public IVideoCodec
{
public:
    // Bytes of each bitstream buffer: the largest packet the encoder hands out.
    static constexpr uint32_t kBitstreamBufferSize = 0x200000;
    static constexpr int kMaxBuffers = 32;

    ~NvEncoderBase() override;

    bool initialize(CodecPreset* preset) override;
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    unsigned int maxPacketSize() override;
    bool streamParameters(AVCodecParameters* par) override;
    void requestKeyFrame() override { m_forceIdr = true; }
    unsigned char* extraData() override { return m_extra.empty() ? nullptr : m_extra.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_extra.size()); }
    int supportFormat() override;

    // Buffers in flight (N); 0 before a successful initialize().
    uint32_t bufferCount() const { return m_ring.count(); }
    const CNvHWEncoder* session() const { return m_session.get(); }

protected:
    NvEncoderBase();

    virtual const char* className() const = 0;
    // Opens the device and the session on it (m_session->openSession).
    virtual bool openDevice() = 0;
    // B-frames for the codec (0 H.264, 1 HEVC) given the record's wish.
    virtual uint32_t bFrameCount(int codec, int requested);
    virtual uint32_t bufferCountFor(uint32_t bFrames) const = 0;
    virtual uint32_t vbvSizeFor(uint32_t bitrate) const = 0;
    // Whether initialize() logs the maximum-bitrate, GOP, B-frame and QP lines as well.
    virtual bool logsRateDetails() const { return true; }
    // Input resources, bitstream buffers and events of the first N buffers, and the end-of-stream
    // record (setUpOutput / setUpEndOfStream). NVENCSTATUS.
    virtual NVENCSTATUS allocateBuffers(uint32_t width, uint32_t height) = 0;
    // Puts one frame into the buffer's input resource; false ends the encode call.
    virtual bool loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int size) = 0;
    // Input resources of the buffers (outputs are released by the base).
    virtual void releaseInputs() = 0;
    // After the session is gone: device clean-up.
    virtual void closeDevice() {}
    // Whether the flush waits for the end-of-stream event.
    virtual bool waitsForEndOfStream() const { return true; }

    NVENCSTATUS setUpOutput(NvEncodeBuffer& buffer, bool withEvent);
    NVENCSTATUS setUpEndOfStream(bool withEvent);
    // Completes and discards what is in flight, releases everything. Called first by every
    // derived destructor (virtual calls do not reach the derived class from ~NvEncoderBase).
    void shutdown();

    CodecPreset m_preset;
    std::unique_ptr<CNvHWEncoder> m_session;
    NvEncodeBuffer m_buffers[kMaxBuffers];
    NvEncodeBuffer m_endOfStream;
    NvBufferRing m_ring;

private:
    bool configure(CodecPreset* callerPreset);
    bool fetchParameterSets();
    // Waits for a submitted buffer, copies its packet (when out is set) and unmaps its input.
    NVENCSTATUS collect(NvEncodeBuffer& buffer, unsigned char* out, unsigned int capacity,
                        unsigned int& outSize, unsigned int& keyFrame, long long& pts);
    bool deliver(NvEncodeBuffer& buffer, unsigned char* out, unsigned int capacity,
                 unsigned int& outSize, unsigned int& keyFrame, long long& pts, long long& dts);
    bool drainOne(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                  unsigned int& keyFrame, long long& pts, long long& dts);
    void waitForEndOfStream();
    void discardPending();

    std::vector<unsigned char> m_extra; // parameter sets as NVENC returns them
    long long m_packetCounter = -1;     // decoding-order number of the next packet
    NV_ENC_PIC_STRUCT m_pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    bool m_open = false;
    bool m_endOfStreamSent = false; // a drain flushed the session
    bool m_forceIdr = false;        // the next picture goes in as IDR
};
