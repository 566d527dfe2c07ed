#include "muxer/RecordingName.h"
#include "common/CodecPreset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QDateTime kNow(QDate(2024, 3, 5), QTime(14, 7, 9));

CodecPreset namedPreset(const QString& nameTemplate)
{
    CodecPreset p;
    p.local().fileNameTemplate = nameTemplate;
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

} // namespace

TEST(RecordingName, DateAndTimeTokens)
{
    EXPECT_EQ(expand(namedPreset("Show_%Y-%M-%D_%h%m%s")), "Show_2024-03-05_140709");
    // Single-digit fields are zero-padded; month and minute do not mix up.
    const QDateTime early(QDate(2031, 11, 2), QTime(3, 45, 0));
    EXPECT_EQ(RecordingName::expandTemplate(namedPreset("%D.%M.%Y %h-%m-%s"), early),
              "02.11.2031 03-45-00");
}

TEST(RecordingName, CodecBitrateAndResolution)
{
    CodecPreset p = namedPreset("%C_%B_%R");
    auto& v = p.videoCodec();
    v.codecName = "Apple ProRes";
    v.width = 1920;
    v.height = 1080;
    v.codecProfile = 5; // beyond HQ: clamped
    EXPECT_EQ(expand(p), "Apple ProRes_HQ_1920x1080");
    v.codecProfile = -2;
    EXPECT_EQ(expand(p), "Apple ProRes_PROXY_1920x1080");
    v.codecProfile = 1;
    EXPECT_EQ(expand(p), "Apple ProRes_LT_1920x1080");

    v.codecName = "MJPEG";
    v.bitrate = 25999; // whole Mbit/s, truncated
    EXPECT_EQ(expand(p), "MJPEG_25Mbps_1920x1080");

    v.codecName = "X264";
    v.bitrate = 4500;
    v.width = 1280;
    v.height = 720;
    EXPECT_EQ(expand(p), "X264_4500Kbps_1280x720");

    v.codecName = "DV25"; // fixed rate and size whatever the record says
    EXPECT_EQ(expand(p), "DV25_28770Kbps_720x480");
}

TEST(RecordingName, EmptyTemplateIsUntitled)
{
    EXPECT_EQ(expand(namedPreset(QString())), "Untitled");
}

TEST(RecordingName, ProjectAndSource)
{
    CodecPreset p = namedPreset("%P-%S");
    p.projectName = "News";
    p.sourceName = "Camera 2";
    EXPECT_EQ(expand(p), "News-Camera 2");

    p.sourceName.clear();
    p.setVideoSource({{1, 7}});
    EXPECT_EQ(expand(p), "News-PGM CLEAN");
    p.setVideoSource({{2, 1}, {0, 1}}); // the smallest key decides
    EXPECT_EQ(expand(p), "News-PGM");
    p.setVideoSource({{2, 0}});
    EXPECT_EQ(expand(p), "News-PVW");
    p.setVideoSource({{5, 1}});
    EXPECT_EQ(expand(p), "News-");
    p.setVideoSource({});
    EXPECT_EQ(expand(p), "News-");
}

TEST(RecordingName, UnknownTokensAndStrayPercentsStay)
{
    EXPECT_EQ(expand(namedPreset("take%Q_%Y%")), "take%Q_2024%");
    EXPECT_EQ(expand(namedPreset("100%%Y")), "100%2024");
    // Tokens are case-sensitive: %y and %d are not %Y and %D.
    EXPECT_EQ(expand(namedPreset("%y%d")), "%y%d");
}

TEST(RecordingName, FirstFreeNameWins)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    CodecPreset p = namedPreset("name");
    p.local().folder = tmp.path();
    p.container().format = "mp4";

    QString error = "stale";
    EXPECT_EQ(RecordingName::choosePath(p, kNow, &error), tmp.filePath("name.mp4"));
    EXPECT_TRUE(error.isEmpty());

    touch(tmp.filePath("name.mp4"));
    touch(tmp.filePath("name 2.mp4"));
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("name 3.mp4"));

    // Another container is another name.
    p.container().format = "mkv";
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("name.mkv"));
}

TEST(RecordingName, PercentInNameSurvivesSuffix)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    CodecPreset p = namedPreset("a%2b%1");
    p.local().folder = tmp.path();
    touch(tmp.filePath("a%2b%1.mp4"));
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("a%2b%1 2.mp4"));
}

TEST(RecordingName, MissingFolderIsCreated)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    CodecPreset p = namedPreset("%Y/clip");
    p.local().folder = tmp.path() + "/day/"; // trailing separator is harmless

    // Two levels missing: only one is created, so this fails.
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error, QString("cannot create folder '%1'").arg(tmp.path() + "/day/2024"));

    ASSERT_TRUE(QDir(tmp.path()).mkdir("day"));
    const QString path = RecordingName::choosePath(p, kNow, &error);
    EXPECT_EQ(path, tmp.path() + "/day/2024/clip.mp4");
    EXPECT_TRUE(QFileInfo(tmp.path() + "/day/2024").isDir());
    EXPECT_FALSE(QFileInfo::exists(path)); // only the folder, never the file
}

TEST(RecordingName, FolderBlockedByFile)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    touch(tmp.filePath("blocker"));
    CodecPreset p = namedPreset("clip");
    p.local().folder = tmp.filePath("blocker");
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error, QString("cannot create folder '%1'").arg(tmp.filePath("blocker")));
}

TEST(RecordingName, AllNamesTaken)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    CodecPreset p = namedPreset("busy");
    p.local().folder = tmp.path();
    p.container().format = "ts";
    touch(tmp.filePath("busy.ts"));
    for (int n = 2; n <= 998; ++n)
        touch(tmp.filePath(QString("busy %1.ts").arg(n)));
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr), tmp.filePath("busy 999.ts"));

    touch(tmp.filePath("busy 999.ts"));
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error,
              QString("all names for '%1' up to ' 999' are taken").arg(tmp.filePath("busy.ts")));
}

TEST(RecordingName, EmptyFolderIsCurrentDirectory)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    const QString path = RecordingName::choosePath(namedPreset("here"), kNow, nullptr);
    QDir::setCurrent(previous);
    EXPECT_EQ(path, QDir(tmp.path()).canonicalPath() + "/here.mp4");
}
