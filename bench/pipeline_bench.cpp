// Throughput of a pipeline without outputs against x264 called directly on the same frames.
//
//   pipeline_bench [frames=300] [rounds=3] [width=1920] [height=1080] [codec=X264]
//
// Both sides encode the same pre-generated NV12 frames with the same settings (x264 veryfast,
// 6000 kbit/s, key frame every 2 s; another codec name such as H264 or VP8 uses that encoder,
// which the pipeline feeds in its own pixel format). The pipeline side includes everything a host
// pays for: enqueueVideo's copy, pacing, the FIFO and the video thread. The host waits for room
// in the pipeline's bounded FIFO before each frame, as a transcoding host does. Rounds alternate
// between the two sides; the median of each is reported with the ratio pipeline / direct (frames
// per second). The lent-buffer side, where the host writes each frame into the pipeline's
// buffer, is also compared with a direct host that does the same writing into its own input
// buffer before each encode: the same host work on both sides, so the ratio is what the
// pipeline itself costs. The facade side feeds the same pipeline through Strevo's input queue
// (one more copy and a hand-over by its worker), compared with the pipeline fed directly.

#include "api/Strevo.h"
#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "common/YuvResampler.h"
#include "encoder/Encoder.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

CodecPreset benchPreset(int width, int height, const QString& codec)
{
    CodecPreset p;
    p.videoOutput().frameRate = 30;
    auto& v = p.videoCodec();
    v.codecName = codec;
    v.width = width;
    v.height = height;
    v.frameRate = 30;
    v.bitrate = 6000;
    v.keyframeInterval = 2;
    v.preset = QStringLiteral("veryfast");
    p.audioCodec().enabled = false;
    p.local().enabled = false;
    p.streaming().enabled = false;
    return p;
}

// The frames converted once, up front, to the codec's own pixel format (the direct side does no
// conversion; the pipeline converts each frame itself).
std::vector<std::vector<uint8_t>> inCodecFormat(const std::vector<std::vector<uint8_t>>& frames,
                                                int width, int height, int format)
{
    if (format == PIX_NV12)
        return frames;
    YuvResampler converter;
    std::vector<std::vector<uint8_t>> out;
    for (const auto& f : frames) {
        converter.resampleVideo(f.data(), width, height, PIX_NV12, nullptr, width, height, format,
                                0, false);
        out.emplace_back(converter.videoData(), converter.videoData() + converter.videoDataSize());
    }
    return out;
}

// `render`: the host writes each frame into its input buffer first (a copy here, as on the
// lent-buffer side of the pipeline).
double direct(const std::vector<std::vector<uint8_t>>& frames, CodecPreset preset, bool render)
{
    std::unique_ptr<IVideoCodec> codec(IEncoder::createVideoEncoder(preset.videoCodec().codecName));
    if (!codec || !codec->initialize(&preset))
        return 0;
    const int format = codec->supportFormat();
    std::vector<unsigned char> out(codec->maxPacketSize());
    std::vector<uint8_t> input(frames.front().size());
    QElapsedTimer timer;
    timer.start();
    for (const auto& f : frames) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        const uint8_t* picture = f.data();
        if (render) {
            std::copy(f.begin(), f.end(), input.begin());
            picture = input.data();
        }
        codec->encode(const_cast<uint8_t*>(picture), static_cast<unsigned int>(f.size()), format,
                      out.data(), static_cast<unsigned int>(out.size()), size, key, pts, dts);
    }
    // Finish the frames x264 still holds, as a stopping pipeline does.
    for (;;) {
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        if (!codec->encode(nullptr, 0, format, out.data(), static_cast<unsigned int>(out.size()),
                           size, key, pts, dts))
            break;
    }
    return frames.size() / (timer.nsecsElapsed() / 1e9);
}

double g_enqueueMs = 0; // host time spent in enqueueVideo per frame, last pipeline round

// `lend`: the host writes each frame into a buffer the pipeline lends (here a copy of the
// prepared frame stands for the host's own rendering) instead of handing it to enqueueVideo.
double pipeline(const std::vector<std::vector<uint8_t>>& frames, CodecPreset preset, bool lend)
{
    Encoder encoder;
    if (encoder.initialize(nullptr, &preset, false) != 0 || !encoder.start())
        return 0;
    const int width = preset.videoCodec().width, height = preset.videoCodec().height;
    TimeStamp ts;
    ts.startFlag = 1;
    QElapsedTimer timer;
    timer.start();
    qint64 enqueueNs = 0;
    for (const auto& f : frames) {
        // A host that must not lose frames waits for room in the pipeline's bounded FIFO.
        if (!encoder.waitForVideoRoom(10000))
            return 0;
        const qint64 before = timer.nsecsElapsed();
        if (lend) {
            unsigned char* buffer = encoder.lendVideoBuffer(width, height, PIX_NV12, 10000);
            if (!buffer)
                return 0;
            std::copy(f.begin(), f.end(), buffer);
            encoder.submitVideoBuffer(buffer, &ts);
        } else {
            encoder.enqueueVideo(const_cast<uint8_t*>(f.data()), width, height, PIX_NV12, &ts);
        }
        enqueueNs += timer.nsecsElapsed() - before;
    }
    g_enqueueMs = enqueueNs / 1e6 / frames.size();
    encoder.stop(); // the video thread drains the queue before it ends
    return frames.size() / (timer.nsecsElapsed() / 1e9);
}

// The pipeline as a facade job: the host waits for room in the facade's queue before each frame.
double throughFacade(const std::vector<std::vector<uint8_t>>& frames, CodecPreset preset)
{
    const int width = preset.videoCodec().width, height = preset.videoCodec().height;
    Strevo job;
    ProjectPreset project = preset;
    project.videoOutput().width = width;
    project.videoOutput().height = height;
    job.initialize(&project);
    job.addCodecProfile(new CodecPreset(preset));
    auto encoder = std::make_unique<Encoder>();
    if (encoder->initialize(&job, &preset, false) != 0 || !encoder->start() ||
        !job.addEncoder(encoder.release(), 0) || !job.start(0))
        return 0;
    TimeStamp ts;
    ts.startFlag = 1;
    QSize sizes[3] = {QSize(width, height)};
    int formats[3] = {PIX_NV12};
    QElapsedTimer timer;
    timer.start();
    for (const auto& f : frames) {
        if (!job.waitForVideoRoom(10000))
            return 0;
        unsigned char* planes[2][3] = {{const_cast<uint8_t*>(f.data())}, {}};
        job.enqueueVideo(planes, sizes, formats, &ts);
    }
    job.stop();
    return frames.size() / (timer.nsecsElapsed() / 1e9);
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
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    const int count = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int width = argc > 3 ? std::atoi(argv[3]) : 1920;
    const int height = argc > 4 ? std::atoi(argv[4]) : 1080;
    const QString codecName = argc > 5 ? QString::fromLocal8Bit(argv[5]) : QStringLiteral("X264");

    TestPattern pattern(width, height);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = pattern.frame(i);
        frames.emplace_back(p, p + pattern.frameSize());
    }
    const CodecPreset preset = benchPreset(width, height, codecName);
    std::unique_ptr<IVideoCodec> probe(IEncoder::createVideoEncoder(codecName));
    if (!probe) {
        std::fprintf(stderr, "pipeline_bench: unknown codec '%s'\n", qPrintable(codecName));
        return 1;
    }
    const auto converted = inCodecFormat(frames, width, height, probe->supportFormat());
    std::vector<double> directFps, pipelineFps, lentFps, renderFps, facadeFps;
    for (int r = 0; r < rounds; ++r) {
        directFps.push_back(direct(converted, preset, false));
        renderFps.push_back(direct(converted, preset, true));
        pipelineFps.push_back(pipeline(frames, preset, false));
        const double copyMs = g_enqueueMs;
        lentFps.push_back(pipeline(frames, preset, true));
        facadeFps.push_back(throughFacade(frames, preset));
        std::printf("round %d: direct %.1f fps, pipeline %.1f fps (enqueueVideo %.2f ms per "
                    "frame), lent buffers %.1f fps (%.2f ms per frame), facade %.1f fps\n",
                    r + 1, directFps.back(), pipelineFps.back(), copyMs, lentFps.back(),
                    g_enqueueMs, facadeFps.back());
    }
    const double d = median(directFps), p = median(pipelineFps);
    std::printf("%d frames %dx%d NV12, %s 6000 kbit/s\n", count, width, height,
                qPrintable(codecName));
    const double l = median(lentFps);
    std::printf("median direct   %.1f fps\nmedian pipeline %.1f fps\nratio %.3f\n", d, p,
                d > 0 ? p / d : 0);
    std::printf("median lent     %.1f fps\nratio (lent) %.3f\n", l, d > 0 ? l / d : 0);
    const double dr = median(renderFps);
    std::printf("median direct, host writing each frame %.1f fps\nratio (lent / that) %.3f\n", dr,
                dr > 0 ? l / dr : 0);
    const double f = median(facadeFps);
    std::printf("median facade   %.1f fps\nratio (facade / pipeline) %.3f\n", f, p > 0 ? f / p : 0);
    return 0;
}
