#include "codec/video/nvenc/NvencAvailable.h"

#include "codec/video/nvenc/CNvHWEncoder.h"
#include "platform/CudaDriver.h"

namespace {

// Whether a session opens on device 0; *device names the GPU when it does.
bool probe(std::string* device)
{
    // Every input path runs its session on a CUDA context (NVENC on Linux has no Direct3D
    // devices), so a session on device 0 answers for all of them.
    if (loadCudaDriver(0, 4000) != CUDA_SUCCESS)
        return false;
    CUcontext context = nullptr;
    if (createCudaEncodeContext(0, &context) != 0)
        return false;
    bool opened = false;
    {
        CNvHWEncoder session;
        opened = session.openSession(context, NV_ENC_DEVICE_TYPE_CUDA, true) == NV_ENC_SUCCESS;
        session.destroyEncoder();
    }
    if (opened)
        *device = cudaContextDeviceName(context);
    cudaDriver().cuCtxDestroy(context);
    return opened;
}

struct Probed
{
    bool available = false;
    std::string device;
};

const Probed& probed()
{
    static const Probed once = [] {
        Probed p;
        p.available = probe(&p.device);
        return p;
    }();
    return once;
}

} // namespace

bool nvencProbe()
{
    std::string device;
    return probe(&device);
}

bool nvencAvailable()
{
    return probed().available;
}

std::string nvencDevice()
{
    return probed().device;
}
