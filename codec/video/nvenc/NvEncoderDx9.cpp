#include "codec/video/nvenc/NvEncoderDx9.h"

#include "common/DirectX9Manager.h"
#include "common/StrevoLog.h"

#include <QDebug>

NvEncoderDx9::~NvEncoderDx9()
{
    shutdown();
}

bool NvEncoderDx9::openDevice()
{
    DirectX9Manager* manager = Singleton<DirectX9Manager>::getInstancePtr();
    if (!manager->m_pD3D9Device || !manager->m_pDXVA2VideoProcessService) {
        qCWarning(lcStrevo,
                  "NvEncoderDx9: the host has set no Direct3D 9 device (DirectX9Manager)");
        return false;
    }
    m_cuda = CudaD3D11Device::create(0);
    if (!m_cuda ||
        m_session->openSession(m_cuda->cudaContext(), NV_ENC_DEVICE_TYPE_CUDA) != NV_ENC_SUCCESS)
        return false;

    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    Dxva2VideoDesc desc;
    desc.sampleWidth = video.width;
    desc.sampleHeight = video.height;
    std::vector<Dxva2DeviceGuid> guids;
    DXVA2VideoProcessorService* service = manager->m_pDXVA2VideoProcessService;
    if (!service->getVideoProcessorDeviceGuids(desc, &guids)) {
        qCWarning(lcStrevo, "NvEncoderDx9: GetVideoProcessorDeviceGuids failed");
        return false;
    }
    for (const Dxva2DeviceGuid& guid : guids) {
        m_processor = service->createVideoProcessor(guid, desc, kD3DFmtNV12, 1);
        if (m_processor)
            return true;
    }
    qCWarning(lcStrevo, "NvEncoderDx9: no DXVA2 video processor converts to NV12");
    return false;
}

NVENCSTATUS NvEncoderDx9::allocateBuffers(uint32_t width, uint32_t height)
{
    m_async = m_session->initializeParams().enableEncodeAsync != 0;
    std::vector<std::unique_ptr<D3D9Surface>> surfaces =
        Singleton<DirectX9Manager>::getInstancePtr()->m_pDXVA2VideoProcessService->createSurface(
            static_cast<int>(width), static_cast<int>(height), 0, kD3DFmtNV12, kD3DPoolDefault, 0,
            kDxva2VideoProcessorRenderTarget);
    if (surfaces.empty() || !surfaces[0]->hostPointer()) {
        qCWarning(lcStrevo, "NvEncoderDx9: CreateSurface gave no NV12 surface in system memory");
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }
    m_converted = std::move(surfaces[0]);
    for (uint32_t i = 0; i < m_ring.count(); ++i) {
        NvEncodeBuffer& b = m_buffers[i];
        m_textures[i] = m_cuda->createTexture2D(
            {static_cast<int>(width), static_cast<int>(height), DxgiFormat::NV12});
        if (!m_textures[i])
            return NV_ENC_ERR_OUT_OF_MEMORY;
        b.input.resource = reinterpret_cast<void*>(m_textures[i]->devicePointer());
        b.input.pitch = static_cast<uint32_t>(m_textures[i]->pitch());
        b.input.format = NV_ENC_BUFFER_FORMAT_NV12;
        b.input.width = width;
        b.input.height = height;
        NVENCSTATUS r = m_session->registerResource(NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR,
                                                    b.input.resource, width, height, b.input.pitch,
                                                    b.input.format, &b.input.registered);
        if (r == NV_ENC_SUCCESS)
            r = setUpOutput(b, m_async);
        if (r != NV_ENC_SUCCESS)
            return r;
    }
    return setUpEndOfStream(m_async);
}

bool NvEncoderDx9::loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int)
{
    auto* source = reinterpret_cast<D3D9Surface*>(data);
    const D3D9SurfaceDesc desc = source->getDesc();
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    Dxva2VideoSample sample;
    sample.source = source;
    sample.sourceRect = {0, 0, desc.width, desc.height};
    sample.destRect = {0, 0, video.width, video.height};
    Dxva2BltParams params;
    params.targetRect = sample.destRect;
    // The blit's result is not checked: a refused blit encodes what the surface held.
    m_processor->videoProcessBlt(m_converted.get(), params, &sample, 1);
    const int index = static_cast<int>(&buffer - m_buffers);
    if (!m_textures[index]->upload(m_converted->hostPointer(), m_converted->pitch())) {
        qCWarning(lcStrevo, "NvEncoderDx9: uploading the converted picture failed");
        return false;
    }
    return true;
}

void NvEncoderDx9::releaseInputs()
{
    for (int i = 0; i < kMaxBuffers; ++i) {
        m_session->unregisterResource(m_buffers[i].input.registered);
        m_buffers[i].input.registered = nullptr;
        m_buffers[i].input.resource = nullptr;
        m_textures[i].reset();
    }
    m_converted.reset();
}

void NvEncoderDx9::closeDevice()
{
    m_processor.reset();
    m_cuda.reset();
}
