#include "codec/video/MFVideo.h"
#include "Decoder.h"
#include "MFTestTransform.h"
#include "MessageCapture.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "codec/video/VideoCodecFactory.h"
#include "platform/mf/MFError.h"
#include "platform/mf/MFPlatform.h"
#include "tools/TestPattern.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

namespace {

CodecPreset mfPreset(const char* name, int width = 320, int height = 240, double fps = 29.97)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QLatin1String(name);
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 2000;
    v.keyframeInterval = 2;
    return p;
}

struct Coded
{
    std::vector<bool> results; // encode() per frame, then per drain call
    std::vector<std::vector<uint8_t>> packets;
    int pictures = 0; // what libavcodec decoded from them
    bool firstKey = false;
};

// Encodes `frames` frames of a moving pattern, drains, and decodes every packet.
Coded encodeAndDecode(MFVideo& codec, const CodecPreset& preset, int frames)
{
    const int w = preset.videoCodec().width, h = preset.videoCodec().height;
    TestPattern pattern(w, h);
    std::vector<unsigned char> out(codec.maxPacketSize());
    Coded c;
    for (int i = 0;; ++i) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        const bool drain = i >= frames;
        unsigned char* frame = drain ? nullptr : const_cast<uint8_t*>(pattern.frame(i));
        const bool ok = codec.encode(frame, w * h * 3 / 2, PIX_NV12, out.data(),
                                     static_cast<unsigned int>(out.size()), size, key, pts, dts);
        if (drain && !ok)
            break;
        c.results.push_back(ok);
        if (ok) {
            c.firstKey = c.packets.empty() ? key != 0 : c.firstKey;
            c.packets.emplace_back(out.begin(), out.begin() + size);
        }
    }
    AVCodecParametersPtr par(avcodec_parameters_alloc());
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    Decoder decoder(par.get());
    for (const auto& p : c.packets)
        c.pictures += static_cast<int>(decoder.decode(p.data(), p.size()).size());
    c.pictures += static_cast<int>(decoder.decode(nullptr, 0).size());
    EXPECT_EQ(decoder.errors, 0);
    return c;
}

// Registers the test transform under the Intel H.264 class for one test, then puts back
// what the machine had there.
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

// Threads of this process; a first thread is started and joined before the count, so that
// helpers a runtime starts with the first thread (the ThreadSanitizer's) are not counted.
int threadCount()
{
    std::thread([] {}).join();
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).count()) - 2;
}

} // namespace

// The software transform behind any name that is not a GPU encoder's: synchronous, 300 frames
// of 720p at 29.97 all come out and decode, the header appears with the first key frame, and
// both media types carry the exact rate.
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

    const Coded c = encodeAndDecode(codec, preset, 300);
    EXPECT_GT(codec.extraDataSize(), 8u);
    EXPECT_TRUE(c.firstKey);
    EXPECT_EQ(c.packets.size(), 300u);
    EXPECT_EQ(c.pictures, 300);
}

// The asynchronous path by pipeline depth, announcements per burst and threading: encode()
// gives nothing while the transform fills its pipeline, then one packet per call however many
// were announced at once, and the drain brings out every frame.
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

    const Coded c = encodeAndDecode(*codec, preset, 40);
    const int filling = depth + burst - 1;
    for (int i = 0; i < filling; ++i)
        EXPECT_FALSE(c.results[i]) << i;
    if (!threaded) {
        // Events arrive in order: from the first packet on, every call gives one.
        const auto first = std::find(c.results.begin(), c.results.end(), true);
        EXPECT_EQ(std::count(first, c.results.begin() + 40, false), 0);
    }
    EXPECT_EQ(c.packets.size(), 40u);
    EXPECT_EQ(c.pictures, 40);
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

// The GPU vendors' transform as the library registers it where a GPU encoder opens (events
// announced as the work is done, output samples of its own), here over libx264: a picture
// comes out of each call and the drain finds none left.
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
    const Coded c = encodeAndDecode(codec, preset, 30);
    EXPECT_EQ(std::count(c.results.begin(), c.results.end(), true), 30);
    EXPECT_EQ(c.results.size(), 30u);
    EXPECT_EQ(c.pictures, 30);
    MFPlatform::registerClass(MFGuids::CLSID_NvidiaH264Encoder, machines);
}

// "H264(QuickSync)" through a whole pipeline, with the transform working on its own thread:
// every frame is in the recording and decodes.
TEST_F(MFVideoTest, QuickSyncRecordingHasEveryFrame)
{
    useTestTransform({2, 2, true});
    QTemporaryDir dir;
    CodecPreset preset = RecordingHarness::preset(dir.path(), QStringLiteral("mp4"));
    preset.videoCodec().codecName = QStringLiteral("H264(QuickSync)");
    const RecordingHarness::Result r = RecordingHarness().record(preset, 90);
    ASSERT_EQ(r.initResult, 0);
    Probe::expectDecodes(r.lastPath);
    EXPECT_EQ(Probe::inspect(r.lastPath).frames(), 90);
    EXPECT_EQ(r.packets, 90);
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
        TestPattern pattern(320, 240);
        std::vector<unsigned char> out(codec.maxPacketSize());
        for (int i = 0; i < 10; ++i) {
            unsigned int size = 0, key = 0;
            long long pts = -1, dts = -1;
            codec.encode(const_cast<uint8_t*>(pattern.frame(i)), 320 * 240 * 3 / 2, PIX_NV12,
                         out.data(), static_cast<unsigned int>(out.size()), size, key, pts, dts);
        }
        EXPECT_GT(codec.framesInFlight(), 0);
    }
    EXPECT_EQ(threadCount(), before);
}

// Bad frames and misbehaving transforms: a warning that says what failed, never a crash or a
// wait without end.
TEST_F(MFVideoTest, BadInputAndFaultyTransformsFailWithAMessage)
{
    MessageCapture log;
    TestPattern pattern(320, 240);
    unsigned char out[320 * 240 * 4];
    auto encode = [&](MFVideo& codec, unsigned int size) {
        unsigned int outSize = 0, key = 0;
        long long pts = -1, dts = -1;
        return codec.encode(const_cast<uint8_t*>(pattern.frame(0)), size, PIX_NV12, out,
                            sizeof(out), outSize, key, pts, dts);
    };
    CodecPreset preset = mfPreset("H264(QuickSync)");
    {
        useTestTransform({});
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_FALSE(encode(codec, 320 * 240));
        EXPECT_TRUE(log.contains(QStringLiteral("warning: MFVideo: frame of 76800 bytes is not a "
                                                "320x240 NV12 picture (115200 bytes)")));
    }
    {
        MFTestTransform::Knobs failing;
        failing.outputError = E_FAIL;
        useTestTransform(failing);
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(encode(codec, 320 * 240 * 3 / 2));
        EXPECT_GT(log.count(QStringLiteral("transform->ProcessOutput() failed (0x80004005)")), 0);
    }
    for (const bool stall : {false, true}) {
        MFTestTransform::Knobs silent;
        silent.silent = !stall;
        silent.stallInput = stall;
        useTestTransform(silent);
        MFVideo codec;
        ASSERT_TRUE(codec.initialize(&preset));
        encode(codec, 320 * 240 * 3 / 2); // the one input the stalling transform asks for
        for (int i = 0; i < 3 - 2 * stall; ++i)
            EXPECT_FALSE(encode(codec, 320 * 240 * 3 / 2));
    }
    EXPECT_EQ(log.count(QStringLiteral("asked for no input within 2000 ms")), 1);
}

// Without a GPU encoder the Intel classes are absent, and a preset asking for them fails to
// open with a message. Where a render node opens one, 5 s through "H264(QuickSync)" decode.
TEST_F(MFVideoTest, QuickSyncNeedsTheMachinesGpuEncoder)
{
    if (!MFVideo::enableCheck(MFGuids::CLSID_IntelH264Encoder)) {
        EXPECT_FALSE(MFVideo::enableCheck("{BC10864D-2B34-408F-912A-102B1B867B6C}"));
        EXPECT_TRUE(MFVideo::enableCheck("{6CA50344-051A-4DED-9779-A43305165E35}"));
        MessageCapture log;
        CodecPreset preset = mfPreset("H264(QuickSync)");
        MFVideo codec;
        EXPECT_FALSE(codec.initialize(&preset));
        EXPECT_GT(log.count(QStringLiteral("no encoder transform for H264(QuickSync) (class "
                                           "{4BE8D3C0-0515-4A37-AD55-E4BAE19AF471}) on this "
                                           "machine: failed (0x80040154)")),
                  0);
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

TEST(MFLayer, GuidTextAndErrorDescriptions)
{
    GUID g{};
    ASSERT_TRUE(guidFromString("4be8d3c0-0515-4a37-ad55-e4bae19af471", &g));
    EXPECT_EQ(g, MFGuids::CLSID_IntelH264Encoder);
    EXPECT_EQ(guidToString(g), QStringLiteral("{4BE8D3C0-0515-4A37-AD55-E4BAE19AF471}"));
    for (const char* bad :
         {"", "{4BE8D3C0-0515-4A37-AD55-E4BAE19AF47}", "{4BE8D3C0+0515-4A37-AD55-E4BAE19AF471}",
          "4BE8D3C0-0515-4A37-AD55-E4BAE19AF47G"})
        EXPECT_FALSE(guidFromString(bad, &g)) << bad;
    EXPECT_EQ(MFError::describe(MF_E_TRANSFORM_NEED_MORE_INPUT),
              QByteArray("The transform cannot produce output until it gets more input samples. "
                         "(MF_E_TRANSFORM_NEED_MORE_INPUT)"));
    EXPECT_EQ(MFError::describe(hresult(0x80001234)), QByteArray("failed (0x80001234)"));
}
