// The Media Foundation encoder's two costs.
//
//   mf_bench [frames=300] [rounds=3] [width=1280] [height=720] [idleSeconds=5]
//
// Throughput: MFVideo on the software path (any name that is not a GPU encoder's) against the
// same encoder it runs on, libx264 through libavcodec with the transform's settings, called
// directly on the same pre-generated NV12 frames (29.97 fps, 4000 kbit/s, key frame every 2 s).
// Rounds alternate; the median frames per second of each side and their ratio are printed.
//
// Idle: MFVideo open on an asynchronous transform (the tests' event-driven transform with its
// own thread, registered under the Intel H.264 class for this run) after a few frames, then
// left alone: the process's CPU time over the idle period, as a share of one core.

#include "MFTestTransform.h"
#include "ProcessStats.h"
#include "codec/video/MFVideo.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "platform/mf/MFLibavEncoder.h"
#include "platform/mf/MFPlatform.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
extern "C" {
#include <libavutil/log.h>
}
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

CodecPreset benchPreset(const char* name, int width, int height)
{
    CodecPreset p;
    auto& v = p.videoCodec();
    v.codecName = QLatin1String(name);
    v.width = width;
    v.height = height;
    v.frameRate = 29.97;
    v.bitrate = 4000;
    v.keyframeInterval = 2;
    return p;
}

// Frames per second of MFVideo on the software path, drain included.
double throughMFVideo(const std::vector<std::vector<uint8_t>>& frames, int width, int height)
{
    CodecPreset preset = benchPreset("Software H.264", width, height);
    MFVideo codec;
    if (!codec.initialize(&preset))
        return 0;
    std::vector<unsigned char> out(codec.maxPacketSize());
    QElapsedTimer timer;
    timer.start();
    int packets = 0;
    for (size_t i = 0;; ++i) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        unsigned char* data = i < frames.size() ? const_cast<uint8_t*>(frames[i].data()) : nullptr;
        const bool got =
            codec.encode(data, static_cast<unsigned int>(frames[0].size()), PIX_NV12, out.data(),
                         static_cast<unsigned int>(out.size()), size, key, pts, dts);
        packets += got ? 1 : 0;
        if (!data && !got)
            break;
    }
    if (packets != static_cast<int>(frames.size()))
        std::fprintf(stderr, "MFVideo gave %d packets for %zu frames\n", packets, frames.size());
    return frames.size() * 1000.0 / std::max<qint64>(1, timer.elapsed());
}

// The same encoder with the same settings, called directly.
double direct(const std::vector<std::vector<uint8_t>>& frames, int width, int height)
{
    MFLibavEncoder::Settings s;
    s.encoder = "libx264";
    s.width = width;
    s.height = height;
    s.frameRate = AVRational{30000, 1001};
    s.bitrate = 4000000;
    s.gop = 59;
    s.profile = 77;
    MFLibavEncoder encoder;
    if (!encoder.open(s))
        return 0;
    QElapsedTimer timer;
    timer.start();
    MFLibavEncoder::Packet packet;
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3);
    for (const auto& frame : frames) {
        encoder.send(frame.data(), nullptr, false);
        // Each packet is copied out once, as MFVideo hands its packets to the caller.
        while (encoder.receive(&packet) > 0)
            std::copy(packet.data.begin(), packet.data.end(), out.begin());
    }
    encoder.flush();
    while (encoder.receive(&packet) > 0)
        std::copy(packet.data.begin(), packet.data.end(), out.begin());
    return frames.size() * 1000.0 / std::max<qint64>(1, timer.elapsed());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_ERROR);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int width = argc > 3 ? std::atoi(argv[3]) : 1280;
    const int height = argc > 4 ? std::atoi(argv[4]) : 720;
    const int idleSeconds = argc > 5 ? std::atoi(argv[5]) : 5;

    TestPattern pattern(width, height);
    std::vector<std::vector<uint8_t>> input;
    const size_t frameSize = static_cast<size_t>(width) * height * 3 / 2;
    for (int i = 0; i < frames; ++i)
        input.emplace_back(pattern.frame(i), pattern.frame(i) + frameSize);

    std::vector<double> viaMF, viaDirect;
    for (int r = 0; r < rounds; ++r) {
        viaDirect.push_back(direct(input, width, height));
        viaMF.push_back(throughMFVideo(input, width, height));
        std::printf("round %d: direct %.1f fps, MFVideo %.1f fps\n", r + 1, viaDirect.back(),
                    viaMF.back());
    }
    std::printf("throughput %dx%d, %d frames: direct %.1f fps, MFVideo software path %.1f fps, "
                "ratio %.3f\n",
                width, height, frames, median(viaDirect), median(viaMF),
                median(viaMF) / std::max(1e-9, median(viaDirect)));

    MFPlatform::registerClass(MFGuids::CLSID_IntelH264Encoder, [] {
        MFTestTransform::Knobs knobs;
        knobs.depth = 2;
        return std::make_shared<MFTestTransform>(knobs);
    });
    CodecPreset preset = benchPreset("H264(QuickSync)", width, height);
    MFVideo codec;
    if (!codec.initialize(&preset))
        return 1;
    std::vector<unsigned char> out(codec.maxPacketSize());
    for (int i = 0; i < 10; ++i) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        codec.encode(input[i % input.size()].data(), static_cast<unsigned int>(frameSize), PIX_NV12,
                     out.data(), static_cast<unsigned int>(out.size()), size, key, pts, dts);
    }
    const double cpuBefore = cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    QThread::sleep(static_cast<unsigned long>(idleSeconds));
    const double share = (cpuSeconds() - cpuBefore) / (idle.elapsed() / 1000.0);
    std::printf("idle with an open asynchronous transform: %.3f%% of one core over %d s\n",
                share * 100.0, idleSeconds);
    return 0;
}
