#include "codec/video/amf/AmfEncoder.h"
#include "AmfTestSupport.h"
#include "EncodedPacket.h"

#include <gtest/gtest.h>

namespace {

class AmfTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.loaded()) << "the fake runtime is not on LD_LIBRARY_PATH";
    }

    std::unique_ptr<IVideoCodec> open(CodecPreset preset, const char* problem = nullptr)
    {
        return initialized<IVideoCodec>(new AmfEncoder(), preset, problem);
    }
    // The packets of `frames` frames and the drain; stamps stay as the caller set them.
    static std::vector<EncodedPacket> encodeAll(IVideoCodec& codec, int frames, int keyAt = -1)
    {
        const auto packets = packetsOf(encodeFrames(codec, 320, 240, frames, keyAt));
        for (const EncodedPacket& p : packets)
            EXPECT_TRUE(p.pts == -1 && p.dts == -1);
        return packets;
    }
    FakeAmf fake;
};

} // namespace

// Every frame comes out as decodable H.264, a requested key frame is one; after a drain anew.
TEST_F(AmfTest, CodesH264ThatDecodesEveryFrame)
{
    const auto codec = open(videoPreset("H264(AMF)"));
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->supportFormat(), PIX_NV12);
    const auto headers = nalTypes(codec->extraData(), codec->extraDataSize());
    EXPECT_EQ(headers, (std::vector<int>{7, 8}));
    AVCodecParametersPtr par(avcodec_parameters_alloc());
    ASSERT_TRUE(codec->streamParameters(par.get()));
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_H264);

    const std::vector<EncodedPacket> packets = encodeAll(*codec, 20, 12);
    ASSERT_EQ(packets.size(), 20u);
    for (size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i].key, i == 0 || i == 12 ? 1u : 0u) << i;
    EXPECT_EQ(decodeAll(packets, par.get()).size(), 20u);

    const std::vector<EncodedPacket> next = encodeAll(*codec, 5);
    ASSERT_EQ(next.size(), 5u);
    EXPECT_EQ(next[0].key, 1u);
}

namespace {
struct SettingsCase
{
    const char* preset;
    double fps;
    long long quality; // -1: not set
    long long rate;    // num * 10000 + den, as the fake records it
    long long idr;
};
void PrintTo(const SettingsCase& c, std::ostream* os)
{
    *os << '"' << c.preset << "\" " << c.fps;
}
struct Settings : AmfTest, ::testing::WithParamInterface<SettingsCase>
{
};
} // namespace

// Quality preset (exact names), exact rate, IDR period, CBR, level 5.1 and no B-pictures.
TEST_P(Settings, ReachTheEncoder)
{
    const SettingsCase& c = GetParam();
    CodecPreset preset = videoPreset("H264(AMF)", 320, 240, c.fps);
    preset.videoCodec().preset = QString::fromLatin1(c.preset);
    ASSERT_NE(open(preset), nullptr);
    std::lock_guard<std::mutex> lock(fake.knobs().mutex);
    const auto& props = fake.knobs().encoder;
    EXPECT_EQ(props.count("QualityPreset") ? props.at("QualityPreset") : -1, c.quality);
    EXPECT_EQ(props.at("FrameRate"), c.rate);
    EXPECT_EQ(props.at("IDRPeriod"), c.idr);
    EXPECT_EQ(props.at("BPicturesPattern"), 0);
    EXPECT_EQ(props.at("RateControlMethod"), 1);
    EXPECT_EQ(props.at("ProfileLevel"), 51);
}

INSTANTIATE_TEST_SUITE_P(AmfEncoder, Settings,
                         ::testing::Values(SettingsCase{"", 29.97, 0, 300001001, 58},
                                           SettingsCase{"balanced", 25, -1, 250001000, 50},
                                           SettingsCase{"Quality", 30, 2, 300001000, 60}));

// Held output, then one packet per call (an empty one as size 0); destruction never waits.
TEST_F(AmfTest, OnePacketPerCallAndEmptyOutputs)
{
    auto codec = open(videoPreset("H264(AMF)"));
    ASSERT_NE(codec, nullptr);
    fake.knobs().hold = true;
    fake.knobs().emptyBefore = 2;
    for (int i = 0; i < 5; ++i) {
        const auto frame = testFrame(PIX_NV12, 320, 240, i);
        EXPECT_FALSE(EncodedPacket::encode(*codec, &frame).produced) << "frame " << i;
    }
    fake.knobs().hold = false;
    const std::vector<EncodedPacket> packets = encodeFrames(*codec, 320, 240, 0); // the drain
    ASSERT_EQ(packets.size(), 6u);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].size == 0, i == 2) << i;
        EXPECT_EQ(packets[i].key, i == 0 ? 1u : 0u) << i;
    }

    // Destroying the codec while its worker waits for a GPU that holds a frame.
    fake.knobs().hold = true;
    const auto frame = testFrame(PIX_NV12, 320, 240, 0);
    EncodedPacket::encode(*codec, &frame);
    const auto start = std::chrono::steady_clock::now();
    codec.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

namespace {
struct FailureCase
{
    const char* call;
    const char* message; // in the one warning of a failed initialize(); null: it opens
};
void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.call;
}
struct Failure : AmfTest, ::testing::WithParamInterface<FailureCase>
{
};
} // namespace

// A failed set-up call fails initialize() with a message; later ones cost at most a frame.
TEST_P(Failure, IsReportedOrSurvived)
{
    const FailureCase& c = GetParam();
    fake.knobs().failOnce(c.call);
    const auto codec = open(videoPreset("H264(AMF)"), c.message);
    if (c.message)
        return;
    ASSERT_NE(codec, nullptr);
    EXPECT_GE(packetsOf(encodeFrames(*codec, 320, 240, 10)).size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(
    AmfEncoder, Failure,
    ::testing::Values(
        FailureCase{"AMFInit", "AMF Failed to initialize"},
        FailureCase{"CreateContext", "AMF_ERROR 1 : AMF_FAIL: CreateContext failed"},
        FailureCase{"CreateComponent:AMFVideoConverter", "(AMFVideoConverter) failed"},
        FailureCase{"SetProperty:FrameRate", "(AMF_VIDEO_ENCODER_FRAMERATE, 30000x1000) failed"},
        FailureCase{"Init:AMFVideoEncoderVCE_AVC", "encoder->Init() failed"},
        FailureCase{"SetProperty:BPicturesPattern", nullptr}, FailureCase{"AllocSurface", nullptr},
        FailureCase{"SubmitInput:AMFVideoEncoderVCE_AVC", nullptr},
        FailureCase{"QueryOutput:AMFVideoEncoderVCE_AVC", nullptr},
        FailureCase{"Drain:AMFVideoConverter", nullptr}));
