#include "codec/video/amf/AmfEncoder.h"
#include "AmfTestSupport.h"
#include "Decoder.h"
#include "EncodedPacket.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "codec/video/VideoCodecFactory.h"
#include "platform/amf/AmfRuntime.h"

#include <QTemporaryDir>
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
        return initialized(VideoCodecFactory::create(preset.videoCodec().codecName), preset,
                           problem);
    }
    // Drain calls until the codec holds nothing more.
    static std::vector<EncodedPacket> drain(IVideoCodec& codec)
    {
        std::vector<EncodedPacket> out;
        for (EncodedPacket p; (p = EncodedPacket::encode(codec, nullptr)).produced;)
            out.push_back(p);
        return out;
    }
    // Encodes `frames` frames (asking for a key frame before frame `keyAt`), then drains; the
    // stamps stay as the caller set them.
    static std::vector<EncodedPacket> encodeAll(IVideoCodec& codec, int frames, int keyAt = -1)
    {
        std::vector<EncodedPacket> out;
        for (int i = 0; i < frames; ++i) {
            const auto frame = testFrame(PIX_NV12, 320, 240, i);
            if (i == keyAt)
                codec.requestKeyFrame();
            const EncodedPacket p = EncodedPacket::encode(codec, &frame);
            EXPECT_EQ(p.pts, -1);
            EXPECT_EQ(p.dts, -1);
            if (p.produced)
                out.push_back(p);
        }
        for (const EncodedPacket& p : drain(codec))
            out.push_back(p);
        return out;
    }
    FakeAmf fake;
};

struct NameCase : AmfTest, ::testing::WithParamInterface<const char*>
{
};

} // namespace

// Both names code H.264 with the AVC parameter sets as extradata; every frame comes out (the
// rest with the drain), decodes, a requested key frame is one, and the stamps stay as the
// caller set them. Frames after the drain start a new stream with a key frame.
TEST_P(NameCase, CodesH264ThatDecodesEveryFrame)
{
    const auto codec = open(videoPreset(GetParam()));
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
    Decoder decoder(par.get());
    size_t pictures = 0;
    for (const EncodedPacket& p : packets)
        pictures += decoder.decode(p.data.data(), p.size).size();
    pictures += decoder.decode(nullptr, 0).size();
    EXPECT_EQ(pictures, 20u);
    EXPECT_EQ(decoder.errors, 0);

    const std::vector<EncodedPacket> next = encodeAll(*codec, 5);
    ASSERT_EQ(next.size(), 5u);
    EXPECT_EQ(next[0].key, 1u);
}

INSTANTIATE_TEST_SUITE_P(AmfEncoder, NameCase, ::testing::Values("H264(AMF)", "HEVC(AMF)"));

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

// The encoder's properties: quality preset names exact and case-sensitive (empty = Balanced),
// the frame rate as N*1000/1001 for a fractional rate, the IDR period from the truncated rate,
// constant bitrate, level 5.1 and no B-pictures whatever the preset.
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
                                           SettingsCase{"Speed", 30, 1, 300001000, 60},
                                           SettingsCase{"Quality", 30, 2, 300001000, 60}));

// While the GPU holds its output nothing comes out; then each call hands out one packet, an
// empty output as a true result of size 0, and destroying the codec while the worker waits on
// a GPU that holds frames ends at once.
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
    const std::vector<EncodedPacket> packets = drain(*codec);
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

// The probe loads the runtime once for the process and leaves it unloaded.
TEST_F(AmfTest, ProbeLoadsTheRuntimeOnce)
{
    const int loads = fake.knobs().loads;
    EXPECT_TRUE(AmfEncoder::amfAvailable());
    EXPECT_EQ(fake.knobs().loads, loads + 1);
    EXPECT_TRUE(AmfEncoder::amfAvailable());
    EXPECT_EQ(fake.knobs().loads, loads + 1);
    EXPECT_EQ(AmfRuntime::users(), 0);
}

// A recording through the pipeline holds every frame and decodes. The frames come at a steady
// pace as from a live source: the encoder hands out the packet of an earlier frame with each
// new one, so a feeder that waits for packets before pushing more would wait forever.
TEST_F(AmfTest, RecordingHoldsEveryFrame)
{
    QTemporaryDir dir;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"));
    preset.videoCodec().codecName = QStringLiteral("H264(AMF)");
    preset.audioCodec().enabled = false;
    RecordingHarness status;
    auto encoder = std::make_unique<Encoder>();
    ASSERT_EQ(encoder->initialize(&status, &preset, false), 0);
    encoder->start();
    TestPattern pattern(320, 240);
    TimeStamp ts{1};
    for (int i = 0; i < 90; ++i) {
        encoder->enqueueVideo(const_cast<uint8_t*>(pattern.frame(i)), 320, 240, PIX_NV12, &ts);
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
    encoder->stop();
    const QString path = encoder->recordingPath();
    encoder.reset();
    Probe::expectDecodes(path);
    const Probe::Media media = Probe::inspect(path);
    EXPECT_EQ(media.videoValue("codec_name"), QStringLiteral("h264"));
    EXPECT_EQ(media.frames(), 90);
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

// Each runtime call failed once: a set-up call fails initialize() with one clear message; a call
// while frames flow costs at most that frame, and the codec still drains and goes away.
TEST_P(Failure, IsReportedOrSurvived)
{
    const FailureCase& c = GetParam();
    fake.knobs().failOnce(c.call);
    const auto codec = open(videoPreset("H264(AMF)"), c.message);
    if (c.message)
        return;
    ASSERT_NE(codec, nullptr);
    size_t packets = 0;
    for (int i = 0; i < 10; ++i) {
        const auto frame = testFrame(PIX_NV12, 320, 240, i);
        packets += EncodedPacket::encode(*codec, &frame).produced;
    }
    packets += drain(*codec).size();
    EXPECT_GE(packets, 9u);
}

INSTANTIATE_TEST_SUITE_P(
    AmfEncoder, Failure,
    ::testing::Values(
        FailureCase{"AMFInit", "AMF Failed to initialize"},
        FailureCase{"AMFQueryVersion", "AMF Failed to initialize"},
        FailureCase{"CreateContext", "AMF_ERROR 1 : AMF_FAIL: CreateContext failed"},
        FailureCase{"CreateComponent:AMFVideoConverter", "(AMFVideoConverter) failed"},
        FailureCase{"SetProperty:OutputSize", "(AMF_VIDEO_CONVERTER_OUTPUT_SIZE, 320x240) failed"},
        FailureCase{"Init:AMFVideoConverter", "Init(320x240) failed"},
        FailureCase{"CreateComponent:AMFVideoEncoderVCE_AVC", "(AMFVideoEncoderVCE_AVC) failed"},
        FailureCase{"SetProperty:FrameRate", "(AMF_VIDEO_ENCODER_FRAMERATE, 30000x1000) failed"},
        FailureCase{"Init:AMFVideoEncoderVCE_AVC", "encoder->Init() failed"},
        FailureCase{"SetProperty:BPicturesPattern", nullptr}, FailureCase{"AllocSurface", nullptr},
        FailureCase{"SubmitInput:AMFVideoConverter", nullptr},
        FailureCase{"QueryOutput:AMFVideoConverter", nullptr},
        FailureCase{"SubmitInput:AMFVideoEncoderVCE_AVC", nullptr},
        FailureCase{"QueryOutput:AMFVideoEncoderVCE_AVC", nullptr},
        FailureCase{"Drain:AMFVideoConverter", nullptr}));

// A library under the runtime's file name without this interface's marker (AMD's own runtime):
// refused with one warning before anything of it is called, and AMF counts as missing. Run by
// its own ctest entry, with that library on LD_LIBRARY_PATH.
TEST(AmfForeignRuntime, IsRefusedBeforeAnyCall)
{
    FakeAmf foreign;
    ASSERT_TRUE(foreign.loaded());
    MessageCapture log;
    EXPECT_FALSE(AmfEncoder::amfAvailable());
    CodecPreset preset = videoPreset("H264(AMF)");
    EXPECT_FALSE(AmfEncoder().initialize(&preset));
    EXPECT_EQ(
        log.count(QStringLiteral("libamfrt64.so.1 is not a runtime of this library's AMF "
                                 "interface (no StrevoAmfInterfaceVersion); AMF is not used")),
        1);
    EXPECT_EQ(foreign.knobs().loads, 0);
}
