#pragma once

#include "../fakes/nvenc/FakeNvControl.h"
#include "../unit/Decoder.h"
#include "../unit/MessageCapture.h"
#include "codec/video/nvenc/NvEncoder.h"
#include "common/CodecPreset.h"

#include "platform/Guid.h" // before the NVENC header: one GUID type
#include <ffnvcodec/nvEncodeAPI.h>
#include <gtest/gtest.h>

// Every test starts from the fakes' defaults and ends with nothing left in them: no session,
// buffer, resource, event, allocation or context, no CUDA call without a current context or copy
// outside an allocation, no lock of a picture never submitted or not complete (a real runtime
// would wait on it for ever).
class NvencTest : public ::testing::Test
{
public:
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
    static const NV_ENC_CONFIG& config()
    {
        return *nvenc().last<NV_ENC_CONFIG>("fakeNvencLastConfig");
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
        for (const char* what : {"live", "lockUnsubmitted", "lockNotReady"})
            EXPECT_EQ(nvenc().get(what), 0) << what;
        for (const char* what : {"live", "noContext", "badCopy"})
            EXPECT_EQ(cuda().get(what), 0) << what;
    }

    static CodecPreset preset(const char* codec = "H264(NVENC)", int w = 64, int h = 48)
    {
        CodecPreset p;
        p.videoCodec().codecName = QLatin1String(codec);
        p.videoCodec().width = w;
        p.videoCodec().height = h;
        p.videoCodec().preset = QStringLiteral("lowLatencyHQ");
        return p;
    }

    struct Packet
    {
        bool delivered = false;
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        std::vector<uint8_t> data;
    };
    // One encode call as a pipeline makes it: of a moving NV12 picture (w > 0), of a texture or
    // surface (w == 0), or a drain (null).
    static Packet encode(IVideoCodec& codec, const void* texture, int w = 0, int h = 0, int i = 0)
    {
        std::vector<uint8_t> f(size_t(w) * h * 3 / 2, 128);
        for (size_t p = 0; p < size_t(w) * h; ++p)
            f[p] = uint8_t(p % w * 3 + p / w + i * 4);
        Packet p;
        p.data.resize(codec.maxPacketSize());
        p.delivered = codec.encode(w ? f.data() : static_cast<uint8_t*>(const_cast<void*>(texture)),
                                   unsigned(f.size()), w ? 10 : 30, p.data.data(),
                                   unsigned(p.data.size()), p.size, p.key, p.pts, p.dts);
        p.data.resize(p.delivered ? p.size : 0);
        return p;
    }
    // Pictures 0..frames-1 (packets that came out appended), then the drain.
    static void encodeAll(IVideoCodec& codec, int w, int frames, std::vector<Packet>* packets)
    {
        for (int i = 0; i < frames; ++i)
            if (Packet p = encode(codec, nullptr, w, 48, i); p.delivered)
                packets->push_back(std::move(p));
        drain(codec, packets);
    }
    static void drain(IVideoCodec& codec, std::vector<Packet>* packets)
    {
        for (Packet p = encode(codec, nullptr); p.delivered; p = encode(codec, nullptr))
            packets->push_back(std::move(p));
    }

    // Pictures a decoder makes of the packets, set up from the codec's stream parameters; -1
    // when it refuses any.
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
        return decoder.errors ? -1 : int(pictures);
    }
};
