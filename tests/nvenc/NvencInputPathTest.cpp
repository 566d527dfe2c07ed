#include "../fakes/nvenc/FakeD3D9.h"
#include "NvencTestSupport.h"

#include "codec/video/nvenc/NvEncoderBase.h"
#include "common/DirectX11Manager.h"
#include "common/DirectX9Manager.h"
#include "platform/CudaD3D11Device.h"
#include "platform/HostD3D11Device.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// A frame that fills the allocation's pitch goes up in one copy; any other width in two 2D
// copies, one per plane.
struct CopyCase
{
    int width;
    int htod, copies2d; // per frame
};

class NvencUpload : public NvencTest, public ::testing::WithParamInterface<CopyCase>
{
};

// A BGRA picture of the output size as a texture of `device`.
std::unique_ptr<D3D11Texture2D> bgra(D3D11Device& device, int w, int h, int i)
{
    auto t = device.createTexture2D({w, h, DxgiFormat::B8G8R8A8});
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    for (size_t p = 0; p < pixels.size(); ++p)
        pixels[p] = static_cast<uint8_t>(p / 4 + i * 8 + (p % 4) * 40);
    t->upload(pixels.data(), w * 4);
    return t;
}

} // namespace

TEST_P(NvencUpload, CopiesByPitch)
{
    const CopyCase c = GetParam();
    CodecPreset p = preset("H264(NVENC)", c.width, 48);
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    const std::vector<uint8_t> f = frame(c.width, 48, 0);
    encode(codec, f.data(), static_cast<unsigned int>(f.size()));
    EXPECT_EQ(cuda().calls("cuMemcpyHtoD_v2"), c.htod);
    EXPECT_EQ(cuda().calls("cuMemcpy2D_v2"), c.copies2d);
    EXPECT_EQ(decodedPictures(codec, encodeAll(codec, c.width, 48, 5)), 6);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencUpload,
                         ::testing::Values(CopyCase{256, 1, 0}, CopyCase{64, 0, 2}));

namespace {

class NvencDx11 : public NvencTest, public ::testing::WithParamInterface<bool>
{
protected:
    void TearDown() override
    {
        Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
        NvencTest::TearDown();
    }
};

} // namespace

// Textures from a device in system memory are uploaded, those of a CUDA device copied on the
// GPU; either way without B-frames (though asked for and allowed), 4 buffers in flight, and a
// VBV of twice the bitrate.
TEST_P(NvencDx11, EncodesTexturesWithoutBFrames)
{
    nvenc().set("maxBFrames", 2);
    HostD3D11Device host;
    std::unique_ptr<CudaD3D11Device> cudaDevice = GetParam() ? CudaD3D11Device::create() : nullptr;
    D3D11Device* device = GetParam() ? static_cast<D3D11Device*>(cudaDevice.get()) : &host;
    D3D11DeviceContext* context =
        GetParam() ? static_cast<D3D11DeviceContext*>(cudaDevice.get()) : &host;
    ASSERT_TRUE(device);
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(device, context);
    {
        CodecPreset p = preset();
        p.processing().textureInput = 1;
        p.processing().textureApi = 3;
        p.videoCodec().bFrames = 2;
        p.videoCodec().bitrate = 6000;
        NvEncoder codec;
        ASSERT_TRUE(codec.initialize(&p));
        EXPECT_TRUE(codec.isHWTextureSupport());
        EXPECT_EQ(static_cast<NvEncoderBase*>(codec.inner())->bufferCount(), 4u);
        EXPECT_EQ(nvenc().lastConfig()->frameIntervalP, 1);
        EXPECT_EQ(nvenc().lastConfig()->rcParams.vbvBufferSize, 12000000u);
        EXPECT_EQ(nvenc().lastConfig()->rcParams.vbvInitialDelay, 10800000u);
        std::vector<Packet> packets;
        for (int i = 0; i < 8; ++i) {
            auto t = bgra(*device, 64, 48, i);
            Packet out = encode(codec, reinterpret_cast<uint8_t*>(t.get()), 0);
            EXPECT_EQ(out.delivered, i >= 4) << i;
            if (out.delivered)
                packets.push_back(std::move(out));
        }
        for (Packet out = encode(codec, nullptr, 0); out.delivered; out = encode(codec, nullptr, 0))
            packets.push_back(std::move(out));
        EXPECT_EQ(decodedPictures(codec, packets), 8);
        EXPECT_EQ(cuda().calls("cuMemcpyDtoD_v2"), GetParam() ? 8 : 0);
    }
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencDx11, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "CudaDevice" : "HostDevice"; });

// Direct3D 9 surfaces go through the video processor into NV12 surfaces; with 2 B-frames allowed
// 6 pictures are in flight and the first packet comes from the seventh call.
TEST_F(NvencTest, Dx9WithBFramesHoldsSixPictures)
{
    nvenc().set("maxBFrames", 2);
    FakeD3D9Device d3d9;
    DirectX9Manager* manager = Singleton<DirectX9Manager>::getInstancePtr();
    manager->m_pD3D9Device = &d3d9;
    manager->m_pDXVA2VideoProcessService = &d3d9;
    {
        CodecPreset p = preset();
        p.processing().textureInput = 1;
        p.processing().textureApi = 2;
        p.videoCodec().bFrames = 2;
        NvEncoder codec;
        ASSERT_TRUE(codec.initialize(&p));
        EXPECT_EQ(static_cast<NvEncoderBase*>(codec.inner())->bufferCount(), 6u);
        std::vector<Packet> packets;
        for (int i = 0; i < 12; ++i) {
            FakeD3D9Surface source(128, 96, kD3DFmtA8R8G8B8);
            for (int b = 0; b < 128 * 96 * 4; ++b)
                source.hostPointer()[b] = static_cast<uint8_t>(b / 4 + i * 8);
            Packet out = encode(codec, reinterpret_cast<uint8_t*>(&source), 0);
            EXPECT_EQ(out.delivered, i >= 6) << i;
            if (out.delivered)
                packets.push_back(std::move(out));
        }
        for (Packet out = encode(codec, nullptr, 0); out.delivered; out = encode(codec, nullptr, 0))
            packets.push_back(std::move(out));
        EXPECT_EQ(decodedPictures(codec, packets), 12);
    }
    manager->m_pD3D9Device = nullptr;
    manager->m_pDXVA2VideoProcessService = nullptr;
}

// Pixels survive a round trip through CUDA textures, and mismatched copies are refused.
TEST_F(NvencTest, CudaTexturesKeepTheirPixels)
{
    std::unique_ptr<CudaD3D11Device> device = CudaD3D11Device::create();
    ASSERT_TRUE(device);
    auto a = bgra(*device, 16, 8, 3);
    auto b = device->createTexture2D({16, 8, DxgiFormat::B8G8R8A8});
    auto other = device->createTexture2D({8, 8, DxgiFormat::B8G8R8A8});
    ASSERT_TRUE(device->copyResource(b.get(), a.get()));
    EXPECT_FALSE(device->copyResource(other.get(), a.get()));
    std::vector<uint8_t> pa(16 * 8 * 4), pb(pa.size());
    ASSERT_TRUE(a->download(pa.data(), 16 * 4));
    ASSERT_TRUE(b->download(pb.data(), 16 * 4));
    EXPECT_EQ(pa, pb);
    EXPECT_EQ(pa[4], static_cast<uint8_t>(1 + 24));
}

// The embedded CUDA module assembles for a real GPU.
TEST(NvencModule, PtxasAcceptsTheModule)
{
    QStringList dirs = qEnvironmentVariable("PATH").split(QLatin1Char(':'));
    dirs << QStringLiteral("/usr/local/cuda/bin");
    const QString ptxas = QStandardPaths::findExecutable(QStringLiteral("ptxas"), dirs);
    if (ptxas.isEmpty())
        GTEST_SKIP() << "ptxas (CUDA toolkit) is not installed";
    QTemporaryDir dir;
    QProcess run;
    run.start(ptxas, {QStringLiteral("-arch=sm_75"),
                      QStringLiteral(STREVO_SOURCE_DIR "/resources/preproc64_lowlat.ptx"),
                      QStringLiteral("-o"), dir.filePath(QStringLiteral("module.cubin"))});
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
}
