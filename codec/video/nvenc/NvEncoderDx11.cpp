#include "codec/video/nvenc/NvEncoderDx11.h"

#include "common/DirectX11Manager.h"
#include "common/StrevoLog.h"
#include "platform/CudaD3D11Device.h"

#include <QDebug>

NvEncoderDx11::~NvEncoderDx11()
{
    shutdown();
}

bool NvEncoderDx11::openDevice()
{
    m_device = Singleton<DirectX11Manager>::getInstancePtr()->d3ddev();
    if (!m_device) {
        qCWarning(lcStrevo,
                  "NvEncoderDx11: the host has set no Direct3D 11 device (DirectX11Manager)");
        return false;
    }
    const CUresult loaded = loadCudaDriver(0, 4000);
    if (loaded != CUDA_SUCCESS) {
        qCWarning(lcStrevo, "NvEncoderDx11: the CUDA driver cannot be used (%d)",
                  static_cast<int>(loaded));
        return false;
    }
    if (auto* cuda = dynamic_cast<CudaD3D11Device*>(m_device)) {
        m_context = static_cast<CUcontext>(cuda->cudaContext());
    } else {
        if (createCudaEncodeContext(0, &m_ownContext) != 0)
            return false;
        m_context = m_ownContext;
    }
    return m_session->openSession(m_context, NV_ENC_DEVICE_TYPE_CUDA) == NV_ENC_SUCCESS;
}

uint32_t NvEncoderDx11::bFrameCount(int codec, int requested)
{
    // Asked as for the other inputs, but this path never reorders pictures.
    NvEncoderBase::bFrameCount(codec, requested);
    return 0;
}

NVENCSTATUS NvEncoderDx11::allocateBuffers(uint32_t width, uint32_t height)
{
    m_async = m_session->initializeParams().enableEncodeAsync != 0;
    const bool onDevice = m_ownContext == nullptr;
    for (uint32_t i = 0; i < m_ring.count(); ++i) {
        NvEncodeBuffer& b = m_buffers[i];
        CUdeviceptr memory = 0;
        uint32_t pitch = width * 4;
        if (onDevice) {
            m_textures[i] = m_device->createTexture2D(
                {static_cast<int>(width), static_cast<int>(height), DxgiFormat::B8G8R8A8});
            if (!m_textures[i])
                return NV_ENC_ERR_OUT_OF_MEMORY;
            memory = m_textures[i]->devicePointer();
            pitch = static_cast<uint32_t>(m_textures[i]->pitch());
        } else {
            CudaContextScope scope(m_context);
            const CUresult r = scope.ok()
                                   ? cudaDriver().cuMemAlloc(&m_memory[i], size_t(pitch) * height)
                                   : kCudaInvalidContext;
            if (r != CUDA_SUCCESS) {
                qCWarning(lcStrevo, "NvEncoderDx11: cuMemAlloc of a %ux%u buffer returned %d",
                          width, height, static_cast<int>(r));
                return NV_ENC_ERR_OUT_OF_MEMORY;
            }
            memory = m_memory[i];
        }
        b.input.resource = reinterpret_cast<void*>(static_cast<uintptr_t>(memory));
        b.input.pitch = pitch;
        b.input.format = NV_ENC_BUFFER_FORMAT_ARGB;
        b.input.width = width;
        b.input.height = height;
        NVENCSTATUS r =
            m_session->registerResource(NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR, b.input.resource,
                                        width, height, pitch, b.input.format, &b.input.registered);
        if (r == NV_ENC_SUCCESS)
            r = setUpOutput(b, m_async);
        if (r != NV_ENC_SUCCESS)
            return r;
    }
    return setUpEndOfStream(m_async);
}

bool NvEncoderDx11::loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int)
{
    auto* src = reinterpret_cast<D3D11Texture2D*>(data);
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const D3D11TextureDesc desc = src->desc();
    if (desc.width != video.width || desc.height != video.height ||
        desc.format != DxgiFormat::B8G8R8A8) {
        qCWarning(lcStrevo,
                  "NvEncoderDx11: a %dx%d texture of format %d is not the %dx%d B8G8R8A8 "
                  "expected",
                  desc.width, desc.height, static_cast<int>(desc.format), video.width,
                  video.height);
        return false;
    }
    const int index = static_cast<int>(&buffer - m_buffers);
    if (m_textures[index]) {
        D3D11DeviceContext* context = Singleton<DirectX11Manager>::getInstancePtr()->d3dctx();
        if (!context || !context->copyResource(m_textures[index].get(), src)) {
            qCWarning(lcStrevo, "NvEncoderDx11: copying the frame's texture failed");
            return false;
        }
        return true;
    }
    CUDA_MEMCPY2D c{};
    if (src->memory() == D3D11Memory::Host) {
        c.srcMemoryType = CU_MEMORYTYPE_HOST;
        c.srcHost = src->hostPointer();
    } else {
        c.srcMemoryType = CU_MEMORYTYPE_DEVICE;
        c.srcDevice = src->devicePointer();
    }
    c.srcPitch = static_cast<size_t>(src->pitch());
    c.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    c.dstDevice = m_memory[index];
    c.dstPitch = buffer.input.pitch;
    c.WidthInBytes = static_cast<size_t>(video.width) * 4;
    c.Height = static_cast<size_t>(video.height);
    CudaContextScope scope(m_context);
    const CUresult r = scope.ok() ? cudaDriver().cuMemcpy2D(&c) : kCudaInvalidContext;
    if (r != CUDA_SUCCESS)
        qCWarning(lcStrevo, "cuMemcpy2D(&copyParam) has returned CUDA error %d",
                  static_cast<int>(r));
    return r == CUDA_SUCCESS;
}

void NvEncoderDx11::releaseInputs()
{
    for (int i = 0; i < kMaxBuffers; ++i) {
        m_session->unregisterResource(m_buffers[i].input.registered);
        m_buffers[i].input.registered = nullptr;
        m_textures[i].reset();
        if (m_memory[i]) {
            CudaContextScope scope(m_context);
            cudaDriver().cuMemFree(m_memory[i]);
            m_memory[i] = 0;
        }
    }
}

void NvEncoderDx11::closeDevice()
{
    if (m_ownContext)
        cudaDriver().cuCtxDestroy(m_ownContext);
    m_ownContext = m_context = nullptr;
}
