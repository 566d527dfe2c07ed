#include "../fakes/nvenc/FakeD3D9.h"
#include "NvencTestSupport.h"

#include "codec/video/nvenc/NvEncoderBase.h"
#include "codec/video/nvenc/NvencAvailable.h"
#include "common/DirectX11Manager.h"
#include "common/DirectX9Manager.h"
#include "platform/CudaD3D11Device.h"
#include "platform/HostD3D11Device.h"

namespace {

// The test picture as a BGRA texture of `device`.
std::unique_ptr<D3D11Texture2D> bgra(D3D11Device& device, int w, int h, int i)
{
    auto t = device.createTexture2D({w, h, DxgiFormat::B8G8R8A8});
    t->upload(testFrame(PIX_ARGB, w, h, i).data(), w * 4);
    return t;
}

// Encodes `frames` pictures of `make(i)` through texture API `api` with `ring` in flight.
template <class Make> void encodeTextures(int api, unsigned ring, int frames, Make make)
{
    CodecPreset p = NvencTest::preset();
    p.processing().textureInput = 1;
    p.processing().textureApi = api;
    p.videoCodec().bFrames = 2;
    NvEncoder codec;
    ASSERT_TRUE(codec.initialize(&p));
    EXPECT_EQ(static_cast<NvEncoderBase*>(codec.inner())->bufferCount(), ring);
    std::vector<EncodedPacket> packets;
    for (int i = 0; i < frames; ++i) { // each call as a pipeline makes it
        auto picture = make(i);
        EncodedPacket out;
        out.data.resize(codec.maxPacketSize());
        out.produced =
            codec.encode(reinterpret_cast<uint8_t*>(picture.get()), 0, PIX_TEXTURE, out.data.data(),
                         unsigned(out.data.size()), out.size, out.key, out.pts, out.dts);
        out.data.resize(out.size);
        EXPECT_EQ(out.produced, i >= int(ring)) << i;
        if (out.produced)
            packets.push_back(std::move(out));
    }
    for (const EncodedPacket& out : encodeFrames(codec, 64, 48, 0)) // the drain
        packets.push_back(out);
    EXPECT_EQ(NvencTest::decodedPictures(codec, packets), frames);
}

using NvencDx11 = NvencWith<bool>;

} // namespace

// Textures of a host or CUDA device: no B-frames (though allowed), 4 in flight, VBV of 2 s.
TEST_P(NvencDx11, EncodesTexturesWithoutBFrames)
{
    nvenc().set("maxBFrames", 2);
    HostD3D11Device host;
    std::unique_ptr<CudaD3D11Device> gpu = GetParam() ? CudaD3D11Device::create() : nullptr;
    D3D11Device* device = gpu ? static_cast<D3D11Device*>(gpu.get()) : &host;
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(
        device, gpu ? static_cast<D3D11DeviceContext*>(gpu.get()) : &host);
    encodeTextures(3, 4, 8, [&](int i) { return bgra(*device, 64, 48, i); });
    Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
    EXPECT_EQ(config().frameIntervalP, 1);
    EXPECT_EQ(config().rcParams.vbvBufferSize, 3000000u);
    EXPECT_EQ(cuda().get("cuMemcpyDtoD_v2"), GetParam() ? 8 : 0);
}

INSTANTIATE_TEST_SUITE_P(Nvenc, NvencDx11, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "CudaDevice" : "HostDevice"; });

// Direct3D 9 surfaces become NV12 in CUDA memory: on Linux the session and the probe open on CUDA.
TEST_F(NvencTest, Dx9WithBFramesHoldsSixPictures)
{
    nvenc().set("maxBFrames", 2);
    FakeD3D9Device d3d9;
    DirectX9Manager* manager = Singleton<DirectX9Manager>::getInstancePtr();
    manager->m_pD3D9Device = &d3d9;
    manager->m_pDXVA2VideoProcessService = &d3d9;
    EXPECT_TRUE(nvencProbe());
    encodeTextures(2, 6, 12, [](int i) {
        auto s = std::make_unique<FakeD3D9Surface>(128, 96, kD3DFmtA8R8G8B8);
        const std::vector<unsigned char> pixels = testFrame(PIX_ARGB, 128, 96, i);
        std::copy(pixels.begin(), pixels.end(), s->hostPointer());
        return s;
    });
    manager->m_pD3D9Device = nullptr;
    manager->m_pDXVA2VideoProcessService = nullptr;
}
