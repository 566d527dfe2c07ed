#include "muxer/RecordingName.h"
#include "MessageCapture.h"
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

} // namespace

// One pass over the template; nothing usable gives "Untitled" (a warning unless it is empty).
TEST(RecordingName, TemplatesExpandInOnePass)
{
    struct Case
    {
        const char *pattern, *project, *source, *expected;
        bool warns;
    };
    for (const Case& c : {
             Case{"Show_%Y-%M-%D_%h%m%s", "", "", "Show_2024-03-05_140709", false},
             Case{"%P-%S", "News", "Camera 2", "News-Camera 2", false},
             // Unknown tokens, stray percents and wrong-case letters are kept as written.
             Case{"take%Q_%Y%", "", "", "take%Q_2024%", false},
             Case{"%y%d", "", "", "%y%d", false},
             // Separators from the template or a token never leave the folder.
             Case{"../x", "", "", ".._x", false},
             Case{"/%P/", "News/Late", "", "_News_Late_", false},
             // Values go in as they are, never read for tokens, not even with the text after them.
             Case{"%P_%Y", "%Y-%M", "", "%Y-%M_2024", false},
             Case{"%PY%Y", "%", "", "%Y2024", false},
             // Nothing usable (empty, blanks, dots): "Untitled".
             Case{"%P", "", "", "Untitled", true},
             Case{" %P\t", "", "", "Untitled", true},
             Case{"%P", "..", "", "Untitled", true},
             Case{"", "", "", "Untitled", false},
             Case{".%P", "x", "", ".x", false},
         }) {
        SCOPED_TRACE(testing::Message() << c.pattern << " with " << c.project << ", " << c.source);
        CodecPreset p = namedPreset(c.pattern);
        p.projectName = c.project;
        p.sourceName = c.source;
        MessageCapture log;
        EXPECT_EQ(expand(p).toStdString(), c.expected);
        const QString warning = QString("warning: RecordingName: template '%1' expanded to "
                                        "nothing usable as a file name; using 'Untitled'")
                                    .arg(c.pattern);
        EXPECT_EQ(log.messages(), c.warns ? QStringList{warning} : QStringList{});
    }
}

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
    EXPECT_EQ(RecordingName::choosePath(namedPreset("%P", tmp.path()), kNow, nullptr),
              tmp.filePath("Untitled.mp4"));
}

// A transcoding's parts are numbered after its fixed path; all other parts follow the template.
TEST(RecordingName, PartsOfAFixedPathAreNumberedAndOthersFollowTheTemplate)
{
    QTemporaryDir tmp;
    CodecPreset p = namedPreset("take", tmp.path());
    const QString fixed = tmp.filePath("clip.mp4");
    p.local().recordingPath = fixed;
    QString error = "stale";
    for (int part : {1, 2})
        EXPECT_EQ(RecordingName::partPath(p, part, fixed, kNow, nullptr), tmp.filePath("take.mp4"));

    p.transcoding().enabled = true;
    EXPECT_EQ(RecordingName::partPath(p, 1, QString(), kNow, &error), fixed);
    EXPECT_TRUE(error.isEmpty());
    touch(fixed);
    touch(tmp.filePath("clip 2.mp4"));
    EXPECT_EQ(RecordingName::partPath(p, 3, fixed, kNow, nullptr), tmp.filePath("clip 3.mp4"));
    p.local().recordingPath.clear();
    EXPECT_EQ(RecordingName::partPath(p, 1, QString(), kNow, nullptr), tmp.filePath("take.mp4"));
    const QString longest = tmp.filePath(QString(250, 'c') + ".mp4"); // no room for " 2"
    EXPECT_EQ(RecordingName::partPath(p, 2, longest, kNow, nullptr), tmp.filePath("take.mp4"));
}

TEST(RecordingName, FolderIsCreatedOneLevelHasTheNameLimitAndEmptyIsTheCurrentDirectory)
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

    // A folder name has the file name's limit.
    const QString fits(255, 'f');
    EXPECT_EQ(RecordingName::choosePath(namedPreset("clip", tmp.filePath(fits)), kNow, &error),
              tmp.filePath(fits + "/clip.mp4"));
    EXPECT_TRUE(
        RecordingName::choosePath(namedPreset("clip", tmp.filePath(fits + "g")), kNow, &error)
            .isEmpty());
    EXPECT_EQ(error, QString("folder name '%1' is 256 bytes; at most 255 fit in a file name")
                         .arg(QString(48, 'f') + QChar(0x2026)));

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

// 255 bytes of UTF-8 fit, one more is an error showing the name's start cut between characters.
TEST(RecordingName, LimitCountsUtf8Bytes)
{
    const QString euro(QChar(0x20ac));                           // three bytes
    const QString smile = QString::fromUtf8("\xf0\x9f\x98\x80"); // four, a surrogate pair
    struct Case
    {
        QString pattern, project;
        qint64 bytes;    // of the file name, ".mp4" included
        QString shownAs; // the start of the name an error shows
    };
    for (const Case& c : {
             Case{QString(251, 'a'), "", 255, ""},
             Case{QString(252, 'a'), "", 256, QString(48, 'a')},
             Case{"%Px", euro.repeated(83) + "ab", 256, euro.repeated(48)},
             Case{"a%P", smile.repeated(62) + "abc", 256, "a" + smile.repeated(23)},
             Case{"v_%P_%P", QString(300, 'p'), 607, "v_" + QString(46, 'p')},
         }) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, " << c.shownAs.toStdString());
        QTemporaryDir tmp;
        CodecPreset p = namedPreset(c.pattern, tmp.path());
        p.projectName = c.project;
        QString error = "stale";
        const QString path = RecordingName::choosePath(p, kNow, &error);
        if (c.bytes <= 255) {
            EXPECT_TRUE(error.isEmpty()) << error.toStdString();
            EXPECT_EQ(QFileInfo(path).fileName().toUtf8().size(), c.bytes);
            EXPECT_EQ(QFileInfo(path).dir().path(), tmp.path());
            touch(path); // the file system takes it
            EXPECT_TRUE(QFileInfo::exists(path));
        } else {
            EXPECT_TRUE(path.isEmpty()) << path.toStdString();
            EXPECT_EQ(error,
                      QString("recording name '%1' is %2 bytes; at most 255 fit in a file name")
                          .arg(c.shownAs + QChar(0x2026) + ".mp4")
                          .arg(c.bytes));
            // Without the extension it may still fit; beyond, not even the name is given out.
            EXPECT_EQ(expand(p).isEmpty(), c.bytes - 4 > 255);
        }
    }
}
