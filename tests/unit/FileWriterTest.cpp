#include "muxer/FileWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class FileWriterTest : public ::testing::Test
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

} // namespace

TEST_F(FileWriterTest, OpenWriteAndCloseOnDestruction)
{
    auto writer = std::make_unique<FileWriter>();
    EXPECT_FALSE(writer->isOpen());
    ASSERT_TRUE(writer->open(m_path));
    EXPECT_TRUE(writer->isOpen());
    EXPECT_EQ(writer->write(pattern(1000)), 1000);
    EXPECT_EQ(writer->pos(), 1000);
    EXPECT_EQ(writer->size(), 1000);
    EXPECT_TRUE(writer->flush());
    writer->finish(); // nothing to do: still open
    EXPECT_TRUE(writer->isOpen());
    writer.reset();
    EXPECT_EQ(readAll(m_path), pattern(1000));
}

TEST_F(FileWriterTest, OpenTruncatesAndFailsOnBadPath)
{
    {
        QFile f(m_path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(pattern(64));
    }
    {
        FileWriter writer;
        ASSERT_TRUE(writer.open(m_path));
        EXPECT_EQ(writer.size(), 0);
    }
    FileWriter writer;
    EXPECT_FALSE(writer.open(m_dir.filePath("missing/out.bin")));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_TRUE(writer.flush());
}

TEST_F(FileWriterTest, SeekWhenceTable)
{
    FileWriter writer;
    ASSERT_TRUE(writer.open(m_path));
    ASSERT_EQ(writer.write(pattern(1000)), 1000);

    // From the start the sign of the offset is ignored.
    EXPECT_TRUE(writer.seek(-100, 0));
    EXPECT_EQ(writer.pos(), 100);
    EXPECT_TRUE(writer.seek(250, 0));
    EXPECT_EQ(writer.pos(), 250);

    // From the current position the offset is signed.
    EXPECT_TRUE(writer.seek(10, 1));
    EXPECT_EQ(writer.pos(), 260);
    EXPECT_TRUE(writer.seek(-60, 1));
    EXPECT_EQ(writer.pos(), 200);
    EXPECT_FALSE(writer.seek(-500, 1)); // before the start
    EXPECT_EQ(writer.pos(), 200);

    // From the end both signs mean "before the end".
    EXPECT_TRUE(writer.seek(-16, 2));
    EXPECT_EQ(writer.pos(), 984);
    EXPECT_TRUE(writer.seek(0, 0));
    EXPECT_TRUE(writer.seek(16, 2));
    EXPECT_EQ(writer.pos(), 984);

    for (int whence : {3, 7, -1, 0x10000}) {
        EXPECT_FALSE(writer.seek(0, whence)) << whence;
        EXPECT_EQ(writer.pos(), 984) << whence;
    }
}

TEST_F(FileWriterTest, OverwriteAfterSeekKeepsSize)
{
    {
        FileWriter writer;
        ASSERT_TRUE(writer.open(m_path));
        writer.write(pattern(300));
        ASSERT_TRUE(writer.seek(8, 0));
        EXPECT_EQ(writer.write(QByteArray("ABCD")), 4);
        EXPECT_EQ(writer.pos(), 12);
        EXPECT_EQ(writer.size(), 300);
        ASSERT_TRUE(writer.seek(0, 2));
        writer.write(QByteArray("tail"));
    }
    QByteArray expected = pattern(300);
    expected.replace(8, 4, "ABCD");
    expected.append("tail");
    EXPECT_EQ(readAll(m_path), expected);
}
