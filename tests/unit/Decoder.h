#pragma once

#include "common/AVHandles.h"

#include <algorithm>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

// Decodes what an encoder produced with libavcodec's own decoder, set up from the stream
// parameters alone (codec id, tag, size or rate and channels, extradata), as a player would.
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

    // Decodes one packet, or drains the decoder when `data` is null, and hands every frame that
    // came out to `take`.
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
