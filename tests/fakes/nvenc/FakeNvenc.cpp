// A fake NVENC runtime (libnvidia-encode.so.1), as strict as a current Linux driver, encoding
// for real with FakeSoftwareEncoder; pictures complete in submission order, as NVENC's do.

#include "platform/AutoResetEvent.h"
#include "tests/fakes/FakeSoftwareEncoder.h"
#include "tests/fakes/nvenc/FakeNvControl.h"

#include "platform/Guid.h" // before the NVENC header: one GUID type
#include <ffnvcodec/nvEncodeAPI.h>

#include <algorithm>
#include <deque>
#include <set>

namespace {

struct Bitstream
{
    FakeSoftwareEncoder::Packet packet;
    AutoResetEvent* event = nullptr;
    uint32_t index = 0; // submission number
    bool submitted = false, ready = false, locked = false;
};

struct Session
{
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
    std::unique_ptr<FakeSoftwareEncoder> encoder; // reopened after an end of stream
    std::deque<Bitstream*> waiting;
    std::deque<FakeSoftwareEncoder::Packet> packets;
    std::set<void*> objects; // bitstream buffers, completion events, registered resources
    std::map<void*, bool> mapped;
    uint32_t submitted = 0;
    bool endOfStream = false;
    std::vector<uint8_t> nv12; // ARGB input converted
};

// Every global is guarded by g_rec.mutex, which each entry point holds (FAKE_GUARD). Knobs (0 by
// default): the caps "async" and "maxBFrames", "depth" (pictures a submitted one waits behind),
// "noEncode" (a token packet per picture, for benchmarks), "apiVersion" (the driver's; default
// this build's), "openStatus" (what every session open fails with). Misuse counted:
// "lockUnsubmitted", "lockNotReady", "wrongOrder", "directx".
FakeRecorder g_rec{{{"apiVersion", NVENCAPI_MAJOR_VERSION << 4 | NVENCAPI_MINOR_VERSION}}};
std::set<Session*> g_sessions;
long long g_leftAtDestroy = 0; // objects a destroyed session still held

} // namespace

// For the tests: the last initialize parameters and configuration, and preset query.
extern "C" {
__attribute__((visibility("default"))) NV_ENC_INITIALIZE_PARAMS fakeNvencLastInit{};
__attribute__((visibility("default"))) NV_ENC_CONFIG fakeNvencLastConfig{};
__attribute__((visibility("default"))) NV_ENC_INITIALIZE_PARAMS fakeNvencLastPresetQuery{};
}

namespace {

Session* session(void* encoder)
{
    return g_sessions.count(static_cast<Session*>(encoder)) ? static_cast<Session*>(encoder)
                                                            : nullptr;
}

bool openEncoder(Session* s)
{
    s->encoder = std::make_unique<FakeSoftwareEncoder>();
    s->encoder->setLowDelay(true);
    return s->encoder->open(s->init.encodeGUID == NV_ENC_CODEC_HEVC_GUID, int(s->init.encodeWidth),
                            int(s->init.encodeHeight), int(s->init.frameRateNum),
                            int(s->init.frameRateDen), int(s->config.rcParams.averageBitRate),
                            int(s->config.gopLength), s->config.frameIntervalP - 1, true);
}

// Pairs finished packets with the oldest waiting buffers (all of them at the end of stream).
bool complete(Session* s, bool all)
{
    for (FakeSoftwareEncoder::Packet p; s->encoder->receive(p);)
        s->packets.push_back(std::move(p));
    bool any = false;
    while (!s->waiting.empty() &&
           (all || (!s->packets.empty() && s->submitted - 1 - s->waiting.front()->index >=
                                               uint32_t(g_rec.knob("depth"))))) {
        Bitstream* b = s->waiting.front();
        s->waiting.pop_front();
        b->packet = s->packets.empty() ? FakeSoftwareEncoder::Packet() : s->packets.front();
        if (!s->packets.empty())
            s->packets.pop_front();
        b->ready = any = true;
        if (b->event)
            b->event->set();
    }
    return any;
}

// The registered picture as NV12 and its row pitch (ARGB: luma only, grey chroma).
std::pair<const uint8_t*, int> readInput(Session* s, const NV_ENC_REGISTER_RESOURCE& r)
{
    const size_t w = r.width, h = r.height;
    const auto* picture = static_cast<const uint8_t*>(r.resourceToRegister);
    if (r.bufferFormat == NV_ENC_BUFFER_FORMAT_NV12)
        return {picture, int(r.pitch)};
    s->nv12.assign(w * h * 3 / 2, 128);
    for (size_t i = 0; i < w * h; ++i) {
        const uint8_t* p = picture + (i / w) * r.pitch + (i % w) * 4; // bytes B, G, R, A
        s->nv12[i] = uint8_t((25 * p[0] + 129 * p[1] + 66 * p[2] + 128) / 256 + 16);
    }
    return {s->nv12.data(), int(w)};
}

NVENCSTATUS nvEncOpenEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* p, void** encoder)
{
    FAKE_GUARD(NVENCSTATUS);
    if (((p->apiVersion & 0xFF) << 4 | p->apiVersion >> 24) > uint32_t(g_rec.knob("apiVersion")))
        return NV_ENC_ERR_INVALID_VERSION;
    if (p->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER ||
        p->apiVersion != NVENCAPI_VERSION || !p->device)
        return NV_ENC_ERR_INVALID_PARAM;
    if (p->deviceType != NV_ENC_DEVICE_TYPE_CUDA) { // Linux has no Direct3D
        ++g_rec.counts["directx"];
        return NV_ENC_ERR_INVALID_DEVICE;
    }
    if (const long long status = g_rec.knob("openStatus"))
        return NVENCSTATUS(status);
    auto* s = new Session;
    g_sessions.insert(s);
    *encoder = s;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncGetEncodeGUIDCount(void*, uint32_t* count)
{
    FAKE_GUARD(NVENCSTATUS);
    *count = 2;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncGetEncodeGUIDs(void*, GUID* guids, uint32_t size, uint32_t* count)
{
    FAKE_GUARD(NVENCSTATUS);
    const GUID codecs[] = {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID};
    for (*count = 0; *count < 2 && *count < size; ++*count)
        guids[*count] = codecs[*count];
    return NV_ENC_SUCCESS;
}

const GUID kPresets[] = {NV_ENC_PRESET_P1_GUID, NV_ENC_PRESET_P2_GUID, NV_ENC_PRESET_P3_GUID,
                         NV_ENC_PRESET_P4_GUID, NV_ENC_PRESET_P5_GUID, NV_ENC_PRESET_P6_GUID,
                         NV_ENC_PRESET_P7_GUID};

// P1..P7 only: the named presets of API 9 and older are gone.
bool isPreset(const GUID& g)
{
    return std::any_of(std::begin(kPresets), std::end(kPresets), [&](auto& p) { return g == p; });
}
bool isTuning(NV_ENC_TUNING_INFO t)
{
    return t > NV_ENC_TUNING_INFO_UNDEFINED && t < NV_ENC_TUNING_INFO_COUNT;
}

NVENCSTATUS nvEncGetEncodePresetCount(void*, GUID, uint32_t* count)
{
    FAKE_GUARD(NVENCSTATUS);
    *count = 7;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncGetEncodePresetGUIDs(void*, GUID, GUID* guids, uint32_t size, uint32_t* count)
{
    FAKE_GUARD(NVENCSTATUS);
    for (*count = 0; *count < 7 && *count < size; ++*count)
        guids[*count] = kPresets[*count];
    return NV_ENC_SUCCESS;
}

// Gone from current drivers, as is every preset query without a tuning.
NVENCSTATUS nvEncGetEncodePresetConfig(void*, GUID, GUID, NV_ENC_PRESET_CONFIG*)
{
    FAKE_GUARD(NVENCSTATUS);
    return NV_ENC_ERR_UNSUPPORTED_PARAM;
}

NVENCSTATUS nvEncGetEncodePresetConfigEx(void*, GUID codec, GUID preset, NV_ENC_TUNING_INFO tuning,
                                         NV_ENC_PRESET_CONFIG* config)
{
    FAKE_GUARD(NVENCSTATUS);
    if (config->version != NV_ENC_PRESET_CONFIG_VER ||
        config->presetCfg.version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    if (!isPreset(preset) || !isTuning(tuning))
        return isPreset(preset) ? NV_ENC_ERR_INVALID_PARAM : NV_ENC_ERR_UNSUPPORTED_PARAM;
    fakeNvencLastPresetQuery.presetGUID = preset;
    fakeNvencLastPresetQuery.tuningInfo = tuning;
    config->presetCfg.gopLength = 30;
    if (tuning == NV_ENC_TUNING_INFO_LOSSLESS && codec == NV_ENC_CODEC_H264_GUID)
        config->presetCfg.profileGUID = NV_ENC_H264_PROFILE_HIGH_444_GUID;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncGetEncodeCaps(void*, GUID, NV_ENC_CAPS_PARAM* param, int* value)
{
    FAKE_GUARD(NVENCSTATUS);
    const NV_ENC_CAPS cap = param->capsToQuery;
    *value = int(cap == NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT ? g_rec.knob("async")
                 : cap == NV_ENC_CAPS_NUM_MAX_BFRAMES    ? g_rec.knob("maxBFrames")
                                                         : 0);
    return param->version == NV_ENC_CAPS_PARAM_VER ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_VERSION;
}

NVENCSTATUS nvEncInitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || s->encoder || p->version != NV_ENC_INITIALIZE_PARAMS_VER || !p->encodeConfig ||
        p->encodeConfig->version != NV_ENC_CONFIG_VER ||
        (p->enableEncodeAsync && !g_rec.knob("async")) ||
        p->encodeConfig->rcParams.multiPass > NV_ENC_TWO_PASS_FULL_RESOLUTION ||
        !isTuning(p->tuningInfo))
        return NV_ENC_ERR_INVALID_PARAM;
    if (!isPreset(p->presetGUID) ||
        p->encodeConfig->rcParams.rateControlMode > NV_ENC_PARAMS_RC_CBR)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    s->init = fakeNvencLastInit = *p;
    s->config = fakeNvencLastConfig = *p->encodeConfig;
    return openEncoder(s) ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_PARAM;
}

// The client must flush the encoder before freeing any resources.
void freeing(Session* s)
{
    if (s->submitted && !s->endOfStream)
        ++g_rec.counts["wrongOrder"];
}

NVENCSTATUS nvEncCreateBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->encoder || p->version != NV_ENC_CREATE_BITSTREAM_BUFFER_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    p->bitstreamBuffer = new Bitstream;
    s->objects.insert(p->bitstreamBuffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncDestroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->objects.erase(buffer))
        return NV_ENC_ERR_INVALID_PARAM;
    freeing(s);
    s->waiting.erase(std::remove(s->waiting.begin(), s->waiting.end(), buffer), s->waiting.end());
    delete static_cast<Bitstream*>(buffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncRegisterResource(void* encoder, NV_ENC_REGISTER_RESOURCE* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || p->version != NV_ENC_REGISTER_RESOURCE_VER || !p->resourceToRegister ||
        p->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR || p->pitch == 0)
        return NV_ENC_ERR_INVALID_PARAM;
    p->registeredResource = new NV_ENC_REGISTER_RESOURCE(*p);
    s->objects.insert(p->registeredResource);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncUnregisterResource(void* encoder, NV_ENC_REGISTERED_PTR r)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || s->mapped[r] || !s->objects.erase(r))
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    freeing(s);
    delete static_cast<NV_ENC_REGISTER_RESOURCE*>(r);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncMapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->objects.count(p->registeredResource) || s->mapped[p->registeredResource])
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    s->mapped[p->registeredResource] = true;
    p->mappedResource = p->registeredResource;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncUnmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->mapped[mapped])
        return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    s->mapped[mapped] = false;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncRegisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    return s && p->completionEvent && s->objects.insert(p->completionEvent).second
               ? NV_ENC_SUCCESS
               : NV_ENC_ERR_INVALID_PARAM;
}

NVENCSTATUS nvEncUnregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    return s && s->objects.erase(p->completionEvent) ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_PARAM;
}

NVENCSTATUS nvEncEncodePicture(void* encoder, NV_ENC_PIC_PARAMS* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->encoder || p->version != NV_ENC_PIC_PARAMS_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    if (p->encodePicFlags & NV_ENC_PIC_FLAG_EOS) {
        s->encoder->flush();
        complete(s, true);
        s->endOfStream = true;
        if (p->completionEvent)
            static_cast<AutoResetEvent*>(p->completionEvent)->set();
        return NV_ENC_SUCCESS;
    }
    auto* b = static_cast<Bitstream*>(p->outputBitstream);
    if (s->objects.count(b) && b->locked) {
        ++g_rec.counts["wrongOrder"];
        return NV_ENC_ERR_INVALID_CALL;
    }
    // A buffer still being encoded cannot take a picture (one never locked after a failure can).
    if (!s->mapped[p->inputBuffer] || !s->objects.count(b) || (b->submitted && !b->ready) ||
        p->inputWidth != s->init.encodeWidth || p->inputHeight != s->init.encodeHeight ||
        (s->init.enableEncodeAsync && !s->objects.count(p->completionEvent)))
        return NV_ENC_ERR_INVALID_PARAM;
    if (s->endOfStream && !openEncoder(s)) // a picture after the end of stream starts anew
        return NV_ENC_ERR_GENERIC;
    s->endOfStream = false;
    if (g_rec.knob("noEncode")) {
        s->packets.push_back({std::vector<uint8_t>(16), int64_t(p->inputTimeStamp), !s->submitted});
    } else {
        const auto& r = *static_cast<NV_ENC_REGISTER_RESOURCE*>(p->inputBuffer);
        const auto [y, pitch] = readInput(s, r);
        if (!s->encoder->send(y, pitch, y + size_t(pitch) * r.height, pitch,
                              int64_t(p->inputTimeStamp),
                              p->encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR))
            return NV_ENC_ERR_GENERIC;
    }
    b->submitted = true;
    b->ready = false;
    b->event = static_cast<AutoResetEvent*>(p->completionEvent);
    b->index = s->submitted++;
    s->waiting.push_back(b);
    return !complete(s, false) && s->config.frameIntervalP > 1 ? NV_ENC_ERR_NEED_MORE_INPUT
                                                               : NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncLockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    auto* b = static_cast<Bitstream*>(p->outputBitstream);
    if (!s || p->version != NV_ENC_LOCK_BITSTREAM_VER || !s->objects.count(b))
        return NV_ENC_ERR_INVALID_PARAM;
    if (b->locked) {
        ++g_rec.counts["wrongOrder"];
        return NV_ENC_ERR_INVALID_CALL;
    }
    // A real runtime would wait for ever.
    if (!b->submitted || !b->ready) {
        ++g_rec.counts[b->submitted ? "lockNotReady" : "lockUnsubmitted"];
        return NV_ENC_ERR_LOCK_BUSY;
    }
    p->bitstreamBufferPtr = b->packet.data.data();
    p->bitstreamSizeInBytes = uint32_t(b->packet.data.size());
    p->outputTimeStamp = uint64_t(b->packet.pts);
    p->pictureType = b->packet.key ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
    b->locked = true;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncUnlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    auto* b = static_cast<Bitstream*>(buffer);
    if (!s || !s->objects.count(b))
        return NV_ENC_ERR_INVALID_PARAM;
    if (!b->locked) {
        ++g_rec.counts["wrongOrder"];
        return NV_ENC_ERR_INVALID_CALL;
    }
    b->locked = b->submitted = false;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncGetSequenceParams(void* encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD* p)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s || !s->encoder || p->version != NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER)
        return NV_ENC_ERR_INVALID_PARAM;
    // The parameter sets only: an encoder's version SEI may follow them in its extradata.
    std::vector<uint8_t> headers = s->encoder->extradata();
    const bool hevc = s->init.encodeGUID == NV_ENC_CODEC_HEVC_GUID;
    for (size_t i = 1; i + 3 < headers.size(); ++i)
        if (headers[i] == 0 && headers[i + 1] == 0 && headers[i + 2] == 1 &&
            (hevc ? (headers[i + 3] >> 1) == 39 : (headers[i + 3] & 0x1F) == 6)) {
            headers.resize(i - (headers[i - 1] == 0 ? 1 : 0));
            break;
        }
    if (headers.size() > p->inBufferSize)
        return NV_ENC_ERR_INVALID_PARAM;
    std::copy(headers.begin(), headers.end(), static_cast<uint8_t*>(p->spsppsBuffer));
    *p->outSPSPPSPayloadSize = uint32_t(headers.size());
    return NV_ENC_SUCCESS;
}

NVENCSTATUS nvEncDestroyEncoder(void* encoder)
{
    FAKE_GUARD(NVENCSTATUS);
    Session* s = session(encoder);
    if (!s)
        return NV_ENC_ERR_INVALID_PARAM;
    g_leftAtDestroy += static_cast<long long>(s->objects.size());
    g_sessions.erase(s);
    delete s;
    return NV_ENC_SUCCESS;
}

} // namespace

FAKE_CONTROL(fakeNvenc, [] {
    long long n = static_cast<long long>(g_sessions.size()) + g_leftAtDestroy;
    for (Session* s : g_sessions)
        n += static_cast<long long>(s->objects.size());
    return n;
}())

FAKE_EXPORT NVENCSTATUS NvEncodeAPIGetMaxSupportedVersion(uint32_t* version)
{
    FAKE_GUARD(NVENCSTATUS);
    *version = uint32_t(g_rec.knob("apiVersion"));
    return NV_ENC_SUCCESS;
}

FAKE_EXPORT NVENCSTATUS NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    FAKE_GUARD(NVENCSTATUS);
    if (!list || list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
#define FILL(name) list->name = name
    FILL(nvEncOpenEncodeSessionEx);
    FILL(nvEncGetEncodeGUIDCount);
    FILL(nvEncGetEncodeGUIDs);
    FILL(nvEncGetEncodePresetCount);
    FILL(nvEncGetEncodePresetGUIDs);
    FILL(nvEncGetEncodePresetConfig);
    FILL(nvEncGetEncodePresetConfigEx);
    FILL(nvEncGetEncodeCaps);
    FILL(nvEncInitializeEncoder);
    FILL(nvEncCreateBitstreamBuffer);
    FILL(nvEncDestroyBitstreamBuffer);
    FILL(nvEncRegisterResource);
    FILL(nvEncUnregisterResource);
    FILL(nvEncMapInputResource);
    FILL(nvEncUnmapInputResource);
    FILL(nvEncRegisterAsyncEvent);
    FILL(nvEncUnregisterAsyncEvent);
    FILL(nvEncEncodePicture);
    FILL(nvEncLockBitstream);
    FILL(nvEncUnlockBitstream);
    FILL(nvEncGetSequenceParams);
    FILL(nvEncDestroyEncoder);
    return NV_ENC_SUCCESS;
}
