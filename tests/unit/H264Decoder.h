#pragma once

#include "common/AVHandles.h"

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

// Decodes what an encoder produced with libavcodec's own decoder: Annex B H.264 by default,
// or any codec from the stream parameters an encoder reports (codec id, tag, size, extradata).
class H264Decoder
{
public:
    struct Picture
    {
        int width = 0, height = 0, format = -1;
        bool key = false, interlaced = false, topFieldFirst = false;
        std::vector<unsigned char> y, u, v; // planes without padding (y: the packed plane)
    };

    explicit H264Decoder(const AVCodecParameters* par = nullptr)
    {
        const AVCodec* codec = avcodec_find_decoder(par ? par->codec_id : AV_CODEC_ID_H264);
        m_ctx.reset(avcodec_alloc_context3(codec));
        if (par)
            avcodec_parameters_to_context(m_ctx.get(), par);
        m_ok = avcodec_open2(m_ctx.get(), codec, nullptr) >= 0;
    }

    // Decodes one packet (headers may be prepended); returns the pictures that came out.
    std::vector<Picture> decode(const unsigned char* data, size_t size)
    {
        std::vector<Picture> pictures;
        AVPacketPtr pkt(av_packet_alloc());
        av_new_packet(pkt.get(), static_cast<int>(size));
        std::copy(data, data + size, pkt->data);
        if (!m_ok || avcodec_send_packet(m_ctx.get(), pkt.get()) < 0)
            ++errors;
        else
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

    int profile() const { return m_ctx->profile; }
    int errors = 0; // packets the decoder refused

private:
    void receive(std::vector<Picture>& pictures)
    {
        AVFramePtr frame(av_frame_alloc());
        while (avcodec_receive_frame(m_ctx.get(), frame.get()) == 0) {
            Picture p;
            p.width = frame->width;
            p.height = frame->height;
            p.format = frame->format;
            p.key = frame->key_frame;
            p.interlaced = frame->interlaced_frame;
            p.topFieldFirst = frame->top_field_first;
            std::vector<unsigned char>* planes[] = {&p.y, &p.u, &p.v};
            const AVPixFmtDescriptor* desc =
                av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
            for (int i = 0; i < 3 && frame->data[i]; ++i) {
                const int rows =
                    i ? AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h) : frame->height;
                const int bytes = av_image_get_linesize(static_cast<AVPixelFormat>(frame->format),
                                                        frame->width, i);
                for (int r = 0; r < rows; ++r)
                    planes[i]->insert(planes[i]->end(), frame->data[i] + r * frame->linesize[i],
                                      frame->data[i] + r * frame->linesize[i] + bytes);
            }
            pictures.push_back(std::move(p));
            av_frame_unref(frame.get());
        }
    }
    AVCodecContextPtr m_ctx;
    bool m_ok = false;
};
