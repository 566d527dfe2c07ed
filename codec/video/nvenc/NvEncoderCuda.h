#pragma once

#include "codec/video/nvenc/NvEncoderBase.h"
#include "platform/CudaDriver.h"

// NVENC fed from system memory: each NV12 frame is uploaded into a pitched CUDA allocation of
// its buffer (one copy when the allocation's pitch equals the width, else one 2D copy per
// plane), which NVENC reads as a CUDA device pointer. The session runs on a CUDA context of its
// own on device 0, made current only around each CUDA call (push/pop), so set-up and encoding may
// run on different threads. Completion events only when the session encodes asynchronously.
class NvEncoderCuda : public NvEncoderBase
{
public:
    // The module loaded into the context, from the library's resources.
    static constexpr const char* kModuleResource = ":/resources/preproc64_lowlat.ptx";

    NvEncoderCuda() = default;
    ~NvEncoderCuda() override;
    bool isHWTextureSupport() override { return false; }

protected:
    const char* className() const override { return "NvEncoderCuda"; }
    bool openDevice() override;
    uint32_t bufferCountFor(uint32_t bFrames) const override { return bFrames + 3; }
    uint32_t vbvSizeFor(uint32_t) const override { return 0; }
    bool logsRateDetails() const override { return false; }
    NVENCSTATUS allocateBuffers(uint32_t width, uint32_t height) override;
    bool loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int size) override;
    void releaseInputs() override;
    void closeDevice() override;
    bool waitsForEndOfStream() const override { return m_async; }

private:
    bool loadModule();

    CUcontext m_context = nullptr;
    CUmodule m_module = nullptr;
    CUfunction m_interleaveUV = nullptr;
    CUfunction m_scaleNV12 = nullptr;
    CUtexref m_lumaTex = nullptr;
    CUtexref m_chromaTex = nullptr;
    // Scratch of the planar-input conversion that the module's kernels serve; NV12 input, which
    // this encoder declares, never needs it.
    CUdeviceptr m_chroma[2] = {0, 0};
    void* m_hostPlanes[3] = {nullptr, nullptr, nullptr};
    CUdeviceptr m_input[kMaxBuffers] = {};
    CUdeviceptr m_scratch[kMaxBuffers] = {};
    bool m_async = false;
};
