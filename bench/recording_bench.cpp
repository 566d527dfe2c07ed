// Resource use of a recording pipeline.
//
//   recording_bench idle [seconds=10]   CPU used by an idle pipeline with an open recording
//                                       (its worker threads and muxing loop only wait)
//   recording_bench memory [seconds=60] resident memory while recording 720p30 x264 + AAC to
//                                       mkv, pushed in real time; prints RSS once a second
//   recording_bench flood [seconds=10]  the same recording fed as fast as the host can copy
//                                       frames, without waiting: resident memory must stay
//                                       flat while the bounded FIFO drops and counts input
//
// Files go to a temporary folder that is removed at the end.

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
#include <cmath>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

CodecPreset recordingPreset(const QString& folder)
{
    CodecPreset p;
    p.videoOutput().frameRate = 30;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = 1280;
    v.height = 720;
    v.frameRate = 30;
    v.bitrate = 4000;
    v.preset = QStringLiteral("veryfast");
    v.tune = QStringLiteral("zerolatency");
    p.audioCodec() = {true, QStringLiteral("AAC"), 48000, 128, 16, 2};
    p.container().format = QStringLiteral("mkv");
    p.local().folder = folder;
    p.local().fileNameTemplate = QStringLiteral("bench");
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("idle");
    const int seconds = argc > 2 ? std::atoi(argv[2]) : (mode == QLatin1String("memory") ? 60 : 10);
    QTemporaryDir dir;
    CodecPreset preset = recordingPreset(dir.path());
    Encoder encoder;
    if (encoder.initialize(nullptr, &preset, false) != 0 || !encoder.start()) {
        std::fprintf(stderr, "recording_bench: the pipeline did not start\n");
        return 1;
    }
    TestPattern pattern(1280, 720);
    TimeStamp ts;
    ts.startFlag = 1;
    std::vector<int16_t> audio(1600 * 2);

    if (mode == QLatin1String("idle")) {
        encoder.enqueueVideo(const_cast<uint8_t*>(pattern.frame(0)), 1280, 720, PIX_NV12, &ts);
        QThread::msleep(500);
        const double before = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QThread::sleep(seconds);
        const double used = cpuSeconds() - before;
        std::printf(
            "idle pipeline with an open recording: %.3f s CPU in %.1f s = %.2f%% of one core\n",
            used, wall.elapsed() / 1000.0, 100.0 * used / (wall.elapsed() / 1000.0));
        return 0;
    }

    if (mode == QLatin1String("flood")) {
        QElapsedTimer clock;
        clock.start();
        long long offered = 0;
        long peak = 0;
        for (int second = 1; second <= seconds; ++second) {
            while (clock.elapsed() < second * 1000L)
                encoder.enqueueVideo(const_cast<uint8_t*>(pattern.frame(offered++ % 30)), 1280, 720,
                                     PIX_NV12, &ts);
            peak = std::max(peak, rssKiB());
            std::printf("t=%3d s  offered %lld  input drops %d  rss %ld KiB\n", second, offered,
                        encoder.getSyncInfo().videoInputDrops.load(), rssKiB());
        }
        encoder.stop();
        std::printf("peak rss %ld KiB for %lld frames offered\n", peak, offered);
        return 0;
    }

    long peak = 0, first = 0;
    QElapsedTimer clock;
    clock.start();
    long long sample = 0;
    for (int frame = 0; frame < seconds * 30; ++frame) {
        encoder.enqueueVideo(const_cast<uint8_t*>(pattern.frame(frame)), 1280, 720, PIX_NV12, &ts);
        for (size_t s = 0; s < audio.size() / 2; ++s, ++sample)
            audio[2 * s] = audio[2 * s + 1] =
                static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * sample / 48000.0));
        encoder.enqueueAudio(reinterpret_cast<unsigned char*>(audio.data()),
                             static_cast<int>(audio.size() * 2));
        const long due = (frame + 1) * 1000L / 30;
        if (clock.elapsed() < due)
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
        if (frame % 30 == 29) {
            const long rss = rssKiB();
            peak = std::max(peak, rss);
            if (frame == 29 * 5 + 4)
                first = rss; // after five seconds, once the queues and encoders are warm
            std::printf("t=%3d s  rss %ld KiB  queued %lld\n", (frame + 1) / 30, rss,
                        static_cast<long long>(
                            encoder.getSyncInfo().videoFrames.load() -
                            static_cast<long long>(encoder.encodedVideo().frameCount.load())));
        }
    }
    encoder.stop();
    std::printf("peak rss %ld KiB; growth after the first five seconds %ld KiB\n", peak,
                rssKiB() - first);
    return 0;
}
