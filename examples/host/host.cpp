// A minimal host of the installed strevo package: records five seconds of a generated picture
// (a bar sweeping over a grey ramp) and a 440 Hz tone to an H.264 + AAC mp4, pushing frames in
// real time the way a camera delivers them.
//
// Usage: strevo-host [folder]   (default: the current directory); prints the recording's path.
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"

#include <QCoreApplication>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFrameRate = 30;
constexpr int kSeconds = 5;
constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;

// One YUV420P frame: a luma ramp with a bright bar at a position that moves with the frame
// number; neutral chroma.
void drawFrame(std::vector<unsigned char>& frame, int number)
{
    const int bar = (number * 8) % kWidth;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            frame[y * kWidth + x] = (x >= bar && x < bar + 32) ? 235 : 16 + (x * 200) / kWidth;
    std::fill(frame.begin() + kWidth * kHeight, frame.end(), 128);
}

// The tone's samples for one frame's time, 16-bit interleaved; `phase` counts samples.
void toneChunk(std::vector<int16_t>& samples, long long& phase)
{
    for (size_t i = 0; i < samples.size(); i += kChannels, ++phase) {
        const double v = 0.2 * std::sin(2.0 * M_PI * 440.0 * phase / kSampleRate);
        for (int c = 0; c < kChannels; ++c)
            samples[i + c] = static_cast<int16_t>(v * 32767);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    CodecPreset preset; // the project records describe what this host delivers...
    preset.videoOutput().width = kWidth;
    preset.videoOutput().height = kHeight;
    preset.videoOutput().frameRate = kFrameRate;
    preset.audioOutput().sampleRate = kSampleRate;
    preset.audioOutput().channels = kChannels;
    auto& video = preset.videoCodec(); // ...the codec records what the file gets
    video.codecName = QStringLiteral("X264");
    video.width = kWidth;
    video.height = kHeight;
    video.frameRate = kFrameRate;
    video.bitrate = 1500;
    preset.audioCodec().codecName = QStringLiteral("AAC");
    preset.container().format = QStringLiteral("mp4");
    preset.local().folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    preset.local().fileNameTemplate = QStringLiteral("host-%Y%M%D-%h%m%s");

    auto encoder = std::make_unique<Encoder>();
    const int result = encoder->initialize(nullptr, &preset, false);
    if (result != IEncoder::Ok) {
        std::fprintf(stderr, "strevo-host: the pipeline did not start (%d)\n", result);
        return 1;
    }
    encoder->start();

    std::vector<unsigned char> frame(pixelFormatFrameSize(PIX_YUV420P, kWidth, kHeight));
    std::vector<int16_t> audio(kSampleRate / kFrameRate * kChannels);
    long long phase = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < kSeconds * kFrameRate; ++n) {
        // A live source: frame n is due n/30 s after the first.
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(1000000LL * n / kFrameRate));
        drawFrame(frame, n);
        TimeStamp stamp;
        stamp.startFlag = 1; // any frame may start the recording
        encoder->enqueueVideo(frame.data(), kWidth, kHeight, PIX_YUV420P, &stamp);
        toneChunk(audio, phase);
        encoder->enqueueAudio(reinterpret_cast<unsigned char*>(audio.data()),
                              static_cast<int>(audio.size() * sizeof(int16_t)));
    }
    encoder->stop(); // encodes what is queued and finishes the file
    std::printf("%s\n", qPrintable(encoder->recordingPath()));
    return 0;
}
