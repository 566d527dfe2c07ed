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

QString tooLong(const QString& shownName, qint64 bytes)
{
    return QString("recording name '%1' is %2 bytes; at most 255 fit in a file name")
        .arg(shownName)
        .arg(bytes);
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

// A transcoding's parts are numbered after its fixed path; every part of any other recording,
// and of a transcoding without a path or without a free number, is named from the template.
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

// Values go into the name as they are: nothing in a project or source name is read as a
// token, not even together with the template text that follows it.
struct ValueCase
{
    const char* pattern;
    const char* project;
    const char* source;
    const char* expected;
};
inline void PrintTo(const ValueCase& c, std::ostream* os)
{
    *os << "template \"" << c.pattern << "\", project \"" << c.project << "\", source \""
        << c.source << '"';
}
using RecordingNameValues = testing::TestWithParam<ValueCase>;

TEST_P(RecordingNameValues, AreNeverExpandedAgain)
{
    CodecPreset p = namedPreset(GetParam().pattern);
    p.projectName = GetParam().project;
    p.sourceName = GetParam().source;
    EXPECT_EQ(expand(p).toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(RecordingName, RecordingNameValues,
                         testing::Values(ValueCase{"%P_%Y", "%Y-%M", "", "%Y-%M_2024"},
                                         ValueCase{"%P-%S", "%S", "%P", "%S-%P"},
                                         // A value ending in '%' does not join the text after
                                         // it into a token.
                                         ValueCase{"%PY%Y", "%", "", "%Y2024"}));

TEST(RecordingName, TemplateBombEndsAtOnce)
{
    // Forty tokens whose value is two tokens: one pass gives forty copies of the value.
    CodecPreset p = namedPreset(QString("%P").repeated(40));
    p.projectName = "%P%P";
    EXPECT_EQ(expand(p), QString("%P%P").repeated(40));

    // A name of gigabytes is refused after counting its size, without being built.
    p = namedPreset(QString("%P").repeated(1 << 20));
    p.projectName = QString(4096, 'x');
    EXPECT_TRUE(expand(p).isEmpty());
    QString error;
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error, tooLong(QString(48, 'x') + QChar(0x2026) + ".mp4", (4096LL << 20) + 4));
}

// A file name takes 255 bytes of UTF-8, extension included: a name of exactly that size is
// made, one more byte is an error. Names come from the template text or from a token value.
struct LimitCase
{
    const char* label;
    QString pattern;
    QString project;
    qint64 bytes;    // of the file name, ".mp4" included
    QString shownAs; // the start of the name an error shows
};
inline void PrintTo(const LimitCase& c, std::ostream* os)
{
    *os << c.label;
}
using RecordingNameLimit = testing::TestWithParam<LimitCase>;

TEST_P(RecordingNameLimit, CountsUtf8Bytes)
{
    QTemporaryDir tmp;
    CodecPreset p = namedPreset(GetParam().pattern, tmp.path());
    p.projectName = GetParam().project;
    QString error = "stale";
    const QString path = RecordingName::choosePath(p, kNow, &error);
    if (GetParam().bytes <= 255) {
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        EXPECT_EQ(QFileInfo(path).fileName().toUtf8().size(), GetParam().bytes);
        EXPECT_EQ(QFileInfo(path).dir().path(), tmp.path());
        touch(path); // the file system takes it
        EXPECT_TRUE(QFileInfo::exists(path));
    } else {
        EXPECT_TRUE(path.isEmpty()) << path.toStdString();
        EXPECT_EQ(error, tooLong(GetParam().shownAs + QChar(0x2026) + ".mp4", GetParam().bytes));
        // Without the extension it may still fit; beyond, not even the name is given out.
        EXPECT_EQ(expand(p).isEmpty(), GetParam().bytes - 4 > 255);
    }
}

const QString kEuro(QChar(0x20ac));                           // "€", three bytes
const QString kSmile = QString::fromUtf8("\xf0\x9f\x98\x80"); // four bytes, a surrogate pair

INSTANTIATE_TEST_SUITE_P(
    RecordingName, RecordingNameLimit,
    testing::Values(LimitCase{"ascii_fits", QString(251, 'a'), "", 255, ""},
                    LimitCase{"ascii_over", QString(252, 'a'), "", 256, QString(48, 'a')},
                    LimitCase{"three_byte_value_fits", "%P", kEuro.repeated(83) + "ab", 255, ""},
                    LimitCase{"three_byte_value_over", "%Px", kEuro.repeated(83) + "ab", 256,
                              kEuro.repeated(48)},
                    // The shown start is not cut inside a character.
                    LimitCase{"four_byte_fits", "a" + kSmile.repeated(62) + "ab", "", 255, ""},
                    LimitCase{"four_byte_over", "a%P", kSmile.repeated(62) + "abc", 256,
                              "a" + kSmile.repeated(23)},
                    // Far beyond: the start of the name is still shown.
                    LimitCase{"value_far_over", "v_%P_%P", QString(300, 'p'), 607,
                              "v_" + QString(46, 'p')}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.label); });

TEST(RecordingName, SuffixCountsTowardsTheLimit)
{
    QTemporaryDir tmp;
    // 249 bytes: "name.mp4" is 253 and "name 2.mp4" 255, which fits.
    CodecPreset p = namedPreset(QString(249, 'b'), tmp.path());
    touch(tmp.filePath(QString(249, 'b') + ".mp4"));
    QString error;
    EXPECT_EQ(RecordingName::choosePath(p, kNow, &error),
              tmp.filePath(QString(249, 'b') + " 2.mp4"));
    EXPECT_EQ(RecordingName::nextFreePath(tmp.filePath(QString(249, 'b') + ".mp4")),
              tmp.filePath(QString(249, 'b') + " 2.mp4"));

    // 250 bytes: the name itself fits, but once it is taken " 2" would make it 256.
    p = namedPreset(QString(250, 'c'), tmp.path());
    EXPECT_EQ(RecordingName::choosePath(p, kNow, &error), tmp.filePath(QString(250, 'c') + ".mp4"));
    touch(tmp.filePath(QString(250, 'c') + ".mp4"));
    EXPECT_TRUE(RecordingName::choosePath(p, kNow, &error).isEmpty());
    EXPECT_EQ(error, tooLong(QString(48, 'c') + QChar(0x2026) + " 2.mp4", 256) +
                         " (the shorter names are taken)");
    EXPECT_TRUE(RecordingName::nextFreePath(tmp.filePath(QString(250, 'c') + ".mp4")).isEmpty());
}

TEST(RecordingName, FolderNamesHaveTheSameLimit)
{
    QTemporaryDir tmp;
    QString error;
    const QString fits(255, 'f');
    EXPECT_EQ(RecordingName::choosePath(namedPreset("clip", tmp.filePath(fits)), kNow, &error),
              tmp.filePath(fits + "/clip.mp4"));
    EXPECT_TRUE(
        RecordingName::choosePath(namedPreset("clip", tmp.filePath(fits + "g")), kNow, &error)
            .isEmpty());
    EXPECT_EQ(error, QString("folder name '%1' is 256 bytes; at most 255 fit in a file name")
                         .arg(QString(48, 'f') + QChar(0x2026)));
}

// A template that gives no usable file name (nothing, or blanks and dots only) falls back to
// "Untitled" and says so; an empty template is the plain default and says nothing.
struct EmptyCase
{
    const char* pattern;
    const char* project;
    const char* expected;
    bool warns;
};
inline void PrintTo(const EmptyCase& c, std::ostream* os)
{
    *os << "template \"" << c.pattern << "\", project \"" << c.project << '"';
}
using RecordingNameEmpty = testing::TestWithParam<EmptyCase>;

TEST_P(RecordingNameEmpty, FallsBackToUntitled)
{
    QTemporaryDir tmp;
    CodecPreset p = namedPreset(GetParam().pattern, tmp.path());
    p.projectName = GetParam().project;
    MessageCapture log;
    EXPECT_EQ(expand(p).toStdString(), GetParam().expected);
    EXPECT_EQ(RecordingName::choosePath(p, kNow, nullptr),
              tmp.filePath(QString(GetParam().expected) + ".mp4"));
    const QString warning =
        QString("warning: RecordingName: template '%1' expanded to nothing usable as a file "
                "name; using 'Untitled'")
            .arg(GetParam().pattern);
    EXPECT_EQ(log.messages(), (GetParam().warns ? QStringList{warning, warning} : QStringList{}));
}

INSTANTIATE_TEST_SUITE_P(RecordingName, RecordingNameEmpty,
                         testing::Values(EmptyCase{"%P", "", "Untitled", true},
                                         EmptyCase{" %P\t", "", "Untitled", true},
                                         EmptyCase{"%P", "..", "Untitled", true},
                                         EmptyCase{"", "", "Untitled", false},
                                         EmptyCase{".%P", "x", ".x", false}));
