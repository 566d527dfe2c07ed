#include "codec/video/nvenc/CNvHWEncoder.h"

#include "common/CodecTable.h"

#include "common/StrevoLog.h"
#include "platform/AutoResetEvent.h"
#include "platform/CudaDriver.h"

#include <QDebug>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <set>
#include <string>
#include <vector>
extern "C" {
#include <libavutil/rational.h>
}

namespace {

const char* const kNvencLibrary = "libnvidia-encode.so.1";
// The oldest Linux driver release that speaks NVENC API 11.1, named in the message that asks
// for a newer driver.
const char* const kMinimumDriver = "470.57.02";

// The record's preset names and what each becomes. The first row is what a record without an
// NVENC preset name gets (the old default, low-latency HP). The low-latency rows keep what every
// old preset was encoded with, CBR_LOWDELAY_HQ: CBR with a quarter-resolution first pass; the
// high-quality row takes the full-resolution first pass (the old HQ rate control); the fast rows
// stay single-pass. The P-levels keep the old order of speed against quality:
//
//   name               P   tuning              first pass (with a bitrate)
//   lowLatencyHP       P2  LOW_LATENCY         quarter resolution
//   lowLatencyHQ       P4  LOW_LATENCY         quarter resolution
//   hp                 P1  HIGH_QUALITY        none
//   hq                 P5  HIGH_QUALITY        full resolution
//   ultraLowLatency    P1  ULTRA_LOW_LATENCY   none
//   lossless           P3  LOSSLESS            none (constant QP 0, the preset's own profile)
const CNvHWEncoder::Preset kPresets[] = {
    {"lowLatencyHP", 2, NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_TWO_PASS_QUARTER_RESOLUTION},
    {"lowLatencyHQ", 4, NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_TWO_PASS_QUARTER_RESOLUTION},
    {"hp", 1, NV_ENC_TUNING_INFO_HIGH_QUALITY, NV_ENC_MULTI_PASS_DISABLED},
    {"hq", 5, NV_ENC_TUNING_INFO_HIGH_QUALITY, NV_ENC_TWO_PASS_FULL_RESOLUTION},
    {"ultraLowLatency", 1, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, NV_ENC_MULTI_PASS_DISABLED},
    {"lossless", 3, NV_ENC_TUNING_INFO_LOSSLESS, NV_ENC_MULTI_PASS_DISABLED},
};

// What a machine lacks (a new enough driver, an encoder engine) is the same for every session
// and probe of the process: each such message is a warning once, a debug line after.
void warnOnce(const std::string& text)
{
    static std::mutex mutex;
    static std::set<std::string> logged; // guarded by `mutex`
    std::lock_guard<std::mutex> lock(mutex);
    if (logged.insert(text).second)
        qCWarning(lcStrevo, "%s", text.c_str());
    else
        qCDebug(lcStrevo, "%s", text.c_str());
}

// Refuses a driver older than the API this build speaks (it would refuse the session's structs
// with a bare NV_ENC_ERR_INVALID_VERSION).
bool driverSpeaksOurApi(void* library)
{
    using GetMaxVersion = NVENCSTATUS (*)(uint32_t*);
    auto get = reinterpret_cast<GetMaxVersion>(dlsym(library, "NvEncodeAPIGetMaxSupportedVersion"));
    uint32_t version = 0;
    const bool reported = get && get(&version) == NV_ENC_SUCCESS;
    if (reported && version >= CNvHWEncoder::kApiVersion)
        return true;
    const std::string supports = reported ? "supports API " + std::to_string(version >> 4) + "." +
                                                std::to_string(version & 0xF)
                                          : "does not report its API version";
    warnOnce("NVENC: the driver " + supports + ", this build needs " +
             std::to_string(NVENCAPI_MAJOR_VERSION) + "." + std::to_string(NVENCAPI_MINOR_VERSION) +
             ": update the NVIDIA driver (" + kMinimumDriver + " or newer)");
    return false;
}

} // namespace

struct CNvHWEncoder::Library
{
    void* handle = nullptr;
    ~Library()
    {
        if (handle)
            dlclose(handle);
    }
};

CNvHWEncoder::CNvHWEncoder() = default;

CNvHWEncoder::~CNvHWEncoder()
{
    destroyEncoder();
}

GUID CNvHWEncoder::codecGuid(int codec)
{
    return codec == 1 ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;
}

void CNvHWEncoder::frameRate(double fps, uint32_t* num, uint32_t* den)
{
    // The library's one rule: whole rates N/1, the NTSC family 1000N/1001, others exact (25/2).
    const AVRational exact = CodecTable::frameRate(fps);
    *num = static_cast<uint32_t>(exact.num);
    *den = static_cast<uint32_t>(exact.den);
}

NVENCSTATUS CNvHWEncoder::openSession(void* device, NV_ENC_DEVICE_TYPE deviceType, bool probing)
{
    if (!m_library) {
        auto library = std::make_unique<Library>();
        library->handle = dlopen(kNvencLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!library->handle) {
            if (probing)
                qCDebug(lcStrevo, "NVENC: the runtime %s is missing (no NVIDIA driver with NVENC)",
                        kNvencLibrary);
            else
                qCWarning(lcStrevo,
                          "NVENC: the runtime %s is missing (no NVIDIA driver with NVENC)",
                          kNvencLibrary);
            return NV_ENC_ERR_OUT_OF_MEMORY;
        }
        m_library = std::move(library);
    }
    if (!driverSpeaksOurApi(m_library->handle))
        return NV_ENC_ERR_INVALID_VERSION;
    using CreateInstance = NVENCSTATUS (*)(NV_ENCODE_API_FUNCTION_LIST*);
    auto create =
        reinterpret_cast<CreateInstance>(dlsym(m_library->handle, "NvEncodeAPICreateInstance"));
    if (!create) {
        qCWarning(lcStrevo, "NVENC: %s has no NvEncodeAPICreateInstance", kNvencLibrary);
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }
    m_api = std::make_unique<NV_ENCODE_API_FUNCTION_LIST>();
    std::memset(m_api.get(), 0, sizeof(NV_ENCODE_API_FUNCTION_LIST));
    m_api->version = NV_ENCODE_API_FUNCTION_LIST_VER;
    if (const NVENCSTATUS r = create(m_api.get())) {
        qCWarning(lcStrevo, "NVENC: NvEncodeAPICreateInstance returned %d", r);
        m_api.reset();
        return r;
    }
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = deviceType;
    params.device = device;
    params.apiVersion = NVENCAPI_VERSION;
    const NVENCSTATUS r = m_api->nvEncOpenEncodeSessionEx(&params, &m_encoder);
    if (r == NV_ENC_ERR_NO_ENCODE_DEVICE || r == NV_ENC_ERR_UNSUPPORTED_DEVICE) {
        // A GPU that runs CUDA but has no video encoder (data-centre GPUs such as the A100 and
        // H100).
        warnOnce("NVENC: no NVENC engine on " +
                 (deviceType == NV_ENC_DEVICE_TYPE_CUDA
                      ? cudaContextDeviceName(static_cast<CUcontext>(device))
                      : std::string("this GPU")));
    } else if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "NVENC: nvEncOpenEncodeSessionEx returned %d", r);
    }
    if (r != NV_ENC_SUCCESS)
        m_encoder = nullptr;
    return r;
}

const char* CNvHWEncoder::tuningName(NV_ENC_TUNING_INFO tuning)
{
    switch (tuning) {
    case NV_ENC_TUNING_INFO_HIGH_QUALITY:
        return "high quality";
    case NV_ENC_TUNING_INFO_LOW_LATENCY:
        return "low latency";
    case NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY:
        return "ultra-low latency";
    case NV_ENC_TUNING_INFO_LOSSLESS:
        return "lossless";
    default:
        return "undefined";
    }
}

const CNvHWEncoder::Preset& CNvHWEncoder::preset(const char* name)
{
    if (!name || !*name)
        return kPresets[0];
    for (const Preset& p : kPresets)
        if (!strcasecmp(name, p.name))
            return p;
    // A record's default preset is x264's ("veryfast"): such a name is no mistake worth a
    // warning on every set-up.
    bool x264Name = false;
    if (const CodecTable::Entry* x264 = CodecTable::find(QStringLiteral("X264")))
        for (const char* const* n = x264->presets; n && *n && !x264Name; ++n)
            x264Name = !strcasecmp(name, *n);
    const QByteArray text = QByteArray("NVENC: unknown preset \"") + name + "\", using " +
                            kPresets[0].name + " (P" + QByteArray::number(kPresets[0].level) +
                            ", " + tuningName(kPresets[0].tuning) + ")";
    if (x264Name)
        qCDebug(lcStrevo, "%s", text.constData());
    else
        qCWarning(lcStrevo, "%s", text.constData());
    return kPresets[0];
}

GUID CNvHWEncoder::presetGuid(int level)
{
    const GUID levels[] = {NV_ENC_PRESET_P1_GUID, NV_ENC_PRESET_P2_GUID, NV_ENC_PRESET_P3_GUID,
                           NV_ENC_PRESET_P4_GUID, NV_ENC_PRESET_P5_GUID, NV_ENC_PRESET_P6_GUID,
                           NV_ENC_PRESET_P7_GUID};
    return levels[level < 1 ? 0 : level > 7 ? 6 : level - 1];
}

NV_ENC_PARAMS_RC_MODE CNvHWEncoder::rateControl(uint32_t mode, NV_ENC_MULTI_PASS* multiPass)
{
    switch (mode) {
    case NV_ENC_PARAMS_RC_CONSTQP:
    case NV_ENC_PARAMS_RC_VBR:
    case NV_ENC_PARAMS_RC_CBR:
        return static_cast<NV_ENC_PARAMS_RC_MODE>(mode);
    case NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ:
        *multiPass = NV_ENC_TWO_PASS_QUARTER_RESOLUTION;
        return NV_ENC_PARAMS_RC_CBR;
    case NV_ENC_PARAMS_RC_CBR_HQ:
        *multiPass = NV_ENC_TWO_PASS_FULL_RESOLUTION;
        return NV_ENC_PARAMS_RC_CBR;
    case NV_ENC_PARAMS_RC_VBR_HQ:
        *multiPass = NV_ENC_TWO_PASS_FULL_RESOLUTION;
        return NV_ENC_PARAMS_RC_VBR;
    case NV_ENC_PARAMS_RC_VBR_MINQP:
        return NV_ENC_PARAMS_RC_VBR;
    default:
        return NV_ENC_PARAMS_RC_CBR;
    }
}

NVENCSTATUS CNvHWEncoder::createEncoder(EncodeConfig* config)
{
    if (!config || !m_encoder)
        return NV_ENC_ERR_INVALID_PARAM;
    m_width = config->width;
    m_height = config->height;
    m_maxWidth = config->maxWidth > 0 ? config->maxWidth : m_width;
    m_maxHeight = config->maxHeight > 0 ? config->maxHeight : m_height;
    if (m_width == 0 || m_height == 0 || m_width > m_maxWidth || m_height > m_maxHeight)
        return NV_ENC_ERR_INVALID_PARAM;

    m_codecGuid = codecGuid(config->codec);
    uint32_t count = 0;
    NVENCSTATUS r = m_api->nvEncGetEncodeGUIDCount(m_encoder, &count);
    bool supported = false;
    if (r == NV_ENC_SUCCESS) {
        std::vector<GUID> codecs(count);
        uint32_t filled = 0;
        r = count ? m_api->nvEncGetEncodeGUIDs(m_encoder, codecs.data(), count, &filled)
                  : NV_ENC_SUCCESS;
        for (uint32_t i = 0; r == NV_ENC_SUCCESS && i < filled && i < count; ++i)
            supported = supported || codecs[i] == m_codecGuid;
    }
    if (!supported) {
        qCWarning(lcStrevo, "%s line %d: codec not supported ", __FILE__, __LINE__);
        return r != NV_ENC_SUCCESS ? r : NV_ENC_ERR_INVALID_PARAM;
    }

    m_presetGuid = config->presetGUID;
    if (!offersPreset(m_codecGuid, m_presetGuid)) {
        qCWarning(lcStrevo, "NVENC: the driver does not offer the chosen P-preset for %s",
                  config->codec == 1 ? "HEVC" : "H.264");
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    std::memset(&m_initParams, 0, sizeof(m_initParams));
    std::memset(&m_encodeConfig, 0, sizeof(m_encodeConfig));
    m_initParams.version = NV_ENC_INITIALIZE_PARAMS_VER;
    m_encodeConfig.version = NV_ENC_CONFIG_VER;
    m_initParams.encodeGUID = m_codecGuid;
    m_initParams.presetGUID = m_presetGuid;
    m_initParams.encodeWidth = m_initParams.darWidth = m_width;
    m_initParams.encodeHeight = m_initParams.darHeight = m_height;
    frameRate(config->fps, &m_initParams.frameRateNum, &m_initParams.frameRateDen);
    m_initParams.enablePTD = 1;
    m_initParams.reportSliceOffsets = 0;
    m_initParams.enableSubFrameWrite = 0;
    m_initParams.encodeConfig = &m_encodeConfig;
    m_initParams.maxEncodeWidth = m_maxWidth;
    m_initParams.maxEncodeHeight = m_maxHeight;
    m_initParams.tuningInfo = config->tuning;

    // The preset's configuration for the tuning, then the record's settings over it.
    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    r = m_api->nvEncGetEncodePresetConfigEx(m_encoder, m_codecGuid, m_presetGuid, config->tuning,
                                            &preset);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "NVENC: nvEncGetEncodePresetConfigEx returned %d", r);
        return r;
    }
    const bool lossless = config->tuning == NV_ENC_TUNING_INFO_LOSSLESS;
    m_encodeConfig = preset.presetCfg;
    m_encodeConfig.version = NV_ENC_CONFIG_VER;
    if (!lossless) // lossless coding has profiles of its own (H.264: High 4:4:4 Predictive)
        m_encodeConfig.profileGUID = config->profileGUID;
    m_encodeConfig.gopLength = config->gopLength;
    m_encodeConfig.frameIntervalP = static_cast<int32_t>(config->numB) + 1;
    m_encodeConfig.frameFieldMode = config->pictureStruct == NV_ENC_PIC_STRUCT_FRAME
                                        ? NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME
                                        : NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD;
    m_encodeConfig.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    NV_ENC_RC_PARAMS& rc = m_encodeConfig.rcParams;
    if (lossless) {
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        rc.constQP = {0, 0, 0};
        rc.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    } else if (config->bitrate || config->vbvMaxBitrate) {
        NV_ENC_MULTI_PASS multiPass = config->multiPass;
        rc.rateControlMode = rateControl(config->rcMode, &multiPass);
        rc.multiPass = multiPass;
        if (config->rcMode == NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ)
            rc.lowDelayKeyFrameScale = 1; // the rest of what that mode stood for
        rc.averageBitRate = config->bitrate;
        rc.maxBitRate = config->vbvMaxBitrate;
        rc.vbvBufferSize = config->vbvSize;
        rc.vbvInitialDelay = config->vbvSize * 9 / 10;
    } else {
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        rc.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    }
    if (config->codec == 1) {
        m_encodeConfig.encodeCodecConfig.hevcConfig.idrPeriod = config->gopLength;
        m_encodeConfig.encodeCodecConfig.hevcConfig.chromaFormatIDC = 1;
    } else {
        m_encodeConfig.encodeCodecConfig.h264Config.idrPeriod = config->gopLength;
        m_encodeConfig.encodeCodecConfig.h264Config.chromaFormatIDC = 1;
    }

    int async = 0;
    if (getCaps(m_codecGuid, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT, &async) != NV_ENC_SUCCESS)
        async = 0;
    m_initParams.enableEncodeAsync = async ? 1 : 0;
    config->enableAsyncMode = m_initParams.enableEncodeAsync;

    r = m_api->nvEncInitializeEncoder(m_encoder, &m_initParams);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s line %d: Encode Session Initialization failed (%d)", __FILE__,
                  __LINE__, r);
        return r;
    }
    m_initialized = true;
    return NV_ENC_SUCCESS;
}

bool CNvHWEncoder::offersPreset(const GUID& codec, const GUID& preset)
{
    uint32_t count = 0;
    if (m_api->nvEncGetEncodePresetCount(m_encoder, codec, &count) != NV_ENC_SUCCESS || !count)
        return false;
    std::vector<GUID> presets(count);
    uint32_t filled = 0;
    if (m_api->nvEncGetEncodePresetGUIDs(m_encoder, codec, presets.data(), count, &filled) !=
        NV_ENC_SUCCESS)
        return false;
    for (uint32_t i = 0; i < filled && i < count; ++i)
        if (presets[i] == preset)
            return true;
    return false;
}

NVENCSTATUS CNvHWEncoder::getCaps(GUID codec, NV_ENC_CAPS cap, int* value)
{
    if (!m_encoder)
        return NV_ENC_ERR_NO_ENCODE_DEVICE;
    NV_ENC_CAPS_PARAM param{};
    param.version = NV_ENC_CAPS_PARAM_VER;
    param.capsToQuery = cap;
    return m_api->nvEncGetEncodeCaps(m_encoder, codec, &param, value);
}

NVENCSTATUS CNvHWEncoder::createBitstreamBuffer(uint32_t size, NV_ENC_OUTPUT_PTR* buffer)
{
    NV_ENC_CREATE_BITSTREAM_BUFFER params{};
    params.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    params.size = size;
    params.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    const NVENCSTATUS r = m_api->nvEncCreateBitstreamBuffer(m_encoder, &params);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "NVENC: nvEncCreateBitstreamBuffer returned %d", r);
        return r;
    }
    *buffer = params.bitstreamBuffer;
    return r;
}

NVENCSTATUS CNvHWEncoder::destroyBitstreamBuffer(NV_ENC_OUTPUT_PTR buffer)
{
    if (!buffer)
        return NV_ENC_SUCCESS;
    return m_api->nvEncDestroyBitstreamBuffer(m_encoder, buffer);
}

NVENCSTATUS CNvHWEncoder::registerAsyncEvent(std::unique_ptr<AutoResetEvent>* event)
{
    auto created = std::make_unique<AutoResetEvent>();
    NV_ENC_EVENT_PARAMS params{};
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = created.get();
    const NVENCSTATUS r = m_api->nvEncRegisterAsyncEvent(m_encoder, &params);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "NVENC: nvEncRegisterAsyncEvent returned %d", r);
        return r;
    }
    *event = std::move(created);
    return r;
}

NVENCSTATUS CNvHWEncoder::unregisterAsyncEvent(AutoResetEvent* event)
{
    if (!event)
        return NV_ENC_SUCCESS;
    NV_ENC_EVENT_PARAMS params{};
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = event;
    return m_api->nvEncUnregisterAsyncEvent(m_encoder, &params);
}

NVENCSTATUS CNvHWEncoder::registerResource(NV_ENC_INPUT_RESOURCE_TYPE type, void* resource,
                                           uint32_t width, uint32_t height, uint32_t pitch,
                                           NV_ENC_BUFFER_FORMAT format,
                                           NV_ENC_REGISTERED_PTR* registered)
{
    NV_ENC_REGISTER_RESOURCE params{};
    params.version = NV_ENC_REGISTER_RESOURCE_VER;
    params.resourceType = type;
    params.resourceToRegister = resource;
    params.width = width;
    params.height = height;
    params.pitch = pitch;
    params.subResourceIndex = 0;
    params.bufferFormat = format;
    const NVENCSTATUS r = m_api->nvEncRegisterResource(m_encoder, &params);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "NVENC: nvEncRegisterResource returned %d", r);
        return r;
    }
    *registered = params.registeredResource;
    return r;
}

NVENCSTATUS CNvHWEncoder::unregisterResource(NV_ENC_REGISTERED_PTR registered)
{
    if (!registered)
        return NV_ENC_SUCCESS;
    const NVENCSTATUS r = m_api->nvEncUnregisterResource(m_encoder, registered);
    if (r != NV_ENC_SUCCESS)
        qCWarning(lcStrevo, "NVENC: nvEncUnregisterResource returned %d", r);
    return r;
}

NVENCSTATUS CNvHWEncoder::mapInput(NV_ENC_REGISTERED_PTR registered, NV_ENC_INPUT_PTR* mapped)
{
    NV_ENC_MAP_INPUT_RESOURCE params{};
    params.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    params.registeredResource = registered;
    const NVENCSTATUS r = m_api->nvEncMapInputResource(m_encoder, &params);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s line %d: Failed to Map input buffer 0x%08x (%d)", __FILE__,
                  __LINE__, static_cast<unsigned>(reinterpret_cast<uintptr_t>(registered)), r);
        return r;
    }
    *mapped = params.mappedResource;
    return r;
}

NVENCSTATUS CNvHWEncoder::unmapInput(NV_ENC_INPUT_PTR mapped)
{
    if (!mapped)
        return NV_ENC_SUCCESS;
    return m_api->nvEncUnmapInputResource(m_encoder, mapped);
}

NVENCSTATUS CNvHWEncoder::getSequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload)
{
    payload->version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
    const NVENCSTATUS r = m_api->nvEncGetSequenceParams(m_encoder, payload);
    if (r != NV_ENC_SUCCESS)
        qCWarning(lcStrevo, "NVENC: nvEncGetSequenceParams returned %d", r);
    return r;
}

NVENCSTATUS CNvHWEncoder::encodePicture(NV_ENC_INPUT_PTR input, NV_ENC_BUFFER_FORMAT format,
                                        uint32_t width, uint32_t height, NV_ENC_OUTPUT_PTR output,
                                        AutoResetEvent* event, NV_ENC_PIC_STRUCT structure,
                                        uint32_t flags)
{
    NV_ENC_PIC_PARAMS params{};
    params.version = NV_ENC_PIC_PARAMS_VER;
    params.inputBuffer = input;
    params.bufferFmt = format;
    params.inputWidth = width;
    params.inputHeight = height;
    params.outputBitstream = output;
    params.completionEvent = event;
    params.inputTimeStamp = m_pictureCounter;
    params.pictureStruct = structure;
    params.encodePicFlags = flags;
    const NVENCSTATUS r = m_api->nvEncEncodePicture(m_encoder, &params);
    if (r != NV_ENC_SUCCESS && r != NV_ENC_ERR_NEED_MORE_INPUT) {
        qCWarning(lcStrevo, "NVENC: nvEncEncodePicture returned %d", r);
        return r;
    }
    ++m_pictureCounter;
    return r;
}

NVENCSTATUS CNvHWEncoder::fetchOutput(NV_ENC_OUTPUT_PTR output, uint8_t* out, uint32_t capacity,
                                      uint32_t* size, uint32_t* keyFrame, uint64_t* timeStamp)
{
    NV_ENC_LOCK_BITSTREAM lock{};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.doNotWait = 0;
    lock.outputBitstream = output;
    NVENCSTATUS r = m_api->nvEncLockBitstream(m_encoder, &lock);
    if (r != NV_ENC_SUCCESS) {
        qCWarning(lcStrevo, "%s line %d: lock bitstream function failed (%d)", __FILE__, __LINE__,
                  r);
        return r;
    }
    if (out) {
        if (lock.bitstreamSizeInBytes > capacity) {
            qCWarning(lcStrevo,
                      "NVENC: a packet of %u bytes does not fit the %u bytes given; dropped",
                      lock.bitstreamSizeInBytes, capacity);
            m_api->nvEncUnlockBitstream(m_encoder, output);
            return NV_ENC_ERR_INVALID_PARAM;
        }
        std::memcpy(out, lock.bitstreamBufferPtr, lock.bitstreamSizeInBytes);
        *size = lock.bitstreamSizeInBytes;
        if (lock.pictureType == NV_ENC_PIC_TYPE_IDR)
            *keyFrame = 1;
        *timeStamp = lock.outputTimeStamp;
    }
    r = m_api->nvEncUnlockBitstream(m_encoder, output);
    if (r != NV_ENC_SUCCESS) {
        // A buffer left locked cannot take another picture: the unlock is tried once more.
        qCWarning(lcStrevo, "NVENC: nvEncUnlockBitstream returned %d", r);
        r = m_api->nvEncUnlockBitstream(m_encoder, output);
    }
    return r;
}

NVENCSTATUS CNvHWEncoder::flushQueue(AutoResetEvent* event)
{
    NV_ENC_PIC_PARAMS params{};
    params.version = NV_ENC_PIC_PARAMS_VER;
    params.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    params.completionEvent = event;
    const NVENCSTATUS r = m_api->nvEncEncodePicture(m_encoder, &params);
    if (r != NV_ENC_SUCCESS)
        qCWarning(lcStrevo, "NVENC: end of stream (nvEncEncodePicture) returned %d", r);
    return r;
}

NVENCSTATUS CNvHWEncoder::destroyEncoder()
{
    if (!m_initialized && !m_encoder)
        return NV_ENC_SUCCESS;
    const NVENCSTATUS r = m_api->nvEncDestroyEncoder(m_encoder);
    m_encoder = nullptr;
    m_initialized = false;
    return r;
}
