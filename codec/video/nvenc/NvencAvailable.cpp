#include "codec/video/nvenc/NvencAvailable.h"

#include "codec/video/nvenc/CNvHWEncoder.h"
#include "common/DirectX9Manager.h"
#include "platform/CudaDriver.h"

#include <QDebug>

bool nvencProbe()
{
    if (D3D9Device* device = Singleton<DirectX9Manager>::getInstancePtr()->m_pD3D9Device) {
        CNvHWEncoder session;
        if (session.openSession(device, NV_ENC_DEVICE_TYPE_DIRECTX) == NV_ENC_SUCCESS)
            return true;
    }
    if (loadCudaDriver(0, 4000) != CUDA_SUCCESS)
        return false;
    CUcontext context = nullptr;
    if (createCudaEncodeContext(0, &context) != 0)
        return false;
    bool opened = false;
    {
        CNvHWEncoder session;
        opened = session.openSession(context, NV_ENC_DEVICE_TYPE_CUDA) == NV_ENC_SUCCESS;
        session.destroyEncoder();
    }
    cudaDriver().cuCtxDestroy(context);
    return opened;
}

bool nvencAvailable()
{
    static const bool available = nvencProbe();
    return available;
}
