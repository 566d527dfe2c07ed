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

// A BGRA picture as a texture of `device`.
std::unique_ptr<D3D11Texture2D> bgra(D3D11Device& device, int w, int h, int i)
{
    auto t = device.createTexture2D({w, h, DxgiFormat::B8G8R8A8});
    std::vector<uint8_t> pixels(size_t(w) * h * 4);
    for (size_t p = 0; p < pixels.size(); ++p)
        pixels[p] = uint8_t(p / 4 + i * 8 + p % 4 * 40);
    t->upload(pixels.data(), w * 4);
    return t;
}

// Encodes `pictures` made by `make(i)` on a preset that takes GPU frames through `api`; checks the
// ring size and the call that gives the first packet, and that every picture decodes.
template <class Make> void encodeFrames(int api, unsigned ring, int frames, Make make)
{
    CodecPreset p = NvencTest::preset();
    p.processing().textureInput = 1;
    p.processing().textureApi = api;
    p.videoCodec().bFrames = 2;
    p.videoCodec().bitrate = 6000;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    EXPECT_TRUE(codec.isHWTextureSupport());
    EXPECT_EQ(static_cast<NvEncoderBase*>(codec.inner())->bufferCount(), ring);
    std::vector<NvencTest::Packet> packets;
    for (int i = 0; i < frames; ++i) {
        auto picture = make(i);
        NvencTest::Packet out = NvencTest::encode(codec, picture.get());
        EXPECT_EQ(out.delivered, i >= int(ring)) << i;
        if (out.delivered)
            packets.push_back(std::move(out));
    }
    NvencTest::drain(codec, &packets);
    EXPECT_EQ(NvencTest::decodedPictures(codec, packets), frames);
}

class NvencUpload : public NvencTest, public ::testing::WithParamInterface<int>
{
};
class NvencDx11 : public NvencTest, public ::testing::WithParamInterface<bool>
{
};

} // namespace

// A frame whose width equals the allocation's pitch goes up in one copy, any other in two 2D
// copies (one per plane).
TEST_P(NvencUpload, CopiesByPitch)
{
    const int width = GetParam();
    CodecPreset p = preset("H264(NVENC)", width, 48);
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    std::vector<Packet> packets;
    encodeAll(codec, width, 6, &packets);
    EXPECT_EQ(cuda().calls("cuMemcpyHtoD_v2"), width == 256 ? 6 : 0);
    EXPECT_EQ(cuda().calls("cuMemcpy2D_v2"), width == 256 ? 0 : 12);
    EXPECT_EQ(decodedPictures(codec, packets), 6);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencUpload, ::testing::Values(256, 64));

// Textures of a device in system memory are uploaded, those of a CUDA device copied on the GPU;
// either way without B-frames (though asked for and allowed), 4 in flight, and a VBV of twice
// the bitrate.
TEST_P(NvencDx11, EncodesTexturesWithoutBFrames)
{
    nvenc().set("maxBFrames", 2);
    HostD3D11Device host;
    std::unique_ptr<CudaD3D11Device> gpu = GetParam() ? CudaD3D11Device::create() : nullptr;
    D3D11Device* device = gpu ? static_cast<D3D11Device*>(gpu.get()) : &host;
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(
        device, gpu ? static_cast<D3D11DeviceContext*>(gpu.get()) : &host);
    encodeFrames(3, 4, 8, [&](int i) { return bgra(*device, 64, 48, i); });
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
    EXPECT_EQ(config().frameIntervalP, 1);
    EXPECT_EQ(config().rcParams.vbvBufferSize, 12000000u);
    EXPECT_EQ(config().rcParams.vbvInitialDelay, 10800000u);
    EXPECT_EQ(cuda().calls("cuMemcpyDtoD_v2"), GetParam() ? 8 : 0);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencDx11, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "CudaDevice" : "HostDevice"; });

// Direct3D 9 surfaces go through the video processor into NV12; with 2 B-frames allowed, 6
// pictures are in flight and the first packet comes from the seventh call.
TEST_F(NvencTest, Dx9WithBFramesHoldsSixPictures)
{
    nvenc().set("maxBFrames", 2);
    FakeD3D9Device d3d9;
    DirectX9Manager* manager = Singleton<DirectX9Manager>::getInstancePtr();
    manager->m_pD3D9Device = &d3d9;
    manager->m_pDXVA2VideoProcessService = &d3d9;
    encodeFrames(2, 6, 12, [](int i) {
        auto s = std::make_unique<FakeD3D9Surface>(128, 96, kD3DFmtA8R8G8B8);
        for (int b = 0; b < 128 * 96 * 4; ++b)
            s->hostPointer()[b] = uint8_t(b / 4 + i * 8);
        return s;
    });
    manager->m_pD3D9Device = nullptr;
    manager->m_pDXVA2VideoProcessService = nullptr;
}

// Pixels survive copies through CUDA textures; a copy between different sizes, and a texture
// beyond 16384 or of odd NV12 size, are refused.
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
    ASSERT_TRUE(a->download(pa.data(), 16 * 4) && b->download(pb.data(), 16 * 4));
    EXPECT_EQ(pa, pb);
    EXPECT_EQ(pa[4], 1 + 3 * 8);
    for (D3D11TextureDesc bad : {D3D11TextureDesc{16385, 8, DxgiFormat::B8G8R8A8},
                                 {8, 16385, DxgiFormat::B8G8R8A8},
                                 {15, 8, DxgiFormat::NV12}})
        EXPECT_FALSE(device->createTexture2D(bad)) << bad.width << "x" << bad.height;
}

// The embedded CUDA module assembles for a real GPU.
TEST(NvencModule, PtxasAcceptsTheModule)
{
    const QString ptxas = QStandardPaths::findExecutable(
        QStringLiteral("ptxas"), qEnvironmentVariable("PATH").split(QLatin1Char(':'))
                                     << QStringLiteral("/usr/local/cuda/bin"));
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
