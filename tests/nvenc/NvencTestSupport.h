#pragma once

#include "../fakes/nvenc/FakeNvControl.h"
#include "../unit/EncodedPacket.h"
#include "codec/video/nvenc/NvEncoder.h"

#include "platform/Guid.h" // before the NVENC header: one GUID type
#include <ffnvcodec/nvEncodeAPI.h>
#include <gtest/gtest.h>

// Every test starts from the fakes' defaults and must leave nothing live and no misuse in them.
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
        for (const char* what :
             {"live", "lockUnsubmitted", "lockNotReady", "wrongOrder", "directx"})
            EXPECT_EQ(nvenc().get(what), 0) << what;
        for (const char* what : {"live", "noContext", "badCopy"})
            EXPECT_EQ(cuda().get(what), 0) << what;
    }

    static CodecPreset preset(const char* codec = "H264(NVENC)", int w = 64, int h = 48)
    {
        CodecPreset p = videoPreset(codec, w, h);
        p.videoCodec().preset = QStringLiteral("lowLatencyHQ");
        return p;
    }

    // Pictures a decoder set up from the codec's stream parameters makes of the packets.
    static int decodedPictures(IVideoCodec& codec, const std::vector<EncodedPacket>& packets)
    {
        AVCodecParametersPtr par(avcodec_parameters_alloc());
        return codec.streamParameters(par.get()) ? int(decodeAll(packets, par.get()).size()) : -1;
    }
};

template <class Case> class NvencWith : public NvencTest, public ::testing::WithParamInterface<Case>
{
};
