#pragma once

#include "common/AVHandles.h"

#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

// Decodes Annex B H.264 packets with libavcodec, for checking what encoders produced.
class H264Decoder
{
public:
    struct Picture
    {
        int width = 0, height = 0;
        std::vector<unsigned char> y, u, v; // planes without padding
        bool key = false;
    };

    H264Decoder()
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        m_ctx.reset(avcodec_alloc_context3(codec));
        avcodec_open2(m_ctx.get(), codec, nullptr);
    }

    // Decodes one packet (headers may be prepended); returns the pictures that came out.
    std::vector<Picture> decode(const unsigned char* data, size_t size)
    {
        std::vector<Picture> pictures;
        AVPacketPtr pkt(av_packet_alloc());
        av_new_packet(pkt.get(), static_cast<int>(size));
        std::copy(data, data + size, pkt->data);
        if (avcodec_send_packet(m_ctx.get(), pkt.get()) < 0)
            return pictures;
        receive(pictures);
        return pictures;
    }

    std::vector<Picture> flush()
    {
        std::vector<Picture> pictures;
        avcodec_send_packet(m_ctx.get(), nullptr);
        receive(pictures);
        return pictures;
    }

private:
    void receive(std::vector<Picture>& pictures)
    {
        AVFramePtr frame(av_frame_alloc());
        while (avcodec_receive_frame(m_ctx.get(), frame.get()) == 0) {
            Picture p;
            p.width = frame->width;
            p.height = frame->height;
            p.key = frame->key_frame;
            copyPlane(frame.get(), 0, frame->width, frame->height, p.y);
            copyPlane(frame.get(), 1, (frame->width + 1) / 2, (frame->height + 1) / 2, p.u);
            copyPlane(frame.get(), 2, (frame->width + 1) / 2, (frame->height + 1) / 2, p.v);
            pictures.push_back(std::move(p));
            av_frame_unref(frame.get());
        }
    }
    static void copyPlane(const AVFrame* f, int plane, int w, int h,
                          std::vector<unsigned char>& out)
    {
        out.resize(static_cast<size_t>(w) * h);
        for (int row = 0; row < h; ++row)
            std::copy(f->data[plane] + row * f->linesize[plane],
                      f->data[plane] + row * f->linesize[plane] + w,
                      out.begin() + static_cast<size_t>(row) * w);
    }
    AVCodecContextPtr m_ctx;
};
