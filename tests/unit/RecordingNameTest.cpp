#include "muxer/RecordingName.h"
#include "common/CodecPreset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QDateTime kNow(QDate(2024, 3, 5), QTime(14, 7, 9));

CodecPreset namedPreset(const QString& nameTemplate, const QString& folder = QString())
{
    CodecPreset p;
    p.local().fileNameTemplate = nameTemplate;
    p.local().folder = folder;
    return p;
}

QString expand(const CodecPreset& p)
{
    return RecordingName::expandTemplate(p, kNow);
}

void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

using NameCase = std::pair<std::string, std::string>; // template, expected name
using RecordingNameTemplate = testing::TestWithParam<NameCase>;

} // namespace

TEST_P(RecordingNameTemplate, Expands)
{
    CodecPreset p = namedPreset(QString::fromStdString(GetParam().first));
    p.projectName = "News/Late";
    p.sourceName = "Camera 2";
    EXPECT_EQ(expand(p).toStdString(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    RecordingName, RecordingNameTemplate,
    testing::Values(NameCase{"Show_%Y-%M-%D_%h%m%s", "Show_2024-03-05_140709"},
                    NameCase{"", "Untitled"}, NameCase{"%P-%S", "News_Late-Camera 2"},
                    // Unknown tokens, stray percents and wrong-case letters are kept as written.
                    NameCase{"take%Q_%Y%", "take%Q_2024%"}, NameCase{"100%%Y", "100%2024"},
                    NameCase{"%y%d", "%y%d"},
                    // Separators from the template or a token never leave the folder.
                    NameCase{"../x", ".._x"}, NameCase{"/%P/", "_News_Late_"}));

TEST(RecordingName, CodecWords)
{
    CodecPreset p = namedPreset("%C_%B_%R");
    auto& v = p.videoCodec();
    v.codecName = "Apple ProRes";
    v.width = 1920;
    v.height = 1080;
    v.codecProfile = 5; // clamped to the four profiles
    EXPECT_EQ(expand(p), "Apple ProRes_HQ_1920x1080");
    v.codecProfile = -2;
    EXPECT_EQ(expand(p), "Apple ProRes_PROXY_1920x1080");
    v.codecName = "MJPEG";
    v.bitrate = 25999; // whole Mbit/s, truncated
    EXPECT_EQ(expand(p), "MJPEG_25Mbps_1920x1080");
    v.codecName = "DV25"; // fixed rate and size whatever the record says
    EXPECT_EQ(expand(p), "DV25_28770Kbps_720x480");
    v.codecName = "X264";
    EXPECT_EQ(expand(p), "X264_25999Kbps_1920x1080");
}

TEST(RecordingName, SourceFromVideoSourceMap)
{
    CodecPreset p = namedPreset("%P-%S");
    p.projectName = "News";
    const std::pair<QMap<int, int>, const char*> sources[] = {
        {{{1, 7}}, "News-PGM CLEAN"},
        {{{2, 1}, {0, 1}}, "News-PGM"}, // the smallest key decides
        {{{2, 0}}, "News-PVW"},
        {{{5, 1}}, "News-"},
        {{}, "News-"}};
    for (const auto& [map, expected] : sources) {
        p.setVideoSource(map);
        EXPECT_EQ(expand(p), expected);
    }
}

TEST(RecordingName, FirstFreeNameInsideTheFolder)
{
    QTemporaryDir tmp;
    CodecPreset p = namedPreset("a%2b%1", tmp.path());
    QString error = "stale";
    EXPECT_EQ(RecordingName::choosePath(p, kNow, &error), tmp.filePath("a%2b%1.mp4"));
    EXPECT_TRUE(error.isEmpty());
    touch(tmp.filePath("a%2b%1.mp4"));
    touch(tmp.filePath("a%2b%1 2.mp4"));
    // '%' in the name is not taken for a placeholder when the suffix goes in.
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("a%2b%1 3.mp4"));
    p.container().format = "mkv";
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("a%2b%1.mkv"));

    // "../" would leave the folder; a NUL would cut the path short of its extension.
    p = namedPreset(QString("../cut") + QChar(0) + "here", tmp.path());
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath(".._cut_here.mp4"));
}

TEST(RecordingName, FolderIsCreatedOneLevelAndEmptyIsTheCurrentDirectory)
{
    QTemporaryDir tmp;
    CodecPreset p = namedPreset("clip", tmp.path() + "/day/2024/"); // trailing '/' is harmless
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error, QString("cannot create folder '%1'").arg(tmp.path() + "/day/2024"));

    ASSERT_TRUE(QDir(tmp.path()).mkdir("day"));
    const QString path = RecordingName::choosePath(p, kNow, &error);
    EXPECT_EQ(path, tmp.path() + "/day/2024/clip.mp4");
    EXPECT_TRUE(QFileInfo(tmp.path() + "/day/2024").isDir());
    EXPECT_FALSE(QFileInfo::exists(path)); // only the folder, never the file

    touch(tmp.filePath("blocker"));
    EXPECT_TRUE(
        RecordingName::choosePath(namedPreset("clip", tmp.filePath("blocker")), kNow, &error)
            .isEmpty());
    EXPECT_EQ(error, QString("cannot create folder '%1'").arg(tmp.filePath("blocker")));

    // No folder: the current directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    const QString here = RecordingName::choosePath(namedPreset("here"), kNow, nullptr);
    QDir::setCurrent(previous);
    EXPECT_EQ(here, QDir(tmp.path()).canonicalPath() + "/here.mp4");
}

TEST(RecordingName, AllNamesTaken)
{
    QTemporaryDir tmp;
    const CodecPreset p = namedPreset("busy", tmp.path());
    touch(tmp.filePath("busy.mp4"));
    for (int n = 2; n <= 998; ++n)
        touch(tmp.filePath(QString("busy %1.mp4").arg(n)));
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("busy 999.mp4"));

    touch(tmp.filePath("busy 999.mp4"));
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error,
              QString("all names for '%1' up to ' 999' are taken").arg(tmp.filePath("busy.mp4")));
}
