// Idle cost of the AMF workers: an AmfEncoder that has encoded a few frames and a DownloadAmf
// that has converted one, then left alone with no frames flowing. Their workers sleep until a
// component reports output (or the host asks for a frame), so the process should use well under
// 1% of a core. Needs an AMF runtime on the library path: the tests' fake serves
// (`cmake --build build --target amf_idle` runs it so).
//
// Usage: amf_bench [idle-seconds]

#include "ProcessStats.h"
#include "codec/video/amf/AmfEncoder.h"
#include "codec/video/amf/DownloadAmf.h"
#include "common/CodecPreset.h"
#include "common/DirectX11Manager.h"
#include "platform/HostD3D11Device.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// After a second for the frames in flight to finish.
double idleCpuPercent(double seconds)
{
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 100.0 * (cpuSeconds() - before) / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (!AmfEncoder::amfAvailable()) {
        std::fprintf(stderr, "amf_bench: no AMF runtime (libamfrt64.so.1) on the library path\n");
        return 2;
    }
    const int w = 640, h = 360;
    {
        CodecPreset preset;
        preset.videoCodec().codecName = QStringLiteral("H264(AMF)");
        preset.videoCodec().width = w;
        preset.videoCodec().height = h;
        AmfEncoder encoder;
        if (!encoder.initialize(&preset))
            return 1;
        std::vector<unsigned char> frame(w * h * 3 / 2, 128), out(encoder.maxPacketSize());
        for (int i = 0; i < 30; ++i) {
            unsigned int size = 0, key = 0;
            long long pts = -1, dts = -1;
            encoder.encode(frame.data(), frame.size(), 10, out.data(), out.size(), size, key, pts,
                           dts);
        }
        std::printf("AmfEncoder idle: %.2f%% of a core over %.1f s\n", idleCpuPercent(seconds),
                    seconds);
    }
    {
        HostD3D11Device device;
        Singleton<DirectX11Manager>::getInstancePtr()->setDevice(&device, &device);
        auto texture = device.createTexture2D({w, h, DxgiFormat::R8G8B8A8});
        DownloadAmf download;
        if (!download.initialize(w, h))
            return 1;
        download.enqueue(texture.get(), QSize(w, h));
        download.data();
        std::printf("DownloadAmf idle: %.2f%% of a core over %.1f s\n", idleCpuPercent(seconds),
                    seconds);
        Singleton<DirectX11Manager>::getInstancePtr()->setDevice(nullptr, nullptr);
    }
    return 0;
}
