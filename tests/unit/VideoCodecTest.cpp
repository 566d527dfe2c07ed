#include "EncodedPacket.h"
#include "codec/video/FFmpegVideo.h"
#include "codec/video/OpenH264.h"
#include "codec/video/VPX.h"
#include "codec/video/VideoCodecFactory.h"
#include "common/CodecTable.h"

#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <random>
#include <tuple>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

struct VideoCase
{
    const char* name;
    int inputFormat;
    int decodedFormat; // AVPixelFormat
    bool intraOnly;
};

using VideoCodecs = ::testing::TestWithParam<VideoCase>;

// The decoded picture of frame `index`: its square's left edge is at x = 4 * index.
void expectFrame(const Decoder::Picture& p, const VideoCase& c, int w, int h, int index)
{
    const int inSquare = 20 * w + 4 * index + 8, outside = 200 * w + 20;
    if (c.inputFormat == PIX_ARGB) {
        EXPECT_EQ(p.y, testFrame(PIX_ARGB, w, h, index)) << "run-length coding is lossless";
    } else if (c.inputFormat == PIX_YUV422P10) {
        const auto* luma = reinterpret_cast<const uint16_t*>(p.y.data());
        EXPECT_NEAR(luma[inSquare], 900, 40);
        EXPECT_NEAR(luma[outside], 512, 40);
    } else {
        EXPECT_NEAR(p.y[inSquare], 230, 24);
        EXPECT_NEAR(p.y[outside], 128, 16);
    }
}

} // namespace

// Every encoder's packets decode from its stream parameters alone, also from a requested key frame.
TEST_P(VideoCodecs, EncodedStreamDecodesFromARequestedKeyFrameAndTooSmallBuffersAreRefused)
{
    const VideoCase& c = GetParam();
    const int w = 320, h = 240, frames = 95, k = 30;
    const auto codec = initialized(VideoCodecFactory::create(c.name), videoPreset(c.name, w, h));
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->supportFormat(), c.inputFormat);
    AVCodecParametersPtr par(avcodec_parameters_alloc());
    ASSERT_TRUE(codec->streamParameters(par.get()));
    EXPECT_EQ(par->codec_id, CodecTable::find(QString::fromLatin1(c.name))->avCodecId);
    EXPECT_EQ(par->width, w);
    EXPECT_EQ(par->height, h);

    std::vector<unsigned char> shortFrame = testFrame(c.inputFormat, w, h, 0);
    shortFrame.pop_back();
    EXPECT_FALSE(EncodedPacket::encode(*codec, &shortFrame).produced) << "short frame refused";

    std::vector<EncodedPacket> packets = packetsOf(encodeFrames(*codec, w, h, frames, k));
    packets.erase(std::remove_if(packets.begin(), packets.end(), // libvpx's empty packets
                                 [](const EncodedPacket& p) { return p.size == 0; }),
                  packets.end());
    ASSERT_EQ(packets.size(), static_cast<size_t>(frames)) << "one packet per frame";
    std::vector<int> keys;
    for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<int> types = nalTypes(packets[i].data.data(), packets[i].size);
        EXPECT_LE(packets[i].size, codec->maxPacketSize());
        if (packets[i].key) {
            keys.push_back(static_cast<int>(i));
            // Containers without a global header (AVI, MPEG-TS) carry the parameter sets only
            // in the stream.
            EXPECT_TRUE(par->codec_id != AV_CODEC_ID_H264 ||
                        (std::count(types.begin(), types.end(), 5) &&
                         std::count(types.begin(), types.end(), 7) &&
                         std::count(types.begin(), types.end(), 8)))
                << "key frames are IDR pictures with their parameter sets";
            // HEVC's six-bit types: VPS, SPS, PPS (32 to 34) first, and an IDR picture (19, 20).
            const std::vector<int> hevc = nalTypes(packets[i].data.data(), packets[i].size, true);
            EXPECT_TRUE(
                par->codec_id != AV_CODEC_ID_HEVC ||
                (hevc.size() > 3 &&
                 std::vector<int>(hevc.begin(), hevc.begin() + 3) == std::vector<int>{32, 33, 34} &&
                 (std::count(hevc.begin(), hevc.end(), 19) ||
                  std::count(hevc.begin(), hevc.end(), 20))))
                << "key frames are IDR pictures after their parameter sets";
        }
    }
    if (c.intraOnly)
        EXPECT_EQ(keys.size(), static_cast<size_t>(frames));
    else
        EXPECT_EQ(keys, (std::vector<int>{0, k, k + 60}));
    EXPECT_TRUE(packets[k].pts < 0 || packets[k].pts == k) << packets[k].pts;

    const std::vector<Decoder::Picture> pictures = decodeAll(packets, par.get());
    ASSERT_EQ(pictures.size(), static_cast<size_t>(frames));
    for (const auto& picture : pictures) {
        EXPECT_EQ(picture.width, w);
        EXPECT_EQ(picture.height, h);
        EXPECT_EQ(picture.format, c.decodedFormat);
    }
    expectFrame(pictures[k], c, w, h, k);
    const std::vector<Decoder::Picture> fromKey = decodeAll({packets[k]}, par.get());
    ASSERT_EQ(fromKey.size(), 1u);
    expectFrame(fromKey[0], c, w, h, k);

    // A packet that does not fit the caller's buffer is a clear failure, never an overflow.
    const auto fresh = initialized(VideoCodecFactory::create(c.name), videoPreset(c.name, w, h));
    ASSERT_NE(fresh, nullptr);
    const std::vector<unsigned char> frame = testFrame(c.inputFormat, w, h, 0);
    expectPacketRefusedWhenTooLarge(
        16, [&](int i, unsigned char* out, unsigned int capacity, unsigned int& size) {
            unsigned int key = 0;
            long long pts = -1, dts = -1;
            const bool drain = i > 0; // codecs with look-ahead give the frame up when drained
            return fresh->encode(drain ? nullptr : const_cast<unsigned char*>(frame.data()),
                                 drain ? 0 : static_cast<unsigned int>(frame.size()), c.inputFormat,
                                 out, capacity, size, key, pts, dts);
        });
}

INSTANTIATE_TEST_SUITE_P(
    All, VideoCodecs,
    ::testing::Values(VideoCase{"X264", PIX_NV12, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"H264", PIX_YUV420P, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"VP8", PIX_YUV420P, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"VP9", PIX_YUV420P, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"X265", PIX_YUV420P, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"AV1", PIX_YUV420P, AV_PIX_FMT_YUV420P, false},
                      VideoCase{"QuickTime Animation (RLE)", PIX_ARGB, AV_PIX_FMT_ARGB, false},
                      VideoCase{"MJPEG", PIX_YUV420P, AV_PIX_FMT_YUVJ420P, true},
                      VideoCase{"Apple ProRes", PIX_YUV422P10, AV_PIX_FMT_YUV422P10LE, true}),
    [](const ::testing::TestParamInfo<VideoCase>& info) {
        std::string name = info.param.name;
        name.erase(std::remove_if(name.begin(), name.end(), [](char ch) { return !isalnum(ch); }),
                   name.end());
        return name;
    });

// A live stream that adapts to its link: X264, OpenH264, VP8 and VP9 change their rate as they
// encode, without a key frame: from 400 to 60 kbit/s, the stream is well under the first rate
// two seconds later (OpenH264 and VP8 approach a new rate over a few seconds). The other
// encoders say they cannot.
TEST(VideoCodecs, TheAdaptingEncodersChangeTheirRateWithoutAKeyFrame)
{
    const int w = 160, h = 120;
    std::vector<unsigned char> noise(static_cast<size_t>(w) * h * 3 / 2, 128);
    unsigned int seed = 7;
    std::unique_ptr<IVideoCodec> codecUnderTest;
    int frame = 0;
    // Each frame draws new noise into one row in 32: costly to code, yet no new scene.
    const auto nextFrame = [&] {
        for (int y = frame++ % 32; y < h; y += 32)
            for (int x = 0; x < w; ++x)
                noise[static_cast<size_t>(y) * w + x] = static_cast<unsigned char>(rand_r(&seed));
        return EncodedPacket::encode(*codecUnderTest, &noise);
    };
    // VP9 changes its rate through the same code as VP8 (and is slow to encode noise).
    for (const char* name : {"X264", "H264", "VP8"}) {
        SCOPED_TRACE(name);
        CodecPreset preset = videoPreset(name, w, h);
        preset.videoCodec().bitrate = 400;
        preset.videoCodec().keyframeInterval = 10;
        preset.streaming().enabled = true;
        preset.streaming().adaptiveBitrate = true;
        codecUnderTest = initialized(VideoCodecFactory::create(name), preset);
        ASSERT_NE(codecUnderTest, nullptr);
        EXPECT_TRUE(codecUnderTest->changesBitrate());
        // kbit/s over the last two of four seconds at each rate: the first two settle the rate.
        long long bytes[2] = {0, 0}, keys = 0;
        for (int i = 0; i < 240; ++i) {
            if (i == 120) {
                EXPECT_TRUE(codecUnderTest->setBitrate(60));
            }
            const EncodedPacket p = nextFrame();
            bytes[i / 120] += i % 120 >= 60 ? p.size : 0;
            keys += i >= 120 && p.key;
        }
        EXPECT_GT(bytes[0] * 8 / 2000, 250);
        EXPECT_LT(bytes[1], bytes[0] * 6 / 10);
        EXPECT_EQ(keys, 0);
        codecUnderTest.reset();
    }
    const auto mjpeg = initialized(VideoCodecFactory::create("MJPEG"), videoPreset("MJPEG", w, h));
    EXPECT_FALSE(mjpeg->changesBitrate() || mjpeg->setBitrate(200));
    EXPECT_FALSE(CodecTable::changesBitrate(*CodecTable::find(QStringLiteral("Apple ProRes"))));
}

// Every encoder takes the exact rational rate and whole-frame key distances (x264: X264Test).
TEST(VideoCodecs, FrameRateIsExactInEveryEncoder)
{
    for (const auto& [fps, num, den, keyDistance] : kExactRates) {
        SCOPED_TRACE(fps);
        const AVRational exact = CodecTable::frameRate(fps);
        EXPECT_EQ(std::make_pair(exact.num, exact.den), std::make_pair(num, den));
        CodecModel::VideoCodec v = videoPreset("VP9", 320, 240, fps).videoCodec();
        vpx_codec_enc_cfg_t cfg;
        ASSERT_EQ(VPX::fillConfig(v, VPX::encoderInterface(v.codecName), &cfg), VPX_CODEC_OK);
        EXPECT_EQ(std::make_tuple(cfg.g_timebase.num, cfg.g_timebase.den, cfg.kf_max_dist),
                  std::make_tuple(den, num, static_cast<unsigned int>(keyDistance)));

        SEncParamExt o = {};
        OpenH264::fillParams(v, &o);
        EXPECT_FLOAT_EQ(o.fMaxFrameRate, static_cast<float>(num) / den);
        EXPECT_EQ(o.uiIntraPeriod, static_cast<unsigned int>(keyDistance));

        FFmpegVideo mjpeg;
        CodecPreset preset = videoPreset("MJPEG", 320, 240, fps);
        ASSERT_TRUE(mjpeg.initialize(&preset));
        EXPECT_EQ(mjpeg.codecContext()->time_base.num, den);
        EXPECT_EQ(mjpeg.codecContext()->time_base.den, num);
    }
}

// Records an encoder cannot code fail initialize() with one warning saying why.
TEST(VideoCodecs, BadRecordsFailWithAWarning)
{
    struct Case
    {
        const char* name;
        int width, height;
        double fps;
        int bitrate, keyInterval, profileOrScan; // negative: a scan mode
        const char* problem;                     // null: opens
    };
    const char* const big = "size is above what the encoder codes";
    const char* const rate = "frame rate must be from 0.1 to 1000";
    for (const Case& c : {
             Case{"X264", 321, 240, 30, 800, 2, 0, "size must be even"},
             Case{"H264", 320, 0, 30, 800, 2, 0, "size must be positive"},
             Case{"QuickTime Animation (RLE)", 161, 121, 30, 0, 2, 0, nullptr},
             Case{"VP8", 16384, 16, 30, 800, 2, 0, big},
             Case{"H264", 5120, 2880, 30, 800, 2, 0, "OpenH264: cannot open the encoder"},
             Case{"VP9", 64, 64, 1001, 800, 2, 0, rate},
             Case{"H264", 64, 64, std::numeric_limits<double>::quiet_NaN(), 800, 2, 0, rate},
             Case{"VP8", 64, 64, 0.1, 800, 2, 0, nullptr},
             Case{"MJPEG", 64, 64, 30, 0, 2, 0, "bitrate must be above 0"},
             Case{"H264", 64, 64, 30, 3000000, 2, 0, "bitrate is too large"},
             Case{"X264", 64, 64, 1000, 800, 3000000, 0, "key-frame interval is too long"},
             Case{"VP8", 64, 64, 30, 800, -1, 0, "key-frame interval must not be negative"},
             Case{"Apple ProRes", 64, 64, 30, 800, 2, 6, "ProRes profile must be 0"},
             Case{"Apple ProRes", 64, 64, 30, 800, 2, -3, "scan mode must be 0"},
         }) {
        SCOPED_TRACE(testing::Message() << c.name << " " << c.width << "x" << c.height << " "
                                        << c.fps << " fps " << c.bitrate << " kbit/s");
        CodecPreset preset = videoPreset(c.name, c.width, c.height, c.fps);
        CodecModel::VideoCodec& v = preset.videoCodec();
        v.bitrate = c.bitrate;
        v.keyframeInterval = c.keyInterval;
        (c.profileOrScan < 0 ? v.scanMode : v.codecProfile) = std::abs(c.profileOrScan);
        const auto codec = initialized(VideoCodecFactory::create(v.codecName), preset, c.problem);
        if (!codec || !c.problem)
            continue;
        const std::vector<unsigned char> frame = testFrame(codec->supportFormat(), 64, 64, 0);
        EXPECT_FALSE(EncodedPacket::encode(*codec, &frame, 64 * 64 * 8).produced);
        EXPECT_EQ(codec->maxPacketSize(), 0u);
    }
}

TEST(FFmpegVideo, ProResProfilesAndFieldOrderReadBack)
{
    for (int profile = 0; profile <= 5; ++profile) {
        CodecPreset preset = videoPreset("Apple ProRes");
        preset.videoCodec().codecProfile = profile;
        preset.videoCodec().scanMode = profile % 3; // progressive, top first, bottom first
        const auto codec =
            initialized(VideoCodecFactory::create(preset.videoCodec().codecName), preset);
        ASSERT_NE(codec, nullptr) << profile;
        AVCodecParametersPtr par(avcodec_parameters_alloc());
        ASSERT_TRUE(codec->streamParameters(par.get()));
        const AVFieldOrder orders[] = {AV_FIELD_PROGRESSIVE, AV_FIELD_TT, AV_FIELD_BB};
        EXPECT_EQ(par->field_order, orders[profile % 3]) << profile;

        const std::vector<unsigned char> frame = testFrame(PIX_YUV422P10, 320, 240, 0);
        const EncodedPacket p = EncodedPacket::encode(*codec, &frame);
        ASSERT_TRUE(p.produced) << profile;
        Decoder decoder(par.get());
        std::vector<Decoder::Picture> pictures = decoder.decode(p.data.data(), p.size);
        ASSERT_EQ(pictures.size(), 1u) << profile;
        EXPECT_EQ(decoder.profile(), profile);
        // The 4444 profiles decode at 12 bits, the 4:2:2 ones at 10.
        EXPECT_EQ(pictures[0].format,
                  profile >= 4 ? AV_PIX_FMT_YUV422P12LE : AV_PIX_FMT_YUV422P10LE);
        EXPECT_EQ(pictures[0].interlaced, profile % 3 != 0) << profile;
        if (profile % 3) {
            EXPECT_EQ(pictures[0].topFieldFirst, profile % 3 == 1) << profile;
        }
    }
}

// AV1 and X265 open with every preset and tune the codec table lists for them (x264's preset
// names, fastest first, run from SVT-AV1's fastest preset down to its slowest) and refuse
// others, and interlaced scanning, with a warning.
TEST(FFmpegVideo, Av1AndX265TakeTheTablesPresetsAndTunes)
{
    for (const char* name : {"AV1", "X265"}) {
        const CodecTable::Entry* entry = CodecTable::find(QLatin1String(name));
        int slower = 14;
        for (const char* const* preset = entry->presets; *preset; ++preset) {
            CodecPreset p = videoPreset(name, 128, 96);
            p.videoCodec().preset = QLatin1String(*preset);
            const auto codec = initialized(new FFmpegVideo, p);
            ASSERT_NE(codec, nullptr) << name << " " << *preset;
            int64_t svt = -1;
            if (entry->avCodecId == AV_CODEC_ID_AV1 && !isdigit(**preset)) {
                av_opt_get_int(codec->codecContext()->priv_data, "preset", 0, &svt);
                EXPECT_LT(svt, slower) << *preset;
                slower = static_cast<int>(svt);
            }
        }
        EXPECT_EQ(slower, entry->avCodecId == AV_CODEC_ID_AV1 ? 0 : 14);
        for (const char* const* tune = entry->tunes; *tune; ++tune) {
            CodecPreset p = videoPreset(name, 128, 96);
            p.videoCodec().tune = QLatin1String(*tune);
            EXPECT_NE(initialized(new FFmpegVideo, p), nullptr) << name << " " << *tune;
        }
    }
    struct Case
    {
        const char* name;
        const char* preset;
        const char* tune;
        int scanMode;
        const char* problem;
    };
    for (const Case& c : {
             Case{"AV1", "14", "", 0, "its preset numbers 0 to 13"},
             Case{"AV1", "fastest", "", 0, "its preset numbers 0 to 13"},
             Case{"AV1", "veryfast", "film", 0, "SVT-AV1 takes the tunes"},
             Case{"AV1", "", "zerolatency,fastdecode", 0, nullptr},
             Case{"AV1", "medium", "", 2, "codes progressive pictures only"},
             Case{"X265", "veryfast", "psnr,grain", 0, "x265 takes one tune"},
             Case{"X265", "quick", "", 0, "cannot open the libx265 encoder"},
             Case{"X265", "veryfast", "", 1, "codes progressive pictures only"},
         }) {
        CodecPreset p = videoPreset(c.name, 128, 96);
        p.videoCodec().preset = QLatin1String(c.preset);
        p.videoCodec().tune = QLatin1String(c.tune);
        p.videoCodec().scanMode = c.scanMode;
        initialized(new FFmpegVideo, p, c.problem);
    }
}

// X265 and AV1 keep the record's average bitrate over 3 s of pictures that could take far more
// (grain over the moving square), at a low and a high rate.
TEST(FFmpegVideo, X265AndAv1KeepTheBitrate)
{
    constexpr int kFrames = 90;
    for (const char* name : {"X265", "AV1"}) {
        for (int kbps : {300, 1200}) {
            CodecPreset p = videoPreset(name);
            p.videoCodec().bitrate = kbps;
            const auto codec = initialized(new FFmpegVideo, p);
            ASSERT_NE(codec, nullptr);
            std::mt19937 grain(7);
            size_t bytes = 0;
            for (int i = 0; i < kFrames; ++i) {
                std::vector<unsigned char> frame = testFrame(PIX_YUV420P, 320, 240, i);
                for (int y = 0; y < 320 * 240; ++y)
                    frame[y] = static_cast<unsigned char>(frame[y] + grain() % 48 - 24);
                bytes += EncodedPacket::encode(*codec, &frame).size;
            }
            for (EncodedPacket got; (got = EncodedPacket::encode(*codec, nullptr)).produced;)
                bytes += got.size;
            EXPECT_NEAR(bytes * 8.0 / (kFrames / 30.0) / 1000, kbps, kbps / 4.0) << name;
        }
    }
}
