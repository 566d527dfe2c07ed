#include "muxer/AvioWriter.h"
#include "muxer/FileWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class AvioWriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath("out.bin");
    }
    QTemporaryDir m_dir;
    QString m_path;
};

struct FormatContextFree
{
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct InputClose
{
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

} // namespace

TEST_F(AvioWriterTest, SizeQueryAnswersFileSize)
{
    FileWriter writer;
    ASSERT_TRUE(writer.open(m_path));
    writer.write(QByteArray(5000, 'x'));
    AvioWriter avio(&writer);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, AVSEEK_SIZE), 5000);
    EXPECT_EQ(avio_size(avio.context()), 5000);
    EXPECT_EQ(writer.pos(), 5000); // a size query does not move
}

TEST_F(AvioWriterTest, SeekCallbackFollowsWriter)
{
    FileWriter writer;
    ASSERT_TRUE(writer.open(m_path));
    writer.write(QByteArray(1000, 'x'));
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 100, SEEK_SET), 100);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 50, SEEK_CUR), 150);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, -16, SEEK_END), 984);
    // Flag bits other than a plain size query make the writer refuse.
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, AVSEEK_SIZE | AVSEEK_FORCE), -1);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, SEEK_SET | AVSEEK_FORCE), -1);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, 5), -1);
    EXPECT_EQ(writer.pos(), 984);
}

TEST_F(AvioWriterTest, WritesLandAndSeekBackOverwrites)
{
    FileWriter writer;
    ASSERT_TRUE(writer.open(m_path));
    AvioWriter avio(&writer);
    AVIOContext* ctx = avio.context();
    // More than one buffer's worth, so that libavformat writes out on its own too.
    QByteArray payload(AvioWriter::kBufferSize * 2 + 123, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7);
    avio_wb32(ctx, 0);
    avio_write(ctx, reinterpret_cast<const unsigned char*>(payload.constData()), payload.size());
    avio_flush(ctx);
    EXPECT_EQ(ctx->error, 0);
    EXPECT_EQ(writer.size(), payload.size() + 4);

    // Patch the leading size field the way box-based muxers do, then go back to the end.
    const int64_t end = avio_tell(ctx);
    EXPECT_EQ(avio_seek(ctx, 0, SEEK_SET), 0);
    avio_wb32(ctx, static_cast<unsigned>(payload.size()));
    EXPECT_EQ(avio_seek(ctx, end, SEEK_SET), end);
    avio_write(ctx, reinterpret_cast<const unsigned char*>("end!"), 4);
    avio_flush(ctx);
    EXPECT_EQ(ctx->error, 0);

    QByteArray expected;
    const unsigned n = static_cast<unsigned>(payload.size());
    expected.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    expected.append(payload).append("end!");
    writer.flush();
    EXPECT_EQ(readAll(m_path), expected);
}

TEST_F(AvioWriterTest, WriteFailsWhenWriterNotOpen)
{
    FileWriter writer;
    unsigned char bytes[16] = {};
    EXPECT_EQ(AvioWriter::writePacket(&writer, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::writePacket(nullptr, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::seekPacket(nullptr, 0, AVSEEK_SIZE), -1);

    AvioWriter avio(&writer);
    avio_write(avio.context(), bytes, sizeof bytes);
    avio_flush(avio.context());
    EXPECT_EQ(avio.context()->error, -1);
}

// A real mp4 written through the bridge: the muxer seeks back to finish the mdat box, and the
// file must read back with every packet.
TEST_F(AvioWriterTest, Mp4MuxerRoundTrip)
{
    const QString path = m_dir.filePath("clip.mp4");
    const int packets = 12;
    {
        FileWriter writer;
        ASSERT_TRUE(writer.open(path));
        AvioWriter avio(&writer);

        AVFormatContext* raw = nullptr;
        ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), 0);
        std::unique_ptr<AVFormatContext, FormatContextFree> fmt(raw);
        fmt->pb = avio.context();
        fmt->flags |= AVFMT_FLAG_CUSTOM_IO;

        AVStream* st = avformat_new_stream(fmt.get(), nullptr);
        ASSERT_NE(st, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
        st->codecpar->width = 64;
        st->codecpar->height = 48;
        st->time_base = AVRational{1, 25};
        ASSERT_GE(avformat_write_header(fmt.get(), nullptr), 0);

        AVPacket* pkt = av_packet_alloc();
        ASSERT_NE(pkt, nullptr);
        for (int i = 0; i < packets; ++i) {
            ASSERT_GE(av_new_packet(pkt, 500 + i), 0);
            memset(pkt->data, i, pkt->size);
            pkt->stream_index = 0;
            pkt->pts = pkt->dts = av_rescale_q(i, AVRational{1, 25}, st->time_base);
            pkt->duration = av_rescale_q(1, AVRational{1, 25}, st->time_base);
            pkt->flags = AV_PKT_FLAG_KEY;
            ASSERT_GE(av_write_frame(fmt.get(), pkt), 0);
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        ASSERT_GE(av_write_trailer(fmt.get()), 0);
        EXPECT_EQ(avio.context()->error, 0);
        fmt->pb = nullptr;
    }

    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, InputClose> in(raw);
    ASSERT_EQ(in->nb_streams, 1u);
    EXPECT_EQ(in->streams[0]->codecpar->codec_id, AV_CODEC_ID_MJPEG);
    AVPacket* pkt = av_packet_alloc();
    int read = 0;
    while (av_read_frame(in.get(), pkt) >= 0) {
        EXPECT_EQ(pkt->size, 500 + read);
        EXPECT_EQ(pkt->data[0], read);
        ++read;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    EXPECT_EQ(read, packets);
}
