#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

CodecPreset nonDefaultPreset()
{
    CodecPreset p;
    p.videoOutput() = {1920, 1080, 59.94, true};
    p.audioOutput() = {1, 44100, 16, 4096};
    p.processing() = {3, 1, 7};
    p.deviceInfo().deviceIndex = 2;
    p.projectName = QStringLiteral("Show");
    p.sourceName = QStringLiteral("Cam ü");
    p.encoderType = 5;
    auto& v = p.videoCodec();
    v.enabled = false;
    v.codecName = QStringLiteral("Apple ProRes");
    v.bitrate = 123456;
    v.frameRate = 29.97;
    v.scanMode = 2;
    v.auxMode = 3;
    v.width = 720;
    v.height = 576;
    v.auxFlag = true;
    v.scaleMode = 1;
    v.codecProfile = 4;
    v.keyframeInterval = 5;
    v.auxValue = -9;
    v.preset = QStringLiteral("slow");
    v.tune = QStringLiteral("film");
    v.profileIdc = 77;
    v.bFrames = 3;
    p.audioCodec() = {false, QStringLiteral("MP3"), 22050, 64, 16, 1};
    p.container().format = QStringLiteral("mkv");
    p.local() = {false, QStringLiteral("/tmp/rec"), QStringLiteral("%P_%Y"),
                 QStringLiteral("/x.mkv"), 10};
    auto& s = p.streaming();
    s.enabled = true;
    s.rtmpMode = 1;
    s.url = QStringLiteral("rtmp://127.0.0.1/live");
    s.streamKey = QStringLiteral("key");
    s.authEnabled = true;
    s.userName = QStringLiteral("u");
    s.password = QStringLiteral("p");
    s.srtMode = QStringLiteral("listener");
    s.srtFilter = QStringLiteral("fec");
    s.srtPort = 9000;
    s.srtLatency = 250;
    s.srtKeyLength = 16;
    s.srtPassphrase = QStringLiteral("0123456789");
    s.srtStreamId = QStringLiteral("id");
    p.transcoding().enabled = true;
    p.setVideoSource({{1, 4}, {2, 7}});
    return p;
}

} // namespace

TEST(CodecPreset, JsonRoundTripKeepsEveryField)
{
    const CodecPreset original = nonDefaultPreset();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("preset.json"));
    QString error;
    ASSERT_TRUE(original.save(path, &error)) << error.toStdString();

    CodecPreset loaded;
    ASSERT_TRUE(loaded.load(path, &error)) << error.toStdString();
    // The JSON forms agree and every record compares equal field by field.
    EXPECT_EQ(loaded.toJson(), original.toJson());
    EXPECT_TRUE(loaded.videoCodec() == original.videoCodec());
    EXPECT_EQ(loaded.videoCodec().frameRate, 29.97);
    EXPECT_EQ(loaded.videoOutput().frameRate, 59.94);
    EXPECT_EQ(loaded.audioCodec().codecName, QStringLiteral("MP3"));
    EXPECT_EQ(loaded.local().splitSeconds, 10);
    EXPECT_EQ(loaded.streaming().srtPassphrase, QStringLiteral("0123456789"));
    EXPECT_EQ(loaded.sourceName, QStringLiteral("Cam ü"));
    EXPECT_EQ(loaded.encoderType, 5);
    EXPECT_EQ(loaded.videoSource(), (QMap<int, int>{{1, 4}, {2, 7}}));
    EXPECT_EQ(loaded.processing().liveBacklogSeconds, 7);
    EXPECT_EQ(loaded.deviceInfo().deviceIndex, 2);
}

TEST(CodecPreset, CopyAndAssignmentAreDeep)
{
    CodecPreset a = nonDefaultPreset();
    CodecPreset b(a);
    CodecPreset c;
    c = a;
    a.videoCodec().width = 1;
    a.setVideoSource({});
    EXPECT_EQ(b.videoCodec().width, 720);
    EXPECT_EQ(c.videoCodec().width, 720);
    EXPECT_EQ(c.videoSource().size(), 2);
    // Through the base class too: a ProjectPreset copy takes the project records.
    ProjectPreset& base = c;
    ProjectPreset projectCopy = base;
    EXPECT_EQ(projectCopy.videoOutput().width, 1920);
}

TEST(CodecPreset, PartialJsonKeepsDefaults)
{
    CodecPreset p;
    QString error;
    const auto doc = QJsonDocument::fromJson(R"({"videoCodec": {"width": 640}})");
    ASSERT_TRUE(p.fromJson(doc.object(), &error)) << error.toStdString();
    EXPECT_EQ(p.videoCodec().width, 640);
    EXPECT_EQ(p.videoCodec().height, CodecPreset().videoCodec().height);
    EXPECT_EQ(p.container().format, QStringLiteral("mp4"));
}

TEST(CodecPreset, BadJsonGivesAReasonAndLeavesThePresetUnchanged)
{
    struct Case
    {
        const char* json;
        const char* reason;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        CodecPreset p;
        p.videoCodec().height = 480;
        // A valid field before the bad one must not be applied either.
        QJsonObject o = QJsonDocument::fromJson(c.json).object();
        o.insert(QStringLiteral("container"),
                 QJsonObject{{QStringLiteral("format"), QStringLiteral("ts")}});
        QString error;
        EXPECT_FALSE(p.fromJson(o, &error)) << c.json;
        EXPECT_EQ(error.toStdString(), c.reason) << c.json;
        EXPECT_EQ(p.container().format, QStringLiteral("mp4")) << c.json;
        EXPECT_EQ(p.videoCodec().height, 480) << c.json;
    }
}

TEST(CodecPreset, MalformedFileNamesFileAndLine)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.json"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{\n  \"videoCodec\": {\n    \"width\": ,\n  }\n}\n");
    f.close();
    CodecPreset p;
    QString error;
    EXPECT_FALSE(p.load(path, &error));
    EXPECT_TRUE(error.startsWith(path + QStringLiteral(": line 3:"))) << error.toStdString();

    EXPECT_FALSE(p.load(dir.filePath(QStringLiteral("missing.json")), &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot open"))) << error.toStdString();

    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[1, 2]");
    f.close();
    EXPECT_FALSE(p.load(path, &error));
    EXPECT_TRUE(error.endsWith(QStringLiteral("expected a JSON object"))) << error.toStdString();
}

TEST(PixelFormat, NamesAndProResProfiles)
{
    EXPECT_STREQ(pixelFormatName(0), "NONE");
    EXPECT_STREQ(pixelFormatName(10), "NV12");
    EXPECT_STREQ(pixelFormatName(22), "ARGB");
    EXPECT_STREQ(pixelFormatName(30), "TEXTURE");
    EXPECT_EQ(pixelFormatName(31), nullptr);
    EXPECT_EQ(pixelFormatName(-1), nullptr);
    for (int i = 0; i < PIX_FORMAT_COUNT; ++i)
        EXPECT_EQ(pixelFormatFromName(pixelFormatName(i)), i);
    EXPECT_EQ(pixelFormatFromName("nv12"), -1);
    const char* profiles[] = {"PROXY", "LT", "STANDARD", "HQ", "4444", "XQ"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(proResProfileName(i), profiles[i]);
    EXPECT_EQ(proResProfileName(6), nullptr);
}

TEST(PixelFormat, PackedFrameSizes)
{
    EXPECT_EQ(pixelFormatFrameSize(PIX_NV12, 1280, 720), 1280 * 720 * 3 / 2);
    EXPECT_EQ(pixelFormatFrameSize(PIX_YV12, 4, 2), 8 + 2 + 2);
    EXPECT_EQ(pixelFormatFrameSize(PIX_YUV422P10, 1920, 1080), 1920 * 1080 * 4);
    EXPECT_EQ(pixelFormatFrameSize(PIX_ARGB, 1280, 720), 1280 * 720 * 4);
    EXPECT_EQ(pixelFormatFrameSize(PIX_BGR24, 3, 3), 27);
    EXPECT_EQ(pixelFormatFrameSize(PIX_UYVY, 4, 2), 16);
    EXPECT_EQ(pixelFormatFrameSize(PIX_TEXTURE, 1280, 720), 0);
    EXPECT_EQ(pixelFormatFrameSize(PIX_H264, 1280, 720), 0);
    EXPECT_EQ(pixelFormatFrameSize(PIX_NV12, 0, 720), 0);
}
