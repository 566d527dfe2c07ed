#include "muxer/AvioWriter.h"
#include "muxer/FileWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

TEST(AvioWriter, SeekAndSizeCallbacksFollowTheWriter)
{
    QTemporaryDir dir;
    FileWriter writer;
    ASSERT_TRUE(writer.open(dir.filePath(QStringLiteral("out.bin"))));
    writer.write(QByteArray(1000, 'x'));
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, AVSEEK_SIZE), 1000);
    EXPECT_EQ(writer.pos(), 1000); // a size query does not move
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 100, SEEK_SET), 100);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 50, SEEK_CUR), 150);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, -16, SEEK_END), 984); // FileWriter's own rules
    // Flag bits other than a plain size query make the writer refuse.
    for (int whence : {AVSEEK_SIZE | AVSEEK_FORCE, SEEK_SET | AVSEEK_FORCE, 5})
        EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, whence), -1) << whence;
    EXPECT_EQ(writer.pos(), 984);

    FileWriter closed;
    unsigned char bytes[16] = {};
    EXPECT_EQ(AvioWriter::writePacket(&closed, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::writePacket(nullptr, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::seekPacket(nullptr, 0, AVSEEK_SIZE), -1);
    AvioWriter avio(&closed);
    avio_write(avio.context(), bytes, sizeof bytes);
    avio_flush(avio.context());
    EXPECT_EQ(avio.context()->error, -1);
}

// More than one buffer's worth, then a patch of the leading size field the way box-based
// muxers do it, then more bytes at the end.
TEST(AvioWriter, WritesLandAndSeekBackOverwrites)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    QByteArray payload(AvioWriter::kBufferSize * 2 + 123, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7);
    {
        FileWriter writer;
        ASSERT_TRUE(writer.open(path));
        AvioWriter avio(&writer);
        AVIOContext* ctx = avio.context();
        avio_wb32(ctx, 0);
        avio_write(ctx, reinterpret_cast<const unsigned char*>(payload.constData()),
                   payload.size());
        const int64_t end = avio_tell(ctx);
        EXPECT_EQ(avio_seek(ctx, 0, SEEK_SET), 0);
        avio_wb32(ctx, static_cast<unsigned>(payload.size()));
        EXPECT_EQ(avio_seek(ctx, end, SEEK_SET), end);
        avio_write(ctx, reinterpret_cast<const unsigned char*>("end!"), 4);
        avio_flush(ctx);
        EXPECT_EQ(ctx->error, 0);
    }
    const unsigned n = static_cast<unsigned>(payload.size());
    QByteArray expected;
    expected.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    expected.append(payload).append("end!");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), expected);
}
