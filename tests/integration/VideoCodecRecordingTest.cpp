#include "Probe.h"
#include "RecordingHarness.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

namespace {

CodecPreset videoOnly(const QString& folder, const QString& codec, const QString& container,
                      int w = 320, int h = 240)
{
    CodecPreset p = RecordingHarness::preset(folder, container, w, h);
    p.videoCodec().codecName = codec;
    p.audioCodec().enabled = false;
    return p;
}

void expectDecodes(const QString& path, long long frames, const QString& codecName)
{
    SCOPED_TRACE(path.toStdString());
    QString errors;
    EXPECT_TRUE(Probe::decodesCleanly(path, &errors)) << errors.toStdString();
    const QJsonObject v = Probe::stream(path, QStringLiteral("video"));
    EXPECT_EQ(v.value(QStringLiteral("codec_name")).toString(), codecName);
    EXPECT_EQ(v.value(QStringLiteral("nb_read_frames")).toString().toLongLong(), frames);
}

} // namespace

TEST(VideoCodecRecording, OpenH264InMp4AndFlv)
{
    for (const char* container : {"mp4", "flv"}) {
        QTemporaryDir dir;
        RecordingHarness harness;
        CodecPreset preset = RecordingHarness::preset(dir.path(), QLatin1String(container));
        preset.videoCodec().codecName = QStringLiteral("H264");
        const RecordingHarness::Result r = harness.record(preset, 90);
        ASSERT_EQ(r.initResult, 0) << container;
        EXPECT_GT(r.packets, 80);
        expectDecodes(r.lastPath, r.packets, QStringLiteral("h264"));
        const QVector<bool> keys = Probe::keyFlags(r.lastPath);
        ASSERT_FALSE(keys.isEmpty());
        EXPECT_TRUE(keys.front());
        EXPECT_TRUE(keys.size() > 60 && keys[60]) << "key frame every 2 s at 30 fps";
    }
}

TEST(VideoCodecRecording, Vp8AndVp9InWebmAndMkv)
{
    for (const char* codec : {"VP8", "VP9"}) {
        for (const char* container : {"webm", "mkv"}) {
            QTemporaryDir dir;
            RecordingHarness harness;
            const RecordingHarness::Result r = harness.record(
                videoOnly(dir.path(), QLatin1String(codec), QLatin1String(container)), 130);
            ASSERT_EQ(r.initResult, 0) << codec << " " << container;
            EXPECT_EQ(r.packets, 130) << codec;
            expectDecodes(r.lastPath, r.packets, QString::fromLatin1(codec).toLower());
            const QVector<bool> keys = Probe::keyFlags(r.lastPath);
            ASSERT_EQ(keys.size(), 130);
            for (int i = 0; i < keys.size(); ++i)
                EXPECT_EQ(keys[i], i % 60 == 0) << codec << " " << container << " frame " << i;
        }
    }
}

TEST(VideoCodecRecording, TwoVp8PipelinesAtOnce)
{
    QTemporaryDir a, b;
    RecordingHarness ha, hb;
    RecordingHarness::Result ra, rb;
    std::thread first([&] {
        ra = ha.record(videoOnly(a.path(), QStringLiteral("VP8"), QStringLiteral("webm")), 90);
    });
    std::thread second([&] {
        rb = hb.record(videoOnly(b.path(), QStringLiteral("VP8"), QStringLiteral("webm"), 640, 360),
                       90);
    });
    first.join();
    second.join();
    ASSERT_EQ(ra.initResult, 0);
    ASSERT_EQ(rb.initResult, 0);
    expectDecodes(ra.lastPath, 90, QStringLiteral("vp8"));
    expectDecodes(rb.lastPath, 90, QStringLiteral("vp8"));
    EXPECT_EQ(Probe::stream(rb.lastPath, QStringLiteral("video"), false)
                  .value(QStringLiteral("width"))
                  .toInt(),
              640);
}

TEST(VideoCodecRecording, ProResProfilesInMov)
{
    const char* profiles[] = {"Proxy", "LT", "Standard", "HQ", "4444", "XQ"};
    for (int profile = 0; profile < 6; ++profile) {
        QTemporaryDir dir;
        RecordingHarness harness;
        CodecPreset preset =
            videoOnly(dir.path(), QStringLiteral("Apple ProRes"), QStringLiteral("mov"));
        preset.videoCodec().codecProfile = profile;
        const RecordingHarness::Result r = harness.record(preset, 10);
        ASSERT_EQ(r.initResult, 0) << profile;
        expectDecodes(r.lastPath, 10, QStringLiteral("prores"));
        EXPECT_EQ(Probe::stream(r.lastPath, QStringLiteral("video"), false)
                      .value(QStringLiteral("profile"))
                      .toString(),
                  QLatin1String(profiles[profile]));
        for (bool key : Probe::keyFlags(r.lastPath))
            EXPECT_TRUE(key);
    }
}

TEST(VideoCodecRecording, IntraCodecsFromNv12AndBgraSources)
{
    struct Case
    {
        const char* codec;
        const char* container;
        const char* probeName;
    };
    for (const Case& c : {Case{"MJPEG", "mov", "mjpeg"}, Case{"MJPEG", "avi", "mjpeg"},
                          Case{"QuickTime Animation (RLE)", "mov", "qtrle"},
                          Case{"Apple ProRes", "mov", "prores"}}) {
        for (bool bgra : {false, true}) {
            QTemporaryDir dir;
            RecordingHarness harness;
            harness.bgraSource = bgra;
            const RecordingHarness::Result r = harness.record(
                videoOnly(dir.path(), QLatin1String(c.codec), QLatin1String(c.container)), 12);
            ASSERT_EQ(r.initResult, 0) << c.codec << " " << c.container;
            SCOPED_TRACE(std::string(c.codec) + (bgra ? " from BGRA" : " from NV12"));
            expectDecodes(r.lastPath, 12, QLatin1String(c.probeName));
            const QVector<bool> keys = Probe::keyFlags(r.lastPath);
            ASSERT_EQ(keys.size(), 12);
            EXPECT_TRUE(keys.front());
            // MJPEG and ProRes code every picture on its own; QuickTime RLE codes differences.
            if (QLatin1String(c.probeName) != QLatin1String("qtrle")) {
                for (bool key : keys)
                    EXPECT_TRUE(key);
            }
        }
    }
}

TEST(VideoCodecRecording, InterlacedScanModesGiveTheFieldOrder)
{
    for (int scan : {1, 2}) {
        QTemporaryDir dir;
        RecordingHarness harness;
        CodecPreset preset =
            videoOnly(dir.path(), QStringLiteral("Apple ProRes"), QStringLiteral("mov"), 720, 576);
        preset.videoCodec().scanMode = scan;
        const RecordingHarness::Result r = harness.record(preset, 4);
        ASSERT_EQ(r.initResult, 0);
        EXPECT_EQ(Probe::stream(r.lastPath, QStringLiteral("video"), false)
                      .value(QStringLiteral("field_order"))
                      .toString(),
                  QLatin1String(scan == 1 ? "tt" : "bb"));
    }
}
