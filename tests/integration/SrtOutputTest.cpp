#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "muxer/ISrtCallback.h"
#include "muxer/SrtConnect.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
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
        std::lock_guard<std::mutex> lock(mutex);
        streamId = QByteArray(id, size);
        return true;
    }
    void onDisconnect(int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = true;
        changed.notify_all();
    }
    // The output has closed its end: everything it sent has been received.
    bool waitGone()
    {
        return waitFor([this] { return gone; });
    }
    bool waitFor(const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), done);
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

// Streams `frames` frames in real time and returns the highest live state reached.
int stream(const CodecPreset& preset, int frames)
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
    };
    EXPECT_EQ(harness.record(preset, frames).initResult, 0);
    return best;
}

// H.264 + AAC, decodable from its first packet, a key frame.
void expectPlayable(const QString& path, int minVideoPackets)
{
    Probe::expectDecodes(path);
    const Probe::Media m = Probe::inspect(path, false);
    EXPECT_EQ(m.videoValue("codec_name"), QStringLiteral("h264"));
    EXPECT_EQ(m.audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    ASSERT_FALSE(m.videoPackets.isEmpty());
    EXPECT_TRUE(m.videoPackets.front().key);
    EXPECT_GT(m.videoPackets.size(), minVideoPackets);
}

struct SrtCase
{
    const char* mode; // the output's
    bool encrypted;
    int frames;
};

} // namespace

// The output as caller, listener and rendezvous, with and without encryption: the peer gets a
// playable stream (H.264 + AAC from a key frame), in messages of at most 1316 bytes, none
// dropped.
class SrtOutput : public ::testing::TestWithParam<SrtCase>
{
};

TEST_P(SrtOutput, PeerReceivesAPlayableStream)
{
    const SrtCase c = GetParam();
    const QString mode = QLatin1String(c.mode);
    const QString pass = c.encrypted ? kPassphrase : QString();
    const int port = live::freePort(SOCK_DGRAM);
    const int outputPort = live::freePort(SOCK_DGRAM); // a rendezvous output's local port
    SrtSink sink;
    std::unique_ptr<SrtConnect> peer;
    // A QThread, not a std::thread: the peer starts Qt threads, and Qt would adopt (and at exit
    // leak the record of) a foreign thread that does so.
    std::unique_ptr<QThread> connecting;
    std::mutex peerMutex; // hands `peer` over from that thread visibly to ThreadSanitizer
    if (mode == QLatin1String("caller")) {
        peer = SrtConnect::create(SrtConnect::Listener, &sink);
        ASSERT_TRUE(peer->start(SrtConnect::Listener, QStringLiteral("127.0.0.1"), port, 120, {},
                                pass, 16, {}));
    } else {
        // The peer calls (or meets) the output, which is not up yet: retry until it is.
        const int flags =
            mode == QLatin1String("listener") ? SrtConnect::Caller : SrtConnect::Rendezvous;
        const int remote = flags == SrtConnect::Caller ? port : outputPort;
        connecting.reset(QThread::create([&, flags, remote] {
            for (int attempt = 0; attempt < 10; ++attempt) {
                auto p = SrtConnect::create(flags, &sink);
                p->setLocalPort(port);
                if (p->start(flags, QStringLiteral("127.0.0.1"), remote, 120, {}, pass, 16, {})) {
                    std::lock_guard<std::mutex> lock(peerMutex);
                    peer = std::move(p);
                    return;
                }
            }
        }));
        connecting->start();
    }
    const QString url = QStringLiteral("srt://127.0.0.1:%1").arg(outputPort);
    EXPECT_EQ(stream(srtPreset(mode, url, port, pass), c.frames),
              static_cast<int>(LiveState::Live));
    if (connecting)
        connecting->wait();
    std::lock_guard<std::mutex> handedOver(peerMutex);
    ASSERT_TRUE(peer);
    EXPECT_TRUE(sink.waitGone());
    peer.reset();

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("received.ts"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(sink.bytes) == sink.bytes.size());
    file.close();
    expectPlayable(path, c.frames / 2);
    EXPECT_LE(sink.largest, SrtConnect::kPayloadSize);
    EXPECT_EQ(sink.dropped, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SrtOutput,
    ::testing::Values(SrtCase{"caller", false, 300}, SrtCase{"caller", true, 90},
                      SrtCase{"listener", true, 90}, SrtCase{"rendezvous", false, 90}),
    [](const ::testing::TestParamInfo<SrtCase>& info) {
        return std::string(info.param.mode) + (info.param.encrypted ? "Encrypted" : "");
    });

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
    EXPECT_FALSE(listener->send("x", 1, 0)); // nobody to send to

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
}
