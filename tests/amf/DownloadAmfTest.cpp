#include "codec/video/amf/DownloadAmf.h"
#include "AmfTestSupport.h"
#include "MessageCapture.h"
#include "codec/video/amf/CircuitQueue.h"
#include "common/AVHandles.h"
#include "common/DirectX11Manager.h"
#include "platform/HostD3D11Device.h"

#include <cmath>
#include <gtest/gtest.h>
extern "C" {
#include <libswscale/swscale.h>
}

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

std::vector<uint8_t> swscaleNv12(const std::vector<uint8_t>& rgba)
{
    SwsContextPtr sws(sws_getContext(kW, kH, AV_PIX_FMT_RGBA, kW, kH, AV_PIX_FMT_NV12, SWS_BICUBIC,
                                     nullptr, nullptr, nullptr));
    std::vector<uint8_t> nv12(kW * kH * 3 / 2);
    const uint8_t* src[4] = {rgba.data()};
    const int srcStride[4] = {kW * 4};
    uint8_t* dst[4] = {nv12.data(), nv12.data() + kW * kH};
    const int dstStride[4] = {kW, kW};
    sws_scale(sws.get(), src, srcStride, 0, kH, dst, dstStride);
    return nv12;
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

// The first data() only starts a conversion; the frame that comes out matches libswscale's
// conversion of the same picture; another size empties the kept frames and the converter
// follows it.
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
    const std::vector<uint8_t> expected = swscaleNv12(rgba);
    EXPECT_GT(psnr(frame, expected.data(), kW * kH), 40.0);
    EXPECT_GT(psnr(frame + kW * kH, expected.data() + kW * kH, kW * kH / 2), 40.0);

    EXPECT_TRUE(download.enqueue(small.get(), QSize(kW / 2, kH / 2)));
    EXPECT_EQ(download.width(), kW / 2);
    EXPECT_EQ(download.data(), nullptr);
    EXPECT_NE(pollFor(2000, [&] { return download.data(); }), nullptr);

    // The host may release a texture once the next enqueue() has returned, even while a
    // conversion of it is under way (a read after that shows under ASan).
    for (int i = 0; i < 50; ++i) {
        auto next = device.createTexture2D({kW / 2, kH / 2, DxgiFormat::R8G8B8A8});
        download.enqueue(next.get(), QSize(kW / 2, kH / 2));
        small = std::move(next);
        download.data();
    }
}

// A set-up call that fails makes initialize() false with a warning; a failed conversion loses
// only that frame.
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

// Two frames at most, handed out in order; the block lent to the reader is not overwritten
// until its next read, even when the ring wraps.
TEST(CircuitQueue, KeepsTwoFramesAndProtectsTheLentOne)
{
    CircuitQueue<unsigned char> ring(8);
    const unsigned char a[4] = {1, 1, 1, 1}, b[4] = {2, 2, 2, 2}, c[4] = {3, 3, 3, 3};
    EXPECT_EQ(ring.read(4), nullptr);
    EXPECT_TRUE(ring.write(a, 4));
    EXPECT_TRUE(ring.write(b, 4));
    EXPECT_FALSE(ring.write(c, 4));
    const unsigned char* first = ring.read(4);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first[0], 1);
    EXPECT_FALSE(ring.write(c, 4)) << "the lent block is not free";
    const unsigned char* second = ring.read(4);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second[0], 2);
    EXPECT_TRUE(ring.write(c, 4));
    EXPECT_EQ(second[0], 2);
    EXPECT_EQ(ring.read(4)[0], 3);
    EXPECT_EQ(ring.read(4), nullptr);
    // A block that would straddle the end is written in two parts.
    CircuitQueue<unsigned char> odd(6);
    EXPECT_TRUE(odd.write(a, 4));
    odd.read(4);
    odd.release();
    EXPECT_TRUE(odd.write(b, 4));
    EXPECT_EQ(odd.count(), 4);
    EXPECT_EQ(odd.read(2)[0], 2);
    EXPECT_EQ(odd.read(2)[0], 2);
}
