#include "Probe.h"
#include "RecordingHarness.h"
#include "api/Strevo.h"
#include "encoder/RefEncoder.h"

#include <QTemporaryDir>
#include <chrono>
#include <thread>

// A job of two outputs that the host drives only through the facade: frames and audio go into
// the facade's queues in real time, its worker hands them to the pipelines. The outputs share
// one video encoder, which the second finds through the facade's list of pipelines.
TEST(StrevoJob, TwoOutputsFedThroughTheFacade)
{
    constexpr int kSkip = 5, kFrames = 300, W = 320, H = 240; // 10 s
    constexpr double kFps = 30;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QDir(dir.path()).mkpath(QStringLiteral("a"));
    QDir(dir.path()).mkpath(QStringLiteral("b"));
    std::vector<int> results;
    {
        Strevo job;
        QObject::connect(&job, &Strevo::encoderResult, [&](int r) { results.push_back(r); });
        CodecPreset first = RecordingHarness::preset(dir.filePath("a"), "mp4", W, H, kFps);
        CodecPreset second = RecordingHarness::preset(dir.filePath("b"), "mkv", W, H, kFps);
        ProjectPreset project = first;
        project.videoOutput().width = W;
        project.videoOutput().height = H;
        job.initialize(&project);
        RefEncoder* follower = nullptr;
        for (CodecPreset* preset : {&first, &second}) {
            job.addCodecProfile(new CodecPreset(*preset));
            follower = new RefEncoder;
            ASSERT_TRUE(job.addEncoder(follower, 0));
            ASSERT_EQ(follower->initialize(&job, preset, true), 0);
            follower->start();
        }
        EXPECT_TRUE(follower->isFollower());
        ASSERT_TRUE(job.start(kSkip));

        TestPattern pattern(W, H);
        std::vector<int16_t> audio(2 * 1600);
        QSize sizes[3] = {QSize(W, H)};
        int formats[3] = {PIX_NV12};
        TimeStamp ts{1};
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < kSkip + kFrames; ++i) {
            unsigned char* planes[2][3] = {
                {const_cast<uint8_t*>(pattern.frame(i)), nullptr, nullptr}, {}};
            job.enqueueVideo(planes, sizes, formats, &ts);
            for (size_t s = 0; s < audio.size(); ++s)
                audio[s] = static_cast<int16_t>(
                    8000 * std::sin(2 * M_PI * 1000.0 * (i * 1600 + s / 2) / 48000.0));
            unsigned char* buffers[3] = {reinterpret_cast<unsigned char*>(audio.data())};
            job.enqueueAudio(buffers, static_cast<int>(audio.size() * 2));
            next += std::chrono::microseconds(static_cast<long>(1e6 / kFps));
            std::this_thread::sleep_until(next);
        }
        EXPECT_EQ(job.syncInfo().videoFrames.load(), kFrames);
        job.stop();
        for (IEncoder* e : job.encoders())
            EXPECT_EQ(e->getSyncInfo().videoInputDrops.load(), 0);
    } // deleting the facade deletes the pipelines, which finishes the files
    EXPECT_TRUE(results.empty());
    for (const char* sub : {"a", "b"}) {
        const QStringList files = QDir(dir.filePath(sub)).entryList(QDir::Files);
        ASSERT_EQ(files.size(), 1) << sub;
        const QString path = QDir(dir.filePath(sub)).filePath(files[0]);
        Probe::expectDecodes(path);
        const Probe::Media m = Probe::inspect(path);
        EXPECT_EQ(m.frames(), kFrames) << qPrintable(path);
        EXPECT_NEAR(Probe::span(m.audioPackets), kFrames / kFps, 0.1) << qPrintable(path);
    }
}
