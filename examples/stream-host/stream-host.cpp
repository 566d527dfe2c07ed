// Records an mp4 and streams to an RTMP server from one source, with one encoder shared by both
// outputs; prints each output's state changes and a statistics line a second.
// Usage: strevo-stream-host FOLDER RTMP_URL [SECONDS]
#include "api/Strevo.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

struct Printer : IStrevoObserver
{
    void outputStateChanged(int index, strevo::OutputState state, const QString& why) override
    {
        std::printf("output %d: %s %s\n", index, strevo::outputStateName(state), qPrintable(why));
    }
    void outputStats(int index, const strevo::OutputStats& s) override
    {
        std::printf("output %d: %lld frames, %.0f kbit/s, %lld lost\n", index, s.framesWritten,
                    s.bitrateKbps, s.inputDrops + s.liveDrops);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return std::fprintf(stderr, "usage: %s FOLDER RTMP_URL [SECONDS]\n", argv[0]), 2;
    CodecPreset record; // 1280x720 at 30 fps, X264 and AAC: the project and both outputs
    record.local().folder = QString::fromLocal8Bit(argv[1]);
    CodecPreset stream = record;
    stream.local().enabled = false;
    stream.streaming().enabled = true;
    stream.streaming().url = QString::fromLocal8Bit(argv[2]);
    stream.container().format = QStringLiteral("flv");
    Printer printer;
    Strevo job;
    job.initialize(&record);
    job.setObserver(&printer);
    QString why;
    if (job.addOutput(record, 0, -1, &why) < 0 || job.addOutput(stream, 0, -1, &why) < 0)
        return std::fprintf(stderr, "%s\n", qPrintable(why)), 1;
    job.start(0);
    std::vector<unsigned char> frame(1280 * 720 * 3 / 2, 128);
    std::vector<int16_t> silence(1600 * 2);
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < (argc > 3 ? std::atoi(argv[3]) : 5) * 30; ++n) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * n / 30));
        std::fill_n(frame.begin(), 1280 * 720, 16 + n % 200); // a picture that brightens
        strevo::VideoFrame picture{0, PIX_YUV420P, 1280, 720, {frame.data()}};
        picture.timestampUs = 1000000LL * n / 30;
        job.pushVideo(picture);
        job.pushAudio({0, silence.data(), 1600});
    }
    job.stop();
    return 0;
}
