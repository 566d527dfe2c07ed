#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "muxer/ISrtCallback.h"
#include "muxer/SrtConnect.h"
#include "tests/unit/MessageCapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

const QString kPassphrase = QStringLiteral("tr0ub4dor&3-16");

// The far end of a live output, on the library's own transport: keeps every message.
class SrtSink : public ISrtCallback
{
public:
    bool onConnect(const sockaddr*, int socket) override
    {
        char id[512] = {};
        int size = sizeof(id);
        srt_getsockflag(socket, SRTO_STREAMID, id, &size);
        int ms = 0;
        int msSize = sizeof(ms);
        srt_getsockflag(socket, SRTO_RCVLATENCY, &ms, &msSize);
        std::lock_guard<std::mutex> lock(mutex);
        latency = ms;
        streamId = QByteArray(id, size);
        return true;
    }
    void onDisconnect(int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = true;
        changed.notify_all();
    }
    // The output has closed its end: everything it sent has been received. Should the link
    // lose the closing message, libsrt notices after 5 s without a packet.
    bool waitGone()
    {
        return waitFor([this] { return gone; }, 10);
    }
    bool waitFor(const std::function<bool()>& done, int seconds = 5)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }
    void onData(const char* data, int size, SRT_MSGCTRL*, int, SRT_TRACEBSTATS* stats) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.append(data, size);
        largest = std::max(largest, size);
        changed.notify_all();
        dropped = stats->pktRcvDropTotal;
    }

    std::mutex mutex;
    std::condition_variable changed; // gone or bytes
    bool gone = false;
    QByteArray bytes;
    QByteArray streamId; // the last caller's
    int latency = 0;     // the last connection's, as negotiated
    int largest = 0;
    long long dropped = 0;
};

CodecPreset srtPreset(const QString& mode, const QString& url, int port, const QString& pass)
{
    CodecPreset p = RecordingHarness::preset(QDir::tempPath(), QStringLiteral("mpegts"));
    p.local().enabled = false;
    p.streaming().enabled = true;
    p.streaming().url = url;
    p.streaming().srtMode = mode;
    p.streaming().srtPort = port;
    p.streaming().srtPassphrase = pass;
    p.streaming().srtKeyLength = 16;
    return p;
}

// Streams `frames` frames in real time, calling `each` after every frame, and returns the
// highest live state reached.
int stream(const CodecPreset& preset, int frames,
           const std::function<void(int, const AVSync&)>& each = {})
{
    RecordingHarness harness;
    QElapsedTimer clock;
    clock.start();
    int best = 0;
    harness.onFrame = [&](int i, Encoder& encoder) {
        const qint64 due = static_cast<qint64>((i + 1) * 1000 / preset.videoCodec().frameRate);
        if (clock.elapsed() < due)
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
        best = std::max(best, encoder.getSyncInfo().liveState.load());
        if (each)
            each(i, encoder.getSyncInfo());
    };
    EXPECT_EQ(harness.record(preset, frames).initResult, 0);
    return best;
}

// H.264 + AAC, decodable from its first packet, a key frame.
void expectPlayable(const QString& path, int minVideoPackets)
{
    EXPECT_GT(Probe::expectPlayable(path).videoPackets.size(), minVideoPackets);
}

// Transport-stream packets missing from `ts`: breaks in each stream's continuity counter.
int continuityGaps(const QByteArray& ts)
{
    std::map<int, int> last; // counter by PID
    int gaps = 0;
    for (int i = 0; i + 188 <= ts.size(); i += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(ts.constData() + i);
        const int pid = (p[1] & 0x1f) << 8 | p[2];
        if (p[0] != 0x47) {
            ++gaps;
            continue;
        }
        if (pid == 0x1fff || !(p[3] & 0x10))
            continue; // stuffing, or no payload: the counter does not move
        const int counter = p[3] & 0x0f;
        const auto seen = last.find(pid);
        if (seen != last.end() && counter != ((seen->second + 1) & 0x0f))
            ++gaps;
        last[pid] = counter;
    }
    return gaps;
}

struct SrtCase
{
    const char* mode; // the output's; the peer takes the matching one
    int keyLength;    // 0: not encrypted
};

} // namespace

// The output as caller, listener and rendezvous with srt-live-transmit at the far end, clear
// and with each key length: the peer gets a playable stream (H.264 + AAC from a key frame).
class SrtOutput : public ::testing::TestWithParam<SrtCase>
{
};

TEST_P(SrtOutput, PeerReceivesAPlayableStream)
{
    const SrtCase c = GetParam();
    const QString mode = QLatin1String(c.mode);
    const int port = live::freePort(SOCK_DGRAM);
    const int outputPort = live::freePort(SOCK_DGRAM); // a rendezvous output's own port
    // srt-live-transmit takes the passphrase from its URL as it stands: no '&' in it.
    const QString pass = c.keyLength ? QStringLiteral("correct-horse-battery") : QString();
    const QString options =
        c.keyLength ? QStringLiteral("passphrase=%1&pbkeylen=%2").arg(pass).arg(c.keyLength) : "";
    const QString peerMode = mode == QLatin1String("caller")     ? QStringLiteral("listener")
                             : mode == QLatin1String("listener") ? QStringLiteral("caller")
                                                                 : mode;
    live::SrtLiveTransmit peer(peerMode, port, options, outputPort);
    ASSERT_TRUE(peer.start()) << qPrintable(peer.log());
    CodecPreset preset =
        srtPreset(mode, QStringLiteral("srt://127.0.0.1:%1").arg(outputPort), port, pass);
    preset.streaming().srtKeyLength = c.keyLength;
    EXPECT_EQ(stream(preset, 90), static_cast<int>(LiveState::Live)) << qPrintable(peer.log());
    peer.finish();
    expectPlayable(peer.output(), 45);
}

INSTANTIATE_TEST_SUITE_P(Modes, SrtOutput,
                         ::testing::Values(SrtCase{"caller", 0}, SrtCase{"caller", 16},
                                           SrtCase{"listener", 24}, SrtCase{"rendezvous", 32}),
                         [](const ::testing::TestParamInfo<SrtCase>& info) {
                             return std::string(info.param.mode) +
                                    std::to_string(info.param.keyLength);
                         });

// 10 s at 2 Mbit/s with 500 ms latency over a link that loses 2% of the datagrams each way:
// libsrt resends what was lost in time, so every transport-stream packet arrives, none is
// dropped by the receiver, each message is at most 1316 bytes, and the output reports the
// link with its retransmissions.
TEST(SrtOutputLink, LossyLinkLosesNothingAndReportsRetransmissions)
{
    const int port = live::freePort(SOCK_DGRAM);
    SrtSink sink;
    auto peer = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(
        peer->start(SrtConnect::Listener, QStringLiteral("127.0.0.1"), port, 500, {}, {}, 0, {}));
    live::LossyRelay link(port, 0.02);
    CodecPreset preset =
        srtPreset(QStringLiteral("caller"), QStringLiteral("srt://127.0.0.1"), link.port(), {});
    preset.streaming().srtLatency = 500;
    preset.videoCodec().bitrate = 2000;
    LinkStatistics seen;
    EXPECT_EQ(stream(preset, 300,
                     [&](int, const AVSync& sync) {
                         seen.peers = std::max(seen.peers, sync.linkPeers.load());
                         seen.rttMs = sync.linkRttMs.load();
                         seen.retransmitted = sync.linkRetransmitted.load();
                     }),
              static_cast<int>(LiveState::Live));
    EXPECT_TRUE(sink.waitGone());
    peer.reset();
    EXPECT_GT(link.dropped(), 0);
    EXPECT_EQ(seen.peers, 1);
    EXPECT_GT(seen.rttMs, 0.0);
    EXPECT_GT(seen.retransmitted, 0);

    std::lock_guard<std::mutex> lock(sink.mutex);
    EXPECT_EQ(sink.dropped, 0);
    EXPECT_LE(sink.largest, SrtConnect::kPayloadSize);
    EXPECT_EQ(continuityGaps(sink.bytes), 0);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("received.ts"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(sink.bytes) == sink.bytes.size());
    file.close();
    expectPlayable(path, 290); // of 300 frames; the first may go before the link is up
}

// The peer goes away and another comes: the output reconnects (a caller to the restarted
// listener, a listener to the next caller) and the new peer's stream starts with a key frame.
TEST(SrtOutputLink, NextPeerGetsAStreamFromAKeyFrame)
{
    for (const char* mode : {"listener", "caller"}) {
        const QString peerMode =
            QLatin1String(mode == std::string("caller") ? "listener" : "caller");
        const int port = live::freePort(SOCK_DGRAM);
        auto first = std::make_unique<live::SrtLiveTransmit>(peerMode, port);
        live::SrtLiveTransmit second(peerMode, port);
        ASSERT_TRUE(first->start());
        int reconnects = 0;
        stream(srtPreset(QLatin1String(mode), QStringLiteral("srt://127.0.0.1"), port, {}), 180,
               [&](int frame, const AVSync& sync) {
                   if (frame == 60)
                       first.reset();
                   if (frame == 70) {
                       EXPECT_TRUE(second.start());
                   }
                   reconnects = sync.liveReconnects.load();
               });
        second.finish();
        EXPECT_GE(reconnects, 1) << mode;
        expectPlayable(second.output(), 30);
    }
}

// Another SRT implementation at the far end: ffmpeg listening.
TEST(SrtOutputInterop, FfmpegListenerReceivesAPlayableStream)
{
    live::FfmpegReceiver receiver{QStringLiteral("srt")};
    ASSERT_TRUE(receiver.start());
    EXPECT_EQ(stream(srtPreset(QStringLiteral("caller"), receiver.url(), receiver.port(), {}), 90),
              static_cast<int>(LiveState::Live));
    receiver.finish();
    expectPlayable(receiver.output(), 45);
}

// A caller with the wrong passphrase, and a listener nobody calls: never live, nothing
// received, and the recording still stops (a listener's wait for its caller is cut short).
TEST(SrtOutputFailures, NeverLiveAndStopsCleanly)
{
    const int port = live::freePort(SOCK_DGRAM);
    SrtSink sink;
    auto peer = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(peer->start(SrtConnect::Listener, QStringLiteral("127.0.0.1"), port, 120, {},
                            kPassphrase, 16, {}));
    const QString url = QStringLiteral("srt://127.0.0.1");
    EXPECT_LT(
        stream(srtPreset(QStringLiteral("caller"), url, port, QStringLiteral("wrong-one-16")), 30),
        static_cast<int>(LiveState::Live));
    EXPECT_LT(
        stream(srtPreset(QStringLiteral("listener"), url, live::freePort(SOCK_DGRAM), {}), 30),
        static_cast<int>(LiveState::Live));
    std::lock_guard<std::mutex> lock(sink.mutex);
    EXPECT_TRUE(sink.bytes.isEmpty());
}

// A listener nobody called goes away at once; failed starts leave nothing behind (the
// AddressSanitizer build shows leaks).
TEST(SrtTransport, ListenerStopsAtOnceAndFailedStartsReleaseAll)
{
    SrtSink sink;
    const int port = live::freePort(SOCK_DGRAM);
    auto listener = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(
        listener->start(SrtConnect::Listener, QStringLiteral("127.0.0.1"), port, 0, {}, {}, 0, {}));
    MessageCapture capture;
    EXPECT_FALSE(listener->send("x", 1, 0)); // nobody to send to: not worth a warning
    EXPECT_EQ(capture.count(QStringLiteral("warning:")), 0);

    int busy = 0;
    const UniqueFd taken = live::boundSocket(SOCK_DGRAM, &busy);
    const struct
    {
        int flags;
        const char* host;
        int port;
    } failures[] = {{SrtConnect::Listener, "127.0.0.1", busy},
                    {SrtConnect::Listener, "localhost", port},
                    {SrtConnect::Caller, "no-such-host.invalid", port}};
    for (const auto& f : failures) {
        auto transport = SrtConnect::create(f.flags, &sink);
        EXPECT_FALSE(transport->start(f.flags, QLatin1String(f.host), f.port, 120, {}, {}, 0, {}))
            << f.host;
    }
    // A listener binds to an address, never a name.
    const QStringList messages = capture.messages();
    const int invalid = messages.indexOf(QStringLiteral("warning: Provided IP-Address not valid."));
    ASSERT_GE(invalid, 0);
    EXPECT_EQ(messages.value(invalid + 1), QStringLiteral("warning: inet_pton failed"));

    // Destroyed while its accept thread waits.
    QElapsedTimer clock;
    clock.start();
    listener.reset();
    EXPECT_LT(clock.elapsed(), 1000);
}

// Every option reaches libsrt in a form it takes: an IPv6 listener and a caller with latency 0,
// a non-ASCII stream id (its 8-bit bytes arrive), encryption and an FEC filter connect and carry
// a message.
TEST(SrtTransport, OptionsConnectOverIpv6)
{
    const int port = live::freePort(SOCK_DGRAM);
    const QString id = QStringLiteral("kan\u00e4le/1");
    const QString fec = QStringLiteral("fec,cols:10,rows:5");
    SrtSink sink;
    auto listener = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(listener->start(SrtConnect::Listener, QStringLiteral("::1"), port, 0, {},
                                kPassphrase, 16, fec));
    SrtSink unused;
    auto caller = SrtConnect::create(SrtConnect::Caller | SrtConnect::Sender, &unused);
    ASSERT_TRUE(caller->start(SrtConnect::Caller | SrtConnect::Sender, QStringLiteral("::1"), port,
                              0, id, kPassphrase, 16, fec));
    EXPECT_TRUE(caller->send("hello", 5, 0));
    EXPECT_TRUE(sink.waitFor([&] { return !sink.bytes.isEmpty(); }));
    std::lock_guard<std::mutex> lock(sink.mutex);
    EXPECT_EQ(sink.bytes, QByteArray("hello"));
    EXPECT_EQ(sink.streamId, id.toLocal8Bit());
    EXPECT_EQ(sink.latency, 1); // latency 0 means the least libsrt has
}
