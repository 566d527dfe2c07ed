#include "codec/video/amf/DownloadAmf.h"
#include "AmfTestSupport.h"
#include "MessageCapture.h"
#include "common/DirectX11Manager.h"
#include "common/PixelFormat.h"
#include "common/YuvResampler.h"
#include "platform/HostD3D11Device.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr int kW = 320, kH = 240;

// Smooth colour gradients with a sharp square, RGBA.
std::vector<uint8_t> picture()
{
    std::vector<uint8_t> rgba(kW * kH * 4);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            uint8_t* p = &rgba[(y * kW + x) * 4];
            const bool square = x >= 100 && x < 164 && y >= 60 && y < 124;
            p[0] = square ? 250 : static_cast<uint8_t>(x * 255 / kW);
            p[1] = square ? 30 : static_cast<uint8_t>(y * 255 / kH);
            p[2] = static_cast<uint8_t>((x + y) / 3);
            p[3] = 255;
        }
    return rgba;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

class DownloadAmfTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.loaded());
        Singleton<DirectX11Manager>::getInstancePtr()->setDevice(&device, &device);
        texture = device.createTexture2D({kW, kH, DxgiFormat::R8G8B8A8});
        texture->upload(rgba.data(), kW * 4);
    }
    void TearDown() override
    {
        Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
    }

    FakeAmf fake;
    HostD3D11Device device;
    std::vector<uint8_t> rgba = picture();
    std::unique_ptr<D3D11Texture2D> texture;
};

} // namespace

// The frame that comes out matches the picture; the converter follows a change of size.
TEST_F(DownloadAmfTest, ConvertsTheTextureToNv12)
{
    auto small = device.createTexture2D({kW / 2, kH / 2, DxgiFormat::R8G8B8A8});
    DownloadAmf download; // after the textures: it reads them until it is gone
    ASSERT_TRUE(download.initialize(kW, kH));
    EXPECT_EQ(download.format(), 10);
    EXPECT_TRUE(download.enqueue(texture.get(), QSize(kW, kH)));
    EXPECT_EQ(download.data(), nullptr);
    const unsigned char* frame = pollFor(2000, [&] { return download.data(); });
    ASSERT_NE(frame, nullptr);
    YuvResampler conv; // the library's own conversion of the same picture
    ASSERT_TRUE(
        conv.resampleVideo(rgba.data(), kW, kH, PIX_RGBA, nullptr, kW, kH, PIX_NV12, 0, false));
    EXPECT_GT(psnr(frame, conv.videoData(), kW * kH), 40.0);
    EXPECT_GT(psnr(frame + kW * kH, conv.videoData() + kW * kH, kW * kH / 2), 40.0);

    EXPECT_TRUE(download.enqueue(small.get(), QSize(kW / 2, kH / 2)));
    EXPECT_EQ(download.width(), kW / 2);
    EXPECT_EQ(download.data(), nullptr);
    EXPECT_NE(pollFor(2000, [&] { return download.data(); }), nullptr);

    // A texture may be released once the next enqueue() returned (ASan shows a late read).
    for (int i = 0; i < 50; ++i) {
        auto next = device.createTexture2D({kW / 2, kH / 2, DxgiFormat::R8G8B8A8});
        download.enqueue(next.get(), QSize(kW / 2, kH / 2));
        small = std::move(next);
        download.data();
    }
}

// A failed set-up call fails initialize() with a warning; a failed conversion loses one frame.
TEST_F(DownloadAmfTest, FailedRuntimeCalls)
{
    for (const char* call :
         {"CreateContext", "InitDX11", "Init:AMFVideoConverter", "AllocSurface"}) {
        MessageCapture log;
        fake.knobs().failOnce(call);
        DownloadAmf download;
        EXPECT_FALSE(download.initialize(kW, kH)) << call;
        EXPECT_EQ(log.count(QStringLiteral("warning: ")), 1) << call;
        EXPECT_EQ(download.data(), nullptr);
    }
    fake.knobs().failOnce("Convert");
    DownloadAmf download;
    ASSERT_TRUE(download.initialize(kW, kH));
    download.enqueue(texture.get(), QSize(kW, kH));
    EXPECT_NE(pollFor(2000, [&] { return download.data(); }), nullptr);
}

// A runtime without this interface's marker (AMD's) is refused before any call (own ctest entry).
TEST(AmfForeignRuntime, IsRefusedBeforeAnyCall)
{
    FakeAmf foreign;
    ASSERT_TRUE(foreign.loaded());
    MessageCapture log;
    EXPECT_FALSE(DownloadAmf().initialize(kW, kH));
    EXPECT_EQ(
        log.count(QStringLiteral("libamfrt64.so.1 is not a runtime of this library's AMF "
                                 "interface (no StrevoAmfInterfaceVersion); AMF is not used")),
        1);
    EXPECT_EQ(foreign.knobs().loads, 0);
}
