// Per-frame CPU cost of the NVENC CUDA input path against the fake runtimes: what the library
// itself spends per encode call (upload copies into the CUDA allocation, map, submit, ring
// handling, collecting the oldest packet), with the fake NVENC in its token-packet mode so that
// no software encode is counted. The fake CUDA driver's copies are plain memcpy, standing in for
// the DMA a GPU does.
//
//   LD_LIBRARY_PATH=build/tests/fakes/nvenc build/bench/nvenc_bench [frames=600]
//   (or: cmake --build build --target nvenc_bench_fake)
//
// Rows: 1920x1080 (pitch 2048: two 2D copies) and 2048x1080 (pitch = width: one copy), each
// with the session synchronous and asynchronous (completion events, pictures completing two
// submissions later). Reported: median thread CPU and wall time per call over 3 rounds. The fake
// completes pictures as they are submitted, so no call has to wait here; a waiting call sleeps on
// its completion event (a condition variable) or in the runtime's blocking lock, never spins.

#include "codec/video/nvenc/NvEncoder.h"
#include "common/CodecPreset.h"
#include "tests/fakes/nvenc/FakeNvControl.h"

#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>
extern "C" {
#include <libavutil/log.h>
}

namespace {

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The same bytes copied with memcpy, what the fake driver's "upload" costs by itself.
double memcpyUs(size_t bytes, int frames)
{
    std::vector<unsigned char> src(bytes, 1), dst(bytes);
    const double cpu0 = threadCpuSeconds();
    for (int i = 0; i < frames; ++i) {
        src[static_cast<size_t>(i) % bytes] = static_cast<unsigned char>(i);
        std::memcpy(dst.data(), src.data(), bytes);
    }
    return (threadCpuSeconds() - cpu0) * 1e6 / frames;
}

struct Cost
{
    double cpuUs = 0, wallUs = 0;
};

Cost run(int width, int height, int frames)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("H264(NVENC)");
    v.width = width;
    v.height = height;
    v.bitrate = 6000;
    v.preset = QStringLiteral("lowLatencyHQ");
    NvEncoder codec;
    if (!codec.initialize(&p))
        return {};
    std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 3 / 2, 100);
    std::vector<unsigned char> out(codec.maxPacketSize());
    const double cpu0 = threadCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        frame[i % frame.size()] = static_cast<unsigned char>(i);
        codec.encode(frame.data(), static_cast<unsigned int>(frame.size()), 10, out.data(),
                     static_cast<unsigned int>(out.size()), size, key, pts, dts);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    return {(threadCpuSeconds() - cpu0) * 1e6 / frames, wall * 1e6 / frames};
}

} // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::max(10, atoi(argv[1])) : 600;
    // Only the table: no set-up lines from the encoder or the fake's software encoder.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    av_log_set_level(AV_LOG_ERROR);
    FakeNv nvenc("libnvidia-encode.so.1", "fakeNvenc");
    FakeNv cuda("libcuda.so.1", "fakeCuda");
    if (!nvenc.loaded() || !cuda.loaded()) {
        std::fprintf(stderr, "nvenc_bench: the fake runtimes are not on LD_LIBRARY_PATH "
                             "(build/tests/fakes/nvenc)\n");
        return 1;
    }
    std::printf("%-10s %-6s %-7s %12s %12s %12s\n", "size", "copies", "mode", "cpu us/frame",
                "wall us/frame", "memcpy us");
    const struct
    {
        int w, h, copies;
    } sizes[] = {{1920, 1080, 2}, {2048, 1080, 1}};
    for (const auto& s : sizes)
        for (int async = 0; async < 2; ++async) {
            std::vector<Cost> rounds;
            for (int r = 0; r < 3; ++r) {
                nvenc.reset();
                cuda.reset();
                nvenc.set("noEncode", 1);
                nvenc.set("async", async);
                nvenc.set("depth", async ? 2 : 0);
                rounds.push_back(run(s.w, s.h, frames));
            }
            std::sort(rounds.begin(), rounds.end(),
                      [](const Cost& a, const Cost& b) { return a.cpuUs < b.cpuUs; });
            std::printf("%4dx%-5d %-6d %-7s %12.1f %12.1f %12.1f\n", s.w, s.h, s.copies,
                        async ? "async" : "sync", rounds[1].cpuUs, rounds[1].wallUs,
                        memcpyUs(static_cast<size_t>(s.w) * s.h * 3 / 2, frames));
        }
    return 0;
}
