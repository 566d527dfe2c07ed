#include "NvencTestSupport.h"
#include "Probe.h"
#include "RecordingHarness.h"

#include "api/Strevo.h"
#include "codec/video/nvenc/NvencAvailable.h"

#include <QTemporaryDir>

namespace {

using RecordingCase = std::pair<const char*, const char*>; // codec, container
using NvencRecording = NvencWith<RecordingCase>;

// Records `frames` frames through the pipeline: the recording decodes and holds every one.
void expectRecords(const char* codec, const char* container, int w, int h, int frames)
{
    QTemporaryDir dir;
    CodecPreset p = RecordingHarness::preset(dir.path(), QLatin1String(container), w, h);
    p.videoCodec().codecName = QLatin1String(codec);
    p.videoCodec().preset = QStringLiteral("lowLatencyHQ");
    p.audioCodec().enabled = false;
    const RecordingHarness::Result r = RecordingHarness().record(p, frames);
    ASSERT_EQ(r.initResult, 0);
    EXPECT_EQ(r.packets, frames);
    Probe::expectDecodes(r.lastPath);
    EXPECT_EQ(Probe::inspect(r.lastPath).frames(), frames);
}

} // namespace

// Recordings through the NVENC names, which the catalogue says run on the (fake) GPU.
TEST_P(NvencRecording, DecodesWithEveryFrame)
{
    EXPECT_EQ(Strevo::codecDevice(QLatin1String(GetParam().first)), "NVENC on Fake GPU sm_75");
    expectRecords(GetParam().first, GetParam().second, 160, 96, 40);
}

INSTANTIATE_TEST_SUITE_P(
    Nvenc, NvencRecording,
    ::testing::Values(RecordingCase{"H264(NVENC)", "mp4"}, RecordingCase{"H264(NVENC)", "mkv"},
                      RecordingCase{"HEVC(NVENC)", "mp4"}, RecordingCase{"HEVC(NVENC)", "mkv"}),
    [](const auto& info) { return std::string(info.param.first, 4) + "_" + info.param.second; });

// Without an NVIDIA runtime (run without the fakes) the probe and a set-up fail, saying why.
TEST(NvencNoRuntime, InitializeSaysTheRuntimeIsMissing)
{
    if (void* lib = dlopen("libnvidia-encode.so.1", RTLD_NOW | RTLD_LOCAL)) {
        dlclose(lib);
        GTEST_SKIP() << "an NVENC runtime (real or fake) is installed";
    }
    EXPECT_FALSE(nvencProbe());
    CodecPreset p = videoPreset("H264(NVENC)");
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
    expectRecords("H264(NVENC)", "mp4", 1920, 1080, 300);
}
