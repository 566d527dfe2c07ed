#include "muxer/FileWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

} // namespace

// What lands where after a seek: AvioWriterTest.
TEST(FileWriter, OpenTruncatesSeeksAndFailsOnBadPath)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(pattern(64));
    }
    FileWriter writer;
    ASSERT_TRUE(writer.open(path));
    EXPECT_EQ(writer.size(), 0);
    ASSERT_EQ(writer.write(pattern(1000)), 1000);
    struct Step
    {
        long long offset;
        int whence;
        bool ok;
        long long pos;
    };
    // From the start the sign is ignored, from the current position it counts, from the end
    // both signs mean "before the end"; unknown whence values change nothing.
    for (const Step& s : {Step{-100, 0, true, 100}, Step{250, 0, true, 250}, Step{10, 1, true, 260},
                          Step{-60, 1, true, 200}, Step{-500, 1, false, 200},
                          Step{-16, 2, true, 984}, Step{0, 0, true, 0}, Step{16, 2, true, 984},
                          Step{0, 3, false, 984}, Step{0, -1, false, 984}}) {
        EXPECT_EQ(writer.seek(s.offset, s.whence), s.ok) << s.offset << " " << s.whence;
        EXPECT_EQ(writer.pos(), s.pos) << s.offset << " " << s.whence;
    }
    EXPECT_EQ(writer.size(), 1000);

    FileWriter bad;
    EXPECT_FALSE(bad.open(dir.filePath(QStringLiteral("missing/out.bin"))));
    EXPECT_FALSE(bad.isOpen());
    EXPECT_EQ(bad.write(pattern(4)), -1);
    EXPECT_EQ(bad.errorText(), QStringLiteral("No such file or directory"));
}

// A failed write says why in the system's words, and a file deleted from its folder stops
// taking bytes instead of writing into nowhere.
TEST(FileWriter, FailedWritesKeepTheReason)
{
    FileWriter full;
    ASSERT_TRUE(full.open(QStringLiteral("/dev/full")));
    EXPECT_EQ(full.write(pattern(100)), -1);
    EXPECT_EQ(full.errorText(), QStringLiteral("No space left on device"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    FileWriter writer;
    ASSERT_TRUE(writer.open(path));
    EXPECT_EQ(writer.write(pattern(10)), 10);
    EXPECT_TRUE(writer.errorText().isEmpty());
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(writer.write(pattern(10)), -1);
    EXPECT_EQ(writer.errorText(), QStringLiteral("the file was deleted"));
}
