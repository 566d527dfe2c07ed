#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "muxer/LiveUrl.h"

#include <QDir>
#include <QLoggingCategory>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kLive = static_cast<int>(LiveState::Live);

CodecPreset livePreset(const QString& url, int rtmpMode = 0)
{
    CodecPreset p = RecordingHarness::livePreset(url, QStringLiteral("flv"));
    p.streaming().streamKey = QStringLiteral("k3y");
    p.streaming().rtmpMode = rtmpMode;
    return p;
}

// Streams `frames` frames in real time; `atFrame` runs after each one.
RecordingHarness::Result stream(const CodecPreset& preset, int frames,
                                std::function<void(int, Encoder&)> atFrame = {})
{
    RecordingHarness harness;
    harness.realTime = true;
    harness.onFrame = std::move(atFrame);
    return harness.record(preset, frames);
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

// RTMP, and RTMPS through a TLS front whose certificate is trusted or not.
struct RtmpCase
{
    const char* name;
    int rtmpMode;        // 0: the own publisher, 1: libavformat's
    bool tls, otherHost; // otherHost: the certificate names example.org only
    const char* caFile;  // "cert": the front's certificate, "": none, else a missing file
    bool verifyPeer;
    const char* refusal; // null: accepted; else refused, the warning after the masked URL
};

std::ostream& operator<<(std::ostream& out, const RtmpCase& c)
{
    return out << c.name;
}

using LiveRtmp = ::testing::TestWithParam<RtmpCase>;

// nginx records every packet the pipeline counted as written. RTMPS takes a server only when its
// certificate leads to an authority the output trusts (the system's, or caFile's) and names the
// URL's host; a refused server never gets a publish request (nor, from the own publisher, a
// connection behind the front), and the warning names the reason. verifyPeer off takes any
// certificate, with a warning. The key is never logged. After stop() the output is stopped.
TEST_P(LiveRtmp, ServerRecordsEveryWrittenPacketOnceTrusted)
{
    const RtmpCase& c = GetParam();
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    live::TlsFront front(nginx.port(), c.otherHost);
    if (c.tls) {
        ASSERT_TRUE(front.start());
    }
    CodecPreset preset = livePreset(c.tls ? front.url() : nginx.url(), c.rtmpMode);
    preset.streaming().verifyPeer = c.verifyPeer;
    preset.streaming().caFile = QLatin1String(c.caFile) == QLatin1String("cert")
                                    ? front.certFile()
                                    : QString::fromLatin1(c.caFile);
    MessageCapture capture;
    double written = 0;
    bool everLive = false;
    const auto result = stream(preset, c.refusal ? 45 : 90, [&](int, Encoder& e) {
        written = e.getSyncInfo().videoWriteTs.load();
        everLive = everLive || e.getSyncInfo().liveState.load() == kLive;
    });
    ASSERT_EQ(result.initResult, 0);
    EXPECT_EQ(everLive, !c.refusal);
    // Live or still trying, the output ends with the pipeline.
    EXPECT_EQ(result.liveStateAfterStop, static_cast<int>(LiveState::Stopped));
    if (c.refusal) {
        // libavformat's client says why too (its TLS layer itself says only "I/O error").
        const QString warning =
            (c.rtmpMode ? QStringLiteral("': TLS handshake failed: ")
                        : QStringLiteral("warning: RTMP: TLS handshake failed: %1/***: ")
                              .arg(front.url())) +
            QString::fromUtf8(c.refusal).replace(QStringLiteral("%1"), preset.streaming().caFile);
        EXPECT_TRUE(capture.messages().join('\n').contains(warning))
            << "expected " << warning.toStdString() << "\n"
            << capture.messages().join('\n').toStdString();
    }
    EXPECT_EQ(capture.count(QStringLiteral("warning: rtmps: the certificate of 127.0.0.1 is not "
                                           "checked (verifyPeer is off)")),
              c.verifyPeer ? 0 : 1);
    EXPECT_EQ(capture.count(QStringLiteral("k3y")), 0);
    for (const QString& m : capture.messages()) // an accepted stream warns of nothing, to its stop
        EXPECT_TRUE(c.refusal || !c.verifyPeer || m.startsWith(QLatin1String("debug")) ||
                    m.startsWith(QLatin1String("info")))
            << qPrintable(m);
    if (!c.refusal) {
        ASSERT_TRUE(nginx.waitForStreamsEnded());
    }
    nginx.stop();
    EXPECT_EQ(nginx.publishRequests(), c.refusal ? 0 : 1);
    EXPECT_TRUE(!c.refusal || c.rtmpMode == 1 || nginx.connections() == 0);
    ASSERT_EQ(nginx.recordings().size(), c.refusal ? 0 : 1);
    if (c.refusal)
        return;
    const Probe::Media m = Probe::expectPlayable(nginx.recordings().front());
    EXPECT_GE(m.videoPackets.size(), qRound(written * 30));
    EXPECT_LE(m.videoPackets.size(), result.packets);
    EXPECT_GT(m.videoPackets.size(), 60);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LiveRtmp,
    ::testing::Values(
        RtmpCase{"Rtmp", 0, false, false, "", true, nullptr},
        RtmpCase{"TrustedThroughLibavformat", 1, true, false, "cert", true, nullptr},
        RtmpCase{"UntrustedThroughLibavformat", 1, true, false, "", true,
                 "certificate of 127.0.0.1 not trusted: The certificate issuer is unknown."},
        RtmpCase{"TrustedThroughCaFile", 0, true, false, "cert", true, nullptr},
        RtmpCase{"SelfSignedRefused", 0, true, false, "", true,
                 "certificate of 127.0.0.1 not trusted: The certificate issuer is unknown."},
        RtmpCase{"OtherHostRefused", 0, true, true, "cert", true,
                 "certificate of 127.0.0.1 not trusted: The name in the certificate does not "
                 "match the expected."},
        RtmpCase{"UnreadableCaFileRefused", 0, true, false, "/nonexistent/ca.pem", true,
                 "CA file '%1' cannot be read: No such file or directory"},
        RtmpCase{"AnyCertificateWithVerifyPeerOff", 0, true, false, "", false, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// MPEG-TS over TCP, UDP and SRT (to a listener of another SRT implementation), and RTSP, each
// into an ffmpeg receiver.
using LiveReceiver = ::testing::TestWithParam<const char*>;

TEST_P(LiveReceiver, ReceivesAPlayableStream)
{
    live::FfmpegReceiver receiver{QLatin1String(GetParam())};
    ASSERT_TRUE(receiver.start());
    CodecPreset preset = livePreset(receiver.url());
    preset.streaming().srtPort = receiver.port();
    ASSERT_EQ(stream(preset, 90).initResult, 0);
    receiver.finish();
    EXPECT_GT(Probe::expectPlayable(receiver.output()).videoPackets.size(), 45)
        << qPrintable(receiver.log());
}

INSTANTIATE_TEST_SUITE_P(Schemes, LiveReceiver, ::testing::Values("tcp", "udp", "srt", "rtsp"));

// The server goes away after 6 s of stream (a link held that long counts as live) and is back
// 2 s later: the pipeline encodes on, its written times restart, and the second stream starts
// with a key frame at 0. The stream key and password reach no log line at any level.
using LiveReconnect = ::testing::TestWithParam<int>;

TEST_P(LiveReconnect, StreamResumesWhenTheServerIsBackAndNoSecretIsLogged)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    CodecPreset preset = livePreset(nginx.url(), GetParam());
    preset.streaming().streamKey = QStringLiteral("s3cr3tKey");
    preset.streaming().authEnabled = true;
    preset.streaming().userName = QStringLiteral("ann");
    preset.streaming().password = QStringLiteral("pa55word");
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    av_log_set_level(AV_LOG_DEBUG);
    auto capture = std::make_unique<MessageCapture>();
    std::vector<int> states;
    bool resetSeen = false;
    long long encodedWhileDown = 0;
    const auto result = stream(preset, 330, [&](int i, Encoder& e) {
        const AVSync& s = e.getSyncInfo();
        if (states.empty() || states.back() != s.liveState.load())
            states.push_back(s.liveState.load());
        const auto encoded = static_cast<long long>(e.encodedVideo().frameCount.load());
        if (i == 180) {
            nginx.stop();
            encodedWhileDown = encoded;
        }
        resetSeen = resetSeen || (i > 180 && i < 240 && s.videoWriteTs.load() == 0.0);
        if (i == 240) {
            encodedWhileDown = encoded - encodedWhileDown;
            ASSERT_TRUE(nginx.start());
        }
        if (i == 329) {
            EXPECT_EQ(s.liveReconnects.load(), 1);
            EXPECT_GT(s.liveDrops.load(), 0);
        }
    });
    const QStringList messages = capture->messages();
    capture.reset();
    av_log_set_level(AV_LOG_INFO);
    QLoggingCategory::setFilterRules(QString());
    EXPECT_GT(messages.size(), 10);
    for (const QString& m : messages)
        EXPECT_FALSE(m.contains(QLatin1String("s3cr3tKey")) ||
                     m.contains(QLatin1String("pa55word")))
            << qPrintable(m);
    ASSERT_EQ(result.initResult, 0);
    EXPECT_TRUE(resetSeen);
    EXPECT_GT(encodedWhileDown, 50);
    // Polled once a frame: the first connect may be over before the first look.
    states.erase(states.begin(), std::find(states.begin(), states.end(), kLive));
    EXPECT_EQ(states, (std::vector<int>{2, 3, 2}));
    ASSERT_TRUE(nginx.waitForStreamsEnded());
    nginx.stop();
    const QStringList recordings = nginx.recordings();
    ASSERT_EQ(recordings.size(), 2);
    const Probe::Media second = Probe::expectPlayable(recordings.back());
    ASSERT_FALSE(second.videoPackets.isEmpty());
    EXPECT_NEAR(second.videoPackets.front().pts, 0.0, 1e-6);
    EXPECT_GT(second.videoPackets.size(), 60); // back within a second of the server
}

INSTANTIATE_TEST_SUITE_P(Modes, LiveReconnect, ::testing::Values(0, 1));

// A server that stops reading mid-stream (frozen, its kernel holding the connection) is cut off
// within seconds, not once the socket buffers have filled (47 s at this rate): by the backlog
// limit (liveBacklogSeconds), or, where that is longer, by the acknowledgements that stop. A
// server that reads at the same rate keeps the stream.
struct StallCase
{
    const char* name;
    int rtmpMode;
    bool freeze;
    int backlogSeconds; // 0: the default
    const char* reason; // how the reason starts; null: never cut
    double within;      // seconds after the freeze
};

std::ostream& operator<<(std::ostream& out, const StallCase& c)
{
    return out << c.name;
}

using LiveStall = ::testing::TestWithParam<StallCase>;

TEST_P(LiveStall, AServerThatStopsReadingIsCutOff)
{
    const StallCase& c = GetParam();
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    CodecPreset preset = livePreset(nginx.url(), c.rtmpMode);
    // 720p, so that the moving picture takes the 700 kbit/s it is given.
    preset.videoCodec().width = preset.videoOutput().width = 1280;
    preset.videoCodec().height = preset.videoOutput().height = 720;
    preset.videoCodec().bitrate = 700;
    preset.audioCodec().bitrate = 100;
    preset.processing().liveBacklogSeconds = c.backlogSeconds;
    constexpr int kFrozenAt = 90, kFrames = 90 + 14 * 30;
    int leftLiveAt = -1;
    QString reason;
    stream(preset, kFrames, [&](int i, Encoder& e) {
        if (i == kFrozenAt)
            nginx.freeze(c.freeze);
        if (i > kFrozenAt && leftLiveAt < 0 && e.getSyncInfo().liveState.load() != kLive) {
            leftLiveAt = i;
            reason = e.liveReason();
        }
    });
    nginx.freeze(false);
    if (!c.reason) {
        EXPECT_LT(leftLiveAt, 0) << "a server that reads was cut off: " << reason.toStdString();
        return;
    }
    ASSERT_GT(leftLiveAt, 0) << "still live 14 s after the server stopped reading";
    EXPECT_LE((leftLiveAt - kFrozenAt) / 30.0, c.within);
    EXPECT_TRUE(reason.startsWith(QLatin1String(c.reason))) << reason.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LiveStall,
    ::testing::Values(StallCase{"Reading", 0, false, 0, nullptr, 0},
                      StallCase{"FrozenPastTheBacklog", 0, true, 0, "more than 5 s of video", 12},
                      // The frozen kernel first takes about two seconds of the stream (11.5 s in
                      // all here alone, 13.03 s once under a loaded suite).
                      StallCase{"FrozenAcknowledgingNothing", 0, true, 60,
                                "the server acknowledged nothing for 10 s", 14},
                      // libavformat's client fills the kernel's buffer too (about 8.5 s in all
                      // here; a slow encoder, as under a sanitizer, queues the 5 s later).
                      StallCase{"FrozenThroughLibavformat", 1, true, 0, "more than 5 s", 13}));

// A refused URL fails initialize and leaves no thread behind (which URLs: LiveUrlTest).
TEST(LiveBadSettings, FailInitializeWithoutLeavingThreads)
{
    CodecPreset preset = livePreset(QStringLiteral("rtmp://ho st/live"));
    RecordingHarness harness;
    const auto attempt = [&] {
        Encoder encoder;
        EXPECT_NE(encoder.initialize(&harness, &preset, false), 0);
    };
    attempt(); // the first also starts what the process keeps (sanitizer threads)
    const int threads = threadCount();
    attempt();
    // A joined QThread may still be leaving the system's thread list for a moment.
    for (int i = 0; i < 100 && threadCount() > threads; ++i)
        QThread::msleep(10);
    EXPECT_LE(threadCount(), threads);
}

// A stop that cuts off a send blocked on a server that stopped reading (the drain's 1 s is over)
// is no fault: nothing is logged above info level, librtmp's failed sends included.
TEST(LiveStop, CuttingABlockedSendWarnsOfNothing)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    CodecPreset preset = livePreset(nginx.url(), 0);
    preset.videoCodec().width = preset.videoOutput().width = 1280;
    preset.videoCodec().height = preset.videoOutput().height = 720;
    preset.processing().liveBacklogSeconds = 60; // frozen 5 s: still live at the stop
    MessageCapture capture;
    stream(preset, 90 + 5 * 30, [&](int i, Encoder&) { nginx.freeze(i >= 90); });
    nginx.freeze(false);
    for (const QString& m : capture.messages())
        EXPECT_TRUE(m.startsWith(QLatin1String("debug")) || m.startsWith(QLatin1String("info")))
            << qPrintable(m);
}

// X265 goes live over MPEG-TS (SRT here, into an ffmpeg listener) and RTSP: the receiver
// decodes HEVC from the first key frame on.
using LiveX265 = ::testing::TestWithParam<const char*>;

TEST_P(LiveX265, ReceiverDecodesHevc)
{
    live::FfmpegReceiver receiver{QLatin1String(GetParam())};
    ASSERT_TRUE(receiver.start());
    CodecPreset preset = livePreset(receiver.url());
    preset.videoCodec().codecName = QStringLiteral("X265");
    preset.streaming().srtPort = receiver.port();
    // The stream's own muxer as its format, as strevo-cli sets it ("mpegts", "rtsp").
    preset.container().format = QLatin1String(LiveUrl::containerFor(QLatin1String(GetParam())));
    ASSERT_EQ(stream(preset, 90).initResult, 0);
    receiver.finish();
    Probe::expectDecodes(receiver.output());
    const Probe::Media m = Probe::inspect(receiver.output(), false);
    EXPECT_EQ(m.videoValue("codec_name"), QStringLiteral("hevc")) << qPrintable(receiver.log());
    EXPECT_EQ(m.audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    ASSERT_GT(m.videoPackets.size(), 45);
    EXPECT_TRUE(m.videoPackets.front().key);
}

INSTANTIATE_TEST_SUITE_P(Schemes, LiveX265, ::testing::Values("srt", "rtsp"),
                         [](const auto& info) { return std::string(info.param); });

// A stream that cannot carry the codec (HEVC or AV1 over RTMP's FLV, AV1 over MPEG-TS) fails
// initialize with the reason (no server needed: nothing is connected).
TEST(LiveCodecs, WhatTheStreamCannotCarryIsRefusedAtSetUp)
{
    const struct
    {
        const char* codec;
        const char* url;
        const char* reason;
    } cases[] = {
        {"X265", "rtmp://127.0.0.1/live", "X265 cannot go over rtmp: an RTMP stream is FLV"},
        {"AV1", "rtmps://127.0.0.1/live", "AV1 cannot go over rtmps: an RTMP stream is FLV"},
        {"AV1", "srt://127.0.0.1", "AV1 cannot go over srt: MPEG-TS would carry it as an opaque"},
    };
    for (const auto& c : cases) {
        CodecPreset preset = livePreset(QLatin1String(c.url));
        preset.videoCodec().codecName = QLatin1String(c.codec);
        preset.streaming().srtPort = 9;
        RecordingHarness harness;
        MessageCapture log;
        Encoder encoder;
        EXPECT_EQ(encoder.initialize(&harness, &preset, false), -3) << c.url;
        EXPECT_EQ(log.count(QStringLiteral("FFMPEG: live output: ") + c.reason), 1)
            << qPrintable(log.messages().join('\n'));
    }
}
