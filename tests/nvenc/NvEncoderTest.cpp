#include "NvencTestSupport.h"

#include "codec/video/nvenc/NvEncoderBase.h"
#include "codec/video/nvenc/NvEncoderCuda.h"
#include "codec/video/nvenc/NvencAvailable.h"

#include <cstring>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct RingCase
{
    const char* codec;
    int async;     // the runtime encodes asynchronously (completion events)
    int depth;     // pictures a submitted one waits behind in the runtime
    int bFrames;   // asked by the record and allowed by the runtime
    unsigned ring; // buffers in flight
};

class NvencRing : public NvencTest, public ::testing::WithParamInterface<RingCase>
{
};

} // namespace

// The ring holds N pictures: the first N calls give nothing and leave the outputs as the caller
// set them; then each call hands out the oldest picture (pts from 0 in submission order, dts
// from -1, the first a key frame), and the drain gives the rest. All of it decodes, every frame.
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
    EXPECT_EQ(codec.maxPacketSize(), 0x200000u);

    const int frames = 12;
    std::vector<Packet> packets;
    for (int i = 0; i < frames; ++i) {
        const std::vector<uint8_t> f = frame(64, 48, i);
        Packet out = encode(codec, f.data(), static_cast<unsigned int>(f.size()));
        if (i < static_cast<int>(c.ring)) {
            EXPECT_FALSE(out.delivered) << i;
            EXPECT_EQ(out.size, 0u);
            EXPECT_EQ(out.key, 0u);
            EXPECT_EQ(out.pts, -1);
            EXPECT_EQ(out.dts, -1);
            continue;
        }
        ASSERT_TRUE(out.delivered) << i;
        EXPECT_EQ(out.dts, static_cast<long long>(packets.size()) - 1);
        if (packets.empty()) {
            EXPECT_EQ(out.pts, 0);
            EXPECT_EQ(out.key, 1u);
        }
        packets.push_back(std::move(out));
    }
    for (Packet out = encode(codec, nullptr, 0); out.delivered; out = encode(codec, nullptr, 0))
        packets.push_back(std::move(out));
    ASSERT_EQ(packets.size(), static_cast<size_t>(frames));
    EXPECT_EQ(decodedPictures(codec, packets), frames);
    // Pictures after a drain start a new sequence with a key frame.
    const std::vector<Packet> again = encodeAll(codec, 64, 48, 5);
    ASSERT_EQ(again.size(), 5u);
    EXPECT_EQ(again.front().key, 1u);
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
    int keySeconds;
    int profileIdc;
    const char* presetName;
    uint32_t num, den, gop;
    GUID profile, preset;
    bool unsupportedPreset;
};

class NvencConfig : public NvencTest, public ::testing::WithParamInterface<ConfigCase>
{
};

bool same(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace

// What the session is configured with, read back from the runtime.
TEST_P(NvencConfig, SessionTakesTheRecordsSettings)
{
    const ConfigCase c = GetParam();
    CodecPreset p = preset();
    auto& v = p.videoCodec();
    v.frameRate = c.fps;
    v.keyframeInterval = c.keySeconds;
    v.profileIdc = c.profileIdc;
    v.preset = QLatin1String(c.presetName);
    v.bitrate = 6000;
    v.scanMode = 1;
    MessageCapture log;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    EXPECT_EQ(v.scanMode, 0);
    const NV_ENC_INITIALIZE_PARAMS& init = *nvenc().lastInit();
    const NV_ENC_CONFIG& config = *nvenc().lastConfig();
    EXPECT_EQ(init.frameRateNum, c.num);
    EXPECT_EQ(init.frameRateDen, c.den);
    EXPECT_EQ(config.gopLength, c.gop);
    EXPECT_EQ(config.encodeCodecConfig.h264Config.idrPeriod, c.gop);
    EXPECT_TRUE(same(config.profileGUID, c.profile));
    EXPECT_TRUE(same(init.presetGUID, c.preset));
    EXPECT_EQ(config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ);
    EXPECT_EQ(config.rcParams.averageBitRate, 6000000u);
    EXPECT_EQ(config.rcParams.maxBitRate, 7200000u);
    EXPECT_EQ(config.rcParams.vbvBufferSize, 0u); // the CUDA path leaves VBV to the runtime
    EXPECT_EQ(log.count(QStringLiteral("Unsupported preset guid")), c.unsupportedPreset ? 1 : 0);
    EXPECT_TRUE(
        log.contains(QStringLiteral("debug:          class           : \"NvEncoderCuda\"")));
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencConfig,
    ::testing::Values(ConfigCase{30, 2, 100, "HQ", 30000, 1000, 60, NV_ENC_H264_PROFILE_HIGH_GUID,
                                 NV_ENC_PRESET_HQ_GUID, false},
                      ConfigCase{29.97, 2, 88, "lowLatencyHQ", 30000, 1001, 59,
                                 NV_ENC_H264_PROFILE_MAIN_GUID, NV_ENC_PRESET_LOW_LATENCY_HQ_GUID,
                                 false},
                      ConfigCase{12.5, 4, 66, "fast", 13000, 1001, 50,
                                 NV_ENC_H264_PROFILE_BASELINE_GUID,
                                 NV_ENC_PRESET_LOW_LATENCY_HP_GUID, true},
                      ConfigCase{25, 1, 77, "", 25000, 1000, 25, NV_ENC_H264_PROFILE_MAIN_GUID,
                                 NV_ENC_PRESET_LOW_LATENCY_HP_GUID, true}));

// Pictures still in flight when the encoder goes are completed by the end of stream and thrown
// away, never handed to anyone.
TEST_F(NvencTest, DestroyingWithAPartRingDeliversNothing)
{
    CodecPreset p = preset();
    {
        NvEncoder codec;
        ASSERT_TRUE(codec.initialize(&p));
        for (int i = 0; i < 2; ++i)
            EXPECT_FALSE(encode(codec, frame(64, 48, i).data(), 64 * 48 * 3 / 2).delivered);
    }
    EXPECT_EQ(nvenc().calls("nvEncLockBitstream"), 2);
    EXPECT_EQ(nvenc().calls("nvEncEncodePicture"), 3); // two pictures and the end of stream
}

namespace {

struct FailCase
{
    bool cuda; // the fake CUDA driver fails, else the NVENC runtime
    const char* call;
    int skip;          // calls of it that succeed first
    bool duringEncode; // else initialize fails
    int lostPackets;   // of 10 frames, when the encode fails
    int width = 64;
};

class NvencFailure : public NvencTest, public ::testing::WithParamInterface<FailCase>
{
};

} // namespace

// Each call that can fail, failed once: initialize fails with a message, or the stream loses
// just that picture and goes on. Nothing leaks and no wait is left hanging (TearDown).
TEST_P(NvencFailure, FailsCleanlyWithAMessage)
{
    const FailCase c = GetParam();
    nvenc().set("async", 1);
    (c.cuda ? cuda() : nvenc()).failOnce(c.call, c.cuda ? 2 : 20, c.skip);
    CodecPreset p = preset("H264(NVENC)", c.width, 48);
    MessageCapture log;
    NvEncoder codec;
    if (!c.duringEncode) {
        EXPECT_FALSE(codec.initialize(&p));
        EXPECT_GT(log.count(QStringLiteral("warning: ")), 0);
        return;
    }
    ASSERT_TRUE(codec.initialize(&p));
    const std::vector<Packet> packets = encodeAll(codec, c.width, 48, 10);
    EXPECT_EQ(static_cast<int>(packets.size()), 10 - c.lostPackets);
    EXPECT_GT(log.count(QStringLiteral("warning: ")), 0);
    EXPECT_EQ(decodedPictures(codec, packets), 10 - c.lostPackets);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencFailure,
    ::testing::Values(FailCase{false, "NvEncodeAPICreateInstance", 0, false, 0},
                      FailCase{false, "nvEncOpenEncodeSessionEx", 0, false, 0},
                      FailCase{false, "nvEncGetEncodeGUIDs", 0, false, 0},
                      FailCase{false, "nvEncGetEncodePresetConfig", 0, false, 0},
                      FailCase{false, "nvEncInitializeEncoder", 0, false, 0},
                      FailCase{false, "nvEncCreateBitstreamBuffer", 1, false, 0},
                      FailCase{false, "nvEncRegisterResource", 2, false, 0},
                      FailCase{false, "nvEncRegisterAsyncEvent", 3, false, 0},
                      FailCase{false, "nvEncGetSequenceParams", 0, false, 0},
                      FailCase{true, "cuInit", 0, false, 0},
                      FailCase{true, "cuDeviceGetCount", 0, false, 0},
                      FailCase{true, "cuDeviceComputeCapability", 0, false, 0},
                      FailCase{true, "cuCtxCreate_v2", 0, false, 0},
                      FailCase{true, "cuModuleLoadDataEx", 0, false, 0},
                      FailCase{true, "cuModuleGetFunction", 1, false, 0},
                      FailCase{true, "cuMemAlloc_v2", 1, false, 0},
                      FailCase{true, "cuMemAllocHost_v2", 2, false, 0},
                      FailCase{true, "cuMemAllocPitch_v2", 3, false, 0},
                      FailCase{false, "nvEncMapInputResource", 4, true, 1},
                      FailCase{false, "nvEncEncodePicture", 4, true, 1},
                      FailCase{false, "nvEncLockBitstream", 2, true, 1},
                      FailCase{false, "nvEncUnlockBitstream", 2, true, 1},
                      FailCase{true, "cuMemcpy2D_v2", 5, true, 1},
                      FailCase{true, "cuMemcpyHtoD_v2", 5, true, 1, 256}),
    [](const auto& info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.skip);
    });

// The probe answers true with a capable GPU, false with an older one (and the CUDA path fails
// with the capability message), and false with none.
TEST_F(NvencTest, ProbeAndSetUpNeedACapableGpu)
{
    EXPECT_TRUE(nvencProbe());
    cuda().set("major", 2);
    cuda().set("minor", 1);
    MessageCapture log;
    EXPECT_FALSE(nvencProbe());
    CodecPreset p = preset();
    NvEncoder codec;
    EXPECT_FALSE(codec.initialize(&p));
    EXPECT_EQ(log.count(QStringLiteral("GPU 0 does not have NVENC capabilities exiting")), 2);
    cuda().set("major", 7);
    cuda().set("devices", 0);
    EXPECT_FALSE(nvencProbe());
}

// Without its CUDA module the CUDA path cannot be set up.
TEST_F(NvencTest, MissingCudaModuleFailsInitialize)
{
    CodecPreset p = preset();
    {
        NvEncoder warmUp; // registers the library's resources
        ASSERT_TRUE(warmUp.initialize(&p));
    }
    Q_CLEANUP_RESOURCE(nvenc);
    MessageCapture log;
    NvEncoder codec;
    EXPECT_FALSE(codec.initialize(&p));
    Q_INIT_RESOURCE(nvenc);
    EXPECT_TRUE(log.contains(
        QStringLiteral("warning: NvEncoderCuda: the CUDA module :/resources/preproc64_lowlat.ptx "
                       "is missing")));
}
