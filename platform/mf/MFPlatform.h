#pragma once

#include "platform/mf/IMFTransform.h"
#include "platform/mf/MFMediaBuffer.h"
#include "platform/mf/MFMediaType.h"
#include "platform/mf/MFSample.h"

#include <functional>
#include <memory>

constexpr uint32_t MF_VERSION = 0x20070;
constexpr uint32_t MFSTARTUP_FULL = 0;

// The platform: start-up and shut-down, instance creation by class id, and the helper calls
// the encoder path uses. Instances come from a registry of transform classes: the software
// H.264 encoder always, the GPU vendors' encoder classes where this machine's GPU encoder
// opens (probed once per process, on first use). Safe on any thread.
class MFPlatform
{
public:
    using Creator = std::function<std::shared_ptr<IMFTransform>()>;

    // Counted: every successful MFStartup() is matched by one MFShutdown().
    // MF_E_BAD_STARTUP_VERSION-like failures are E_INVALIDARG here.
    static HRESULT MFStartup(uint32_t version, uint32_t flags = MFSTARTUP_FULL);
    static HRESULT MFShutdown();

    // A new instance of a registered class. REGDB_E_CLASSNOTREG for an unknown class id,
    // MF_E_PLATFORM_NOT_INITIALIZED before MFStartup(), E_FAIL when the class could not
    // make one.
    static HRESULT CoCreateInstance(const GUID& classId, std::shared_ptr<IMFTransform>* transform);

    // Adds (or, with an empty creator, removes) a class and returns the creator it replaced
    // (empty when there was none), so that a caller can put a default class back.
    static Creator registerClass(const GUID& classId, Creator creator);

    static HRESULT MFCreateMediaType(std::shared_ptr<MFMediaType>* type);
    static HRESULT MFCreateSample(std::shared_ptr<MFSample>* sample);
    static HRESULT MFCreateMemoryBuffer(uint32_t maxLength, std::shared_ptr<MFMediaBuffer>* buffer);
    // Bytes of one packed picture of the subtype (NV12 only here).
    static HRESULT MFCalculateImageSize(const GUID& subtype, uint32_t width, uint32_t height,
                                        uint32_t* size);
    // One frame's duration in 100-ns units, rounded to the nearest unit.
    static HRESULT MFFrameRateToAverageTimePerFrame(uint32_t numerator, uint32_t denominator,
                                                    uint64_t* averageTimePerFrame);
};
