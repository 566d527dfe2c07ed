#pragma once

#include "platform/Guid.h" // before the NVENC header: one GUID type
#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <memory>

class AutoResetEvent;

// One NVENC encode session: the runtime (libnvidia-encode.so.1, opened by its soname, never
// linked), its function list, the session handle, and the initialize parameters and encoder
// configuration kept for the session's life.
//
// Lifecycle: openSession() loads the runtime and opens the session on a device; createEncoder()
// configures and initialises it; the buffer, resource and picture calls follow. Destruction ends
// a session still open and unloads the runtime. Every operation answers an NVENCSTATUS (0 on
// success) and reports its failure in a warning. One thread at a time.
class CNvHWEncoder
{
public:
    // What a record's preset name stands for. NVENC API 10 replaced the named presets (HP, HQ,
    // low latency HP/HQ, lossless) and the low-delay rate-control modes by seven preset levels,
    // P1 (fastest) to P7 (best quality), each tuned for one use (tuningInfo), and a multi-pass
    // setting; current drivers refuse the old ones. Records and hosts keep the old names, which
    // kPresets maps (see CNvHWEncoder.cpp for the table and why each row is what it is).
    struct Preset
    {
        const char* name; // as a record names it, any case
        int level;        // P-level, 1..7
        NV_ENC_TUNING_INFO tuning;
        NV_ENC_MULTI_PASS multiPass; // with a bitrate; lossless is always single-pass constant QP
    };

    // The request an inner encoder hands to createEncoder().
    struct EncodeConfig
    {
        uint32_t width = 0, height = 0;
        uint32_t maxWidth = 0, maxHeight = 0; // 0: equal to width and height
        double fps = 30.0;
        uint32_t bitrate = 0; // bits/s; 0: constant QP
        uint32_t vbvMaxBitrate = 0;
        uint32_t vbvSize = 0; // bits
        // NV_ENC_PARAMS_RC_CBR, _VBR or _CONSTQP; the deprecated modes of older APIs are taken
        // too and mapped (rateControl()).
        uint32_t rcMode = NV_ENC_PARAMS_RC_CBR;
        NV_ENC_MULTI_PASS multiPass = NV_ENC_MULTI_PASS_DISABLED;
        uint32_t qp = 0;
        GUID presetGUID = NV_ENC_PRESET_P2_GUID;
        NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY;
        int codec = 0; // 0 H.264, 1 HEVC
        uint32_t gopLength = 0;
        uint32_t numB = 0;
        NV_ENC_PIC_STRUCT pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        GUID profileGUID{};
        uint32_t enableAsyncMode = 0; // out: whether the session encodes asynchronously
    };

    // The API version this build speaks, as NvEncodeAPIGetMaxSupportedVersion reports one:
    // major << 4 | minor.
    static constexpr uint32_t kApiVersion = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;

    CNvHWEncoder();
    virtual ~CNvHWEncoder();
    CNvHWEncoder(const CNvHWEncoder&) = delete;
    CNvHWEncoder& operator=(const CNvHWEncoder&) = delete;

    // Loads the runtime, checks that the driver speaks kApiVersion or newer and opens a session
    // on `device` (a CUcontext: NVENC on Linux takes CUDA and OpenGL devices only). An old
    // driver and a GPU without an NVENC engine are refused with one message each, a warning once
    // per process (a debug line after): "NVENC: the driver supports API <a.b>, this build needs
    // <c.d>: update the NVIDIA driver (470.57.02 or newer)" (NV_ENC_ERR_INVALID_VERSION) and
    // "NVENC: no NVENC engine on <GPU name>" (the session's NV_ENC_ERR_NO_ENCODE_DEVICE or
    // NV_ENC_ERR_UNSUPPORTED_DEVICE).
    // `probing`: the catalogue asks whether NVENC runs here, so a missing runtime is no fault
    // and is said at debug level only.
    NVENCSTATUS openSession(void* device, NV_ENC_DEVICE_TYPE deviceType, bool probing = false);
    // The row of kPresets for a record's preset name; an empty or null name gets the first row,
    // an unknown one too, with a warning (quietly for an x264 name, a record's default).
    static const Preset& preset(const char* name);
    static GUID presetGuid(int level); // NV_ENC_PRESET_P<level>_GUID, level 1..7
    static const char* tuningName(NV_ENC_TUNING_INFO tuning); // "low latency", ...
    // A rate-control mode as the current API takes it: CBR, VBR or CONSTQP. The deprecated
    // modes become the pair their header names (CBR_LOWDELAY_HQ: CBR with a quarter-resolution
    // first pass; CBR_HQ / VBR_HQ: CBR / VBR with a full-resolution first pass; VBR_MINQP: VBR),
    // setting *multiPass; the current modes leave it alone.
    static NV_ENC_PARAMS_RC_MODE rateControl(uint32_t mode, NV_ENC_MULTI_PASS* multiPass);
    NVENCSTATUS createEncoder(EncodeConfig* config);
    NVENCSTATUS getCaps(GUID codec, NV_ENC_CAPS cap, int* value);
    NVENCSTATUS createBitstreamBuffer(uint32_t size, NV_ENC_OUTPUT_PTR* buffer);
    NVENCSTATUS destroyBitstreamBuffer(NV_ENC_OUTPUT_PTR buffer);
    // A new completion event registered with the session (owned by the caller from then on).
    NVENCSTATUS registerAsyncEvent(std::unique_ptr<AutoResetEvent>* event);
    NVENCSTATUS unregisterAsyncEvent(AutoResetEvent* event);
    NVENCSTATUS registerResource(NV_ENC_INPUT_RESOURCE_TYPE type, void* resource, uint32_t width,
                                 uint32_t height, uint32_t pitch, NV_ENC_BUFFER_FORMAT format,
                                 NV_ENC_REGISTERED_PTR* registered);
    NVENCSTATUS unregisterResource(NV_ENC_REGISTERED_PTR registered);
    NVENCSTATUS mapInput(NV_ENC_REGISTERED_PTR registered, NV_ENC_INPUT_PTR* mapped);
    NVENCSTATUS unmapInput(NV_ENC_INPUT_PTR mapped);
    NVENCSTATUS getSequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload);
    // Submits one picture; `flags` is NV_ENC_PIC_FLAG_FORCEIDR or 0. Counts the picture on
    // success (and on NV_ENC_ERR_NEED_MORE_INPUT), its number going in as its time stamp.
    NVENCSTATUS encodePicture(NV_ENC_INPUT_PTR input, NV_ENC_BUFFER_FORMAT format, uint32_t width,
                              uint32_t height, NV_ENC_OUTPUT_PTR output, AutoResetEvent* event,
                              NV_ENC_PIC_STRUCT structure, uint32_t flags);
    // Locks `output` (blocking), copies the packet into out when out is not null (at most
    // capacity bytes: a larger packet is dropped with a warning and NV_ENC_ERR_INVALID_PARAM) and
    // unlocks it (a failed unlock is tried once more). keyFrame is set to 1 for an IDR picture,
    // left alone otherwise.
    NVENCSTATUS fetchOutput(NV_ENC_OUTPUT_PTR output, uint8_t* out, uint32_t capacity,
                            uint32_t* size, uint32_t* keyFrame, uint64_t* timeStamp);
    // End of stream: the session completes every picture it holds and signals `event`.
    NVENCSTATUS flushQueue(AutoResetEvent* event);
    NVENCSTATUS destroyEncoder();

    bool initialized() const { return m_initialized; }
    const NV_ENC_INITIALIZE_PARAMS& initializeParams() const { return m_initParams; }
    const NV_ENC_CONFIG& encodeConfig() const { return m_encodeConfig; }
    uint32_t maxWidth() const { return m_maxWidth; }
    uint32_t maxHeight() const { return m_maxHeight; }
    static GUID codecGuid(int codec);
    // Frame rate as NVENC takes it: the exact rate (30/1, 30000/1001 for 29.97, 25/2 for 12.5).
    static void frameRate(double fps, uint32_t* num, uint32_t* den);

private:
    // Whether the session lists the preset for the codec (the API asks a client to look first).
    bool offersPreset(const GUID& codec, const GUID& preset);

    struct Library;
    std::unique_ptr<Library> m_library;
    std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> m_api;
    void* m_encoder = nullptr; // session handle
    bool m_initialized = false;
    uint32_t m_pictureCounter = 0;
    uint32_t m_maxWidth = 0, m_maxHeight = 0;
    uint32_t m_width = 0, m_height = 0;
    GUID m_codecGuid{};
    GUID m_presetGuid{};
    NV_ENC_INITIALIZE_PARAMS m_initParams{};
    NV_ENC_CONFIG m_encodeConfig{};
};
