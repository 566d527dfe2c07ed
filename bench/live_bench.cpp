// Resource use and reconnection time of a live output, against a local nginx-rtmp and a
// local srt-live-transmit.
//
//   live_bench cpu [seconds=30]        720p30 X264 + AAC pushed in real time, streamed to
//                                      nginx over RTMP, to srt-live-transmit over SRT, and
//                                      recorded to an mkv file: CPU % of one core and peak
//                                      resident memory of each run
//   live_bench reconnect [restarts=20] [rtmp|srt]
//                                      a 320x240 stream whose server (the listening SRT peer)
//                                      is stopped and started again `restarts` times: the time
//                                      from the server accepting again to the first packet
//                                      written, worst and median (`live_bench reconnect 100`
//                                      is the soak run)
//
// The servers run from generated configurations in temporary folders.

#include "LiveServers.h"
#include "ProcessStats.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

CodecPreset benchPreset(int width, int height)
{
    CodecPreset p;
    p.videoOutput().frameRate = 30;
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.info=false");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("cpu");
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
    const auto streamTo = [&](CodecPreset preset, bool srt) {
        preset.streaming().enabled = true;
        if (srt) {
            preset.streaming().url = QStringLiteral("srt://127.0.0.1");
            preset.streaming().srtPort = peer.port();
            preset.streaming().srtMode = QStringLiteral("caller");
            preset.streaming().srtLatency = 120;
            preset.container().format = QStringLiteral("mpegts");
        } else {
            preset.streaming().url = nginx.url();
            preset.streaming().streamKey = QStringLiteral("bench");
        }
        return preset;
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
    CodecPreset preset = streamTo(benchPreset(320, 240), srt);
    Encoder encoder;
    if (encoder.initialize(nullptr, &preset, false) != 0 || !encoder.start()) {
        std::fprintf(stderr, "live_bench: the pipeline did not start\n");
        return 1;
    }
    const AVSync& sync = encoder.getSyncInfo();
    std::atomic<bool> done{false};
    std::thread pusher(
        [&] { push(encoder, 320, 240, 24 * 3600, [&](int) { return !done.load(); }); });
    const auto waitFor = [&](auto condition, int ms) {
        QElapsedTimer clock;
        clock.start();
        while (!condition() && clock.elapsed() < ms)
            QThread::usleep(500);
        return condition();
    };
    std::vector<double> times;
    for (int r = 0; r < restarts; ++r) {
        if (!waitFor([&] { return sync.videoWriteTs.load() > 0.5; }, 10000)) {
            std::fprintf(stderr, "live_bench: the stream did not start (restart %d)\n", r);
            break;
        }
        srt ? peer.stop() : nginx.stop();
        waitFor([&] { return sync.liveState.load() == int(LiveState::Reconnecting); }, 10000);
        QThread::msleep(1000);
        if (!(srt ? peer.start() : nginx.start())) {
            std::fprintf(stderr, "live_bench: the server did not start again\n");
            break;
        }
        QElapsedTimer back; // the port accepts from here on
        back.start();
        const bool ok = waitFor(
            [&] {
                return sync.liveState.load() == int(LiveState::Live) &&
                       sync.videoWriteTs.load() > 0.0;
            },
            30000);
        times.push_back(ok ? back.nsecsElapsed() / 1e6 : 30000.0);
        std::printf("restart %3d: first packet written %.0f ms after the server accepted\n", r + 1,
                    times.back());
        std::fflush(stdout);
    }
    done.store(true);
    pusher.join();
    encoder.stop();
    if (times.empty())
        return 1;
    std::sort(times.begin(), times.end());
    std::printf("reconnection over %zu restarts: median %.0f ms, worst %.0f ms\n", times.size(),
                times[times.size() / 2], times.back());
    return times.back() < 1000.0 ? 0 : 2;
}
