#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "muxer/FFMpegMuxer.h"
#include "muxer/IMuxerCallback.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

CodecPreset livePreset(const QString& url, int rtmpMode = 0)
{
    CodecPreset p = RecordingHarness::preset(QDir::tempPath(), QStringLiteral("flv"));
    p.local().enabled = false;
    p.streaming().enabled = true;
    p.streaming().url = url;
    p.streaming().streamKey = QStringLiteral("k3y");
    p.streaming().rtmpMode = rtmpMode;
    return p;
}

// Streams `frames` frames in real time; `atFrame` runs after each one.
RecordingHarness::Result stream(CodecPreset preset, int frames,
                                std::function<void(int, Encoder&)> atFrame = {})
{
    RecordingHarness harness;
    QElapsedTimer clock;
    clock.start();
    harness.onFrame = [&](int i, Encoder& encoder) {
        const qint64 due = static_cast<qint64>((i + 1) * 1000 / preset.videoCodec().frameRate);
        if (clock.elapsed() < due)
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
        if (atFrame)
            atFrame(i, encoder);
    };
    return harness.record(preset, frames);
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

// RTMP through the library's own publisher (0) and libavformat's (1), and RTMPS through a TLS
// front: nginx records what arrived, and every packet the pipeline counted as written is there.
using LiveRtmp = ::testing::TestWithParam<std::tuple<int, bool>>;

TEST_P(LiveRtmp, ServerRecordsEveryWrittenPacket)
{
    const auto [mode, tls] = GetParam();
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    live::TlsFront front(nginx.port());
    if (tls) {
        ASSERT_TRUE(front.start());
    }
    CodecPreset preset = livePreset(tls ? front.url() : nginx.url(), mode);
    preset.streaming().caFile = front.certFile(); // trusts the front's self-signed certificate
    double written = 0;
    const auto result =
        stream(preset, 90, [&](int, Encoder& e) { written = e.getSyncInfo().videoWriteTs.load(); });
    ASSERT_EQ(result.initResult, 0);
    ASSERT_TRUE(nginx.waitForStreamsEnded());
    nginx.stop();
    ASSERT_EQ(nginx.recordings().size(), 1);
    const Probe::Media m = Probe::expectPlayable(nginx.recordings().front());
    // Every packet written while the pipeline ran, and no more than it encoded.
    EXPECT_GE(m.videoPackets.size(), qRound(written * 30));
    EXPECT_LE(m.videoPackets.size(), result.packets);
    EXPECT_GT(m.videoPackets.size(), 60);
}

INSTANTIATE_TEST_SUITE_P(Modes, LiveRtmp,
                         ::testing::Values(std::make_tuple(0, false), std::make_tuple(1, false),
                                           std::make_tuple(0, true), std::make_tuple(1, true)));

// rtmps through libavformat checks the server's certificate too (the own publisher's checks
// are RtmpsTrust's): a self-signed one that the preset does not trust gets no stream.
TEST(LiveRtmpsTrust, AnUntrustedServerGetsNothingThroughLibavformat)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    live::TlsFront front(nginx.port());
    ASSERT_TRUE(front.start());
    CodecPreset preset = livePreset(front.url(), 1); // no caFile
    bool everLive = false;
    const auto result = stream(preset, 45, [&](int, Encoder& e) {
        everLive = everLive || e.getSyncInfo().liveState.load() == int(LiveState::Live);
    });
    ASSERT_EQ(result.initResult, 0);
    EXPECT_FALSE(everLive);
    nginx.stop();
    // libavformat checks the certificate once the handshake is done, so the TLS front may have
    // connected to nginx; no publish request went through either way.
    EXPECT_EQ(nginx.publishRequests(), 0);
    EXPECT_TRUE(nginx.recordings().isEmpty());
}

// MPEG-TS over TCP and UDP, and RTSP, each into an ffmpeg receiver.
using LiveReceiver = ::testing::TestWithParam<const char*>;

TEST_P(LiveReceiver, ReceivesAPlayableStream)
{
    live::FfmpegReceiver receiver{QLatin1String(GetParam())};
    ASSERT_TRUE(receiver.start());
    CodecPreset preset = livePreset(receiver.url());
    const auto result = stream(preset, 90);
    ASSERT_EQ(result.initResult, 0);
    receiver.finish();
    const Probe::Media m = Probe::expectPlayable(receiver.output());
    EXPECT_GT(m.videoPackets.size(), 45) << qPrintable(receiver.log());
}

INSTANTIATE_TEST_SUITE_P(Schemes, LiveReceiver, ::testing::Values("tcp", "udp", "rtsp"));

// The server goes away after 6 s of stream (past the time after which a link counts as live)
// and comes back 2 s later: the pipeline runs on, its written times restart, and the second
// stream starts with a key frame at 0 and plays. The stream key
// and password reach no log line, at any level, through the connects, the lost server and the
// failed reconnects, whichever publisher carries the stream.
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
        if (i == 180) {
            nginx.stop();
            encodedWhileDown = static_cast<long long>(e.encodedVideo().frameCount.load());
        }
        if (i > 180 && i < 240 && s.videoWriteTs.load() == 0.0)
            resetSeen = true;
        if (i == 240) {
            encodedWhileDown =
                static_cast<long long>(e.encodedVideo().frameCount.load()) - encodedWhileDown;
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
    EXPECT_GT(encodedWhileDown, 50); // frames kept being encoded while connects failed
    // Polled once a frame: the first connect may be over before the first look.
    std::vector<int> seen = states;
    while (!seen.empty() && seen.front() != 2)
        seen.erase(seen.begin());
    EXPECT_EQ(seen, (std::vector<int>{2, 3, 2}));
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

// A server that is absent or never answers holds up nothing: frames are encoded and counted,
// and the pipeline goes away at once even while a connect is pending.
using LiveUnreachable = ::testing::TestWithParam<std::tuple<int, bool>>;

TEST_P(LiveUnreachable, PipelineRunsOnAndStopsAtOnce)
{
    const auto [mode, silent] = GetParam();
    live::SilentServer server;
    const int port = silent ? server.port() : live::freePort();
    CodecPreset preset = livePreset(QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port), mode);
    RecordingHarness harness;
    auto encoder = std::make_unique<Encoder>();
    ASSERT_EQ(encoder->initialize(&harness, &preset, false), 0);
    encoder->start();
    TestPattern pattern(320, 240);
    TimeStamp ts{1};
    for (int i = 0; i < 45; ++i) {
        encoder->enqueueVideo(const_cast<uint8_t*>(pattern.frame(i)), 320, 240, PIX_NV12, &ts);
        QThread::msleep(33);
    }
    const AVSync& sync = encoder->getSyncInfo();
    EXPECT_GT(encoder->encodedVideo().frameCount.load(), 30u);
    EXPECT_EQ(sync.liveState.load(), static_cast<int>(LiveState::Connecting));
    EXPECT_GT(sync.liveDrops.load(), 30);
    QElapsedTimer clock;
    clock.start();
    encoder.reset();
    EXPECT_LT(clock.elapsed(), 2000);
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveUnreachable,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool()));

namespace {

// Collects a muxer's reports.
struct Reports : IMuxerCallback
{
    void videoWriteTs(double, int) override {}
    void audioWriteTs(double, int) override {}
    double videoTs() override { return 0; }
    double audioTs() override { return 0; }
    void liveStateChanged(LiveState state, int reconnects, long long) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
        this->reconnects = reconnects;
    }
    void liveAccount(long long, const QString& reason) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!reason.isEmpty() && (reasons.empty() || reasons.back() != reason))
            reasons.push_back(reason);
    }
    QString firstReason()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reasons.empty() ? QString() : reasons.front();
    }
    int count(LiveState state)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count(states.begin(), states.end(), state));
    }
    std::mutex mutex;
    std::vector<LiveState> states;
    std::vector<QString> reasons; // as reported, repeats left out
    int reconnects = 0;
};

AVPacketPtr annexBPacket(size_t size)
{
    AVPacketPtr p(av_packet_alloc());
    av_new_packet(p.get(), static_cast<int>(size));
    std::fill(p->data, p->data + size, 0xff);
    const uint8_t start[] = {0, 0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x0c}; // AUD, filler
    std::copy(std::begin(start), std::end(start), p->data);
    p->data[size - 1] = 0x80;
    return p;
}

} // namespace

// A server that takes the stream slower than it comes (here: never reads) builds a backlog; past
// liveBacklogSeconds of video the output drops and reconnects instead of falling further behind.
TEST(LiveBacklog, ReconnectsPastTheLimit)
{
    live::SilentServer server;
    CodecPreset preset = livePreset(QStringLiteral("tcp://127.0.0.1:%1").arg(server.port()));
    preset.audioCodec().enabled = false;
    preset.videoCodec().frameRate = 10;
    preset.processing().liveBacklogSeconds = 1;
    Reports reports;
    {
        FFMpegMuxer muxer(&reports);
        uint8_t headers[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80};
        muxer.setVideoExtradata(headers, sizeof(headers));
        ASSERT_TRUE(muxer.initialize(preset));
        int offered = 0; // packets offered to the first link
        for (int i = 0; i < 800 && reports.count(LiveState::Live) < 2; ++i) {
            if (muxer.isHeaderWritten()) {
                muxer.writeVideo(annexBPacket(256 * 1024), true);
                offered += reports.count(LiveState::Live) == 1 && muxer.isHeaderWritten() ? 1 : 0;
            }
            QThread::msleep(10);
        }
        // 10 packets wait in the queue, a few more in the socket buffers; the default limit (5 s,
        // 50 packets) would take far more.
        EXPECT_LT(offered, 25);
    }
    // Opened twice; the link never held long enough to count as a reopen of a live output.
    EXPECT_GE(reports.count(LiveState::Live), 2);
    EXPECT_EQ(reports.reconnects, 0);
    EXPECT_TRUE(reports.firstReason().startsWith(QStringLiteral("more than 1 s of video waited")))
        << reports.firstReason().toStdString();
}

// A server that stops reading mid-stream (frozen, its kernel still holding the connection) is
// noticed within seconds, not once megabytes of socket buffers have filled (47 s at 800 kbit/s
// with the kernel's own buffers): by the backlog limit, or, where the backlog may grow longer,
// by the acknowledgements that stop. A healthy server at the same rate keeps the stream.
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
        if (i > kFrozenAt && leftLiveAt < 0 &&
            e.getSyncInfo().liveState.load() != static_cast<int>(LiveState::Live)) {
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
                      // The frozen server's kernel acknowledges what fits its receive buffer
                      // (about two seconds of this stream) before the count stops.
                      StallCase{"FrozenAcknowledgingNothing", 0, true, 60,
                                "the server acknowledged nothing for 10 s", 13},
                      StallCase{"FrozenThroughLibavformat", 1, true, 0, "more than 5 s", 12}));

// A server that accepts the connection and never answers the handshake holds a connect for
// the stall limit at most, through either publisher; the attempt then fails with that reason.
using LiveTimeLimit = ::testing::TestWithParam<int>;

TEST_P(LiveTimeLimit, HangingServerIsCutOff)
{
    live::SilentServer server;
    Reports reports;
    {
        FFMpegMuxer muxer(&reports);
        ASSERT_TRUE(muxer.initialize(
            livePreset(QStringLiteral("rtmp://127.0.0.1:%1/live").arg(server.port()), GetParam())));
        QElapsedTimer clock;
        clock.start();
        while (reports.firstReason().isEmpty() && clock.elapsed() < LiveLink::kStallMs + 5000)
            QThread::msleep(50);
        EXPECT_GE(clock.elapsed(), LiveLink::kStallMs - 1000);
        EXPECT_LE(clock.elapsed(), LiveLink::kStallMs + 2000);
        EXPECT_FALSE(reports.firstReason().isEmpty());
        EXPECT_EQ(reports.count(LiveState::Live), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, LiveTimeLimit, ::testing::Values(0, 1));

// A refused URL fails initialize and leaves no thread behind (every refusal takes the same
// way out; which URLs are refused: LiveUrlTest).
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
