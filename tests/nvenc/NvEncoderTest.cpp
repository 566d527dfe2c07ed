#include "NvencTestSupport.h"

#include "codec/video/nvenc/NvEncoderBase.h"
#include "codec/video/nvenc/NvencAvailable.h"

// The sanitizer build's leak check skips libx265, which leaks a few blocks per encoder.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}

namespace {

struct RingCase
{
    const char* codec;
    int async, depth; // completion events; pictures a submitted one waits behind in the runtime
    int bFrames;      // asked for (the runtime allows 4)
    unsigned ring;    // pictures in flight
};
using NvencRing = NvencWith<RingCase>;

struct ConfigCase
{
    const char* presetName;
    GUID preset;
    NV_ENC_TUNING_INFO tuning;
    NV_ENC_MULTI_PASS pass;
    bool unknownName = false;
    int profileIdc = 100;
    GUID profile = NV_ENC_H264_PROFILE_HIGH_GUID; // lossless: the preset's own
};
using NvencConfig = NvencWith<ConfigCase>;

struct MachineCase
{
    int capability, devices; // of the fake CUDA driver
    const char* knob;        // of the fake NVENC
    long long value;
    const char* message = nullptr; // null: NVENC works, without a warning
    int messages = 0, opens = 2;   // of a probe and a set-up
};
using NvencMachine = NvencWith<MachineCase>;

struct FailCase
{
    const char* call; // of the fake CUDA driver ("cu...") or NVENC runtime
    int skip;         // calls of it that succeed first
    int lostPackets;  // -1: initialize fails; else of 10 frames, once encoding
    int width = 64;
};
using NvencFailure = NvencWith<FailCase>;

} // namespace

// Once the ring is full each call gives the oldest picture, the drain the rest, all decodable; a
// new sequence starts with a key frame, and what is in flight at the end is flushed.
TEST_P(NvencRing, FillsThenDeliversEveryFrameInOrder)
{
    const RingCase c = GetParam();
    nvenc().set("async", c.async);
    nvenc().set("depth", c.depth);
    nvenc().set("maxBFrames", 4);
    CodecPreset p = preset(c.codec);
    p.videoCodec().bFrames = c.bFrames;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    ASSERT_EQ(static_cast<NvEncoderBase*>(codec.inner())->bufferCount(), c.ring);
    const std::vector<EncodedPacket> calls = encodeFrames(codec, 64, 48, 12);
    for (unsigned i = 0; i < 12; ++i) // a call without a packet leaves the outputs as they were
        EXPECT_TRUE(calls[i].produced ? i >= c.ring : i < c.ring && calls[i].pts == -1) << i;
    const std::vector<EncodedPacket> packets = packetsOf(calls);
    ASSERT_EQ(packets.size(), 12u);
    for (size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i].dts, static_cast<long long>(i) - 1);
    EXPECT_TRUE(packets[0].pts == 0 && packets[0].key == 1);
    EXPECT_EQ(decodedPictures(codec, packets), 12);
    const std::vector<EncodedPacket> again = packetsOf(encodeFrames(codec, 64, 48, 5));
    ASSERT_EQ(again.size(), 5u);
    EXPECT_EQ(again[0].key, 1u);
    const std::vector<unsigned char> frame = testFrame(PIX_NV12, 64, 48, 0);
    EXPECT_FALSE(EncodedPacket::encode(codec, &frame).produced);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencRing,
                         ::testing::Values(RingCase{"H264(NVENC)", 0, 0, 0, 3},
                                           RingCase{"HEVC(NVENC)", 0, 0, 0, 3},
                                           RingCase{"H264(NVENC)", 1, 2, 0, 3},
                                           RingCase{"H264(NVENC)", 1, 0, 2, 5},
                                           RingCase{"HEVC(NVENC)", 0, 0, 2, 3}));

// Each preset name reaches the runtime as its P-level and tuning, configured from the tuned
// preset query; an unknown name gets the first row with a warning.
TEST_P(NvencConfig, SessionTakesTheRecordsSettings)
{
    const ConfigCase c = GetParam();
    CodecPreset p = preset();
    auto& v = p.videoCodec();
    std::tie(v.frameRate, v.keyframeInterval, v.profileIdc, v.bitrate) =
        std::make_tuple(29.97, 2, c.profileIdc, 6000);
    v.preset = QLatin1String(c.presetName);
    MessageCapture log;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    const auto& init = *nvenc().last<NV_ENC_INITIALIZE_PARAMS>("fakeNvencLastInit");
    const auto& query = *nvenc().last<NV_ENC_INITIALIZE_PARAMS>("fakeNvencLastPresetQuery");
    EXPECT_TRUE(init.presetGUID == c.preset);
    EXPECT_TRUE(query.presetGUID == c.preset);
    EXPECT_EQ(init.tuningInfo, c.tuning);
    EXPECT_EQ(query.tuningInfo, c.tuning);
    EXPECT_EQ(init.frameRateNum, 30000u);
    EXPECT_EQ(init.frameRateDen, 1001u);
    EXPECT_EQ(config().gopLength, 59u);
    EXPECT_EQ(config().encodeCodecConfig.h264Config.idrPeriod, 59u);
    EXPECT_TRUE(config().profileGUID == c.profile);
    const bool lossless = c.tuning == NV_ENC_TUNING_INFO_LOSSLESS;
    EXPECT_EQ(config().rcParams.rateControlMode,
              lossless ? NV_ENC_PARAMS_RC_CONSTQP : NV_ENC_PARAMS_RC_CBR);
    EXPECT_EQ(config().rcParams.multiPass, c.pass);
    EXPECT_EQ(config().rcParams.averageBitRate, lossless ? 0u : 6000000u);
    EXPECT_EQ(config().rcParams.maxBitRate, lossless ? 0u : 7200000u);
    EXPECT_EQ(log.count(QStringLiteral("warning: NVENC: unknown preset \"%1\", using lowLatencyHP "
                                       "(P2, low latency)")
                            .arg(QLatin1String(c.presetName))),
              c.unknownName ? 1 : 0);
}

constexpr auto kLL = NV_ENC_TUNING_INFO_LOW_LATENCY, kHQ = NV_ENC_TUNING_INFO_HIGH_QUALITY;
constexpr auto kQuarter = NV_ENC_TWO_PASS_QUARTER_RESOLUTION, kOnePass = NV_ENC_MULTI_PASS_DISABLED;

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencConfig,
    ::testing::Values(ConfigCase{"lowLatencyHP", NV_ENC_PRESET_P2_GUID, kLL, kQuarter},
                      ConfigCase{"LOWLATENCYHQ", NV_ENC_PRESET_P4_GUID, kLL, kQuarter},
                      ConfigCase{"hp", NV_ENC_PRESET_P1_GUID, kHQ, kOnePass, false, 77,
                                 NV_ENC_H264_PROFILE_MAIN_GUID},
                      ConfigCase{"HQ", NV_ENC_PRESET_P5_GUID, kHQ, NV_ENC_TWO_PASS_FULL_RESOLUTION,
                                 false, 66, NV_ENC_H264_PROFILE_BASELINE_GUID},
                      ConfigCase{"ultraLowLatency", NV_ENC_PRESET_P1_GUID,
                                 NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, kOnePass},
                      ConfigCase{"lossless", NV_ENC_PRESET_P3_GUID, NV_ENC_TUNING_INFO_LOSSLESS,
                                 kOnePass, false, 100, NV_ENC_H264_PROFILE_HIGH_444_GUID},
                      // The record's default (x264's) quietly, any other unknown name warned.
                      ConfigCase{"veryfast", NV_ENC_PRESET_P2_GUID, kLL, kQuarter},
                      ConfigCase{"fastest", NV_ENC_PRESET_P2_GUID, kLL, kQuarter, true}));

// The session's frame rate is the exact rate every encoder here uses (12.5 as 25/2, not 13).
TEST(NvencRate, IsExact)
{
    for (const ExactRate& r : kExactRates) {
        uint32_t num = 0, den = 0;
        CNvHWEncoder::frameRate(r.fps, &num, &den);
        EXPECT_EQ(num * static_cast<uint64_t>(r.den), r.num * static_cast<uint64_t>(den)) << r.fps;
    }
}

// NVENC works from compute capability 3.0 (the CUDA module's target); the probe and a set-up
// refuse an older GPU, none, an older driver API (before any session) and a GPU without NVENC.
TEST_P(NvencMachine, ProbeAndSetUpSayWhatTheMachineLacks)
{
    const MachineCase c = GetParam();
    cuda().set("capability", c.capability);
    cuda().set("devices", c.devices);
    nvenc().set(c.knob, c.value);
    CodecPreset p = preset();
    MessageCapture log;
    EXPECT_EQ(nvencProbe(), !c.message);
    EXPECT_EQ(NvEncoder().initialize(&p), !c.message);
    EXPECT_EQ(log.count(QLatin1String(c.message ? c.message : "warning: ")), c.messages);
    EXPECT_EQ(nvenc().get("nvEncOpenEncodeSessionEx"), c.opens);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencMachine,
    ::testing::Values(
        MachineCase{30, 1, "openStatus", 0},
        MachineCase{21, 1, "openStatus", 0, "GPU 0 does not have NVENC capabilities exiting", 2, 0},
        MachineCase{75, 0, "openStatus", 0, "warning: No CUDA device found", 2, 0},
        MachineCase{75, 1, "apiVersion", 10 << 4,
                    "warning: NVENC: the driver supports API 10.0, this build needs 11.1: update "
                    "the NVIDIA driver (470.57.02 or newer)",
                    1, 0},
        MachineCase{90, 1, "openStatus", NV_ENC_ERR_UNSUPPORTED_DEVICE,
                    "warning: NVENC: no NVENC engine on Fake GPU sm_90", 1, 2},
        MachineCase{80, 1, "openStatus", NV_ENC_ERR_NO_ENCODE_DEVICE,
                    "warning: NVENC: no NVENC engine on Fake GPU sm_80", 1, 2}));

// Each call that can fail, failed once: initialize fails, or the stream loses that one picture
// (none for an unlock, which is tried again) and goes on.
TEST_P(NvencFailure, FailsCleanlyWithAMessage)
{
    const FailCase c = GetParam();
    nvenc().set("async", 1);
    const bool cu = std::string(c.call).rfind("cu", 0) == 0;
    FakeNv& fake = cu ? cuda() : nvenc();
    fake.set((std::string("fail:") + c.call).c_str(), cu ? 2 : 20);
    fake.set((std::string("skip:") + c.call).c_str(), c.skip);
    CodecPreset p = preset("H264(NVENC)", c.width, 48);
    MessageCapture log;
    NvEncoder codec;
    ASSERT_EQ(codec.initialize(&p), c.lostPackets >= 0);
    if (c.lostPackets >= 0) {
        const std::vector<EncodedPacket> packets = packetsOf(encodeFrames(codec, c.width, 48, 10));
        EXPECT_EQ(int(packets.size()), 10 - c.lostPackets);
        EXPECT_EQ(decodedPictures(codec, packets), 10 - c.lostPackets);
    }
    EXPECT_GT(log.count(QStringLiteral("warning: ")), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencFailure,
    ::testing::Values(
        FailCase{"NvEncodeAPICreateInstance", 0, -1}, FailCase{"nvEncGetEncodeGUIDs", 0, -1},
        FailCase{"NvEncodeAPIGetMaxSupportedVersion", 0, -1},
        FailCase{"nvEncGetEncodePresetConfigEx", 0, -1}, FailCase{"nvEncInitializeEncoder", 0, -1},
        FailCase{"nvEncCreateBitstreamBuffer", 1, -1}, FailCase{"nvEncRegisterResource", 2, -1},
        FailCase{"nvEncRegisterAsyncEvent", 3, -1}, FailCase{"nvEncGetSequenceParams", 0, -1},
        FailCase{"cuInit", 0, -1}, FailCase{"cuCtxCreate_v2", 0, -1},
        FailCase{"cuModuleLoadDataEx", 0, -1}, FailCase{"cuModuleGetFunction", 1, -1},
        FailCase{"cuMemAlloc_v2", 1, -1}, FailCase{"cuMemAllocHost_v2", 2, -1},
        FailCase{"cuMemAllocPitch_v2", 3, -1}, FailCase{"nvEncMapInputResource", 4, 1},
        FailCase{"nvEncEncodePicture", 4, 1}, FailCase{"nvEncLockBitstream", 2, 1},
        FailCase{"nvEncUnlockBitstream", 2, 0}, FailCase{"cuMemcpy2D_v2", 5, 1},
        FailCase{"cuMemcpyHtoD_v2", 5, 1, 256}),
    [](const auto& info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.skip);
    });
