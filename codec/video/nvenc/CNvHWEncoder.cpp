#include "codec/video/nvenc/CNvHWEncoder.h"

#include "platform/AutoResetEvent.h"

#include <QDebug>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <vector>
extern "C" {
#include <libavutil/rational.h>
}

// The legacy preset GUIDs are marked deprecated in the API headers; they are the presets this
// encoder offers by name.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

const char* const kNvencLibrary = "libnvidia-encode.so.1";

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
    const AVRational rounded = av_d2q(std::round(fps), 1001000);
    *num = static_cast<uint32_t>(rounded.num) * 1000;
    *den = fps != std::floor(fps) ? 1001 : 1000;
}

NVENCSTATUS CNvHWEncoder::openSession(void* device, NV_ENC_DEVICE_TYPE deviceType)
{
    if (!m_library) {
        auto library = std::make_unique<Library>();
        library->handle = dlopen(kNvencLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!library->handle) {
            qWarning("NVENC: the runtime %s is missing (no NVIDIA driver with NVENC)",
                     kNvencLibrary);
            return NV_ENC_ERR_OUT_OF_MEMORY;
        }
        m_library = std::move(library);
    }
    using CreateInstance = NVENCSTATUS (*)(NV_ENCODE_API_FUNCTION_LIST*);
    auto create =
        reinterpret_cast<CreateInstance>(dlsym(m_library->handle, "NvEncodeAPICreateInstance"));
    if (!create) {
        qWarning("NVENC: %s has no NvEncodeAPICreateInstance", kNvencLibrary);
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }
    m_api = std::make_unique<NV_ENCODE_API_FUNCTION_LIST>();
    std::memset(m_api.get(), 0, sizeof(NV_ENCODE_API_FUNCTION_LIST));
    m_api->version = NV_ENCODE_API_FUNCTION_LIST_VER;
    if (const NVENCSTATUS r = create(m_api.get())) {
        qWarning("NVENC: NvEncodeAPICreateInstance returned %d", r);
        m_api.reset();
        return r;
    }
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = deviceType;
    params.device = device;
    params.apiVersion = NVENCAPI_VERSION;
    const NVENCSTATUS r = m_api->nvEncOpenEncodeSessionEx(&params, &m_encoder);
    if (r != NV_ENC_SUCCESS) {
        qWarning("NVENC: nvEncOpenEncodeSessionEx returned %d", r);
        m_encoder = nullptr;
    }
    return r;
}

GUID CNvHWEncoder::presetGuid(const char* name, int codec)
{
    GUID wanted = NV_ENC_PRESET_LOW_LATENCY_HP_GUID;
    if (name) {
        if (!strcasecmp(name, "hq"))
            wanted = NV_ENC_PRESET_HQ_GUID;
        else if (!strcasecmp(name, "lowLatencyHP"))
            wanted = NV_ENC_PRESET_LOW_LATENCY_HP_GUID;
        else if (!strcasecmp(name, "hp"))
            wanted = NV_ENC_PRESET_HP_GUID;
        else if (!strcasecmp(name, "lowLatencyHQ"))
            wanted = NV_ENC_PRESET_LOW_LATENCY_HQ_GUID;
        else if (!strcasecmp(name, "lossless"))
            wanted = NV_ENC_PRESET_LOSSLESS_HP_GUID;
        else
            qWarning("%s line %d: Unsupported preset guid %s", __FILE__, __LINE__, name);
    }
    uint32_t count = 0;
    const GUID codecId = codecGuid(codec);
    if (m_encoder && m_api->nvEncGetEncodePresetCount(m_encoder, codecId, &count) == 0) {
        std::vector<GUID> presets(count);
        uint32_t filled = 0;
        if (count > 0 && m_api->nvEncGetEncodePresetGUIDs(m_encoder, codecId, presets.data(), count,
                                                          &filled) == 0) {
            for (uint32_t i = 0; i < filled && i < count; ++i)
                if (presets[i] == wanted)
                    return wanted;
        }
    }
    qWarning("%s line %d: Unsupported preset guid %s", __FILE__, __LINE__, name ? name : "(null)");
    return NV_ENC_PRESET_DEFAULT_GUID;
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
        qWarning("%s line %d: codec not supported ", __FILE__, __LINE__);
        return r != NV_ENC_SUCCESS ? r : NV_ENC_ERR_INVALID_PARAM;
    }

    m_presetGuid = config->presetGUID;
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

    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    r = m_api->nvEncGetEncodePresetConfig(m_encoder, m_codecGuid, m_presetGuid, &preset);
    if (r != NV_ENC_SUCCESS) {
        qWarning("%s line %d: nvEncGetEncodePresetConfig returned failure (%d)", __FILE__, __LINE__,
                 r);
        return r;
    }
    m_encodeConfig = preset.presetCfg;
    m_encodeConfig.version = NV_ENC_CONFIG_VER;
    m_encodeConfig.profileGUID = config->profileGUID;
    m_encodeConfig.gopLength = config->gopLength;
    m_encodeConfig.frameIntervalP = static_cast<int32_t>(config->numB) + 1;
    m_encodeConfig.frameFieldMode = config->pictureStruct == NV_ENC_PIC_STRUCT_FRAME
                                        ? NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME
                                        : NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD;
    m_encodeConfig.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    NV_ENC_RC_PARAMS& rc = m_encodeConfig.rcParams;
    if (config->bitrate || config->vbvMaxBitrate) {
        rc.rateControlMode = static_cast<NV_ENC_PARAMS_RC_MODE>(config->rcMode);
        rc.averageBitRate = config->bitrate;
        rc.maxBitRate = config->vbvMaxBitrate;
        rc.vbvBufferSize = config->vbvSize;
        rc.vbvInitialDelay = config->vbvSize * 9 / 10;
    } else {
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
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
        qWarning("%s line %d: Encode Session Initialization failed (%d)", __FILE__, __LINE__, r);
        return r;
    }
    m_initialized = true;
    return NV_ENC_SUCCESS;
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
        qWarning("NVENC: nvEncCreateBitstreamBuffer returned %d", r);
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
        qWarning("NVENC: nvEncRegisterAsyncEvent returned %d", r);
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
        qWarning("NVENC: nvEncRegisterResource returned %d", r);
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
        qWarning("NVENC: nvEncUnregisterResource returned %d", r);
    return r;
}

NVENCSTATUS CNvHWEncoder::mapInput(NV_ENC_REGISTERED_PTR registered, NV_ENC_INPUT_PTR* mapped)
{
    NV_ENC_MAP_INPUT_RESOURCE params{};
    params.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    params.registeredResource = registered;
    const NVENCSTATUS r = m_api->nvEncMapInputResource(m_encoder, &params);
    if (r != NV_ENC_SUCCESS) {
        qWarning("%s line %d: Failed to Map input buffer 0x%08x (%d)", __FILE__, __LINE__,
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(registered)), r);
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
        qWarning("NVENC: nvEncGetSequenceParams returned %d", r);
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
        qWarning("NVENC: nvEncEncodePicture returned %d", r);
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
        qWarning("%s line %d: lock bitstream function failed (%d)", __FILE__, __LINE__, r);
        return r;
    }
    if (out) {
        if (lock.bitstreamSizeInBytes > capacity) {
            qWarning("NVENC: a packet of %u bytes does not fit the %u bytes given; dropped",
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
    if (r != NV_ENC_SUCCESS)
        qWarning("NVENC: nvEncUnlockBitstream returned %d", r);
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
        qWarning("NVENC: end of stream (nvEncEncodePicture) returned %d", r);
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
