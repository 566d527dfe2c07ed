#include "NvencTestSupport.h"

#include "codec/video/nvenc/NvEncoderBase.h"
#include "codec/video/nvenc/NvEncoderCuda.h"
#include "codec/video/nvenc/NvencAvailable.h"

#include <cstring>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// libx265, the HEVC encoder behind the fake runtime, leaks a few blocks per encoder it opens; the
// leak check of the sanitizer build leaves them out.
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
class NvencRing : public NvencTest, public ::testing::WithParamInterface<RingCase>
{
};

} // namespace

// The first N calls give nothing and leave the outputs as the caller set them; then each call
// hands out the oldest picture (pts from 0, dts from -1, the first a key frame), and the drain
// the rest: every frame, decodable. After a drain a new sequence starts with a key frame.
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
    EXPECT_GT(codec.extraDataSize(), 0u);
    std::vector<Packet> packets;
    for (int i = 0; i < 12; ++i) {
        Packet out = encode(codec, nullptr, 64, 48, i);
        ASSERT_EQ(out.delivered, i >= int(c.ring)) << i;
        if (!out.delivered) {
            EXPECT_EQ(std::make_tuple(out.size, out.key, out.pts, out.dts),
                      std::make_tuple(0u, 0u, -1LL, -1LL));
            continue;
        }
        EXPECT_EQ(out.dts, static_cast<long long>(packets.size()) - 1);
        EXPECT_TRUE(!packets.empty() || (out.pts == 0 && out.key == 1));
        packets.push_back(std::move(out));
    }
    drain(codec, &packets);
    ASSERT_EQ(packets.size(), 12u);
    EXPECT_EQ(decodedPictures(codec, packets), 12);
    std::vector<Packet> again;
    encodeAll(codec, 64, 5, &again);
    ASSERT_EQ(again.size(), 5u);
    EXPECT_EQ(again[0].key, 1u);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencRing,
                         ::testing::Values(RingCase{"H264(NVENC)", 0, 0, 0, 3},
                                           RingCase{"HEVC(NVENC)", 0, 0, 0, 3},
                                           RingCase{"H264(NVENC)", 1, 2, 0, 3},
                                           RingCase{"H264(NVENC)", 1, 0, 2, 5},
                                           RingCase{"HEVC(NVENC)", 0, 0, 2, 3}));

namespace {

struct ConfigCase
{
    double fps;
    int keySeconds, profileIdc;
    const char* presetName;
    uint32_t num, den, gop;
    GUID profile, preset;
    int unsupportedMessages;
};
class NvencConfig : public NvencTest, public ::testing::WithParamInterface<ConfigCase>
{
};

} // namespace

// The session's configuration as the runtime received it.
TEST_P(NvencConfig, SessionTakesTheRecordsSettings)
{
    const ConfigCase c = GetParam();
    CodecPreset p = preset();
    auto& v = p.videoCodec();
    std::tie(v.frameRate, v.keyframeInterval, v.profileIdc, v.bitrate, v.scanMode) =
        std::make_tuple(c.fps, c.keySeconds, c.profileIdc, 6000, 1);
    v.preset = QLatin1String(c.presetName);
    MessageCapture log;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    EXPECT_EQ(v.scanMode, 0);
    const auto& init = *nvenc().last<NV_ENC_INITIALIZE_PARAMS>("fakeNvencLastInit");
    EXPECT_EQ(init.frameRateNum, c.num);
    EXPECT_EQ(init.frameRateDen, c.den);
    EXPECT_EQ(config().gopLength, c.gop);
    EXPECT_EQ(config().encodeCodecConfig.h264Config.idrPeriod, c.gop);
    EXPECT_EQ(std::memcmp(&config().profileGUID, &c.profile, sizeof(GUID)), 0);
    EXPECT_EQ(std::memcmp(&init.presetGUID, &c.preset, sizeof(GUID)), 0);
    EXPECT_EQ(config().rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ);
    EXPECT_EQ(config().rcParams.averageBitRate, 6000000u);
    EXPECT_EQ(config().rcParams.maxBitRate, 7200000u);
    EXPECT_EQ(config().rcParams.vbvBufferSize, 0u); // the CUDA path leaves VBV to the runtime
    EXPECT_EQ(log.count(QStringLiteral("Unsupported preset guid")), c.unsupportedMessages);
    EXPECT_TRUE(
        log.contains(QStringLiteral("debug:          class           : \"NvEncoderCuda\"")));
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencConfig,
    ::testing::Values(ConfigCase{30, 2, 100, "HQ", 30000, 1000, 60, NV_ENC_H264_PROFILE_HIGH_GUID,
                                 NV_ENC_PRESET_HQ_GUID, 0},
                      ConfigCase{29.97, 2, 88, "lowLatencyHQ", 30000, 1001, 59,
                                 NV_ENC_H264_PROFILE_MAIN_GUID, NV_ENC_PRESET_LOW_LATENCY_HQ_GUID,
                                 0},
                      ConfigCase{12.5, 4, 66, "fast", 13000, 1001, 50,
                                 NV_ENC_H264_PROFILE_BASELINE_GUID,
                                 NV_ENC_PRESET_LOW_LATENCY_HP_GUID, 1},
                      ConfigCase{25, 1, 77, "", 25000, 1000, 25, NV_ENC_H264_PROFILE_MAIN_GUID,
                                 NV_ENC_PRESET_LOW_LATENCY_HP_GUID, 1}));

// Pictures in flight when the encoder goes are completed by the end of stream and thrown away.
TEST_F(NvencTest, DestroyingWithAPartRingDeliversNothing)
{
    CodecPreset p = preset();
    {
        NvEncoder codec;
        ASSERT_TRUE(codec.initialize(&p));
        EXPECT_FALSE(encode(codec, nullptr, 64, 48, 0).delivered);
        EXPECT_FALSE(encode(codec, nullptr, 64, 48, 1).delivered);
    }
    EXPECT_EQ(nvenc().calls("nvEncLockBitstream"), 2);
    EXPECT_EQ(nvenc().calls("nvEncEncodePicture"), 3); // two pictures and the end of stream
}

namespace {

struct FailCase
{
    bool cuda; // the fake CUDA driver fails, else the NVENC runtime
    const char* call;
    int skip;        // calls of it that succeed first
    int lostPackets; // -1: initialize fails; else of 10 frames, once encoding
    int width = 64;
};
class NvencFailure : public NvencTest, public ::testing::WithParamInterface<FailCase>
{
};

} // namespace

// Each call that can fail, failed once: initialize fails, or the stream loses that one picture
// and goes on; with a warning either way. Nothing leaks and nothing is waited on for ever.
TEST_P(NvencFailure, FailsCleanlyWithAMessage)
{
    const FailCase c = GetParam();
    nvenc().set("async", 1);
    (c.cuda ? cuda() : nvenc()).failOnce(c.call, c.cuda ? 2 : 20, c.skip);
    CodecPreset p = preset("H264(NVENC)", c.width, 48);
    MessageCapture log;
    NvEncoder codec;
    ASSERT_EQ(codec.initialize(&p), c.lostPackets >= 0);
    if (c.lostPackets >= 0) {
        std::vector<Packet> packets;
        encodeAll(codec, c.width, 10, &packets);
        EXPECT_EQ(int(packets.size()), 10 - c.lostPackets);
        EXPECT_EQ(decodedPictures(codec, packets), 10 - c.lostPackets);
    }
    EXPECT_GT(log.count(QStringLiteral("warning: ")), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencFailure,
    ::testing::Values(
        FailCase{false, "NvEncodeAPICreateInstance", 0, -1},
        FailCase{false, "nvEncOpenEncodeSessionEx", 0, -1},
        FailCase{false, "nvEncGetEncodeGUIDs", 0, -1},
        FailCase{false, "nvEncGetEncodePresetConfig", 0, -1},
        FailCase{false, "nvEncInitializeEncoder", 0, -1},
        FailCase{false, "nvEncCreateBitstreamBuffer", 1, -1},
        FailCase{false, "nvEncRegisterResource", 2, -1},
        FailCase{false, "nvEncRegisterAsyncEvent", 3, -1},
        FailCase{false, "nvEncGetSequenceParams", 0, -1}, FailCase{true, "cuInit", 0, -1},
        FailCase{true, "cuDeviceGetCount", 0, -1},
        FailCase{true, "cuDeviceComputeCapability", 0, -1}, FailCase{true, "cuCtxCreate_v2", 0, -1},
        FailCase{true, "cuModuleLoadDataEx", 0, -1}, FailCase{true, "cuModuleGetFunction", 1, -1},
        FailCase{true, "cuMemAlloc_v2", 1, -1}, FailCase{true, "cuMemAllocHost_v2", 2, -1},
        FailCase{true, "cuMemAllocPitch_v2", 3, -1}, FailCase{false, "nvEncMapInputResource", 4, 1},
        FailCase{false, "nvEncEncodePicture", 4, 1}, FailCase{false, "nvEncLockBitstream", 2, 1},
        FailCase{false, "nvEncUnlockBitstream", 2, 1}, FailCase{true, "cuMemcpy2D_v2", 5, 1},
        FailCase{true, "cuMemcpyHtoD_v2", 5, 1, 256}),
    [](const auto& info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.skip);
    });

// The probe answers true with a capable GPU, false with an older one (where the CUDA path fails
// with the capability message) and false with none.
TEST_F(NvencTest, ProbeAndSetUpNeedACapableGpu)
{
    EXPECT_TRUE(nvencProbe());
    cuda().set("major", 2);
    MessageCapture log;
    EXPECT_FALSE(nvencProbe());
    CodecPreset p = preset();
    EXPECT_FALSE(NvEncoder().initialize(&p));
    EXPECT_EQ(log.count(QStringLiteral("GPU 0 does not have NVENC capabilities exiting")), 2);
    cuda().set("major", 7);
    cuda().set("devices", 0);
    EXPECT_FALSE(nvencProbe());
}

// A driver lacking an entry point (hidden before the process loads it, so each case runs in a
// process of its own): without a required call the probe and the set-up fail with a message and
// call nothing null; without the texture-reference calls the CUDA path still encodes.
TEST_F(NvencTest, DriverLackingAnEntryPointNeverCallsIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto framesWithout = [](const char* entry) {
        cuda().set((std::string("hide:") + entry).c_str(), 1);
        std::vector<Packet> packets;
        {
            CodecPreset p = preset();
            NvEncoder codec;
            if (nvencProbe() && codec.initialize(&p))
                encodeAll(codec, 64, 4, &packets);
        }
        std::exit(int(packets.size()));
    };
    EXPECT_EXIT(framesWithout("cuCtxDestroy_v2"), ::testing::ExitedWithCode(0),
                "Failed to find required function \"cuCtxDestroy_v2\"");
    EXPECT_EXIT(framesWithout("cuModuleGetTexRef"), ::testing::ExitedWithCode(4), "");
}

// Without its CUDA module the CUDA path cannot be set up.
TEST_F(NvencTest, MissingCudaModuleFailsInitialize)
{
    CodecPreset p = preset();
    ASSERT_TRUE(NvEncoder().initialize(&p)); // registers the library's resources first
    Q_CLEANUP_RESOURCE(nvenc);
    MessageCapture log;
    EXPECT_FALSE(NvEncoder().initialize(&p));
    Q_INIT_RESOURCE(nvenc);
    EXPECT_TRUE(log.contains(QStringLiteral(
        "warning: NvEncoderCuda: the CUDA module :/resources/preproc64_lowlat.ptx is missing")));
}
