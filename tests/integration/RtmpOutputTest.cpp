#include "muxer/RtmpOutput.h"
#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

const QString kKey = QStringLiteral("secretkey42");

CodecPreset livePreset(const QString& url)
{
    CodecPreset p;
    p.streaming().enabled = true;
    p.streaming().url = url;
    p.streaming().streamKey = kKey;
    return p;
}

AVCodecContextPtr openEncoder(const char* name, const std::function<void(AVCodecContext*)>& set)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    AVCodecContextPtr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!c)
        return nullptr;
    set(c.get());
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // FLV carries the headers once, up front
    return avcodec_open2(c.get(), codec, nullptr) == 0 ? std::move(c) : nullptr;
}

int writeToRtmp(void* opaque, uint8_t* data, int size)
{
    return static_cast<RtmpOutput*>(opaque)->write(data, unsigned(size)) ? size : -1;
}

// Muxes `seconds` of a moving 320x240 picture (H.264 from x264) and a tone (AAC) into FLV with
// libavformat and sends the bytes through `out`, the way the muxer does. False when a write
// failed.
bool publishFlv(RtmpOutput& out, int seconds)
{
    av_log_set_level(AV_LOG_ERROR);
    const int fps = 25, rate = 48000;
    AVCodecContextPtr video = openEncoder("libx264", [](AVCodecContext* c) {
        c->width = 320;
        c->height = 240;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = {1, fps};
        c->gop_size = fps;
        c->max_b_frames = 0;
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    });
    AVCodecContextPtr audio = openEncoder("aac", [](AVCodecContext* c) {
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        c->sample_rate = rate;
        av_channel_layout_default(&c->ch_layout, 2);
        c->time_base = {1, rate};
        c->bit_rate = 128000;
    });
    AVFormatContext* raw = nullptr;
    if (!video || !audio || avformat_alloc_output_context2(&raw, nullptr, "flv", nullptr) < 0)
        return false;
    const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmt(
        raw, [](AVFormatContext* f) {
            if (f->pb)
                av_freep(&f->pb->buffer);
            avio_context_free(&f->pb);
            avformat_free_context(f);
        });
    auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
    fmt->pb = avio_alloc_context(buffer, 4096, 1, &out, nullptr, &writeToRtmp, nullptr);
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVCodecContext* encoders[2] = {video.get(), audio.get()};
    for (AVCodecContext* c : encoders) {
        AVStream* s = avformat_new_stream(fmt.get(), nullptr);
        avcodec_parameters_from_context(s->codecpar, c);
        s->time_base = c->time_base;
    }
    if (avformat_write_header(fmt.get(), nullptr) < 0)
        return false;

    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    bool ok = true;
    auto drain = [&](int index) {
        while (ok && avcodec_receive_packet(encoders[index], packet.get()) == 0) {
            packet->stream_index = index;
            av_packet_rescale_ts(packet.get(), encoders[index]->time_base,
                                 fmt->streams[index]->time_base);
            ok = av_interleaved_write_frame(fmt.get(), packet.get()) == 0;
        }
    };
    long long samples = 0;
    for (int i = 0; ok && i < seconds * fps; ++i) {
        av_frame_unref(frame.get());
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = 320;
        frame->height = 240;
        av_frame_get_buffer(frame.get(), 0);
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? 120 : 240); ++y)
                memset(frame->data[p] + y * frame->linesize[p], (y + i * 4 + p * 60) & 0xff,
                       p ? 160 : 320);
        frame->pts = i;
        avcodec_send_frame(video.get(), frame.get());
        drain(0);
        for (; ok && samples * fps < (i + 1LL) * rate; samples += audio->frame_size) {
            av_frame_unref(frame.get());
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->nb_samples = audio->frame_size;
            frame->sample_rate = rate;
            av_channel_layout_copy(&frame->ch_layout, &audio->ch_layout);
            av_frame_get_buffer(frame.get(), 0);
            for (int c = 0; c < 2; ++c)
                for (int n = 0; n < frame->nb_samples; ++n)
                    reinterpret_cast<float*>(frame->data[c])[n] =
                        0.3f * float(std::sin(2 * M_PI * 1000 * double(samples + n) / rate));
            frame->pts = samples;
            avcodec_send_frame(audio.get(), frame.get());
            drain(1);
        }
    }
    for (int index : {0, 1}) {
        avcodec_send_frame(encoders[index], nullptr);
        drain(index);
    }
    return ok && av_write_trailer(fmt.get()) == 0 && ok;
}

class RtmpOutputPublish : public ::testing::TestWithParam<bool>
{
};

// What a server records from our publisher decodes, carries H.264 and AAC and starts with a
// key frame, over plain RTMP and over TLS; the stream key never reaches a log line.
TEST_P(RtmpOutputPublish, ServerRecordsTheStream)
{
    const bool tls = GetParam();
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.log().toStdString();
    live::TlsFront front(nginx.port());
    if (tls) {
        ASSERT_TRUE(front.start());
    }
    const QString url = tls ? front.url() : nginx.url();
    MessageCapture capture;
    {
        RtmpOutput out;
        ASSERT_TRUE(out.initialize(livePreset(url)))
            << capture.messages().join(QLatin1Char(10)).toStdString();
        EXPECT_TRUE(publishFlv(out, 3));
    }
    EXPECT_TRUE(capture.contains(QStringLiteral("info: RTMP Connecting to %1/***").arg(url)))
        << capture.messages().join('\n').toStdString();
    EXPECT_EQ(capture.count(kKey), 0);

    nginx.stop();
    const QStringList files = nginx.recordings();
    ASSERT_EQ(files.size(), 1) << nginx.log().toStdString();
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(files[0], &errors)) << errors.toStdString();
    const Probe::Media m = Probe::inspect(files[0], false);
    EXPECT_EQ(m.videoValue("codec_name"), QStringLiteral("h264"));
    EXPECT_EQ(m.audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    ASSERT_FALSE(m.videoPackets.isEmpty());
    EXPECT_TRUE(m.videoPackets.front().key);
    EXPECT_GE(m.videoPackets.size(), 70); // 3 s at 25 frames per second, minus nothing much
}

INSTANTIATE_TEST_SUITE_P(RtmpOutput, RtmpOutputPublish, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Rtmps" : "Rtmp"; });

// A server that goes away fails the next writes; the broken connection raises no SIGPIPE (it
// would end the process).
TEST(RtmpOutput, WriteFailsWhenTheServerStops)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.log().toStdString();
    RtmpOutput out;
    ASSERT_TRUE(out.initialize(livePreset(nginx.url())));
    nginx.stop();
    EXPECT_FALSE(publishFlv(out, 2));
}

// Unreachable and hanging servers fail initialize() instead of blocking the connection
// thread; abort() ends a pending initialize() and makes every later call fail.
TEST(RtmpOutput, FailsOnDeadServersAndAbort)
{
    MessageCapture capture;
    QElapsedTimer timer;
    {
        RtmpOutput out;
        timer.start();
        EXPECT_FALSE(out.initialize(
            livePreset(QStringLiteral("rtmp://127.0.0.1:%1/live").arg(live::freePort()))));
        EXPECT_LT(timer.elapsed(), 1000);
        EXPECT_GT(capture.count(QStringLiteral("rtmp://127.0.0.1")), 0);
        EXPECT_EQ(capture.count(kKey), 0);
    }

    live::SilentServer silent;
    const CodecPreset hanging =
        livePreset(QStringLiteral("rtmp://127.0.0.1:%1/live").arg(silent.port()));
    for (const char* scheme : {"rtmp", "rtmps"}) {
        SCOPED_TRACE(scheme);
        RtmpOutput out;
        // Lets initialize() reach the handshake, which waits for the server.
        std::thread aborter([&out] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            out.abort();
        });
        timer.start();
        EXPECT_FALSE(out.initialize(
            livePreset(QStringLiteral("%1://127.0.0.1:%2/live").arg(scheme).arg(silent.port()))));
        EXPECT_LT(timer.elapsed(), 2000);
        aborter.join();
        const unsigned char flv[] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
        EXPECT_FALSE(out.write(flv, sizeof(flv)));
    }
    {
        RtmpOutput out;
        out.abort();
        EXPECT_FALSE(out.initialize(hanging));
    }
    {
        // Nothing aborts: the handshake's I/O time-out ends it.
        RtmpOutput out;
        timer.start();
        EXPECT_FALSE(out.initialize(hanging));
        EXPECT_LT(timer.elapsed(), (RtmpOutput::kIoTimeoutSeconds + 5) * 1000);
    }
}

} // namespace
