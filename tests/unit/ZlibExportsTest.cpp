// A host that defines Z_PREFIX before including zlib's header calls the library's z_ functions.
#define Z_PREFIX
#include <zlib.h>

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

// 1 MB through compress/uncompress, and a gzip file written with the gz functions that the
// system's gzip reads back.
TEST(ZlibExports, RoundTripAndAGzipFileGzipReads)
{
    std::vector<Bytef> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<Bytef>((i * i >> 7) % 251);
    uLongf packedSize = z_compressBound(data.size());
    std::vector<Bytef> packed(packedSize);
    ASSERT_EQ(z_compress(packed.data(), &packedSize, data.data(), data.size()), Z_OK);
    EXPECT_LT(packedSize, data.size());
    std::vector<Bytef> back(data.size());
    uLongf backSize = back.size();
    ASSERT_EQ(z_uncompress(back.data(), &backSize, packed.data(), packedSize), Z_OK);
    EXPECT_TRUE(backSize == data.size() && back == data);

    QTemporaryDir dir;
    const QByteArray path = dir.filePath(QStringLiteral("data.gz")).toLocal8Bit();
    gzFile file = z_gzopen(path.constData(), "wb9");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(z_gzwrite(file, data.data(), static_cast<unsigned>(data.size())),
              static_cast<int>(data.size()));
    EXPECT_GT(z_gzprintf(file, "end %d\n", 42), 0);
    ASSERT_EQ(z_gzclose(file), Z_OK);
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc"), QString::fromLocal8Bit(path)});
    ASSERT_TRUE(gzip.waitForFinished(10000));
    const QByteArray out = gzip.readAllStandardOutput();
    EXPECT_EQ(out, QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size())) +
                       QByteArray("end 42\n"));
    EXPECT_EQ(z_crc32(0, data.data(), static_cast<uInt>(data.size())),
              z_crc32_z(0, back.data(), back.size()));
}
