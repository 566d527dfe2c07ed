#include "muxer/ContainerTable.h"
#include "common/CodecTable.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

// Each container the catalogue offers has a row, found by its name, that checks the codecs
// against its own column of the codec table and names the muxer libavformat picks for the
// extension (so a row cannot drift from the file names recordings get).
TEST(ContainerTable, EveryCatalogueContainerHasItsRow)
{
    int count = 0;
    const CodecTable::ContainerName* names = CodecTable::containers(&count);
    for (int i = 0; i < count; ++i) {
        const QString name = QLatin1String(names[i].name);
        ContainerTable::Row row{};
        const AVOutputFormat* format = ContainerTable::forFile(name, &row);
        ASSERT_NE(format, nullptr) << names[i].name;
        EXPECT_STREQ(row.name, names[i].name);
        EXPECT_STREQ(row.codecColumn, names[i].name);
        EXPECT_NE(row.codecCheck, ContainerTable::CodecCheck::None) << names[i].name;
        EXPECT_STREQ(row.muxer, format->name);
        EXPECT_FALSE(row.live);
    }
}

// A live scheme's row names a muxer libavformat has; MPEG-TS streams are checked against the
// ts column before anything is tried. A recording format the table does not list behaves as
// the listed one written with the same muxer, without that one's after-trial check.
TEST(ContainerTable, LiveSchemesAndUnlistedFormats)
{
    for (const char* scheme : {"rtmp", "rtmps", "srt", "tcp", "udp", "rtsp"}) {
        const ContainerTable::Row* row = ContainerTable::forScheme(QLatin1String(scheme));
        ASSERT_NE(row, nullptr) << scheme;
        EXPECT_TRUE(row->live);
        EXPECT_NE(av_guess_format(row->muxer, nullptr, nullptr), nullptr) << scheme;
    }
    EXPECT_EQ(ContainerTable::forScheme(QStringLiteral("http")), nullptr);
    EXPECT_EQ(ContainerTable::forScheme(QStringLiteral("mp4")), nullptr);
    EXPECT_STREQ(ContainerTable::forScheme(QStringLiteral("udp"))->codecColumn, "ts");

    ContainerTable::Row row{};
    ASSERT_NE(ContainerTable::forFile(QStringLiteral("mts"), &row), nullptr);
    EXPECT_EQ(row.interleave, ContainerTable::Interleave::ByStamp);
    EXPECT_EQ(row.codecCheck, ContainerTable::CodecCheck::BeforeTrial);
    EXPECT_FALSE(row.m2tsFraming);
    ASSERT_NE(ContainerTable::forFile(QStringLiteral("mka"), &row), nullptr);
    EXPECT_TRUE(row.clusterLimit);
    EXPECT_EQ(row.codecCheck, ContainerTable::CodecCheck::None);
    EXPECT_EQ(ContainerTable::forFile(QStringLiteral("nosuchformat"), &row), nullptr);
}
