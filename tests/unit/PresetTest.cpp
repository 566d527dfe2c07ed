#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every leaf of a preset's JSON changed from its default (numbers grow, flags flip, texts grow).
QJsonValue changed(const QJsonValue& v)
{
    if (v.isObject()) {
        QJsonObject o = v.toObject();
        for (const QString& key : o.keys())
            o[key] = changed(o.value(key));
        return o;
    }
    if (v.isBool())
        return !v.toBool();
    return v.isString()   ? QJsonValue(v.toString() + QStringLiteral(" ü"))
           : v.isDouble() ? QJsonValue(v.toDouble() + 1)
                          : v;
}

// A preset whose every field differs from its default.
CodecPreset nonDefaultPreset()
{
    CodecPreset p;
    EXPECT_TRUE(p.fromJson(changed(p.toJson()).toObject()));
    return p;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(CodecPreset, JsonRoundTripKeepsEveryField)
{
    CodecPreset original = nonDefaultPreset();
    EXPECT_EQ(original.toJson(), changed(CodecPreset().toJson()).toObject())
        << "every field is read";
    original.videoOutput().frameRate = 59.94; // fractions, which a whole-number reading would lose
    original.setVideoSource({{1, 4}, {2, 7}});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("preset.json"));
    QString error;
    ASSERT_TRUE(original.save(path, &error)) << error.toStdString();

    CodecPreset loaded;
    ASSERT_TRUE(loaded.load(path, &error)) << error.toStdString();
    // Every record is written and read back, the members of the preset itself too.
    EXPECT_EQ(loaded.toJson(), original.toJson());
    EXPECT_EQ(loaded.sourceName, original.sourceName);
    EXPECT_EQ(loaded.videoSource(), (QMap<int, int>{{1, 4}, {2, 7}}));

    // Absent records and fields keep their defaults.
    CodecPreset partial;
    ASSERT_TRUE(
        partial.fromJson(QJsonDocument::fromJson(R"({"videoCodec": {"width": 640}})").object()));
    EXPECT_EQ(partial.videoCodec().width, 640);
    EXPECT_EQ(partial.videoCodec().height, CodecPreset().videoCodec().height);
}

TEST(CodecPreset, SaveReplacesTheFileWholeOrNotAtAll)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("preset.json"));
    CodecPreset plain;
    ASSERT_TRUE(plain.save(path));
    const QByteArray before = readAll(path);

    // A save that runs out of room (file size limit in a child) leaves the previous file.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(nonDefaultPreset().save(path) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("preset.json")})
        << "no temporary file is left behind";

    // A preset with a password, stream key or passphrase is readable by its owner only.
    auto mode = [](const QString& file) {
        struct stat info = {};
        stat(QFile::encodeName(file).constData(), &info);
        return info.st_mode & 0777;
    };
    const mode_t mask = umask(022);
    umask(mask);
    EXPECT_EQ(mode(path), 0666u & ~mask) << "a plain preset gets the usual mode";
    for (int secret = 0; secret < 3; ++secret) {
        CodecPreset p;
        (secret == 0   ? p.streaming().password
         : secret == 1 ? p.streaming().streamKey
                       : p.streaming().srtPassphrase) = QStringLiteral("s3cret");
        const QString file = dir.filePath(QStringLiteral("secret%1.json").arg(secret));
        ASSERT_TRUE(p.save(file));
        EXPECT_EQ(mode(file), 0600u) << secret;
    }
    ASSERT_TRUE(nonDefaultPreset().save(path)); // over an existing world-readable file too
    EXPECT_EQ(mode(path), 0600u);
}

TEST(CodecPreset, BadJsonGivesAReasonAndLeavesThePresetUnchanged)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"videoCodec": {"width": "wide"}})", "videoCodec.width: expected a whole number"},
        {R"({"videoCodec": {"width": 2.5}})", "videoCodec.width: expected a whole number"},
        {R"({"videoCodec": {"width": 1e12}})", "videoCodec.width: expected a whole number"},
        {R"({"videoCodec": {"enabled": 1}})", "videoCodec.enabled: expected true or false"},
        {R"({"videoCodec": {"frameRate": "30"}})", "videoCodec.frameRate: expected a number"},
        {R"({"audioCodec": {"codecName": 5}})", "audioCodec.codecName: expected a string"},
        {R"({"videoCodec": {"widht": 5}})", "videoCodec.widht: unknown field"},
        {R"({"videoCodc": {}})", "videoCodc: unknown field"},
        {R"({"local": []})", "local: expected an object"},
        {R"({"videoSource": {"a": 1}})", "videoSource.a: key is not a source index"},
        {R"({"encoderType": true})", "preset.encoderType: expected a whole number"},
    };
    for (const auto& [json, reason] : cases) {
        CodecPreset p;
        p.videoCodec().height = 480;
        // A valid field before the bad one must not be applied either.
        QJsonObject o = QJsonDocument::fromJson(json).object();
        o.insert(QStringLiteral("container"),
                 QJsonObject{{QStringLiteral("format"), QStringLiteral("ts")}});
        QString error;
        EXPECT_FALSE(p.fromJson(o, &error)) << json;
        EXPECT_EQ(error.toStdString(), reason) << json;
        EXPECT_EQ(p.container().format, QStringLiteral("mp4")) << json;
        EXPECT_EQ(p.videoCodec().height, 480) << json;
    }
}

TEST(CodecPreset, MalformedFileNamesFileAndLine)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.json"));
    auto load = [&](const char* text) {
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
        f.close();
        QString error;
        EXPECT_FALSE(CodecPreset().load(path, &error)) << text;
        return error;
    };
    QString error = load("{\n  \"videoCodec\": {\n    \"width\": ,\n  }\n}\n");
    EXPECT_TRUE(error.startsWith(path + QStringLiteral(": line 3:"))) << error.toStdString();
    error = load("[1, 2]");
    EXPECT_TRUE(error.endsWith(QStringLiteral("expected a JSON object"))) << error.toStdString();
    EXPECT_FALSE(CodecPreset().load(dir.filePath(QStringLiteral("missing.json")), &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot open"))) << error.toStdString();
}

TEST(PixelFormat, NamesProResProfilesAndPackedFrameSizes)
{
    // The codes are part of the interface: a spot check, then the whole table both ways.
    EXPECT_STREQ(pixelFormatName(22), "ARGB");
    EXPECT_EQ(pixelFormatName(31), nullptr);
    for (int i = 0; i < PIX_FORMAT_COUNT; ++i)
        EXPECT_EQ(pixelFormatFromName(pixelFormatName(i)), i);
    EXPECT_STREQ(proResProfileName(5), "XQ");
    EXPECT_EQ(proResProfileName(6), nullptr);

    // clang-format off
    const int cases[][4] = { // format, width, height, bytes
        // (NV12, YUV420P, YUYV, BGRA, 10-bit 4:2:2: InterlaceTest)
        {PIX_YV12, 4, 2, 8 + 2 + 2}, {PIX_ARGB, 1280, 720, 1280 * 720 * 4},
        {PIX_BGR24, 3, 3, 27}, {PIX_UYVY, 4, 2, 16}, {PIX_NV12, 0, 720, 0},
        // V210 rows are whole groups of 48 pixels in 128 bytes.
        {PIX_V210, 1920, 1080, 40 * 128 * 1080}, {PIX_V210, 1280, 720, 27 * 128 * 720},
        {PIX_V210, 1, 2, 256}, {PIX_V210, 0, 2, 0},
        // No fixed layout.
        {PIX_TEXTURE, 1280, 720, 0}, {PIX_H264, 1280, 720, 0}, {PIX_UYVA, 16, 16, 0},
        {PIX_NV61, 16, 16, 0},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(pixelFormatFrameSize(c[0], c[1], c[2]), c[3])
            << pixelFormatName(c[0]) << " " << c[1] << "x" << c[2];
}
