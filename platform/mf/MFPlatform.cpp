#include "platform/mf/MFPlatform.h"

#include "platform/mf/MFLibavTransform.h"

#include <QDebug>
#include <cmath>
#include <map>
#include <mutex>

namespace {

struct Registry
{
    std::mutex mutex;
    std::map<GUID, MFPlatform::Creator> classes; // guarded by mutex
    int startups = 0;                            // guarded by mutex
};

// The registry, with the default classes added on first use (the GPU probe runs then, once).
Registry& registry()
{
    static Registry* r = [] {
        auto* created = new Registry;
        created->classes[MFGuids::CLSID_MSH264EncoderMFT] = [] {
            return std::make_shared<MFLibavTransform>(
                MFLibavTransform::Backend{"libx264", {}, false, false});
        };
        for (const auto& gpu : MFLibavTransform::gpuEncoders().found) {
            const MFLibavTransform::Backend backend = gpu.backend;
            created->classes[gpu.classId] = [backend] {
                return std::make_shared<MFLibavTransform>(backend);
            };
        }
        return created;
    }();
    return *r;
}

} // namespace

HRESULT MFPlatform::MFStartup(uint32_t version, uint32_t)
{
    if (version != MF_VERSION)
        return E_INVALIDARG;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.startups;
    return S_OK;
}

HRESULT MFPlatform::MFShutdown()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.startups == 0)
        return MF_E_PLATFORM_NOT_INITIALIZED;
    --r.startups;
    return S_OK;
}

HRESULT MFPlatform::CoCreateInstance(const GUID& classId, std::shared_ptr<IMFTransform>* transform)
{
    if (!transform)
        return E_POINTER;
    Registry& r = registry();
    Creator creator;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.startups == 0)
            return MF_E_PLATFORM_NOT_INITIALIZED;
        const auto it = r.classes.find(classId);
        if (it == r.classes.end())
            return REGDB_E_CLASSNOTREG;
        creator = it->second;
    }
    // The class's constructor runs unlocked: it may take its time or create classes itself.
    *transform = creator();
    return *transform ? S_OK : E_FAIL;
}

MFPlatform::Creator MFPlatform::registerClass(const GUID& classId, Creator creator)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Creator previous;
    const auto it = r.classes.find(classId);
    if (it != r.classes.end()) {
        previous = std::move(it->second);
        r.classes.erase(it);
    }
    if (creator)
        r.classes[classId] = std::move(creator);
    return previous;
}

HRESULT MFPlatform::MFCreateMediaType(std::shared_ptr<MFMediaType>* type)
{
    if (!type)
        return E_POINTER;
    *type = MFMediaType::create();
    return S_OK;
}

HRESULT MFPlatform::MFCreateSample(std::shared_ptr<MFSample>* sample)
{
    if (!sample)
        return E_POINTER;
    *sample = MFSample::create();
    return S_OK;
}

HRESULT MFPlatform::MFCreateMemoryBuffer(uint32_t maxLength, std::shared_ptr<MFMediaBuffer>* buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = MFMediaBuffer::create(maxLength);
    return S_OK;
}

HRESULT MFPlatform::MFCalculateImageSize(const GUID& subtype, uint32_t width, uint32_t height,
                                         uint32_t* size)
{
    if (!size)
        return E_POINTER;
    if (subtype != MFGuids::MFVideoFormat_NV12)
        return MF_E_INVALIDMEDIATYPE;
    // Luma rows, then half as many rows of interleaved chroma (odd sizes round up).
    const uint64_t bytes = static_cast<uint64_t>(width) * height +
                           static_cast<uint64_t>((width + 1) / 2 * 2) * ((height + 1) / 2);
    if (bytes > UINT32_MAX)
        return E_INVALIDARG;
    *size = static_cast<uint32_t>(bytes);
    return S_OK;
}

HRESULT MFPlatform::MFFrameRateToAverageTimePerFrame(uint32_t numerator, uint32_t denominator,
                                                     uint64_t* averageTimePerFrame)
{
    if (!averageTimePerFrame)
        return E_POINTER;
    if (numerator == 0) {
        *averageTimePerFrame = 0;
        return S_OK;
    }
    *averageTimePerFrame = static_cast<uint64_t>(
        std::llround(10000000.0 * static_cast<double>(denominator) / numerator));
    return S_OK;
}
