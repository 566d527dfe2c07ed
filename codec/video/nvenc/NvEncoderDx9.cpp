#include "codec/video/nvenc/NvEncoderDx9.h"

#include "common/DirectX9Manager.h"

#include <QDebug>

NvEncoderDx9::~NvEncoderDx9()
{
    shutdown();
}

bool NvEncoderDx9::openDevice()
{
    DirectX9Manager* manager = Singleton<DirectX9Manager>::getInstancePtr();
    if (!manager->m_pD3D9Device || !manager->m_pDXVA2VideoProcessService) {
        qWarning("NvEncoderDx9: the host has set no Direct3D 9 device (DirectX9Manager)");
        return false;
    }
    if (m_session->openSession(manager->m_pD3D9Device, NV_ENC_DEVICE_TYPE_DIRECTX) !=
        NV_ENC_SUCCESS)
        return false;

    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    Dxva2VideoDesc desc;
    desc.sampleWidth = video.width;
    desc.sampleHeight = video.height;
    std::vector<Dxva2DeviceGuid> guids;
    DXVA2VideoProcessorService* service = manager->m_pDXVA2VideoProcessService;
    if (!service->getVideoProcessorDeviceGuids(desc, &guids)) {
        qWarning("NvEncoderDx9: GetVideoProcessorDeviceGuids failed");
        return false;
    }
    for (const Dxva2DeviceGuid& guid : guids) {
        m_processor = service->createVideoProcessor(guid, desc, kD3DFmtNV12, 1);
        if (m_processor)
            return true;
    }
    qWarning("NvEncoderDx9: no DXVA2 video processor converts to NV12");
    return false;
}

NVENCSTATUS NvEncoderDx9::allocateBuffers(uint32_t width, uint32_t height)
{
    const uint32_t n = m_ring.count();
    m_surfaces =
        Singleton<DirectX9Manager>::getInstancePtr()->m_pDXVA2VideoProcessService->createSurface(
            static_cast<int>(width), static_cast<int>(height), static_cast<int>(n) - 1, kD3DFmtNV12,
            kD3DPoolDefault, 0, kDxva2VideoProcessorRenderTarget);
    if (m_surfaces.size() < n) {
        qWarning("NvEncoderDx9: CreateSurface gave %zu of %u NV12 surfaces", m_surfaces.size(), n);
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }
    for (uint32_t i = 0; i < n; ++i) {
        NvEncodeBuffer& b = m_buffers[i];
        b.input.resource = m_surfaces[i].get();
        b.input.pitch = 0;
        b.input.format = NV_ENC_BUFFER_FORMAT_NV12;
        b.input.width = width;
        b.input.height = height;
        NVENCSTATUS r =
            m_session->registerResource(NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX, b.input.resource, width,
                                        height, 0, b.input.format, &b.input.registered);
        if (r == NV_ENC_SUCCESS)
            r = setUpOutput(b, true);
        if (r != NV_ENC_SUCCESS)
            return r;
    }
    return setUpEndOfStream(true);
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
    m_processor->videoProcessBlt(static_cast<D3D9Surface*>(buffer.input.resource), params, &sample,
                                 1);
    return true;
}

void NvEncoderDx9::releaseInputs()
{
    for (NvEncodeBuffer& b : m_buffers) {
        m_session->unregisterResource(b.input.registered);
        b.input.registered = nullptr;
        b.input.resource = nullptr;
    }
    m_surfaces.clear();
}
