#include "codec/video/MFVideo.h"
#include "EncodedPacket.h"
#include "MFTestTransform.h"
#include "MessageCapture.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "codec/video/VideoCodecFactory.h"
#include "platform/mf/MFPlatform.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

namespace {

CodecPreset mfPreset(const char* name, int width = 320, int height = 240)
{
    return videoPreset(name, width, height, 29.97);
}

// Registers the test transform as the Intel H.264 class for one test, then restores the machine's.
class MFVideoTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_made)
            MFPlatform::registerClass(MFGuids::CLSID_IntelH264Encoder, m_machines);
    }
    void useTestTransform(MFTestTransform::Knobs knobs)
    {
        auto made = std::make_shared<std::weak_ptr<MFTestTransform>>();
        MFPlatform::Creator replaced =
            MFPlatform::registerClass(MFGuids::CLSID_IntelH264Encoder, [knobs, made] {
                auto t = std::make_shared<MFTestTransform>(knobs);
                *made = t;
                return t;
            });
        if (!m_made)
            m_machines = std::move(replaced);
        m_made = made;
    }
    std::shared_ptr<MFTestTransform> lastTransform() { return m_made ? m_made->lock() : nullptr; }
    std::shared_ptr<std::weak_ptr<MFTestTransform>> m_made;
    MFPlatform::Creator m_machines; // the Intel class this machine registered, if any
};

// Threads of this process, not counting helpers a sanitizer starts with the first thread.
int threadCount()
{
    std::thread([] {}).join();
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).count()) - 2;
}

} // namespace

// The synchronous software transform: 300 frames of 720p at the exact 29.97 rate all decode.
TEST(MFVideo, SoftwarePathCodes300FramesOf720pThatDecode)
{
    QLoggingCategory::setFilterRules(QStringLiteral("strevo.mf.debug=true"));
    MessageCapture log;
    CodecPreset preset = mfPreset("Software H.264", 1280, 720);
    MFVideo codec;
    ASSERT_TRUE(codec.initialize(&preset));
    QLoggingCategory::setFilterRules(QString());
    EXPECT_FALSE(codec.isAsynchronous());
    EXPECT_EQ(codec.extraDataSize(), 0u);
    EXPECT_EQ(log.count(QStringLiteral("MF_MT_FRAME_RATE: 30000, 1001")), 2);
    EXPECT_EQ(log.count(QStringLiteral("MF_MT_MPEG2_PROFILE: 77")), 1);

    const std::vector<EncodedPacket> packets = packetsOf(encodeFrames(codec, 1280, 720, 300));
    EXPECT_GT(codec.extraDataSize(), 8u);
    ASSERT_EQ(packets.size(), 300u);
    EXPECT_EQ(packets[0].key, 1u);
    EXPECT_EQ(decodeAll(packets).size(), 300u);
}

// Async transforms by depth, burst and threading: one packet per call, the drain gives the rest.
class MFVideoAsync : public MFVideoTest,
                     public ::testing::WithParamInterface<std::tuple<int, int, bool>>
{
};

TEST_P(MFVideoAsync, FillsThenGivesOnePacketPerCallAndDrainsEveryFrame)
{
    const auto [depth, burst, threaded] = GetParam();
    useTestTransform({depth, burst, threaded});
    CodecPreset preset = mfPreset("H264(QuickSync)");
    std::unique_ptr<IVideoCodec> made(VideoCodecFactory::create(QStringLiteral("H264(QuickSync)")));
    auto* codec = dynamic_cast<MFVideo*>(made.get());
    ASSERT_TRUE(codec && codec->initialize(&preset));
    EXPECT_TRUE(codec->isAsynchronous());
    auto transform = lastTransform();

    const std::vector<EncodedPacket> calls = encodeFrames(*codec, 320, 240, 40);
    for (int i = 0; i < depth + burst - 1; ++i)
        EXPECT_FALSE(calls[i].produced) << i;
    if (!threaded) { // events arrive in order: from the first packet on, every call gives one
        auto given = [](const EncodedPacket& p) { return p.produced; };
        EXPECT_TRUE(std::all_of(std::find_if(calls.begin(), calls.end(), given), calls.begin() + 40,
                                given));
    }
    const std::vector<EncodedPacket> packets = packetsOf(calls);
    EXPECT_EQ(packets.size(), 40u);
    EXPECT_EQ(decodeAll(packets).size(), 40u);
    EXPECT_GT(codec->extraDataSize(), 0u);
    // 29.97 fps: each sample lasts 1/29.97 s in 100-ns units.
    const std::vector<int64_t> durations = transform->durations();
    EXPECT_EQ(std::count(durations.begin(), durations.end(), 333667), 40);
}

INSTANTIATE_TEST_SUITE_P(Pipelines, MFVideoAsync,
                         ::testing::Values(std::make_tuple(0, 1, false),
                                           std::make_tuple(2, 1, false),
                                           std::make_tuple(1, 3, false),
                                           std::make_tuple(3, 2, true)));

// The library's own GPU vendor transform (here over libx264) gives a packet per call.
TEST_F(MFVideoTest, LibraryAsynchronousTransformGivesAPacketPerFrame)
{
    const MFPlatform::Creator machines =
        MFPlatform::registerClass(MFGuids::CLSID_NvidiaH264Encoder, [] {
            return std::make_shared<MFLibavTransform>(
                MFLibavTransform::Backend{"libx264", {}, false, true});
        });
    CodecPreset preset = mfPreset("H264(NVENC)");
    MFVideo codec;
    ASSERT_TRUE(codec.initialize(&preset));
    const std::vector<EncodedPacket> calls = encodeFrames(codec, 320, 240, 30);
    EXPECT_EQ(packetsOf(calls).size(), 30u);
    EXPECT_EQ(calls.size(), 30u) << "the drain finds nothing left";
    EXPECT_EQ(decodeAll(calls).size(), 30u);
    MFPlatform::registerClass(MFGuids::CLSID_NvidiaH264Encoder, machines);
}

// Destroyed with frames inside the transform's thread: nothing left running.
TEST_F(MFVideoTest, DestroyedMidStreamLeavesNoThread)
{
    useTestTransform({4, 2, true});
    CodecPreset preset = mfPreset("H264(QuickSync)");
    const int before = threadCount();
    {
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        const auto frame = testFrame(PIX_NV12, 320, 240, 0);
        for (int i = 0; i < 10; ++i)
            EncodedPacket::encode(codec, &frame);
        EXPECT_GT(codec.framesInFlight(), 0);
    }
    EXPECT_EQ(threadCount(), before);
}

// Bad frames and misbehaving transforms fail with a warning, never a crash or an endless wait.
TEST_F(MFVideoTest, BadInputAndFaultyTransformsFailWithAMessage)
{
    MessageCapture log;
    const auto frame = testFrame(PIX_NV12, 320, 240, 0);
    const std::vector<unsigned char> shortFrame(frame.begin(), frame.begin() + 320 * 240);
    auto encode = [](MFVideo& codec, const std::vector<unsigned char>& f) {
        return EncodedPacket::encode(codec, &f).produced;
    };
    CodecPreset preset = mfPreset("H264(QuickSync)");
    {
        useTestTransform({});
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_FALSE(encode(codec, shortFrame));
        EXPECT_EQ(log.count(QStringLiteral("warning: MFVideo: frame of 76800 bytes is not a "
                                           "320x240 NV12 picture (115200 bytes)")),
                  1);
    }
    {
        MFTestTransform::Knobs failing;
        failing.outputError = E_FAIL;
        useTestTransform(failing);
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(encode(codec, frame));
        EXPECT_GT(log.count(QStringLiteral("transform->ProcessOutput() failed (0x80004005)")), 0);
    }
    for (const bool stall : {false, true}) {
        MFTestTransform::Knobs silent;
        silent.silent = !stall;
        silent.stallInput = stall;
        useTestTransform(silent);
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        encode(codec, frame); // the one input the stalling transform asks for
        for (int i = 0; i < 3 - 2 * stall; ++i)
            EXPECT_FALSE(encode(codec, frame));
    }
    EXPECT_EQ(log.count(QStringLiteral("asked for no input within 2000 ms")), 1);
}

// Without a GPU encoder the Intel classes are absent; with one, 5 s of QuickSync decode.
TEST_F(MFVideoTest, QuickSyncNeedsTheMachinesGpuEncoder)
{
    if (!MFVideo::enableCheck(MFGuids::CLSID_IntelH264Encoder)) {
        EXPECT_FALSE(MFVideo::enableCheck("{BC10864D-2B34-408F-912A-102B1B867B6C}"));
        EXPECT_TRUE(MFVideo::enableCheck("{6CA50344-051A-4DED-9779-A43305165E35}"));
        GTEST_SKIP() << "no render node with a QuickSync or VA-API H.264 encoder here";
    }
    QTemporaryDir dir;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"), 1280, 720);
    preset.videoCodec().codecName = QStringLiteral("H264(QuickSync)");
    const RecordingHarness::Result r = RecordingHarness().record(preset, 150);
    ASSERT_EQ(r.initResult, 0);
    Probe::expectDecodes(r.lastPath);
    EXPECT_EQ(Probe::inspect(r.lastPath).frames(), 150);
}
