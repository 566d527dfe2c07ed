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

namespace {

const QString kPassphrase = QStringLiteral("tr0ub4dor&3-16");
constexpr int kLive = static_cast<int>(LiveState::Live);

// The far end of a live output, on the library's own transport: keeps every message.
struct SrtSink : ISrtCallback
{
    bool onConnect(const sockaddr*, int socket) override
    {
        char id[512] = {};
        int size = sizeof(id), ms = 0, msSize = sizeof(ms);
        srt_getsockflag(socket, SRTO_STREAMID, id, &size);
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
    void onData(const char* data, int size, SRT_MSGCTRL*, int, SRT_TRACEBSTATS*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.append(data, size);
        largest = std::max(largest, size);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool()>& done, int seconds = 5)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }

    std::mutex mutex;
    std::condition_variable changed; // gone or bytes
    bool gone = false;
    QByteArray bytes, streamId;   // streamId: the last caller's
    int latency = 0, largest = 0; // latency: the last connection's, as negotiated
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

// Streams `frames` frames in real time, calling `each` after every frame, and returns the live
// state after the last one (below Live: it never was, as a lost link makes it Reconnecting).
int stream(const CodecPreset& preset, int frames,
           const std::function<void(int, const AVSync&)>& each = {})
{
    RecordingHarness harness;
    QElapsedTimer clock;
    clock.start();
    int state = 0;
    harness.onFrame = [&](int i, Encoder& encoder) {
        const qint64 due = static_cast<qint64>((i + 1) * 1000 / preset.videoCodec().frameRate);
        if (clock.elapsed() < due)
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
        state = encoder.getSyncInfo().liveState.load();
        if (each)
            each(i, encoder.getSyncInfo());
    };
    EXPECT_EQ(harness.record(preset, frames).initResult, 0);
    return state;
}

// Transport-stream packets missing from `ts`: breaks in each stream's continuity counter.
int continuityGaps(const QByteArray& ts)
{
    std::map<int, int> last; // counter by PID
    int gaps = 0;
    for (int i = 0; i + 188 <= ts.size(); i += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(ts.constData() + i);
        const int pid = (p[1] & 0x1f) << 8 | p[2], counter = p[3] & 0x0f;
        // Out of step, a packet is cut short; stuffing and packets without payload leave the
        // counter as it is.
        if (p[0] != 0x47) {
            ++gaps;
        } else if (pid != 0x1fff && (p[3] & 0x10)) {
            gaps += last.count(pid) && counter != ((last[pid] + 1) & 0x0f) ? 1 : 0;
            last[pid] = counter;
        }
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
// A caller's or listener's peer goes away after 2 s and another comes: the output reconnects
// (a caller to the restarted listener, a listener to the next caller) and the new peer's
// stream starts with a key frame.
class SrtOutput : public ::testing::TestWithParam<SrtCase>
{
};

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
    // The first peer goes after 6 s, once the link counts as live, so that its loss is a
    // reopen of a live output.
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

// 10 s at 2 Mbit/s with 500 ms latency over a link that loses 2% of the datagrams each way:
// libsrt resends what was lost in time, so every transport-stream packet arrives (none is
// dropped as too late), each message is at most 1316 bytes, and the output reports the link
// with its retransmissions.
TEST(SrtOutputLink, LossyLinkLosesNothingAndReportsRetransmissions)
{
    const int port = live::freePort(SOCK_DGRAM);
    SrtSink sink;
    auto peer = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(peer->start(SrtConnect::Listener, "127.0.0.1", port, 500, {}, {}, 0, {}));
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
              kLive);
    // The output has closed its end: everything it sent has been received. Should the link
    // lose the closing message, libsrt notices after 5 s without a packet.
    EXPECT_TRUE(sink.waitFor([&] { return sink.gone; }, 10));
    peer.reset();
    EXPECT_GT(link.dropped(), 0);
    EXPECT_EQ(seen.peers, 1);
    EXPECT_GT(seen.rttMs, 0.0);
    EXPECT_GT(seen.retransmitted, 0);

    std::lock_guard<std::mutex> lock(sink.mutex);
    EXPECT_LE(sink.largest, SrtConnect::kPayloadSize);
    EXPECT_EQ(continuityGaps(sink.bytes), 0);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("received.ts")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(sink.bytes) == sink.bytes.size());
    file.close();
    // Of 300 frames: the first may go before the link is up.
    EXPECT_GT(Probe::expectPlayable(file.fileName()).videoPackets.size(), 290);
}

// Another SRT implementation at the far end: ffmpeg listening.
TEST(SrtOutputInterop, FfmpegListenerReceivesAPlayableStream)
{
    live::FfmpegReceiver receiver{QStringLiteral("srt")};
    ASSERT_TRUE(receiver.start());
    EXPECT_EQ(stream(srtPreset(QStringLiteral("caller"), receiver.url(), receiver.port(), {}), 90),
              kLive);
    receiver.finish();
    EXPECT_GT(Probe::expectPlayable(receiver.output()).videoPackets.size(), 45);
}

// An output calling with the wrong passphrase, and one listening that nobody calls: never
// live, nothing received, and the recording still stops (a listener's wait for its caller is
// cut short). A transport listener nobody could call sends nothing without a warning and goes
// away at once; failed starts leave nothing behind (the AddressSanitizer build shows leaks).
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
    EXPECT_TRUE(sink.waitFor([&] { return sink.bytes.isEmpty(); }, 0));

    MessageCapture capture;
    EXPECT_FALSE(listener->send("x", 1, 0)); // nobody to send to: not worth a warning
    EXPECT_EQ(capture.count(QStringLiteral("warning:")), 0);
    int busy = 0;
    const UniqueFd taken = live::boundSocket(SOCK_DGRAM, &busy);
    const auto starts = [&](int flags, const char* host, int port) {
        return SrtConnect::create(flags, &sink)->start(flags, host, port, 120, {}, {}, 0, {});
    };
    EXPECT_FALSE(starts(SrtConnect::Listener, "127.0.0.1", busy));
    EXPECT_FALSE(starts(SrtConnect::Listener, "localhost", port));
    EXPECT_FALSE(starts(SrtConnect::Caller, "no-such-host.invalid", port));
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
    SrtSink sink, unused;
    auto listener = SrtConnect::create(SrtConnect::Listener, &sink);
    ASSERT_TRUE(listener->start(SrtConnect::Listener, "::1", port, 0, {}, kPassphrase, 16, fec));
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
