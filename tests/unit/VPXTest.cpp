#include "codec/video/VPX.h"
#include "EncodedPacket.h"
#include "MessageCapture.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

CodecPreset vpxPreset(const char* name, int width = 320, int height = 240, double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QString::fromLatin1(name);
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 500;
    v.keyframeInterval = 2;
    return p;
}

struct Packet
{
    int frame; // input frame index of the call that produced it
    unsigned int key;
    std::vector<unsigned char> data;
};

// Encodes `frames` frames; every call must return true. Returns the packets that came out.
std::vector<Packet> encodeFrames(IVideoCodec& codec, int width, int height, int frames)
{
    std::vector<Packet> packets;
    std::vector<unsigned char> out(static_cast<size_t>(width) * height * 4);
    for (int i = 0; i < frames; ++i) {
        std::vector<unsigned char> in = yuv420Frame(width, height, i);
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        const bool ok = codec.encode(in.data(), static_cast<unsigned int>(in.size()), PIX_YUV420P,
                                     out.data(), size, key, pts, dts);
        EXPECT_TRUE(ok) << "frame " << i;
        EXPECT_EQ(pts, -1);
        EXPECT_EQ(dts, -1);
        if (size > 0)
            packets.push_back(
                {i, key, std::vector<unsigned char>(out.begin(), out.begin() + size)});
        else
            EXPECT_EQ(key, 0u);
    }
    return packets;
}

struct Decoded
{
    int width = 0, height = 0;
    bool key = false;
    int lumaAtSquare = 0, lumaElsewhere = 0;
};

// Decodes packets with libavcodec's own decoder for the codec.
std::vector<Decoded> decodeAll(AVCodecID id, const std::vector<Packet>& packets, int* errors)
{
    std::vector<Decoded> pictures;
    *errors = 0;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        *errors = -1;
        return pictures;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            Decoded d;
            d.width = frame->width;
            d.height = frame->height;
            d.key = frame->key_frame;
            const int n = static_cast<int>(pictures.size());
            d.lumaAtSquare = frame->data[0][20 * frame->linesize[0] + (8 + n * 4) % frame->width];
            d.lumaElsewhere =
                frame->data[0][(frame->height - 20) * frame->linesize[0] + frame->width - 20];
            pictures.push_back(d);
            av_frame_unref(frame);
        }
    };
    for (const Packet& p : packets) {
        av_new_packet(pkt, static_cast<int>(p.data.size()));
        std::copy(p.data.begin(), p.data.end(), pkt->data);
        if (avcodec_send_packet(ctx, pkt) < 0)
            ++*errors;
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pictures;
}

} // namespace

TEST(VPX, FactoryGivesOneClassForVp8AndVp9)
{
    for (const char* name : {"VP8", "VP9"}) {
        std::unique_ptr<IVideoCodec> codec(IEncoder::createVideoEncoder(QString::fromLatin1(name)));
        ASSERT_NE(codec, nullptr) << name;
        EXPECT_NE(dynamic_cast<VPX*>(codec.get()), nullptr) << name;
        EXPECT_EQ(codec->supportFormat(), PIX_YUV420P);
        EXPECT_FALSE(codec->isHWTextureSupport());
        EXPECT_EQ(codec->extraDataSize(), 0u);
        CodecPreset preset = vpxPreset(name);
        ASSERT_TRUE(codec->initialize(&preset)) << name;
        EXPECT_EQ(codec->extraDataSize(), 0u) << name;
        EXPECT_EQ(codec->extraData(), nullptr) << name;
    }
    EXPECT_EQ(IEncoder::createVideoEncoder(QStringLiteral("vp8")), nullptr);
}

TEST(VPX, ConfigurationFollowsTheVideoRecord)
{
    vpx_codec_enc_cfg_t cfg;
    CodecModel::VideoCodec v = vpxPreset("VP8").videoCodec();
    ASSERT_EQ(VPX::fillConfig(v, VPX::encoderInterface(v.codecName), &cfg), VPX_CODEC_OK);
    EXPECT_EQ(cfg.kf_max_dist, 60u) << "2 s at 30 fps";
    EXPECT_EQ(cfg.kf_min_dist, 0u);
    EXPECT_EQ(cfg.rc_target_bitrate, 500u);
    EXPECT_EQ(cfg.rc_end_usage, VPX_VBR);
    EXPECT_EQ(cfg.g_pass, VPX_RC_ONE_PASS);
    EXPECT_GE(cfg.g_threads, 1u) << "one thread per core";
    EXPECT_EQ(cfg.g_w, 320u);
    EXPECT_EQ(cfg.g_h, 240u);
    EXPECT_EQ(cfg.g_timebase.num, 1);
    EXPECT_EQ(cfg.g_timebase.den, 30);

    v.frameRate = 29.97;
    ASSERT_EQ(VPX::fillConfig(v, VPX::encoderInterface(QStringLiteral("VP9")), &cfg), VPX_CODEC_OK);
    EXPECT_EQ(cfg.g_timebase.num, 100);
    EXPECT_EQ(cfg.g_timebase.den, 2997);
    EXPECT_EQ(cfg.kf_max_dist, 59u);

    EXPECT_EQ(VPX::encoderInterface(QStringLiteral("X264")), nullptr);
}

TEST(VPX, UnknownNameFailsWithoutConfiguration)
{
    MessageCapture log;
    VPX codec;
    CodecPreset preset = vpxPreset("vp9");
    EXPECT_FALSE(codec.initialize(&preset));
    EXPECT_EQ(log.count(QStringLiteral("debug: Failed to get config: ")), 1);
}

class VPXStream : public ::testing::TestWithParam<const char*>
{
};

TEST_P(VPXStream, KeyFramesEveryIntervalAndTheStreamDecodes)
{
    const QString name = QString::fromLatin1(GetParam());
    VPX codec;
    CodecPreset preset = vpxPreset(GetParam());
    ASSERT_TRUE(codec.initialize(&preset));
    const int frames = 75;
    const std::vector<Packet> packets = encodeFrames(codec, 320, 240, frames);

    ASSERT_FALSE(packets.empty());
    std::vector<int> keys;
    for (size_t i = 0; i < packets.size(); ++i)
        if (packets[i].key)
            keys.push_back(static_cast<int>(i));
    // kf_max_dist 60: the first frame and the 61st are key frames, none in between.
    EXPECT_EQ(keys, (std::vector<int>{0, 60})) << GetParam();
    EXPECT_EQ(packets.size(), static_cast<size_t>(frames)) << "one frame out per frame in";

    int errors = 0;
    const std::vector<Decoded> pictures = decodeAll(
        name == QLatin1String("VP8") ? AV_CODEC_ID_VP8 : AV_CODEC_ID_VP9, packets, &errors);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(pictures.size(), packets.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].width, 320);
        EXPECT_EQ(pictures[i].height, 240);
        EXPECT_EQ(pictures[i].key, packets[i].key != 0) << i;
    }
    EXPECT_GT(pictures[30].lumaAtSquare, 170) << "the moving square is where it was drawn";
    EXPECT_NEAR(pictures[30].lumaElsewhere, 128, 16);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VPXStream, ::testing::Values("VP8", "VP9"));

TEST(VPX, TwoEncodersOnTwoThreadsEachGiveAValidStream)
{
    std::vector<Packet> packets[2];
    bool opened[2] = {false, false};
    auto run = [&](int n) {
        VPX codec;
        CodecPreset preset = vpxPreset("VP8", 160, 120);
        opened[n] = codec.initialize(&preset);
        if (opened[n])
            packets[n] = encodeFrames(codec, 160, 120, 40);
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();

    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(opened[n]);
        // Each encoder counts its own frames, so neither stream has gaps or lost frames.
        EXPECT_EQ(packets[n].size(), 40u) << n;
        int errors = 0;
        const std::vector<Decoded> pictures = decodeAll(AV_CODEC_ID_VP8, packets[n], &errors);
        EXPECT_EQ(errors, 0) << n;
        EXPECT_EQ(pictures.size(), packets[n].size()) << n;
    }
}

TEST(VPX, BadSettingsFailInitializeWithAWarning)
{
    struct Case
    {
        int width, height;
        double fps;
        int bitrate;
        const char* value;
    };
    for (const Case& c : {Case{0, 240, 30, 500, "0x240"}, Case{320, -240, 30, 500, "320x-240"},
                          Case{321, 240, 30, 500, "321x240"}, Case{320, 241, 30, 500, "320x241"},
                          Case{320, 240, 0, 500, "at 0 fps"}, Case{320, 240, -1, 500, "at -1 fps"},
                          Case{320, 240, 30, -5, "and -5 kbit/s"}}) {
        for (const char* name : {"VP8", "VP9"}) {
            MessageCapture log;
            VPX codec;
            CodecPreset preset = vpxPreset(name, c.width, c.height, c.fps);
            preset.videoCodec().bitrate = c.bitrate;
            EXPECT_FALSE(codec.initialize(&preset)) << name << " " << c.value;
            EXPECT_EQ(log.count(QStringLiteral("warning: VPX: cannot encode")), 1) << c.value;
            EXPECT_EQ(log.count(QLatin1String(c.value)), 1) << c.value;

            std::vector<unsigned char> in = yuv420Frame(320, 240, 0);
            std::vector<unsigned char> out(320 * 240 * 4);
            unsigned int size = 0, key = 0;
            long long pts = -1, dts = -1;
            EXPECT_FALSE(codec.encode(in.data(), static_cast<unsigned int>(in.size()), PIX_YUV420P,
                                      out.data(), size, key, pts, dts));
            EXPECT_EQ(size, 0u);
        }
    }
}

TEST(VPX, ShortFrameIsRefused)
{
    VPX codec;
    CodecPreset preset = vpxPreset("VP8");
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<unsigned char> in = yuv420Frame(320, 240, 0);
    std::vector<unsigned char> out(320 * 240 * 4);
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    EXPECT_FALSE(codec.encode(in.data(), static_cast<unsigned int>(in.size() - 1), PIX_YUV420P,
                              out.data(), size, key, pts, dts));
    EXPECT_EQ(size, 0u);
}
