// What the facade costs when it feeds many outputs, against the host feeding the same
// pipelines itself.
//
//   facade_bench [frames=150] [width=640] [height=360]
//
// For 1, 3 and 6 outputs, one run through a Strevo job and one fed directly (the host calls
// every pipeline's enqueue itself, each of which copies the frame). The host delivers a test
// pattern and a tone in real time at 30 fps. Outputs, in this order: mp4, a live MPEG-TS stream
// over UDP to 127.0.0.1, mkv, ts, mov, flv; with more than one output the last is throttled (its
// host callback sleeps 80 ms a packet, so it manages about 12 of 30 frames a second). Each
// output has its own x264 (ultrafast) and AAC encoder.
//
// Printed per run: per output the frames its file or stream got and those it dropped, the
// host's longest wait in one enqueue call, and CPU seconds (user + sys of the whole process)
// per output. Goals: the facade costs at most 2% more CPU than direct feeding; the longest
// wait stays under one frame interval (33 ms); only the throttled output drops.

#include "ProcessStats.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "encoder/IEncodingCallback.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 30.0;
constexpr int kSamplesPerFrame = 1600;

struct Throttle : IEncodingCallback
{
    void videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                      unsigned char*, unsigned int) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
    }
    void audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) override {}
};

struct Status : IEncodingStatus
{
    void ecoderStateCallback(IEncoder*, int, int) override {}
    QVector<IEncoder*> encoders() override { return {}; }
};

CodecPreset outputPreset(int index, const QString& folder, int w, int h)
{
    static const char* const containers[] = {"mp4", "ts", "mkv", "ts", "mov", "flv"};
    CodecPreset p = RecordingHarness::preset(QStringLiteral("%1/%2").arg(folder).arg(index),
                                             QLatin1String(containers[index]), w, h, kRate);
    p.videoOutput().width = w;
    p.videoOutput().height = h;
    p.videoCodec().bitrate = 1500;
    p.local().fileNameTemplate = QStringLiteral("bench");
    if (index == 1) { // live: nobody needs to listen for UDP
        p.local().enabled = false;
        p.streaming().enabled = true;
        p.streaming().url = QStringLiteral("udp://127.0.0.1:%1").arg(47000 + index);
    }
    return p;
}

struct Result
{
    double cpu = 0;
    double longestWaitMs = 0;
    std::vector<long long> kept, dropped;
};

Result run(int outputs, bool facade, int frames, int w, int h)
{
    QTemporaryDir dir;
    Status status;
    Throttle throttle;
    Strevo job;
    std::vector<Encoder*> pipelines;
    std::vector<std::unique_ptr<Encoder>> owned;
    ProjectPreset project = outputPreset(0, dir.path(), w, h);
    project.videoOutput().width = w;
    project.videoOutput().height = h;
    job.initialize(&project);
    for (int i = 0; i < outputs; ++i) {
        CodecPreset preset = outputPreset(i, dir.path(), w, h);
        auto* e = new Encoder;
        if (e->initialize(facade ? static_cast<IEncodingStatus*>(&job) : &status, &preset, false) !=
            0)
            std::fprintf(stderr, "output %d failed to initialise\n", i);
        if (outputs > 1 && i == outputs - 1)
            e->encodingCallback(&throttle);
        e->start();
        pipelines.push_back(e);
        if (facade) {
            job.addCodecProfile(new CodecPreset(preset));
            job.addEncoder(e, 0);
        } else {
            owned.emplace_back(e);
        }
    }
    if (facade)
        job.start(0);

    TestPattern pattern(w, h);
    std::vector<int16_t> sound(2 * kSamplesPerFrame);
    TimeStamp ts{1};
    QSize sizes[3] = {QSize(w, h)};
    int formats[3] = {PIX_NV12};
    Result r;
    const double cpu0 = cpuSeconds();
    auto next = Clock::now();
    for (int i = 0; i < frames; ++i) {
        const uint8_t* picture = pattern.frame(i);
        for (size_t s = 0; s < sound.size(); ++s)
            sound[s] = static_cast<int16_t>(
                8000 * std::sin(2 * M_PI * 1000.0 * (i * kSamplesPerFrame + s / 2) / 48000.0));
        auto* audio = reinterpret_cast<unsigned char*>(sound.data());
        const auto before = Clock::now();
        if (facade) {
            unsigned char* planes[2][3] = {{const_cast<uint8_t*>(picture)}, {}};
            job.enqueueVideo(planes, sizes, formats, &ts);
            unsigned char* buffers[3] = {audio};
            job.enqueueAudio(buffers, static_cast<int>(sound.size() * 2));
        } else {
            for (Encoder* e : pipelines) {
                e->enqueueVideo(const_cast<uint8_t*>(picture), w, h, PIX_NV12, &ts);
                e->enqueueAudio(audio, static_cast<int>(sound.size() * 2));
            }
        }
        r.longestWaitMs =
            std::max(r.longestWaitMs,
                     std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        next += std::chrono::microseconds(static_cast<long>(1e6 / kRate));
        std::this_thread::sleep_until(next);
    }
    if (facade)
        job.stop();
    else
        for (Encoder* e : pipelines)
            e->stop();
    r.cpu = cpuSeconds() - cpu0;
    for (Encoder* e : pipelines) {
        r.kept.push_back(static_cast<long long>(e->encodedVideo().frameCount.load()));
        r.dropped.push_back(e->getSyncInfo().videoInputDrops.load());
    }
    return r; // the job or `owned` deletes the pipelines, finishing the files
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 150;
    const int w = argc > 2 ? std::atoi(argv[2]) : 640;
    const int h = argc > 3 ? std::atoi(argv[3]) : 360;
    std::printf("facade_bench: %d frames of %dx%d at 30 fps per run\n", frames, w, h);
    for (int outputs : {1, 3, 6}) {
        double cpu[2] = {};
        for (bool facade : {false, true}) {
            const Result r = run(outputs, facade, frames, w, h);
            cpu[facade] = r.cpu;
            std::printf("%d output(s), %-7s: CPU %.2f s (%.3f s per output), longest host wait "
                        "%.2f ms\n",
                        outputs, facade ? "facade" : "direct", r.cpu, r.cpu / outputs,
                        r.longestWaitMs);
            for (int i = 0; i < outputs; ++i)
                std::printf("    output %d%s: %lld frames kept, %lld dropped\n", i + 1,
                            outputs > 1 && i == outputs - 1 ? " (throttled)" : "", r.kept[i],
                            r.dropped[i]);
        }
        std::printf("%d output(s): facade CPU / direct CPU = %.3f\n", outputs, cpu[1] / cpu[0]);
    }
    return 0;
}
