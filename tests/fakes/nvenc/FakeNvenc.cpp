// A fake NVENC runtime (libnvidia-encode.so.1) for the tests: the whole session API the library
// calls, encoding for real with FakeSoftwareEncoder so that what comes out decodes. Input comes
// from CUDA device pointers (host memory in the fake CUDA driver), NV12 or ARGB, or from
// Direct3D 9 surfaces of the platform layer. Pictures complete in submission order, each
// bitstream buffer taking the next packet in decoding order, as NVENC fills them; completion
// events are signalled then.

#include "platform/AutoResetEvent.h"
#include "platform/D3D9Device.h"
#include "tests/fakes/FakeSoftwareEncoder.h"
#include "tests/fakes/nvenc/FakeRecorder.h"

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

bool sameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct Bitstream
{
    std::vector<uint8_t> data;
    uint64_t timeStamp = 0;
    NV_ENC_PIC_TYPE type = NV_ENC_PIC_TYPE_P;
    AutoResetEvent* event = nullptr;
    uint32_t index = 0; // submission number
    bool submitted = false, ready = false;
};

struct Resource
{
    NV_ENC_REGISTER_RESOURCE params{};
    bool mapped = false;
};

struct Session
{
    void* device = nullptr;
    NV_ENC_DEVICE_TYPE deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    bool initialized = false;
    bool endOfStream = false;
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    std::unique_ptr<FakeSoftwareEncoder> encoder;
    std::deque<Bitstream*> waiting;
    std::deque<FakeSoftwareEncoder::Packet> packets;
    std::set<Bitstream*> bitstreams;
    std::set<Resource*> resources;
    std::set<void*> events;
    uint32_t submitted = 0;
    std::vector<uint8_t> nv12; // converted ARGB input
};

std::mutex g_mutex;
FakeRecorder g_rec;                                  // guarded by g_mutex
std::set<Session*> g_sessions;                       // guarded by g_mutex
long long g_lockUnsubmitted = 0, g_lockNotReady = 0; // guarded by g_mutex
long long g_leftAtDestroy = 0;         // objects a destroyed session still held; guarded by g_mutex
NV_ENC_INITIALIZE_PARAMS g_lastInit{}; // guarded by g_mutex
NV_ENC_CONFIG g_lastConfig{};          // guarded by g_mutex

void resetKnobs()
{
    g_rec = FakeRecorder();
    g_rec.knobs = {{"async", 0}, {"maxBFrames", 0}, {"depth", 0}, {"noEncode", 0}};
    g_lockUnsubmitted = g_lockNotReady = g_leftAtDestroy = 0;
}

struct Init
{
    Init() { resetKnobs(); }
} g_init;

#define ENTER(name)                                                                                \
    std::lock_guard<std::mutex> lock(g_mutex);                                                     \
    if (const int fail_ = g_rec.enter(name))                                                       \
    return static_cast<NVENCSTATUS>(fail_)

Session* session(void* encoder)
{
    auto* s = static_cast<Session*>(encoder);
    return g_sessions.count(s) ? s : nullptr;
}

bool openEncoder(Session* s)
{
    const NV_ENC_CONFIG& c = s->config;
    const bool hevc = sameGuid(s->init.encodeGUID, NV_ENC_CODEC_HEVC_GUID);
    s->encoder = std::make_unique<FakeSoftwareEncoder>();
    s->encoder->setLowDelay(true);
    return s->encoder->open(
        hevc, static_cast<int>(s->init.encodeWidth), static_cast<int>(s->init.encodeHeight),
        static_cast<int>(s->init.frameRateNum), static_cast<int>(s->init.frameRateDen),
        static_cast<int>(c.rcParams.averageBitRate), static_cast<int>(c.gopLength),
        c.frameIntervalP - 1, true);
}

// Pairs finished packets with the oldest waiting buffers; a picture completes only once `depth`
// later pictures were submitted (all of them at the end of stream).
bool complete(Session* s, bool all)
{
    FakeSoftwareEncoder::Packet p;
    while (s->encoder->receive(p))
        s->packets.push_back(std::move(p));
    const uint32_t depth = static_cast<uint32_t>(g_rec.knob("depth"));
    bool any = false;
    while (!s->waiting.empty()) {
        Bitstream* b = s->waiting.front();
        if (!all && (s->packets.empty() || s->submitted - 1 - b->index < depth))
            break;
        if (!s->packets.empty()) {
            FakeSoftwareEncoder::Packet& packet = s->packets.front();
            b->data = std::move(packet.data);
            b->timeStamp = static_cast<uint64_t>(packet.pts);
            b->type = packet.key ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
            s->packets.pop_front();
        } else {
            b->data.clear();
        }
        b->ready = true;
        s->waiting.pop_front();
        if (b->event)
            b->event->set();
        any = true;
    }
    return any;
}

// The picture as NV12 planes: y rows then uv rows, `pitch` apart.
bool readInput(Session* s, Resource* r, const uint8_t** y, const uint8_t** uv, int* pitch)
{
    const NV_ENC_REGISTER_RESOURCE& p = r->params;
    const int w = static_cast<int>(p.width), h = static_cast<int>(p.height);
    if (p.resourceType == NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX) {
        auto* surface = static_cast<D3D9Surface*>(p.resourceToRegister);
        if (!surface->hostPointer())
            return false;
        *pitch = surface->pitch();
        *y = surface->hostPointer();
        *uv = *y + static_cast<size_t>(*pitch) * h;
        return true;
    }
    const uint8_t* base = static_cast<const uint8_t*>(p.resourceToRegister);
    if (p.bufferFormat == NV_ENC_BUFFER_FORMAT_NV12) {
        *pitch = static_cast<int>(p.pitch);
        *y = base;
        *uv = base + static_cast<size_t>(p.pitch) * h;
        return true;
    }
    if (p.bufferFormat != NV_ENC_BUFFER_FORMAT_ARGB)
        return false;
    // ARGB words (bytes B, G, R, A) to NV12, BT.601 limited range.
    s->nv12.resize(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* outY = s->nv12.data();
    uint8_t* outUV = outY + static_cast<size_t>(w) * h;
    for (int row = 0; row < h; ++row) {
        const uint8_t* in = base + static_cast<size_t>(p.pitch) * row;
        for (int x = 0; x < w; ++x) {
            const int b = in[4 * x], g = in[4 * x + 1], rr = in[4 * x + 2];
            outY[row * w + x] = static_cast<uint8_t>((66 * rr + 129 * g + 25 * b + 128) / 256 + 16);
            if ((row & 1) == 0 && (x & 1) == 0) {
                outUV[(row / 2) * w + x] =
                    static_cast<uint8_t>((-38 * rr - 74 * g + 112 * b + 128) / 256 + 128);
                outUV[(row / 2) * w + x + 1] =
                    static_cast<uint8_t>((112 * rr - 94 * g - 18 * b + 128) / 256 + 128);
            }
        }
    }
    *pitch = w;
    *y = outY;
    *uv = outUV;
    return true;
}

NVENCSTATUS NVENCAPI getEncodeGUIDCount(void* encoder, uint32_t* count)
{
    ENTER("nvEncGetEncodeGUIDCount");
    *count = 2;
    return session(encoder) ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_ENCODERDEVICE;
}

NVENCSTATUS NVENCAPI getEncodeGUIDs(void* encoder, GUID* guids, uint32_t size, uint32_t* count)
{
    ENTER("nvEncGetEncodeGUIDs");
    const GUID all[] = {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID};
    *count = 0;
    for (uint32_t i = 0; i < 2 && i < size; ++i)
        guids[(*count)++] = all[i];
    return NV_ENC_SUCCESS;
}

const GUID kPresets[] = {NV_ENC_PRESET_DEFAULT_GUID,
                         NV_ENC_PRESET_HP_GUID,
                         NV_ENC_PRESET_HQ_GUID,
                         NV_ENC_PRESET_BD_GUID,
                         NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID,
                         NV_ENC_PRESET_LOW_LATENCY_HQ_GUID,
                         NV_ENC_PRESET_LOW_LATENCY_HP_GUID,
                         NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID,
                         NV_ENC_PRESET_LOSSLESS_HP_GUID};

NVENCSTATUS NVENCAPI getEncodePresetCount(void*, GUID, uint32_t* count)
{
    ENTER("nvEncGetEncodePresetCount");
    *count = sizeof(kPresets) / sizeof(GUID);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI getEncodePresetGUIDs(void*, GUID, GUID* guids, uint32_t size, uint32_t* count)
{
    ENTER("nvEncGetEncodePresetGUIDs");
    *count = 0;
    for (const GUID& g : kPresets)
        if (*count < size)
            guids[(*count)++] = g;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI getEncodePresetConfig(void*, GUID, GUID, NV_ENC_PRESET_CONFIG* config)
{
    ENTER("nvEncGetEncodePresetConfig");
    if (config->version != NV_ENC_PRESET_CONFIG_VER ||
        config->presetCfg.version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    config->presetCfg.gopLength = 30;
    config->presetCfg.frameIntervalP = 1;
    config->presetCfg.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI getEncodeCaps(void*, GUID, NV_ENC_CAPS_PARAM* param, int* value)
{
    ENTER("nvEncGetEncodeCaps");
    if (param->version != NV_ENC_CAPS_PARAM_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    *value = param->capsToQuery == NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT
                 ? static_cast<int>(g_rec.knob("async"))
             : param->capsToQuery == NV_ENC_CAPS_NUM_MAX_BFRAMES
                 ? static_cast<int>(g_rec.knob("maxBFrames"))
                 : 0;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI initializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params)
{
    ENTER("nvEncInitializeEncoder");
    Session* s = session(encoder);
    if (!s || s->initialized || params->version != NV_ENC_INITIALIZE_PARAMS_VER ||
        !params->encodeConfig || params->encodeConfig->version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    if (params->enableEncodeAsync && !g_rec.knob("async"))
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    s->init = *params;
    s->config = *params->encodeConfig;
    s->init.encodeConfig = &s->config;
    g_lastInit = s->init;
    g_lastConfig = s->config;
    if (!openEncoder(s))
        return NV_ENC_ERR_INVALID_PARAM;
    s->initialized = true;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI createBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params)
{
    ENTER("nvEncCreateBitstreamBuffer");
    Session* s = session(encoder);
    if (!s || !s->initialized || params->version != NV_ENC_CREATE_BITSTREAM_BUFFER_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    auto* b = new Bitstream;
    s->bitstreams.insert(b);
    params->bitstreamBuffer = b;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    ENTER("nvEncDestroyBitstreamBuffer");
    Session* s = session(encoder);
    auto* b = static_cast<Bitstream*>(buffer);
    if (!s || !s->bitstreams.erase(b))
        return NV_ENC_ERR_INVALID_PARAM;
    for (auto it = s->waiting.begin(); it != s->waiting.end(); ++it)
        if (*it == b) {
            s->waiting.erase(it);
            break;
        }
    delete b;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI encodePicture(void* encoder, NV_ENC_PIC_PARAMS* params)
{
    ENTER("nvEncEncodePicture");
    Session* s = session(encoder);
    if (!s || !s->initialized || params->version != NV_ENC_PIC_PARAMS_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    if (params->encodePicFlags & NV_ENC_PIC_FLAG_EOS) {
        s->encoder->flush();
        complete(s, true);
        s->endOfStream = true;
        if (params->completionEvent)
            static_cast<AutoResetEvent*>(params->completionEvent)->set();
        return NV_ENC_SUCCESS;
    }
    auto* r = static_cast<Resource*>(params->inputBuffer);
    auto* b = static_cast<Bitstream*>(params->outputBitstream);
    // A buffer still being encoded cannot take another picture; one whose packet was never
    // collected (a failed lock) can.
    if (!s->resources.count(r) || !r->mapped || !s->bitstreams.count(b) ||
        (b->submitted && !b->ready) || params->inputWidth != s->init.encodeWidth ||
        params->inputHeight != s->init.encodeHeight)
        return NV_ENC_ERR_INVALID_PARAM;
    if (s->init.enableEncodeAsync && !s->events.count(params->completionEvent))
        return NV_ENC_ERR_INVALID_PARAM;
    if (s->endOfStream) {
        // A picture after the end of stream starts a new sequence.
        if (!openEncoder(s))
            return NV_ENC_ERR_GENERIC;
        s->endOfStream = false;
    }
    const uint8_t *y = nullptr, *uv = nullptr;
    int pitch = 0;
    if (g_rec.knob("noEncode")) {
        // The benchmark's mode: a token packet, so that only the library's own cost is measured.
        FakeSoftwareEncoder::Packet token;
        token.data.assign(16, 0);
        token.pts = static_cast<int64_t>(params->inputTimeStamp);
        token.key = s->submitted == 0;
        s->packets.push_back(std::move(token));
    } else if (!readInput(s, r, &y, &uv, &pitch) ||
               !s->encoder->send(y, pitch, uv, pitch, static_cast<int64_t>(params->inputTimeStamp),
                                 (params->encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR) != 0))
        return NV_ENC_ERR_GENERIC;
    b->submitted = true;
    b->ready = false;
    b->event = static_cast<AutoResetEvent*>(params->completionEvent);
    b->index = s->submitted++;
    s->waiting.push_back(b);
    const bool completed = complete(s, false);
    return !completed && s->config.frameIntervalP > 1 ? NV_ENC_ERR_NEED_MORE_INPUT : NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI lockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* params)
{
    ENTER("nvEncLockBitstream");
    Session* s = session(encoder);
    auto* b = static_cast<Bitstream*>(params->outputBitstream);
    if (!s || params->version != NV_ENC_LOCK_BITSTREAM_VER || !s->bitstreams.count(b))
        return NV_ENC_ERR_INVALID_PARAM;
    if (!b->submitted) {
        ++g_lockUnsubmitted;
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (!b->ready) {
        // A real runtime would block here until the picture is done; this one completes pictures
        // only as later ones arrive, so it reports the wait that could never end.
        ++g_lockNotReady;
        return NV_ENC_ERR_LOCK_BUSY;
    }
    params->bitstreamBufferPtr = b->data.data();
    params->bitstreamSizeInBytes = static_cast<uint32_t>(b->data.size());
    params->outputTimeStamp = b->timeStamp;
    params->pictureType = b->type;
    params->pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    ENTER("nvEncUnlockBitstream");
    Session* s = session(encoder);
    auto* b = static_cast<Bitstream*>(buffer);
    if (!s || !s->bitstreams.count(b))
        return NV_ENC_ERR_INVALID_PARAM;
    b->submitted = b->ready = false;
    b->data.clear();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI getSequenceParams(void* encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload)
{
    ENTER("nvEncGetSequenceParams");
    Session* s = session(encoder);
    if (!s || !s->initialized || payload->version != NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    // Only the parameter sets (an encoder's version SEI may ride along in its extradata).
    const bool hevc = sameGuid(s->init.encodeGUID, NV_ENC_CODEC_HEVC_GUID);
    const std::vector<uint8_t> all = s->encoder->extradata();
    std::vector<uint8_t> headers;
    for (size_t i = 0; i + 3 < all.size();) {
        size_t end = i + 3;
        while (end + 3 < all.size() && !(all[end] == 0 && all[end + 1] == 0 && all[end + 2] == 1))
            ++end;
        end = end + 3 < all.size() ? end : all.size();
        const size_t start = all[i + 2] == 1 ? i + 3 : i + 4; // after a 3- or 4-byte start code
        const int type = hevc ? (all[start] >> 1) & 0x3F : all[start] & 0x1F;
        if (hevc ? type >= 32 && type <= 34 : type == 7 || type == 8)
            headers.insert(headers.end(), all.begin() + i, all.begin() + end);
        i = end;
    }
    if (headers.size() > payload->inBufferSize)
        return NV_ENC_ERR_INVALID_PARAM;
    std::memcpy(payload->spsppsBuffer, headers.data(), headers.size());
    *payload->outSPSPPSPayloadSize = static_cast<uint32_t>(headers.size());
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI registerAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    ENTER("nvEncRegisterAsyncEvent");
    Session* s = session(encoder);
    if (!s || params->version != NV_ENC_EVENT_PARAMS_VER || !params->completionEvent)
        return NV_ENC_ERR_INVALID_PARAM;
    s->events.insert(params->completionEvent);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    ENTER("nvEncUnregisterAsyncEvent");
    Session* s = session(encoder);
    if (!s || !s->events.erase(params->completionEvent))
        return NV_ENC_ERR_INVALID_PARAM;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI registerResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params)
{
    ENTER("nvEncRegisterResource");
    Session* s = session(encoder);
    if (!s || params->version != NV_ENC_REGISTER_RESOURCE_VER || !params->resourceToRegister)
        return NV_ENC_ERR_INVALID_PARAM;
    if (params->resourceType == NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX
            ? s->deviceType != NV_ENC_DEVICE_TYPE_DIRECTX
            : params->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR ||
                  s->deviceType != NV_ENC_DEVICE_TYPE_CUDA || params->pitch == 0)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    auto* r = new Resource;
    r->params = *params;
    s->resources.insert(r);
    params->registeredResource = r;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unregisterResource(void* encoder, NV_ENC_REGISTERED_PTR registered)
{
    ENTER("nvEncUnregisterResource");
    Session* s = session(encoder);
    auto* r = static_cast<Resource*>(registered);
    if (!s || !s->resources.count(r) || r->mapped)
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    s->resources.erase(r);
    delete r;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI mapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params)
{
    ENTER("nvEncMapInputResource");
    Session* s = session(encoder);
    auto* r = static_cast<Resource*>(params->registeredResource);
    if (!s || params->version != NV_ENC_MAP_INPUT_RESOURCE_VER || !s->resources.count(r))
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    if (r->mapped)
        return NV_ENC_ERR_RESOURCE_REGISTER_FAILED;
    r->mapped = true;
    params->mappedResource = r;
    params->mappedBufferFmt = r->params.bufferFormat;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped)
{
    ENTER("nvEncUnmapInputResource");
    Session* s = session(encoder);
    auto* r = static_cast<Resource*>(mapped);
    if (!s || !s->resources.count(r) || !r->mapped)
        return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    r->mapped = false;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyEncoder(void* encoder)
{
    ENTER("nvEncDestroyEncoder");
    Session* s = session(encoder);
    if (!s)
        return NV_ENC_ERR_INVALID_PARAM;
    // What the library did not release stays counted as live.
    g_sessions.erase(s);
    g_leftAtDestroy +=
        static_cast<long long>(s->bitstreams.size() + s->resources.size() + s->events.size());
    for (Bitstream* b : s->bitstreams)
        delete b;
    for (Resource* r : s->resources)
        delete r;
    delete s;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI openEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params,
                                         void** encoder)
{
    ENTER("nvEncOpenEncodeSessionEx");
    if (params->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER ||
        params->apiVersion != NVENCAPI_VERSION || !params->device)
        return NV_ENC_ERR_INVALID_PARAM;
    auto* s = new Session;
    s->device = params->device;
    s->deviceType = params->deviceType;
    g_sessions.insert(s);
    *encoder = s;
    return NV_ENC_SUCCESS;
}

} // namespace

EXPORT NVENCSTATUS NvEncodeAPIGetMaxSupportedVersion(uint32_t* version)
{
    *version = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
    return NV_ENC_SUCCESS;
}

EXPORT NVENCSTATUS NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    ENTER("NvEncodeAPICreateInstance");
    if (!list || list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    list->nvEncGetEncodeGUIDCount = getEncodeGUIDCount;
    list->nvEncGetEncodeGUIDs = getEncodeGUIDs;
    list->nvEncGetEncodePresetCount = getEncodePresetCount;
    list->nvEncGetEncodePresetGUIDs = getEncodePresetGUIDs;
    list->nvEncGetEncodePresetConfig = getEncodePresetConfig;
    list->nvEncGetEncodeCaps = getEncodeCaps;
    list->nvEncInitializeEncoder = initializeEncoder;
    list->nvEncCreateBitstreamBuffer = createBitstreamBuffer;
    list->nvEncDestroyBitstreamBuffer = destroyBitstreamBuffer;
    list->nvEncEncodePicture = encodePicture;
    list->nvEncLockBitstream = lockBitstream;
    list->nvEncUnlockBitstream = unlockBitstream;
    list->nvEncGetSequenceParams = getSequenceParams;
    list->nvEncRegisterAsyncEvent = registerAsyncEvent;
    list->nvEncUnregisterAsyncEvent = unregisterAsyncEvent;
    list->nvEncRegisterResource = registerResource;
    list->nvEncUnregisterResource = unregisterResource;
    list->nvEncMapInputResource = mapInputResource;
    list->nvEncUnmapInputResource = unmapInputResource;
    list->nvEncDestroyEncoder = destroyEncoder;
    list->nvEncOpenEncodeSessionEx = openEncodeSessionEx;
    return NV_ENC_SUCCESS;
}

EXPORT void fakeNvencReset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    resetKnobs();
}
EXPORT void fakeNvencSet(const char* knob, long long value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rec.knobs[knob] = value;
}
EXPORT void fakeNvencFailOnce(const char* call, int status, int skip)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rec.failures[call] = {status, skip};
}
EXPORT int fakeNvencCalls(const char* call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_rec.counts[call];
}
EXPORT long long fakeNvencGet(const char* what)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string w = what;
    if (w == "live") {
        long long n = static_cast<long long>(g_sessions.size()) + g_leftAtDestroy;
        for (Session* s : g_sessions)
            n += static_cast<long long>(s->bitstreams.size() + s->resources.size() +
                                        s->events.size());
        return n;
    }
    if (w == "lockUnsubmitted")
        return g_lockUnsubmitted;
    if (w == "lockNotReady")
        return g_lockNotReady;
    return -1;
}
EXPORT const NV_ENC_INITIALIZE_PARAMS* fakeNvencLastInit()
{
    return &g_lastInit;
}
EXPORT const NV_ENC_CONFIG* fakeNvencLastConfig()
{
    return &g_lastConfig;
}
