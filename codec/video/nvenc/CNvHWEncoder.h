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
    // The request an inner encoder hands to createEncoder().
    struct EncodeConfig
    {
        uint32_t width = 0, height = 0;
        uint32_t maxWidth = 0, maxHeight = 0; // 0: equal to width and height
        double fps = 30.0;
        uint32_t bitrate = 0; // bits/s
        uint32_t vbvMaxBitrate = 0;
        uint32_t vbvSize = 0; // bits
        uint32_t rcMode = NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ;
        uint32_t qp = 0;
        GUID presetGUID{};
        int codec = 0; // 0 H.264, 1 HEVC
        uint32_t gopLength = 0;
        uint32_t numB = 0;
        NV_ENC_PIC_STRUCT pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        GUID profileGUID{};
        uint32_t enableAsyncMode = 0; // out: whether the session encodes asynchronously
    };

    CNvHWEncoder();
    virtual ~CNvHWEncoder();
    CNvHWEncoder(const CNvHWEncoder&) = delete;
    CNvHWEncoder& operator=(const CNvHWEncoder&) = delete;

    NVENCSTATUS openSession(void* device, NV_ENC_DEVICE_TYPE deviceType);
    // The preset of a name ("hq", "hp", "lowLatencyHQ", "lowLatencyHP", "lossless", any case)
    // among those the session offers for the codec (0 H.264, 1 HEVC); null: low-latency HP.
    GUID presetGuid(const char* name, int codec);
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
    // unlocks it. keyFrame is set to 1 for an IDR picture, left alone otherwise.
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
    // Frame rate as NVENC takes it: the rate rounded, times 1000, over 1001 when it had a
    // fractional part (29.97 gives 30000/1001), else over 1000.
    static void frameRate(double fps, uint32_t* num, uint32_t* den);

private:
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
