#include "muxer/FileWriter.h"
#include "muxer/AvioWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

// Open truncates; seeks follow the writer's rules, also through libavformat; bad writers fail.
TEST(FileWriter, OpenTruncatesSeeksAndFailsOnBadPath)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64, 'x'));
    }
    FileWriter writer;
    ASSERT_TRUE(writer.open(path));
    EXPECT_EQ(writer.size(), 0);
    ASSERT_EQ(writer.write(QByteArray(1000, 'x')), 1000);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, AVSEEK_SIZE), 1000);
    EXPECT_EQ(writer.pos(), 1000); // a size query does not move
    struct Step
    {
        long long offset;
        int whence;
        bool ok;
        long long pos;
    };
    // SEEK_SET ignores the sign, SEEK_END takes either as "before the end", bad whence: nothing.
    for (const Step& s : {Step{-100, 0, true, 100}, Step{250, 0, true, 250}, Step{10, 1, true, 260},
                          Step{-60, 1, true, 200}, Step{-500, 1, false, 200},
                          Step{-16, 2, true, 984}, Step{0, 0, true, 0}, Step{16, 2, true, 984},
                          Step{0, 3, false, 984}, Step{0, -1, false, 984}}) {
        EXPECT_EQ(writer.seek(s.offset, s.whence), s.ok) << s.offset << " " << s.whence;
        EXPECT_EQ(writer.pos(), s.pos) << s.offset << " " << s.whence;
    }
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 100, SEEK_SET), 100);
    EXPECT_EQ(AvioWriter::seekPacket(&writer, 50, SEEK_CUR), 150);
    // Flag bits other than a plain size query make the writer refuse.
    for (int whence : {AVSEEK_SIZE | AVSEEK_FORCE, SEEK_SET | AVSEEK_FORCE, 5})
        EXPECT_EQ(AvioWriter::seekPacket(&writer, 0, whence), -1) << whence;
    EXPECT_EQ(writer.pos(), 150);
    EXPECT_EQ(writer.size(), 1000);

    FileWriter bad;
    EXPECT_FALSE(bad.open(dir.filePath(QStringLiteral("missing/out.bin"))));
    EXPECT_FALSE(bad.isOpen());
    EXPECT_EQ(bad.write(QByteArray(4, 'x')), -1);
    EXPECT_EQ(bad.errorText(), QStringLiteral("No such file or directory"));
    unsigned char bytes[16] = {};
    EXPECT_EQ(AvioWriter::writePacket(&bad, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::writePacket(nullptr, bytes, sizeof bytes), -1);
    EXPECT_EQ(AvioWriter::seekPacket(nullptr, 0, AVSEEK_SIZE), -1);
    AvioWriter avio(&bad);
    avio_write(avio.context(), bytes, sizeof bytes);
    avio_flush(avio.context());
    EXPECT_EQ(avio.context()->error, -1);
}

// A failed write keeps the system's reason; a deleted file stops taking bytes.
TEST(FileWriter, FailedWritesKeepTheReason)
{
    FileWriter full;
    ASSERT_TRUE(full.open(QStringLiteral("/dev/full")));
    EXPECT_EQ(full.write(QByteArray(100, 'x')), -1);
    EXPECT_EQ(full.errorText(), QStringLiteral("No space left on device"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    FileWriter writer;
    ASSERT_TRUE(writer.open(path));
    EXPECT_EQ(writer.write(QByteArray(10, 'x')), 10);
    EXPECT_TRUE(writer.errorText().isEmpty());
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(writer.write(QByteArray(10, 'x')), -1);
    EXPECT_EQ(writer.errorText(), QStringLiteral("the file was deleted"));
}
