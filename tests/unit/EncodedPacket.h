#pragma once

#include "MessageCapture.h"
#include "codec/video/IVideoCodec.h"
#include "common/AVHandles.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

// Shared by the codec tests: records, test pictures, encode calls and libavcodec's decoding.

// libavcodec's decoder set up from the stream parameters alone, as a player would.
class Decoder
{
public:
    struct Picture
    {
        int width = 0, height = 0, format = -1;
        bool interlaced = false, topFieldFirst = false;
        std::vector<unsigned char> y; // the first (packed) plane without padding
    };

    explicit Decoder(const AVCodecParameters* par)
    {
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        m_ctx.reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(m_ctx.get(), par);
        if (avcodec_open2(m_ctx.get(), codec, nullptr) < 0)
            m_ctx.reset();
    }

    // Decodes one packet (null: drains) and hands every frame that came out to `take`.
    void decode(const unsigned char* data, size_t size,
                const std::function<void(const AVFrame&)>& take)
    {
        AVPacketPtr pkt(av_packet_alloc());
        if (data) {
            av_new_packet(pkt.get(), static_cast<int>(size));
            std::copy(data, data + size, pkt->data);
        }
        if (!m_ctx || avcodec_send_packet(m_ctx.get(), data ? pkt.get() : nullptr) < 0) {
            ++errors;
            return;
        }
        AVFramePtr f(av_frame_alloc());
        while (avcodec_receive_frame(m_ctx.get(), f.get()) == 0) {
            take(*f);
            av_frame_unref(f.get());
        }
    }

    // The pictures one packet (or the drain) gives.
    std::vector<Picture> decode(const unsigned char* data, size_t size)
    {
        std::vector<Picture> pictures;
        decode(data, size, [&](const AVFrame& f) {
            Picture p{f.width, f.height, f.format, f.interlaced_frame != 0, f.top_field_first != 0,
                      {}};
            const int bytes =
                av_image_get_linesize(static_cast<AVPixelFormat>(f.format), f.width, 0);
            for (int r = 0; r < f.height; ++r)
                p.y.insert(p.y.end(), f.data[0] + r * f.linesize[0],
                           f.data[0] + r * f.linesize[0] + bytes);
            pictures.push_back(std::move(p));
        });
        return pictures;
    }

    int profile() const { return m_ctx->profile; }
    int errors = 0; // packets the decoder refused

private:
    AVCodecContextPtr m_ctx; // null when the decoder cannot be opened
};

// The codec initialized for the preset: must open, or with a `problem` fail with one warning
// naming it. Null when it went otherwise.
template <class Codec>
std::unique_ptr<Codec> initialized(Codec* created, CodecPreset preset,
                                   const char* problem = nullptr)
{
    std::unique_ptr<Codec> codec(created);
    MessageCapture log;
    const bool asExpected = codec && codec->initialize(&preset) == !problem;
    EXPECT_TRUE(asExpected) << (problem ? problem : "should open");
    if (problem) {
        EXPECT_EQ(log.count(QLatin1String(problem)), 1) << log.messages().join('\n').toStdString();
        EXPECT_EQ(log.count(QStringLiteral("warning: ")), 1);
    }
    return asExpected ? std::move(codec) : nullptr;
}

inline CodecPreset videoPreset(const char* codec, int width = 320, int height = 240,
                               double fps = 30.0)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QString::fromLatin1(codec);
    v.width = width;
    v.height = height;
    v.frameRate = fps;
    v.bitrate = 1500;
    v.keyframeInterval = 2;
    p.container().format = QStringLiteral("mov");
    return p;
}

// Grey with a bright 32x32 square at x = 4 * index, rows 16..47 (luma 230 on 128, 10 bits 900 on
// 512; ARGB: red 250 on a gradient).
inline std::vector<unsigned char> testFrame(int format, int w, int h, int index)
{
    const size_t pixels = static_cast<size_t>(w) * h;
    auto inSquare = [&](int x, int y) {
        return y >= 16 && y < 48 && ((x - index * 4) % w + w) % w < 32;
    };
    std::vector<unsigned char> f;
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
        for (size_t i = 0; i < 2 * pixels; ++i)
            s[i] = i < pixels && inSquare(static_cast<int>(i % w), static_cast<int>(i / w)) ? 900
                                                                                            : 512;
    } else { // YUV420P and NV12 agree when the chroma is flat
        f.assign(pixels * 3 / 2, 128);
        for (size_t i = 0; i < pixels; ++i)
            if (inSquare(static_cast<int>(i % w), static_cast<int>(i / w)))
                f[i] = 230;
    }
    return f;
}

// Frame rates, their exact fractions (NTSC rates as N*1000/1001) and 2 s in whole frames.
struct ExactRate
{
    double fps;
    int num, den, keyDistance;
};
inline const ExactRate kExactRates[] = {{25, 25, 1, 50},           {29.97, 30000, 1001, 59},
                                        {12.5, 25, 2, 25},         {0.9, 9, 10, 1},
                                        {23.976, 24000, 1001, 47}, {59.94, 60000, 1001, 119}};

// One call of IVideoCodec::encode as the pipeline makes it (null frame: a drain call).
struct EncodedPacket
{
    bool produced = false;
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    std::vector<unsigned char> data;

    static EncodedPacket encode(IVideoCodec& codec, const std::vector<unsigned char>* frame,
                                unsigned int capacity = 0)
    {
        std::vector<unsigned char> out(std::max(1u, capacity ? capacity : codec.maxPacketSize()));
        EncodedPacket p;
        p.produced = codec.encode(
            frame ? const_cast<unsigned char*>(frame->data()) : nullptr,
            frame ? static_cast<unsigned int>(frame->size()) : 0, codec.supportFormat(), out.data(),
            static_cast<unsigned int>(out.size()), p.size, p.key, p.pts, p.dts);
        p.data.assign(out.begin(), out.begin() + p.size);
        return p;
    }
};

// Frames [first, first + count) (a key frame asked for at keyAt), then the drain: every call.
inline std::vector<EncodedPacket> encodeFrames(IVideoCodec& codec, int w, int h, int count,
                                               int keyAt = -1, int first = 0)
{
    std::vector<EncodedPacket> calls;
    for (int i = first; i < first + count; ++i) {
        if (i == keyAt)
            codec.requestKeyFrame();
        const std::vector<unsigned char> frame = testFrame(codec.supportFormat(), w, h, i);
        calls.push_back(EncodedPacket::encode(codec, &frame));
    }
    for (int n = 0; n < 100; ++n) {
        calls.push_back(EncodedPacket::encode(codec, nullptr));
        if (!calls.back().produced) {
            calls.pop_back();
            break;
        }
    }
    return calls;
}

// The calls that gave a packet.
inline std::vector<EncodedPacket> packetsOf(std::vector<EncodedPacket> calls)
{
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const EncodedPacket& p) { return !p.produced; }),
                calls.end());
    return calls;
}

// The pictures the packets decode to from `par` alone (null: H.264 with in-band parameter sets).
inline std::vector<Decoder::Picture> decodeAll(const std::vector<EncodedPacket>& packets,
                                               const AVCodecParameters* par = nullptr)
{
    AVCodecParametersPtr h264(avcodec_parameters_alloc());
    h264->codec_type = AVMEDIA_TYPE_VIDEO;
    h264->codec_id = AV_CODEC_ID_H264;
    Decoder decoder(par ? par : h264.get());
    std::vector<Decoder::Picture> pictures;
    for (size_t i = 0; i <= packets.size(); ++i) {
        std::vector<Decoder::Picture> got =
            i < packets.size() ? decoder.decode(packets[i].data.data(), packets[i].size)
                               : decoder.decode(nullptr, 0);
        std::move(got.begin(), got.end(), std::back_inserter(pictures));
    }
    EXPECT_EQ(decoder.errors, 0);
    return pictures;
}

// Calls encode(call, out, capacity, size) until the codec warns that its packet does not fit:
// every call fails with nothing written, and no byte past the capacity changes.
template <class Encode> void expectPacketRefusedWhenTooLarge(unsigned int capacity, Encode encode)
{
    MessageCapture log;
    std::vector<unsigned char> out(capacity + 1024, 0xAB);
    for (int i = 0; i < 200 && log.count(QStringLiteral("does not fit")) == 0; ++i) {
        unsigned int size = 0;
        EXPECT_FALSE(encode(i, out.data(), capacity, size));
        EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(log.count(QStringLiteral("-byte output buffer")), 1);
    EXPECT_EQ(log.count(QStringLiteral("does not fit the %1-byte output buffer").arg(capacity)), 1);
    for (size_t i = capacity; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xAB) << "byte " << i << " written past the capacity";
}

// NAL unit types of an Annex B buffer, in order (H.264's, or HEVC's).
inline std::vector<int> nalTypes(const unsigned char* data, size_t size, bool hevc = false)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            types.push_back(hevc ? (data[i + 3] >> 1) & 0x3f : data[i + 3] & 0x1f);
            i += 2;
        }
    }
    return types;
}
