#include "NvencTestSupport.h"
#include "Probe.h"
#include "RecordingHarness.h"

#include "codec/video/nvenc/NvencAvailable.h"

#include <QTemporaryDir>

namespace {

using RecordingCase = std::pair<const char*, const char*>; // codec, container
class NvencRecording : public NvencTest, public ::testing::WithParamInterface<RecordingCase>
{
};

// Records `frames` frames through the pipeline; the recording's path, or empty.
QString record(const QString& folder, const char* codec, const char* container, int w, int h,
               int frames)
{
    CodecPreset p = RecordingHarness::preset(folder, QLatin1String(container), w, h);
    p.videoCodec().codecName = QLatin1String(codec);
    p.videoCodec().preset = QStringLiteral("lowLatencyHQ");
    p.audioCodec().enabled = false;
    const RecordingHarness::Result r = RecordingHarness().record(p, frames);
    EXPECT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, frames);
    return r.initResult == 0 ? r.lastPath : QString();
}

} // namespace

// A recording through the NVENC names decodes completely and holds every frame pushed.
TEST_P(NvencRecording, DecodesWithEveryFrame)
{
    QTemporaryDir dir;
    const QString path = record(dir.path(), GetParam().first, GetParam().second, 160, 96, 40);
    ASSERT_FALSE(path.isEmpty());
    Probe::expectDecodes(path);
    EXPECT_EQ(Probe::inspect(path).frames(), 40);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencRecording,
    ::testing::Values(RecordingCase{"H264(NVENC)", "mp4"}, RecordingCase{"H264(NVENC)", "mkv"},
                      RecordingCase{"HEVC(NVENC)", "mp4"}, RecordingCase{"HEVC(NVENC)", "mkv"}),
    [](const auto& info) { return std::string(info.param.first, 4) + "_" + info.param.second; });

// Where no NVIDIA runtime is installed (run without the fakes): nothing is offered, and a preset
// that names NVENC anyway fails with a message saying what is missing.
TEST(NvencNoRuntime, InitializeSaysTheRuntimeIsMissing)
{
    if (void* lib = dlopen("libnvidia-encode.so.1", RTLD_NOW | RTLD_LOCAL)) {
        dlclose(lib);
        GTEST_SKIP() << "an NVENC runtime (real or fake) is installed";
    }
    EXPECT_FALSE(nvencProbe());
    CodecPreset p;
    p.videoCodec().codecName = QStringLiteral("H264(NVENC)");
    MessageCapture log;
    NvEncoder codec;
    EXPECT_FALSE(codec.initialize(&p));
    EXPECT_GT(log.count(QStringLiteral("is missing")), 0);
}

// Only on a machine with an NVIDIA driver and an NVENC-capable GPU (run without the fakes).
TEST(NvencHardware, Records300FramesOf1080p)
{
    if (FakeNv("libnvidia-encode.so.1", "fakeNvenc").loaded() || !nvencProbe())
        GTEST_SKIP() << "needs the NVIDIA driver's libnvidia-encode.so.1 and an NVENC GPU";
    QTemporaryDir dir;
    // Setting up the CUDA path loads the library's CUDA module into the real driver.
    const QString path = record(dir.path(), "H264(NVENC)", "mp4", 1920, 1080, 300);
    ASSERT_FALSE(path.isEmpty());
    Probe::expectDecodes(path);
    EXPECT_EQ(Probe::inspect(path).frames(), 300);
}
