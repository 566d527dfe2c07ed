#pragma once

// The real encoder behind the fake GPU runtimes (compiled into each): NV12 in, H.264 (libx264) or
// HEVC (libx265) out through libavcodec, so that what a fake runtime "encodes" decodes.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class FakeSoftwareEncoder
{
    // Own holders: the fake runtimes link libavcodec only, not the library's Qt-based ones.
    struct Free
    {
        void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
        void operator()(AVFrame* p) const { av_frame_free(&p); }
        void operator()(AVPacket* p) const { av_packet_free(&p); }
    };

public:
    struct Packet
    {
        std::vector<uint8_t> data; // Annex B
        int64_t pts = 0;
        bool key = false;
    };

    // hevc: libx265, else libx264. bFrames 0 gives packets in input order. globalHeader puts
    // the parameter sets into extradata() rather than in front of each key frame.
    bool open(bool hevc, int width, int height, int fpsNum, int fpsDen, int bitrate, int gop,
              int bFrames, bool globalHeader = false)
    {
        const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
        if (!codec || width <= 0 || height <= 0 || width % 2 || height % 2)
            return false;
        m_ctx.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = m_ctx.get();
        c->width = width;
        c->height = height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{fpsDen > 0 ? fpsDen : 1, fpsNum > 0 ? fpsNum : 30};
        c->framerate = AVRational{c->time_base.den, c->time_base.num};
        c->bit_rate = bitrate > 0 ? bitrate : 1000000;
        c->gop_size = gop > 0 ? gop : 60;
        c->max_b_frames = bFrames > 0 ? bFrames : 0;
        c->thread_count = 1;
        if (globalHeader)
            c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        if (hevc)
            av_opt_set(c->priv_data, "x265-params", "log-level=error", 0);
        if (m_lowDelay) {
            // No look-ahead: a picture's packet comes out while the next few go in, as from a
            // hardware encoder (x265 also drops its B-frames and runs on the calling thread).
            if (hevc) {
                av_opt_set(c->priv_data, "tune", "zerolatency", 0);
                av_opt_set(c->priv_data, "x265-params",
                           "log-level=error:pools=none:frame-threads=1", 0);
            } else
                av_opt_set_int(c->priv_data, "rc-lookahead", 0, 0);
        }
        if (avcodec_open2(c, codec, nullptr) < 0) {
            m_ctx.reset();
            return false;
        }
        m_frame.reset(av_frame_alloc());
        m_frame->format = AV_PIX_FMT_YUV420P;
        m_frame->width = width;
        m_frame->height = height;
        if (av_frame_get_buffer(m_frame.get(), 0) < 0) {
            m_ctx.reset();
            return false;
        }
        m_packet.reset(av_packet_alloc());
        return true;
    }

    bool isOpen() const { return m_ctx != nullptr; }
    // Before open(): no look-ahead delay (see open()).
    void setLowDelay(bool lowDelay) { m_lowDelay = lowDelay; }

    std::vector<uint8_t> extradata() const
    {
        if (!m_ctx || !m_ctx->extradata)
            return {};
        return std::vector<uint8_t>(m_ctx->extradata, m_ctx->extradata + m_ctx->extradata_size);
    }

    // One NV12 picture: `y` rows of `yPitch` bytes, then `uv` rows (interleaved U/V) of
    // `uvPitch` bytes. Packets that come out are kept for receive().
    bool send(const uint8_t* y, int yPitch, const uint8_t* uv, int uvPitch, int64_t pts,
              bool forceKey)
    {
        if (!m_ctx || !y || !uv || av_frame_make_writable(m_frame.get()) < 0)
            return false;
        AVFrame* f = m_frame.get();
        for (int row = 0; row < f->height; ++row)
            std::memcpy(f->data[0] + row * f->linesize[0], y + row * yPitch, f->width);
        for (int row = 0; row < f->height / 2; ++row) {
            const uint8_t* in = uv + row * uvPitch;
            uint8_t* u = f->data[1] + row * f->linesize[1];
            uint8_t* v = f->data[2] + row * f->linesize[2];
            for (int x = 0; x < f->width / 2; ++x) {
                u[x] = in[2 * x];
                v[x] = in[2 * x + 1];
            }
        }
        f->pts = pts;
        f->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        return avcodec_send_frame(m_ctx.get(), f) >= 0 && drain();
    }

    // End of stream: whatever the encoder still holds comes out.
    bool flush()
    {
        if (!m_ctx || m_flushed)
            return m_ctx != nullptr;
        m_flushed = true;
        return avcodec_send_frame(m_ctx.get(), nullptr) >= 0 && drain();
    }

    bool receive(Packet& out)
    {
        if (m_ready.empty())
            return false;
        out = std::move(m_ready.front());
        m_ready.erase(m_ready.begin());
        return true;
    }

private:
    bool drain()
    {
        for (;;) {
            const int ret = avcodec_receive_packet(m_ctx.get(), m_packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return true;
            if (ret < 0)
                return false;
            Packet p;
            p.data.assign(m_packet->data, m_packet->data + m_packet->size);
            p.pts = m_packet->pts;
            p.key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
            m_ready.push_back(std::move(p));
            av_packet_unref(m_packet.get());
        }
    }

    std::unique_ptr<AVCodecContext, Free> m_ctx;
    std::unique_ptr<AVFrame, Free> m_frame;
    std::unique_ptr<AVPacket, Free> m_packet;
    std::vector<Packet> m_ready;
    bool m_flushed = false;
    bool m_lowDelay = false;
};
