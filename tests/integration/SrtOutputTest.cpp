#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "muxer/ISrtCallback.h"
#include "muxer/SrtConnect.h"
#include "tests/unit/MessageCapture.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>

namespace {

const QString kPassphrase = QStringLiteral("tr0ub4dor&3-16");
constexpr int kLive = static_cast<int>(LiveState::Live);

// The far end on the library's own transport: keeps what arrives and the caller's settings.
struct SrtSink : ISrtCallback
{
    bool onConnect(const sockaddr*, int socket) override
    {
        char id[512] = {};
        int size = sizeof(id), ms = 0, bytes = 0, intSize = sizeof(int);
        srt_getsockflag(socket, SRTO_STREAMID, id, &size);
        srt_getsockflag(socket, SRTO_RCVLATENCY, &ms, &intSize);
        srt_getsockflag(socket, SRTO_PBKEYLEN, &bytes, &intSize);
        std::lock_guard<std::mutex> lock(mutex);
        latency = ms;
        keyLength = bytes;
        streamId = QByteArray(id, size);
        return true;
    }
    void onDisconnect(int) override {}
    void onData(const char* data, int size, SRT_MSGCTRL*, int, SRT_TRACEBSTATS*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.append(data, size);
    }
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }

    std::mutex mutex;
    QByteArray bytes, streamId;     // guarded by mutex; streamId: the last caller's
    int latency = 0, keyLength = 0; // guarded by mutex; the last connection's, as negotiated
};

CodecPreset srtPreset(const QString& mode, const QString& url, int port, const QString& pass)
{
    CodecPreset p = RecordingHarness::livePreset(url, QStringLiteral("mpegts"));
    p.streaming().srtMode = mode;
    p.streaming().srtPort = port;
    p.streaming().srtPassphrase = pass;
    p.streaming().srtKeyLength = 16;
    return p;
}

// Streams `frames` frames in real time, calling `each` after every frame, and returns the live
// state after the last one (below Live: it never was, as a lost link makes it Reconnecting).
int stream(const CodecPreset& preset, int frames,
           const std::function<void(int, const AVSync&)>& each = {})
{
    RecordingHarness harness;
    harness.realTime = true;
    int state = 0;
    harness.onFrame = [&](int i, Encoder& encoder) {
        state = encoder.getSyncInfo().liveState.load();
        if (each)
            each(i, encoder.getSyncInfo());
    };
    EXPECT_EQ(harness.record(preset, frames).initResult, 0);
    return state;
}

struct SrtCase
{
    const char* mode; // the output's; the peer takes the matching one
    int keyLength;    // 0: not encrypted
};

} // namespace

// The output as caller, listener and rendezvous with srt-live-transmit at the far end, clear
// and with each key length: the peer gets a playable stream. A caller's or listener's peer goes
// away once the link counts as live (6 s) and another comes: the output reconnects and the new
// peer's stream starts with a key frame.
using SrtOutput = ::testing::TestWithParam<SrtCase>;

TEST_P(SrtOutput, PeerReceivesAPlayableStream)
{
    const QString mode = QLatin1String(GetParam().mode);
    const int keyLength = GetParam().keyLength;
    const int port = live::freePort(SOCK_DGRAM);
    const int outputPort = live::freePort(SOCK_DGRAM); // a rendezvous output's own port
    // srt-live-transmit takes the passphrase from its URL as it stands: no '&' in it.
    const QString pass = keyLength ? QStringLiteral("correct-horse-battery") : QString();
    const QString options =
        keyLength ? QStringLiteral("passphrase=%1&pbkeylen=%2").arg(pass).arg(keyLength) : "";
    const bool swap = mode != QLatin1String("rendezvous");
    const QString peerMode = !swap                             ? mode
                             : mode == QLatin1String("caller") ? QStringLiteral("listener")
                                                               : QStringLiteral("caller");
    auto first = std::make_unique<live::SrtLiveTransmit>(peerMode, port, options, outputPort);
    live::SrtLiveTransmit next(peerMode, port, options, outputPort);
    ASSERT_TRUE(first->start()) << qPrintable(first->log());
    CodecPreset preset =
        srtPreset(mode, QStringLiteral("srt://127.0.0.1:%1").arg(outputPort), port, pass);
    preset.streaming().srtKeyLength = keyLength;
    int reconnects = 0;
    EXPECT_EQ(stream(preset, swap ? 270 : 90,
                     [&](int frame, const AVSync& sync) {
                         if (swap && frame == 180)
                             first.reset();
                         if (swap && frame == 190) {
                             EXPECT_TRUE(next.start()) << qPrintable(next.log());
                         }
                         reconnects = sync.liveReconnects.load();
                     }),
              kLive);
    live::SrtLiveTransmit& last = swap ? next : *first;
    last.finish();
    EXPECT_GE(reconnects, swap ? 1 : 0);
    EXPECT_GT(Probe::expectPlayable(last.output()).videoPackets.size(), swap ? 30 : 45);
}

INSTANTIATE_TEST_SUITE_P(Modes, SrtOutput,
                         ::testing::Values(SrtCase{"caller", 0}, SrtCase{"caller", 16},
                                           SrtCase{"listener", 24}, SrtCase{"rendezvous", 32}),
                         [](const auto& info) {
                             return info.param.mode + std::to_string(info.param.keyLength);
                         });

// An output calling with the wrong passphrase, and one listening that nobody calls: never live,
// nothing received, and the pipeline still stops. The transport sends to nobody without a
// warning and goes away at once while it waits for a caller.
TEST(SrtFailures, NeverLiveStopsAtOnceAndReleasesAll)
{
    const int port = live::freePort(SOCK_DGRAM);
    SrtSink sink;
    auto listener = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(
        listener->start(SrtConnect::Listener, "127.0.0.1", port, 120, {}, kPassphrase, 16, {}));
    const QString url = QStringLiteral("srt://127.0.0.1");
    EXPECT_LT(
        stream(srtPreset(QStringLiteral("caller"), url, port, QStringLiteral("wrong-one-16")), 30),
        kLive);
    EXPECT_LT(
        stream(srtPreset(QStringLiteral("listener"), url, live::freePort(SOCK_DGRAM), {}), 30),
        kLive);
    EXPECT_TRUE(sink.received().isEmpty());

    MessageCapture capture;
    EXPECT_FALSE(listener->send("x", 1, 0));
    EXPECT_EQ(capture.count(QStringLiteral("warning:")), 0);
    QElapsedTimer clock;
    clock.start();
    listener.reset();
    EXPECT_LT(clock.elapsed(), 1000);
}

// An IPv6 listener and a caller with latency 0, a non-ASCII stream id, encryption and an FEC
// filter: every option reaches libsrt in a form it takes, and a message arrives, encrypted with
// the sender's key length.
TEST(SrtTransport, OptionsConnectOverIpv6)
{
    const int port = live::freePort(SOCK_DGRAM);
    const QString id = QStringLiteral("kan\u00e4le/1");
    const QString fec = QStringLiteral("fec,cols:10,rows:5");
    SrtSink sink, unused;
    auto listener = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(listener->start(SrtConnect::Listener, "::1", port, 0, {}, kPassphrase, 16, fec));
    auto caller = SrtConnect::create(SrtConnect::Caller | SrtConnect::Sender, &unused);
    ASSERT_TRUE(caller->start(SrtConnect::Caller | SrtConnect::Sender, QStringLiteral("::1"), port,
                              0, id, kPassphrase, 32, fec));
    EXPECT_TRUE(caller->send("hello", 5, 0));
    for (int i = 0; i < 500 && sink.received().isEmpty(); ++i)
        QThread::msleep(10);
    EXPECT_EQ(sink.received(), QByteArray("hello"));
    std::lock_guard<std::mutex> lock(sink.mutex);
    EXPECT_EQ(sink.streamId, id.toLocal8Bit());
    EXPECT_EQ(sink.latency, 1); // latency 0 means the least libsrt has
    EXPECT_EQ(sink.keyLength, 32);
}
