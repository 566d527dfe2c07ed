#include "codec/video/FFmpegVideo.h"
#include "MessageCapture.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace {

const char* const kQtrle = "QuickTime Animation (RLE)";
const char* const kMjpeg = "MJPEG";
const char* const kProRes = "Apple ProRes";

CodecPreset ffPreset(const char* name, int width = 320, int height = 240, double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QString::fromLatin1(name);
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 4000;
    p.container().format = QStringLiteral("mov");
    return p;
}

// One input frame in the codec's format with a square that moves with the index.
std::vector<unsigned char> inputFrame(int format, int w, int h, int index)
{
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<unsigned char> f;
    auto inSquare = [&](int x, int y) {
        return y >= 16 && y < 48 && ((x - index * 4) % w + w) % w < 32;
    };
    if (format == PIX_ARGB) {
        f.resize(pixels * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                unsigned char* p = &f[(static_cast<size_t>(y) * w + x) * 4];
                p[0] = 255;
                p[1] = inSquare(x, y) ? 250 : static_cast<unsigned char>(x);
                p[2] = static_cast<unsigned char>(y);
                p[3] = static_cast<unsigned char>(index);
            }
    } else if (format == PIX_YUV422P10) {
        f.resize(pixels * 4);
        auto* s = reinterpret_cast<uint16_t*>(f.data());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                s[static_cast<size_t>(y) * w + x] = inSquare(x, y) ? 900 : 512;
        std::fill(s + pixels, s + 2 * pixels, static_cast<uint16_t>(512));
    } else {
        f.assign(pixels * 3 / 2, 128);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (inSquare(x, y))
                    f[static_cast<size_t>(y) * w + x] = 230;
    }
    return f;
}

struct Packet
{
    unsigned int key;
    long long pts, dts;
    std::vector<unsigned char> data;
};

struct Encoded
{
    std::vector<Packet> packets;
};

// Encodes `frames` frames, collecting the packets.
Encoded encodeFrames(FFmpegVideo& codec, int w, int h, int frames)
{
    Encoded e;
    std::vector<unsigned char> out(static_cast<size_t>(w) * h * 4);
    for (int i = 0; i < frames; ++i) {
        std::vector<unsigned char> in = inputFrame(codec.supportFormat(), w, h, i);
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        if (codec.encode(in.data(), static_cast<unsigned int>(in.size()), codec.supportFormat(),
                         out.data(), size, key, pts, dts)) {
            EXPECT_GT(size, 0u);
            e.packets.push_back(
                {key, pts, dts, std::vector<unsigned char>(out.begin(), out.begin() + size)});
        } else {
            EXPECT_EQ(size, 0u);
            EXPECT_EQ(key, 0u);
            EXPECT_EQ(pts, -1);
        }
    }
    return e;
}

struct Decoded
{
    int width = 0, height = 0, format = -1;
    bool interlaced = false, topFieldFirst = false;
    std::vector<unsigned char> plane0; // first plane without padding
};

struct DecodeResult
{
    std::vector<Decoded> pictures;
    int errors = 0;
    int profile = FF_PROFILE_UNKNOWN;
};

// Decodes with libavcodec's decoder; `encoder` gives what a container would carry beside
// the packets (the codec tag, from which ProRes decoders learn the profile, and the size and
// bits per pixel that QuickTime RLE decoders need).
DecodeResult decodeAll(AVCodecID id, const AVCodecContext* encoder,
                       const std::vector<Packet>& packets)
{
    DecodeResult r;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->codec_tag = encoder->codec_tag;
    ctx->bits_per_coded_sample = encoder->bits_per_coded_sample;
    ctx->width = encoder->width;
    ctx->height = encoder->height;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        r.errors = -1;
        return r;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            Decoded d;
            d.width = frame->width;
            d.height = frame->height;
            d.format = frame->format;
            d.interlaced = frame->interlaced_frame;
            d.topFieldFirst = frame->top_field_first;
            const int rowBytes =
                av_image_get_linesize(static_cast<AVPixelFormat>(frame->format), frame->width, 0);
            for (int y = 0; y < frame->height; ++y)
                d.plane0.insert(d.plane0.end(), frame->data[0] + y * frame->linesize[0],
                                frame->data[0] + y * frame->linesize[0] + rowBytes);
            r.pictures.push_back(std::move(d));
            av_frame_unref(frame);
        }
    };
    for (const Packet& p : packets) {
        av_new_packet(pkt, static_cast<int>(p.data.size()));
        std::memcpy(pkt->data, p.data.data(), p.data.size());
        if (avcodec_send_packet(ctx, pkt) < 0)
            ++r.errors;
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    r.profile = ctx->profile;
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return r;
}

} // namespace

TEST(FFmpegVideo, FactoryAndInputFormatFollowTheName)
{
    struct Case
    {
        const char* name;
        int format;
        int width, height;
        unsigned int frameSize;
    };
    for (const Case& c : {Case{kQtrle, PIX_ARGB, 1280, 720, 1280u * 720 * 4},
                          Case{kMjpeg, PIX_YUV420P, 320, 240, 320u * 240 * 3 / 2},
                          Case{kProRes, PIX_YUV422P10, 1920, 1080, 1920u * 1080 * 4}}) {
        std::unique_ptr<IVideoCodec> codec(
            IEncoder::createVideoEncoder(QString::fromLatin1(c.name)));
        ASSERT_NE(codec, nullptr) << c.name;
        auto* ff = dynamic_cast<FFmpegVideo*>(codec.get());
        ASSERT_NE(ff, nullptr) << c.name;
        EXPECT_FALSE(codec->isHWTextureSupport());
        CodecPreset preset = ffPreset(c.name, c.width, c.height);
        ASSERT_TRUE(codec->initialize(&preset)) << c.name;
        EXPECT_EQ(codec->supportFormat(), c.format) << c.name;
        EXPECT_EQ(ff->frameSize(), c.frameSize) << c.name;

        // One byte short of a frame is refused rather than read past.
        std::vector<unsigned char> in(c.frameSize - 1),
            out(static_cast<size_t>(c.width) * c.height * 4);
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        EXPECT_FALSE(
            codec->encode(in.data(), c.frameSize - 1, c.format, out.data(), size, key, pts, dts));
        EXPECT_EQ(size, 0u);
    }
}

TEST(FFmpegVideo, TimeBaseIsThousandthsOverRoundedRate)
{
    for (auto rate : {std::make_pair(25.0, 25000), std::make_pair(29.97, 30000),
                      std::make_pair(59.94, 60000)}) {
        FFmpegVideo codec;
        CodecPreset preset = ffPreset(kMjpeg, 320, 240, rate.first);
        ASSERT_TRUE(codec.initialize(&preset));
        EXPECT_EQ(codec.codecContext()->time_base.num, 1001) << rate.first;
        EXPECT_EQ(codec.codecContext()->time_base.den, rate.second) << rate.first;
    }
}

TEST(FFmpegVideo, QuickTimeAnimationIsLossless)
{
    FFmpegVideo codec;
    CodecPreset preset = ffPreset(kQtrle, 160, 120);
    ASSERT_TRUE(codec.initialize(&preset));
    const Encoded e = encodeFrames(codec, 160, 120, 5);
    ASSERT_EQ(e.packets.size(), 5u);
    EXPECT_EQ(e.packets[0].key, 1u);
    EXPECT_EQ(e.packets[1].key, 0u) << "later frames are coded as changes to the one before";
    for (size_t i = 0; i < e.packets.size(); ++i)
        EXPECT_EQ(e.packets[i].pts, static_cast<long long>(i));

    const DecodeResult r = decodeAll(AV_CODEC_ID_QTRLE, codec.codecContext(), e.packets);
    EXPECT_EQ(r.errors, 0);
    ASSERT_EQ(r.pictures.size(), 5u);
    for (size_t i = 0; i < r.pictures.size(); ++i) {
        EXPECT_EQ(r.pictures[i].format, AV_PIX_FMT_ARGB);
        EXPECT_EQ(r.pictures[i].plane0, inputFrame(PIX_ARGB, 160, 120, static_cast<int>(i))) << i;
    }
}

TEST(FFmpegVideo, PacketLargerThanTheOutputBufferIsDropped)
{
    // Noise does not compress: run-length coding adds a few bytes per line to the raw pixels,
    // more than the width * height * 4 bytes the caller's buffer holds.
    FFmpegVideo codec;
    CodecPreset preset = ffPreset(kQtrle, 16, 16);
    ASSERT_TRUE(codec.initialize(&preset));
    std::vector<unsigned char> noise(16 * 16 * 4);
    unsigned int seed = 12345;
    for (unsigned char& b : noise) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    std::vector<unsigned char> out(noise.size() + 64, 0xAB);
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    MessageCapture log;
    EXPECT_FALSE(codec.encode(noise.data(), static_cast<unsigned int>(noise.size()), PIX_ARGB,
                              out.data(), size, key, pts, dts));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(log.count(QStringLiteral("does not fit the 1024-byte output buffer")), 1);
    for (size_t i = noise.size(); i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xAB) << "nothing written past the buffer";
}

TEST(FFmpegVideo, MjpegPacketsAreAllKeyFramesAndDecode)
{
    FFmpegVideo codec;
    CodecPreset preset = ffPreset(kMjpeg);
    ASSERT_TRUE(codec.initialize(&preset));
    const Encoded e = encodeFrames(codec, 320, 240, 6);
    ASSERT_EQ(e.packets.size(), 6u) << "slice threading: each frame comes out of its own call";
    for (size_t i = 0; i < e.packets.size(); ++i) {
        EXPECT_EQ(e.packets[i].key, 1u) << i;
        EXPECT_EQ(e.packets[i].pts, static_cast<long long>(i)) << "packets come out in order";
        EXPECT_EQ(e.packets[i].data[0], 0xFF);
        EXPECT_EQ(e.packets[i].data[1], 0xD8) << "JPEG start of image";
    }
    const DecodeResult r = decodeAll(AV_CODEC_ID_MJPEG, codec.codecContext(), e.packets);
    EXPECT_EQ(r.errors, 0);
    ASSERT_EQ(r.pictures.size(), e.packets.size());
    for (size_t i = 0; i < r.pictures.size(); ++i) {
        EXPECT_EQ(r.pictures[i].width, 320);
        EXPECT_EQ(r.pictures[i].height, 240);
        EXPECT_EQ(r.pictures[i].format, AV_PIX_FMT_YUVJ420P);
        // Luma inside the square of frame i, and background.
        EXPECT_NEAR(r.pictures[i].plane0[20 * 320 + 8 + i * 4], 230, 12) << i;
        EXPECT_NEAR(r.pictures[i].plane0[200 * 320 + 200], 128, 12) << i;
    }
}

TEST(FFmpegVideo, ProResProfilesDecodeAsTheProfileAsked)
{
    for (int profile = 0; profile <= 5; ++profile) {
        FFmpegVideo codec;
        CodecPreset preset = ffPreset(kProRes);
        preset.videoCodec().codecProfile = profile;
        ASSERT_TRUE(codec.initialize(&preset)) << profile;
        const Encoded e = encodeFrames(codec, 320, 240, 2);
        ASSERT_EQ(e.packets.size(), 2u) << profile;
        for (const Packet& p : e.packets)
            EXPECT_EQ(p.key, 1u) << profile;

        const DecodeResult r = decodeAll(AV_CODEC_ID_PRORES, codec.codecContext(), e.packets);
        EXPECT_EQ(r.errors, 0) << profile;
        EXPECT_EQ(r.profile, profile) << "profile " << profile;
        ASSERT_EQ(r.pictures.size(), e.packets.size()) << profile;
        const Decoded& d = r.pictures[0];
        EXPECT_EQ(d.width, 320);
        EXPECT_EQ(d.height, 240);
        // The 4444 profiles decode at 12 bits, the 4:2:2 ones at 10.
        const bool twelveBit = profile >= 4;
        EXPECT_EQ(d.format, twelveBit ? AV_PIX_FMT_YUV422P12LE : AV_PIX_FMT_YUV422P10LE) << profile;
        EXPECT_FALSE(d.interlaced);
        const auto* luma = reinterpret_cast<const uint16_t*>(d.plane0.data());
        const int scale = twelveBit ? 4 : 1;
        EXPECT_NEAR(luma[20 * 320 + 8], 900 * scale, 40 * scale) << profile;
        EXPECT_NEAR(luma[200 * 320 + 200], 512 * scale, 40 * scale) << profile;
    }
}

TEST(FFmpegVideo, ScanModeSetsTheFieldOrder)
{
    struct Case
    {
        int scanMode;
        AVFieldOrder order;
        bool interlaced, topFirst;
    };
    for (const Case& c : {Case{0, AV_FIELD_PROGRESSIVE, false, false},
                          Case{1, AV_FIELD_TT, true, true}, Case{2, AV_FIELD_BB, true, false}}) {
        FFmpegVideo prores;
        CodecPreset preset = ffPreset(kProRes);
        preset.videoCodec().scanMode = c.scanMode;
        ASSERT_TRUE(prores.initialize(&preset)) << c.scanMode;
        EXPECT_EQ(prores.codecContext()->field_order, c.order) << c.scanMode;
        const Encoded e = encodeFrames(prores, 320, 240, 1);
        const DecodeResult r = decodeAll(AV_CODEC_ID_PRORES, prores.codecContext(), e.packets);
        ASSERT_FALSE(r.pictures.empty()) << c.scanMode;
        EXPECT_EQ(r.pictures[0].interlaced, c.interlaced) << c.scanMode;
        EXPECT_EQ(r.pictures[0].topFieldFirst, c.topFirst) << c.scanMode;

        FFmpegVideo mjpeg;
        preset = ffPreset(kMjpeg);
        preset.videoCodec().scanMode = c.scanMode;
        ASSERT_TRUE(mjpeg.initialize(&preset)) << c.scanMode;
        EXPECT_EQ(mjpeg.codecContext()->field_order, c.order) << c.scanMode;
    }

    MessageCapture log;
    FFmpegVideo codec;
    CodecPreset preset = ffPreset(kProRes);
    preset.videoCodec().scanMode = 3;
    EXPECT_FALSE(codec.initialize(&preset));
    EXPECT_EQ(log.count(QStringLiteral("scan mode 3")), 1);
}

TEST(FFmpegVideo, UnknownContainerFailsWithTheFixedMessage)
{
    for (const char* container : {"", "nosuchformat"}) {
        MessageCapture log;
        FFmpegVideo codec;
        CodecPreset preset = ffPreset(kMjpeg);
        preset.container().format = QString::fromLatin1(container);
        EXPECT_FALSE(codec.initialize(&preset)) << container;
        EXPECT_TRUE(
            log.contains(QStringLiteral("debug: FFMPEG: Could not find suitable output format\n")))
            << container;
        EXPECT_EQ(codec.codecContext(), nullptr);
    }
    // A container without global headers works as well as one with them.
    FFmpegVideo codec;
    CodecPreset preset = ffPreset(kMjpeg);
    preset.container().format = QStringLiteral("avi");
    EXPECT_TRUE(codec.initialize(&preset));
}

TEST(FFmpegVideo, BadSettingsFailInitializeWithAWarning)
{
    struct Case
    {
        const char* name;
        int width, height;
        double fps;
        int profile;
        const char* value;
    };
    for (const Case& c :
         {Case{kMjpeg, 321, 240, 30, 0, "321x240"}, Case{kMjpeg, 320, 239, 30, 0, "320x239"},
          Case{kProRes, 321, 240, 30, 0, "321x240"}, Case{kQtrle, 0, 240, 30, 0, "0x240"},
          Case{kProRes, 320, -2, 30, 0, "320x-2"}, Case{kMjpeg, 320, 240, 0, 0, "0 fps"},
          Case{kProRes, 320, 240, -25, 0, "-25 fps"}, Case{kQtrle, 320, 240, 0, 0, "0 fps"},
          Case{kProRes, 320, 240, 30, 6, "profile 6"}}) {
        MessageCapture log;
        FFmpegVideo codec;
        CodecPreset preset = ffPreset(c.name, c.width, c.height, c.fps);
        preset.videoCodec().codecProfile = c.profile;
        EXPECT_FALSE(codec.initialize(&preset)) << c.name << " " << c.value;
        EXPECT_EQ(log.count(QStringLiteral("warning: FFmpegVideo: cannot encode")), 1) << c.value;
        EXPECT_EQ(log.count(QLatin1String(c.value)), 1) << c.name << " " << c.value;

        std::vector<unsigned char> in(320 * 240 * 4), out(320 * 240 * 4);
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        EXPECT_FALSE(codec.encode(in.data(), static_cast<unsigned int>(in.size()), 0, out.data(),
                                  size, key, pts, dts));
    }

    // MJPEG's rate control needs a bitrate; the intra-only RLE coder does not look at it.
    MessageCapture log;
    FFmpegVideo mjpeg;
    CodecPreset preset = ffPreset(kMjpeg);
    preset.videoCodec().bitrate = 0;
    EXPECT_FALSE(mjpeg.initialize(&preset));
    EXPECT_EQ(log.count(QStringLiteral("0 kbit/s")), 1);
    FFmpegVideo qtrle;
    preset = ffPreset(kQtrle, 161, 121); // odd sizes are fine for one packed RGB plane
    preset.videoCodec().bitrate = 0;
    EXPECT_TRUE(qtrle.initialize(&preset));
    EXPECT_EQ(encodeFrames(qtrle, 161, 121, 1).packets.size(), 1u);
}

TEST(FFmpegVideo, OtherCodecNamesAndUnopenedCodecsEncodeNothing)
{
    MessageCapture log;
    FFmpegVideo codec;
    CodecPreset preset = ffPreset("X264");
    EXPECT_FALSE(codec.initialize(&preset));
    EXPECT_EQ(log.count(QStringLiteral("warning: FFmpegVideo: codec name \"X264\"")), 1);

    FFmpegVideo fresh;
    std::vector<unsigned char> in(320 * 240 * 4), out(320 * 240 * 4);
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    EXPECT_FALSE(fresh.encode(in.data(), static_cast<unsigned int>(in.size()), 0, out.data(), size,
                              key, pts, dts));
    EXPECT_EQ(fresh.extraDataSize(), 0u);
}
