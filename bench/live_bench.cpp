// Resource use, reconnection time and behaviour under faults of a live output, against a local
// nginx-rtmp, a local srt-live-transmit and a scripted RTMP peer that misbehaves.
//
//   live_bench cpu [seconds=30]        720p30 X264 + AAC pushed in real time, streamed to
//                                      nginx over RTMP, to srt-live-transmit over SRT, and
//                                      recorded to an mkv file: CPU % of one core and peak
//                                      resident memory of each run
//   live_bench reconnect [restarts=20] [rtmp|srt]
//                                      a 320x240 stream whose server (the listening SRT peer)
//                                      is stopped and started again `restarts` times, each
//                                      time once the link has been up long enough to count as
//                                      live (5 s): the time from the server accepting again to
//                                      the first packet written, worst and median
//                                      (`live_bench reconnect 100` is the soak run)
//   live_bench faults [restarts=20] [refusedSeconds=60] [garbageSeconds=60] [transports]
//                                      one row per transport (`transports`, comma-separated,
//                                      default all: rtmp = own publisher, rtmp-lavf =
//                                      libavformat's client, rtmps = own publisher through a
//                                      TLS front (stunnel) before nginx, srt = caller to a
//                                      srt-live-transmit listener):
//                                      - reconnect: as `reconnect`, worst and median of
//                                        `restarts` (for rtmps nginx restarts behind the front,
//                                        which stays up as a terminating proxy does)
//                                      - stall: 1280x720 X264 at 700 kbit/s + AAC at 100; once
//                                        the link is live the server (nginx, or
//                                        srt-live-transmit) is frozen with SIGSTOP: the time
//                                        until the output leaves Live (given up after 120 s),
//                                        and the reason it gives
//                                      - refused: a server that refuses the stream (the
//                                        scripted RTMP peer in mode refuse-publish, which
//                                        answers the publish with an error status as an ingest
//                                        does for a wrong stream key; for SRT a listener that
//                                        demands a passphrase the output does not have) for
//                                        `refusedSeconds` from the first attempt: failed
//                                        attempts per minute as the output counts them, and for
//                                        RTMP connections per minute as the peer took them
//                                      - garbage (RTMP transports only): the scripted peer
//                                        (tests/integration/peers/rtmp_peer.py, mode garbage,
//                                        malformed chunk data of every kind) for
//                                        `garbageSeconds`: resident memory when the peer starts
//                                        listening (the stream has run 2 s against the closed
//                                        port, so the encoders are warm) and the most seen
//                                        after that, and the connections the peer took
//                                      then the reasons the output gave. The library's own
//                                      messages are counted, not printed. A full run takes
//                                      about 20 minutes.
//
// The servers run from generated configurations in temporary folders.

#include "LiveServers.h"
#include "ProcessStats.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "muxer/live/ReopenPolicy.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

CodecPreset benchPreset(int width, int height)
{
    CodecPreset p;
    p.videoOutput().frameRate = 30;
    p.videoOutput().width = width;
    p.videoOutput().height = height;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = width;
    v.height = height;
    v.frameRate = 30;
    v.bitrate = width >= 1280 ? 4000 : 800;
    v.preset = QStringLiteral("veryfast");
    v.tune = QStringLiteral("zerolatency");
    p.audioCodec() = {true, QStringLiteral("AAC"), 48000, 128, 16, 2};
    p.container().format = QStringLiteral("mkv");
    return p;
}

// Not a plain word, so that the library masks it wherever a message would show it; the faults
// mode masks it in what it prints as well.
const QString kStreamKey = QStringLiteral("b3nch-k3y");

CodecPreset rtmpTo(CodecPreset preset, const QString& url, int rtmpMode = 0,
                   const QString& caFile = {})
{
    preset.streaming().enabled = true;
    preset.streaming().url = url;
    preset.streaming().streamKey = kStreamKey;
    preset.streaming().rtmpMode = rtmpMode;
    preset.streaming().caFile = caFile;
    return preset;
}

CodecPreset srtTo(CodecPreset preset, int port)
{
    preset.streaming().enabled = true;
    preset.streaming().url = QStringLiteral("srt://127.0.0.1");
    preset.streaming().srtPort = port;
    preset.streaming().srtMode = QStringLiteral("caller");
    preset.streaming().srtLatency = 120;
    preset.container().format = QStringLiteral("mpegts");
    return preset;
}

// Pushes frames and sound in real time for `seconds`, calling `each` after every frame; ends
// early when it returns false.
template <class Each> void push(Encoder& encoder, int width, int height, int seconds, Each each)
{
    TestPattern pattern(width, height);
    TimeStamp ts;
    ts.startFlag = 1;
    std::vector<int16_t> audio(1600 * 2);
    long long sample = 0;
    QElapsedTimer clock;
    clock.start();
    for (int frame = 0; frame < seconds * 30; ++frame) {
        encoder.enqueueVideo(const_cast<uint8_t*>(pattern.frame(frame)), width, height, PIX_NV12,
                             &ts);
        for (size_t s = 0; s < audio.size() / 2; ++s, ++sample)
            audio[2 * s] = audio[2 * s + 1] =
                static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * sample / 48000.0));
        encoder.enqueueAudio(reinterpret_cast<unsigned char*>(audio.data()),
                             static_cast<int>(audio.size() * 2));
        if (!each(frame))
            return;
        const long due = (frame + 1) * 1000L / 30;
        if (clock.elapsed() < due)
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
    }
}

// Polls `condition` every half millisecond for up to `ms`; its value at the end.
template <class Condition> bool waitFor(Condition condition, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < ms)
        QThread::usleep(500);
    return condition();
}

int cpuRun(const char* what, CodecPreset preset, int seconds)
{
    Encoder encoder;
    if (encoder.initialize(nullptr, &preset, false) != 0 || !encoder.start()) {
        std::fprintf(stderr, "live_bench: the %s pipeline did not start\n", what);
        return 1;
    }
    long peak = 0;
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    push(encoder, 1280, 720, seconds, [&](int frame) {
        if (frame % 30 == 0)
            peak = std::max(peak, rssKiB());
        return true;
    });
    encoder.stop();
    const double used = cpuSeconds() - before;
    std::printf("%-6s %.1f%% of one core, peak rss %ld KiB, %.1f s of video written\n", what,
                100.0 * used / (wall.elapsed() / 1000.0), peak,
                encoder.getSyncInfo().videoWriteTs.load());
    return 0;
}

// A pipeline streaming the test pattern in real time from a thread of its own until stop().
class LiveRun
{
public:
    explicit LiveRun(CodecPreset preset) : m_preset(std::move(preset)) {}
    ~LiveRun() { stop(); }
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;

    bool start()
    {
        if (m_encoder.initialize(nullptr, &m_preset, false) != 0 || !m_encoder.start())
            return false;
        m_started = true;
        m_pusher = std::thread([this] {
            push(m_encoder, m_preset.videoCodec().width, m_preset.videoCodec().height, 24 * 3600,
                 [this](int) { return !m_done.load(); });
        });
        return true;
    }
    void stop()
    {
        m_done.store(true);
        if (m_pusher.joinable())
            m_pusher.join();
        if (m_started)
            m_encoder.stop();
        m_started = false;
    }

    Encoder& encoder() { return m_encoder; }
    const AVSync& sync() { return m_encoder.getSyncInfo(); }
    bool isLive() { return sync().liveState.load() == int(LiveState::Live); }
    // Waits until the open link counts as live (ReopenPolicy::kSettled), so that a break is a
    // reconnection with the quick reopens: its stream, which starts at 0 with every link, has
    // run that long.
    bool waitSettled(int ms = 30000)
    {
        const double settled = ReopenPolicy::kSettled.count() / 1000.0 + 0.5;
        return waitFor([&] { return isLive() && sync().videoWriteTs.load() > settled; }, ms);
    }

private:
    CodecPreset m_preset;
    Encoder m_encoder;
    std::thread m_pusher;
    std::atomic<bool> m_done{false};
    bool m_started = false;
};

// Stops the server and starts it again `restarts` times while `run` streams: for each restart
// the time from the server accepting again to the first packet of the new link written, in ms
// (30000 when it never came). A stop that the output does not notice within 10 s, while the
// server is down, is counted in *unnoticed; its break is noticed later, and its time includes
// that. Stops early when the stream does not settle.
std::vector<double> restartTimes(LiveRun& run, int restarts, const std::function<void()>& stop,
                                 const std::function<bool()>& start, bool print,
                                 int* unnoticed = nullptr)
{
    const AVSync& sync = run.sync();
    std::vector<double> times;
    for (int r = 0; r < restarts; ++r) {
        if (!run.waitSettled()) {
            std::fprintf(stderr, "live_bench: the stream did not settle (restart %d)\n", r + 1);
            break;
        }
        // A link that was live and broke is counted when it is reported.
        const int reconnects = sync.liveReconnects.load();
        stop();
        const bool noticed =
            waitFor([&] { return sync.liveState.load() == int(LiveState::Reconnecting); }, 10000);
        if (!noticed && unnoticed)
            ++*unnoticed;
        QThread::msleep(1000);
        if (!start()) {
            std::fprintf(stderr, "live_bench: the server did not start again\n");
            break;
        }
        QElapsedTimer back; // the port accepts from here on
        back.start();
        // The written time is reset when a link closes, before the state is reported.
        const bool ok = waitFor(
            [&] {
                return sync.liveReconnects.load() > reconnects &&
                       sync.liveState.load() == int(LiveState::Live) &&
                       sync.videoWriteTs.load() > 0.0;
            },
            30000);
        times.push_back(ok ? back.nsecsElapsed() / 1e6 : 30000.0);
        if (print) {
            std::printf("restart %3d: first packet written %.0f ms after the server accepted%s\n",
                        r + 1, times.back(), noticed ? "" : " (the stop went unnoticed for 10 s)");
            std::fflush(stdout);
        }
    }
    return times;
}

// --- live_bench faults ---

struct Transport
{
    const char* name = "";
    int rtmpMode = 0; // -1: SRT
    bool tls = false;
    bool srt() const { return rtmpMode < 0; }
};

constexpr Transport kTransports[] = {
    {"rtmp", 0, false}, {"rtmp-lavf", 1, false}, {"rtmps", 0, true}, {"srt", -1, false}};

// Failed attempts of live outputs, from the library's messages ("... trying again in N ms").
// The faults mode counts them instead of printing them, and drops the other messages too
// (the libraries' complaints about servers that misbehave on purpose), except fatal ones.
std::atomic<int> g_failedAttempts{0};

void countMessages(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (text.startsWith(QLatin1String("live output to")) &&
        text.contains(QLatin1String("trying again in")))
        g_failedAttempts.fetch_add(1);
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

void noteReason(QStringList* reasons, QString reason)
{
    reason.replace(kStreamKey, QLatin1String("***"));
    if (!reason.isEmpty() && !reasons->contains(reason))
        reasons->append(reason);
}

// An RTMP transport's preset towards `url` (rtmp://), or towards `front` (rtmps://) when the
// transport goes through TLS.
CodecPreset rtmpVia(const CodecPreset& preset, const Transport& t, const QString& url,
                    const live::TlsFront& front)
{
    return rtmpTo(preset, t.tls ? front.url() : url, t.rtmpMode,
                  t.tls ? front.certFile() : QString());
}

// The far end of one transport: nginx-rtmp (behind a TLS front for rtmps) or a
// srt-live-transmit listener (`refuse`: one that demands a passphrase the output does not
// have). server() is the one restarted and frozen; the TLS front stays up.
class Ingest
{
public:
    explicit Ingest(const Transport& t, bool refuse = false)
        : m_t(t), m_front(m_nginx.port()),
          m_srt(QStringLiteral("listener"), live::freePort(SOCK_DGRAM),
                refuse ? QStringLiteral("passphrase=refusing-listener") : QString())
    {
    }
    bool start()
    {
        return m_t.srt() ? m_srt.start() : startServer() && (!m_t.tls || m_front.start());
    }
    bool startServer() { return m_t.srt() ? m_srt.start() : m_nginx.start(); }
    void stopServer() { server().stop(); }
    live::ServerProcess& server()
    {
        return m_t.srt() ? static_cast<live::ServerProcess&>(m_srt) : m_nginx;
    }
    CodecPreset to(const CodecPreset& preset) const
    {
        return m_t.srt() ? srtTo(preset, m_srt.port())
                         : rtmpVia(preset, m_t, m_nginx.url(), m_front);
    }

private:
    Transport m_t;
    live::NginxRtmp m_nginx;
    live::TlsFront m_front;
    live::SrtLiveTransmit m_srt;
};

CodecPreset stallPreset()
{
    CodecPreset p = benchPreset(1280, 720);
    p.videoCodec().bitrate = 700;
    p.audioCodec().bitrate = 100;
    return p;
}

struct Row
{
    Transport t;
    std::vector<double> restarts; // sorted
    int unnoticedStops = 0;       // server stops not noticed within 10 s
    double stallMs = -1;          // -1: still live kStallLimitMs after the freeze (or never live)
    QString stallReason;
    double refusedPerMinute = -1; // failed attempts, as the output counted them
    double serverPerMinute = -1;  // connections the refusing peer took; -1 for SRT
    QStringList refusedReasons;
    bool garbage = false;
    long rssStartKiB = 0, rssMaxKiB = 0;
    int peerConnections = 0;
    QStringList garbageReasons;
};

void measureReconnect(Row* row, Ingest& ingest, int restarts)
{
    LiveRun run(ingest.to(benchPreset(320, 240)));
    if (!run.start()) {
        std::fprintf(stderr, "live_bench: the %s pipeline did not start\n", row->t.name);
        return;
    }
    row->restarts = restartTimes(
        run, restarts, [&] { ingest.stopServer(); }, [&] { return ingest.startServer(); }, false,
        &row->unnoticedStops);
    std::sort(row->restarts.begin(), row->restarts.end());
}

// How long measureStall waits for the output to notice.
constexpr int kStallLimitMs = 120000;

void measureStall(Row* row, Ingest& ingest)
{
    LiveRun run(ingest.to(stallPreset()));
    if (!run.start() || !run.waitSettled()) {
        std::fprintf(stderr, "live_bench: the %s stream did not go live\n", row->t.name);
        return;
    }
    ingest.server().freeze(true);
    QElapsedTimer clock;
    clock.start();
    if (waitFor([&] { return !run.isLive(); }, kStallLimitMs)) {
        row->stallMs = clock.nsecsElapsed() / 1e6;
        row->stallReason = run.encoder().liveReason().replace(kStreamKey, QLatin1String("***"));
    }
    ingest.server().freeze(false);
}

// RTMP: the scripted peer answers the handshake and connect and refuses the publish with an
// error status, as an ingest server does for a wrong stream key. SRT: a listener that demands a
// passphrase.
void measureRefusal(Row* row, int seconds)
{
    live::ScriptedRtmpPeer peer(QStringLiteral("refuse-publish"));
    live::TlsFront front(peer.port());
    Ingest srt(row->t, true);
    const bool started =
        row->t.srt() ? srt.start() : peer.start() && (!row->t.tls || front.start());
    if (!started) {
        std::fprintf(stderr, "live_bench: the refusing %s server did not start\n", row->t.name);
        return;
    }
    const CodecPreset preset = benchPreset(320, 240);
    LiveRun run(row->t.srt() ? srt.to(preset) : rtmpVia(preset, row->t, peer.url(), front));
    g_failedAttempts.store(0);
    QElapsedTimer clock;
    clock.start();
    if (!run.start())
        return;
    while (clock.elapsed() < seconds * 1000L) {
        noteReason(&row->refusedReasons, run.encoder().liveReason());
        QThread::msleep(50);
    }
    // Counted at the end of the window, before stopping adds anything.
    const double minutes = clock.elapsed() / 60000.0;
    row->refusedPerMinute = g_failedAttempts.load() / minutes;
    if (!row->t.srt())
        row->serverPerMinute = peer.connections() / minutes;
    run.stop();
}

void measureGarbage(Row* row, int seconds)
{
    live::ScriptedRtmpPeer peer(QStringLiteral("garbage"));
    live::TlsFront front(peer.port());
    if (row->t.tls && !front.start()) {
        std::fprintf(stderr, "live_bench: the TLS front did not start\n");
        return;
    }
    LiveRun run(rtmpVia(benchPreset(320, 240), row->t, peer.url(), front));
    if (!run.start())
        return;
    QThread::msleep(2000); // the encoders warm up while nothing listens
    row->rssStartKiB = row->rssMaxKiB = rssKiB();
    if (!peer.start()) {
        std::fprintf(stderr, "live_bench: the scripted RTMP peer did not start\n");
        return;
    }
    row->garbage = true;
    // The reason the closed port gave is not the peer's.
    const QString closedPort = run.encoder().liveReason();
    bool peerSpoke = false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000L) {
        row->rssMaxKiB = std::max(row->rssMaxKiB, rssKiB());
        const QString reason = run.encoder().liveReason();
        peerSpoke = peerSpoke || reason != closedPort;
        if (peerSpoke)
            noteReason(&row->garbageReasons, reason);
        QThread::msleep(50);
    }
    row->peerConnections = peer.connections();
    run.stop();
}

void printReasons(const char* what, const QStringList& reasons)
{
    for (int i = 0; i < reasons.size(); ++i)
        std::printf("  %-9s %s\n", i == 0 ? what : "", qPrintable(reasons[i]));
}

int faults(int restarts, int refusedSeconds, int garbageSeconds, const QString& only)
{
    qInstallMessageHandler(countMessages);
    std::vector<Row> rows;
    for (const Transport& t : kTransports) {
        if (!only.isEmpty() && !only.split(',').contains(QLatin1String(t.name)))
            continue;
        Row row;
        row.t = t;
        Ingest ingest(t);
        if (!ingest.start()) {
            std::fprintf(stderr, "live_bench: the %s server did not start\n", t.name);
            return 1;
        }
        std::printf("%s: reconnect...", t.name);
        std::fflush(stdout);
        measureReconnect(&row, ingest, restarts);
        std::printf(" stall...");
        std::fflush(stdout);
        measureStall(&row, ingest);
        std::printf(" refused...");
        std::fflush(stdout);
        measureRefusal(&row, refusedSeconds);
        if (!t.srt()) {
            std::printf(" garbage...");
            std::fflush(stdout);
            measureGarbage(&row, garbageSeconds);
        }
        std::printf(" done\n");
        std::fflush(stdout);
        rows.push_back(row);
    }

    std::printf("\nworst of %d restarts; refused for %d s; garbage for %d s (loopback)\n", restarts,
                refusedSeconds, garbageSeconds);
    std::printf("            reconnect (ms)      stall   refused (/min)     garbage RSS (MiB)\n");
    std::printf("transport   worst  median   n   (s)     tries  server     start    max  conns\n");
    for (const Row& r : rows) {
        std::printf("%-10s", r.t.name);
        if (r.restarts.empty())
            std::printf("  %5s  %6s  %2s", "-", "-", "0");
        else
            std::printf("  %5.0f  %6.0f  %2zu", r.restarts.back(),
                        r.restarts[r.restarts.size() / 2], r.restarts.size());
        if (r.stallMs < 0)
            std::printf("  >%4d", kStallLimitMs / 1000);
        else
            std::printf("   %5.1f", r.stallMs / 1000.0);
        std::printf("   %5.1f", r.refusedPerMinute);
        if (r.serverPerMinute < 0)
            std::printf("  %6s", "-");
        else
            std::printf("  %6.1f", r.serverPerMinute);
        if (r.garbage)
            std::printf("     %5.1f  %5.1f  %5d\n", r.rssStartKiB / 1024.0, r.rssMaxKiB / 1024.0,
                        r.peerConnections);
        else
            std::printf("     %5s  %5s  %5s\n", "-", "-", "-");
    }
    std::printf("\nreasons seen\n");
    for (const Row& r : rows) {
        std::printf("%s\n", r.t.name);
        printReasons("stall", QStringList{r.stallReason.isEmpty() ? QStringLiteral("(none)")
                                                                  : r.stallReason});
        if (r.unnoticedStops > 0)
            std::printf("  %-9s %d of %zu server stops went unnoticed for 10 s\n", "restart",
                        r.unnoticedStops, r.restarts.size());
        printReasons("refused", r.refusedReasons);
        if (r.garbage)
            printReasons("garbage", r.garbageReasons);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.info=false");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("cpu");
    if (mode == QLatin1String("faults"))
        return faults(argc > 2 ? std::max(1, std::atoi(argv[2])) : 20,
                      argc > 3 ? std::max(1, std::atoi(argv[3])) : 60,
                      argc > 4 ? std::max(1, std::atoi(argv[4])) : 60,
                      argc > 5 ? QString::fromLocal8Bit(argv[5]) : QString());

    live::NginxRtmp nginx;
    if (!nginx.start()) {
        std::fprintf(stderr, "live_bench: nginx with the RTMP module did not start\n");
        return 1;
    }
    live::SrtLiveTransmit peer(QStringLiteral("listener"), live::freePort(SOCK_DGRAM));
    if (!peer.start()) {
        std::fprintf(stderr, "live_bench: srt-live-transmit did not start\n");
        return 1;
    }
    const auto streamTo = [&](const CodecPreset& preset, bool srt) {
        return srt ? srtTo(preset, peer.port()) : rtmpTo(preset, nginx.url());
    };

    if (mode == QLatin1String("cpu")) {
        const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
        QTemporaryDir dir;
        CodecPreset file = benchPreset(1280, 720);
        file.local().enabled = true;
        file.local().folder = dir.path();
        file.local().fileNameTemplate = QStringLiteral("bench");
        return cpuRun("rtmp", streamTo(benchPreset(1280, 720), false), seconds) ||
               cpuRun("srt", streamTo(benchPreset(1280, 720), true), seconds) ||
               cpuRun("file", file, seconds);
    }

    const int restarts = argc > 2 ? std::atoi(argv[2]) : 20;
    const bool srt = argc > 3 && QLatin1String(argv[3]) == QLatin1String("srt");
    LiveRun run(streamTo(benchPreset(320, 240), srt));
    if (!run.start()) {
        std::fprintf(stderr, "live_bench: the pipeline did not start\n");
        return 1;
    }
    std::vector<double> times = restartTimes(
        run, restarts, [&] { srt ? peer.stop() : nginx.stop(); },
        [&] { return srt ? peer.start() : nginx.start(); }, true);
    run.stop();
    if (times.empty())
        return 1;
    std::sort(times.begin(), times.end());
    std::printf("reconnection over %zu restarts: median %.0f ms, worst %.0f ms\n", times.size(),
                times[times.size() / 2], times.back());
    return times.back() < 1000.0 ? 0 : 2;
}
