#pragma once

#include "../fakes/nvenc/FakeNvControl.h"
#include "../unit/Decoder.h"
#include "../unit/MessageCapture.h"
#include "codec/video/nvenc/NvEncoder.h"
#include "common/CodecPreset.h"

#include <gtest/gtest.h>
#include <vector>

// The fakes' controls; every test starts from their defaults and ends with nothing left behind
// in them: no session, buffer, resource, event, allocation or context, no CUDA call without a
// current context, no copy outside an allocation, and no lock of a picture that was never
// submitted or not yet complete (a real runtime would wait on it for ever).
class NvencTest : public ::testing::Test
{
protected:
    static FakeNv& nvenc()
    {
        static FakeNv f("libnvidia-encode.so.1", "fakeNvenc");
        return f;
    }
    static FakeNv& cuda()
    {
        static FakeNv f("libcuda.so.1", "fakeCuda");
        return f;
    }
    void SetUp() override
    {
        if (!nvenc().loaded() || !cuda().loaded())
            GTEST_SKIP() << "the fake NVENC/CUDA runtimes are not on LD_LIBRARY_PATH";
        nvenc().reset();
        cuda().reset();
    }
    void TearDown() override
    {
        if (!nvenc().loaded() || !cuda().loaded())
            return;
        EXPECT_EQ(nvenc().get("live"), 0);
        EXPECT_EQ(nvenc().get("lockUnsubmitted"), 0);
        EXPECT_EQ(nvenc().get("lockNotReady"), 0);
        EXPECT_EQ(cuda().get("live"), 0);
        EXPECT_EQ(cuda().get("noContext"), 0);
        EXPECT_EQ(cuda().get("badCopy"), 0);
    }

    static CodecPreset preset(const char* codec = "H264(NVENC)", int w = 64, int h = 48)
    {
        CodecPreset p;
        auto& v = p.videoCodec();
        v.codecName = QLatin1String(codec);
        v.width = w;
        v.height = h;
        v.bitrate = 1000;
        v.preset = QStringLiteral("lowLatencyHQ");
        return p;
    }

    // A moving NV12 picture.
    static std::vector<uint8_t> frame(int w, int h, int i)
    {
        std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3 / 2, 128);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                f[y * w + x] = static_cast<uint8_t>(x * 3 + y + i * 4);
        return f;
    }

    struct Packet
    {
        bool delivered = false;
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        std::vector<uint8_t> data;
    };
    // One encode call as a pipeline makes it (outputs preset to "nothing"); null data drains.
    static Packet encode(IVideoCodec& codec, const uint8_t* data, unsigned int size)
    {
        Packet p;
        p.data.resize(codec.maxPacketSize());
        p.delivered =
            codec.encode(const_cast<uint8_t*>(data), size, 10, p.data.data(),
                         static_cast<unsigned int>(p.data.size()), p.size, p.key, p.pts, p.dts);
        p.data.resize(p.delivered ? p.size : 0);
        return p;
    }

    // Decodes the packets with the stream parameters the codec reports; pictures out.
    static int decodedPictures(IVideoCodec& codec, const std::vector<Packet>& packets)
    {
        AVCodecParametersPtr par(avcodec_parameters_alloc());
        if (!codec.streamParameters(par.get()))
            return -1;
        Decoder decoder(par.get());
        size_t pictures = 0;
        for (const Packet& p : packets)
            pictures += decoder.decode(p.data.data(), p.data.size()).size();
        pictures += decoder.decode(nullptr, 0).size();
        return decoder.errors ? -1 : static_cast<int>(pictures);
    }

    // Feeds `frames` pictures and drains; every packet that came out, in order.
    static std::vector<Packet> encodeAll(IVideoCodec& codec, int w, int h, int frames)
    {
        std::vector<Packet> packets;
        for (int i = 0; i < frames; ++i) {
            const std::vector<uint8_t> f = frame(w, h, i);
            Packet p = encode(codec, f.data(), static_cast<unsigned int>(f.size()));
            if (p.delivered)
                packets.push_back(std::move(p));
        }
        for (Packet p = encode(codec, nullptr, 0); p.delivered; p = encode(codec, nullptr, 0))
            packets.push_back(std::move(p));
        return packets;
    }
};
