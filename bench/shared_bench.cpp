// CPU cost of one video encoder shared by three outputs against three encoders of their own.
//
//   shared_bench [frames=300] [preset=veryfast] [audio=1]
//
// The same 1080p30 frames (X264 at 6000 kbit/s, and AAC unless audio is 0) go, in one run
// each, to:
//   single       one Encoder recording to mp4
//   shared       three RefEncoders in share mode: mp4, mkv and a live stream to a local
//                nginx-rtmp, the video encoded once
//   independent  three Encoders with the same three outputs
// Frames are pushed as fast as the encoders take them (the host waits whenever a pipeline holds
// more than a few frames), so every run encodes every frame. Reported: CPU seconds (user + sys
// of the whole process) and wall time of each run, and each CPU time as a ratio of the single
// output's. The goal for the shared run is at most 1.15. Each output encodes its own sound, so
// with audio the shared run also pays for two more AAC encoders; audio=0 shows the cost of the
// sharing alone.
//
// nginx with the RTMP module runs from a generated configuration in a temporary folder.

#include "LiveServers.h"
#include "ProcessStats.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/EncoderGroup.h"
#include "encoder/RefEncoder.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Run
{
    double cpu = 0, wall = 0;
    long long frames = 0; // video packets the first output wrote
};

CodecPreset benchPreset(const QString& speed, const QString& container, const QString& folder,
                        bool audio)
{
    CodecPreset p;
    p.videoOutput() = {kWidth, kHeight, 30.0};
    p.audioOutput() = {2, 48000, 16, 16384};
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = kWidth;
    v.height = kHeight;
    v.frameRate = 30;
    v.bitrate = 6000;
    v.preset = speed;
    v.tune = QStringLiteral("zerolatency");
    p.audioCodec() = {audio, QStringLiteral("AAC"), 48000, 128, 16, 2};
    p.container().format = container;
    p.local().enabled = true;
    p.local().folder = folder;
    p.local().fileNameTemplate = QStringLiteral("bench");
    return p;
}

// Feeds `frames` frames and their sound to every pipeline and stops them; the CPU and wall
// time from the first frame to the last pipeline stopped.
Run feed(const std::vector<IEncoder*>& pipelines, const std::vector<std::vector<uint8_t>>& pictures,
         int frames)
{
    std::vector<int16_t> tone(1600 * 2);
    for (size_t s = 0; s < tone.size(); ++s)
        tone[s] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * (s / 2) / 48000.0));
    TimeStamp ts;
    ts.startFlag = 1;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < frames; ++i) {
        for (IEncoder* p : pipelines) {
            auto* picture = const_cast<uint8_t*>(pictures[i % pictures.size()].data());
            p->enqueueVideo(picture, kWidth, kHeight, PIX_NV12, &ts);
            p->enqueueAudio(reinterpret_cast<unsigned char*>(tone.data()),
                            static_cast<int>(tone.size() * 2));
        }
        for (IEncoder* p : pipelines)
            while (i - static_cast<long long>(p->encodedVideo().frameCount.load()) > 4)
                QThread::usleep(200);
    }
    for (IEncoder* p : pipelines)
        p->stop();
    Run run;
    run.cpu = cpuSeconds() - cpuBefore;
    run.wall = wall.elapsed() / 1000.0;
    run.frames = static_cast<long long>(pipelines.front()->encodedVideo().frameCount.load());
    return run;
}

// One run: pipelines made by `make` for the presets, fed, then destroyed.
template <class Make>
Run runOutputs(const std::vector<CodecPreset>& presets, const char* what,
               const std::vector<std::vector<uint8_t>>& pictures, int frames, Make make)
{
    EncoderGroup group;
    std::vector<std::unique_ptr<IEncoder>> owned;
    std::vector<IEncoder*> pipelines;
    for (CodecPreset preset : presets) {
        owned.emplace_back(make());
        group.add(owned.back().get());
        if (owned.back()->initialize(&group, &preset, true) != 0 || !owned.back()->start()) {
            std::fprintf(stderr, "shared_bench: a %s pipeline did not start\n", what);
            std::exit(1);
        }
        pipelines.push_back(owned.back().get());
    }
    const Run run = feed(pipelines, pictures, frames);
    for (auto& p : owned)
        group.remove(p.get());
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.info=false");
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    const QString speed = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("veryfast");
    const bool audio = argc > 3 ? std::atoi(argv[3]) != 0 : true;
    live::NginxRtmp nginx;
    if (!nginx.start()) {
        std::fprintf(stderr, "shared_bench: nginx with the RTMP module did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    CodecPreset live = benchPreset(speed, QStringLiteral("flv"), dir.path(), audio);
    live.local().enabled = false;
    live.streaming().enabled = true;
    live.streaming().url = nginx.url();
    live.streaming().streamKey = QStringLiteral("bench");
    const std::vector<CodecPreset> three{
        benchPreset(speed, QStringLiteral("mp4"), dir.path(), audio),
        benchPreset(speed, QStringLiteral("mkv"), dir.path(), audio), live};

    // Two seconds of distinct pictures, made before anything is measured.
    TestPattern pattern(kWidth, kHeight);
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 60; ++i)
        pictures.emplace_back(pattern.frame(i), pattern.frame(i) + pattern.frameSize());

    const Run single =
        runOutputs({three.front()}, "single", pictures, frames, [] { return new Encoder(); });
    const Run shared =
        runOutputs(three, "shared", pictures, frames, [] { return new RefEncoder(); });
    const Run independent =
        runOutputs(three, "independent", pictures, frames, [] { return new Encoder(); });

    std::printf("%d frames of %dx%d, x264 %s%s, to mp4 / mp4 + mkv + rtmp\n", frames, kWidth,
                kHeight, qPrintable(speed), audio ? " + AAC" : "");
    for (const auto& [name, run] :
         {std::make_pair("single", single), std::make_pair("shared", shared),
          std::make_pair("independent", independent)})
        std::printf("%-12s cpu %7.2f s  wall %6.2f s  %lld frames  %.2fx the single output\n", name,
                    run.cpu, run.wall, run.frames, run.cpu / single.cpu);
    return shared.cpu <= 1.15 * single.cpu ? 0 : 2;
}
