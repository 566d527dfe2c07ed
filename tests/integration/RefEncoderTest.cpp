#include "encoder/RefEncoder.h"
#include "LiveServers.h"
#include "Probe.h"
#include "RecordingHarness.h"
#include "common/ThreadCallback.h"
#include "encoder/EncoderGroup.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

// One output: its pipeline, folder, the packets its own encoder made and its failures.
struct Output : PacketCounter
{
    QStringList files() const // oldest first
    {
        QDir folder(dir.path());
        folder.setSorting(QDir::Time | QDir::Reversed);
        return folder.entryList(QDir::Files).replaceInStrings(QRegExp("^"), dir.path() + '/');
    }
    QTemporaryDir dir;
    RefEncoder* encoder = nullptr; // guarded by the job's mutex once frames flow
    std::atomic<int> failures{0};
};

// Share-mode pipelines in one EncoderGroup; every frame goes to every pipeline, as a host does.
class SharedJob : public IEncodingStatus
{
public:
    ~SharedJob() { finish(); }

    // A started pipeline for `container`, a key frame every second.
    Output& add(const char* container, const std::function<void(CodecPreset&)>& change = {})
    {
        m_outputs.push_back(std::make_unique<Output>());
        Output& out = *m_outputs.back();
        CodecPreset preset = RecordingHarness::preset(out.dir.path(), container);
        preset.videoCodec().keyframeInterval = 1;
        if (change)
            change(preset);
        out.encoder = new RefEncoder();
        m_group.add(out.encoder);
        EXPECT_EQ(out.encoder->initialize(&m_group, &preset, true), 0);
        out.encoder->encodingCallback(&out);
        out.encoder->start();
        return out;
    }

    // `frames` frames in real time, frame `lost` as a lost one; each(i) after frame i.
    void push(int frames, int lost = -1, const std::function<void(int)>& each = {})
    {
        TestPattern pattern(320, 240);
        TimeStamp ts{1};
        std::vector<int16_t> tone(1600 * 2, 3000); // a constant level
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < frames; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (auto& out : m_outputs) {
                    if (!out->encoder)
                        continue;
                    auto* picture = i == lost ? nullptr : const_cast<uint8_t*>(pattern.frame(i));
                    out->encoder->enqueueVideo(picture, 320, 240, PIX_NV12, &ts);
                    out->encoder->enqueueAudio(reinterpret_cast<unsigned char*>(tone.data()),
                                               static_cast<int>(tone.size() * 2));
                }
            }
            while (clock.elapsed() < (i + 1) * 1000 / 30)
                QThread::usleep(500);
            if (each)
                each(i);
        }
    }

    // Takes the pipeline out of the job, then destroys it (which finishes its file).
    void destroy(Output& out)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::unique_ptr<RefEncoder> encoder(std::exchange(out.encoder, nullptr));
        lock.unlock();
        m_group.remove(encoder.get());
    }

    void finish()
    {
        for (auto& out : m_outputs)
            if (out->encoder)
                out->encoder->stop();
        for (auto& out : m_outputs)
            destroy(*out);
    }

    void ecoderStateCallback(IEncoder* encoder, int type, int /*state*/) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& out : m_outputs)
            if (type == 0 && out->encoder == encoder)
                ++out->failures;
    }
    QVector<IEncoder*> encoders() override { return {}; }

private:
    EncoderGroup m_group{this};
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Output>> m_outputs; // the list is fixed once frames flow
};

// A step on a worker of the library's own kind (which ThreadSanitizer follows); deleting joins.
struct Step : ThreadCallback, IThreadCallback
{
    explicit Step(std::function<void()> f) : ThreadCallback(this), run(std::move(f)) { start(); }
    ~Step() override { finish(); }
    void threadCallback() override { run(); }
    std::function<void()> run;
};

QVector<QString> videoHashes(const QStringList& files)
{
    QVector<QString> hashes;
    for (const QString& file : files) {
        const Probe::Media m = Probe::expectPlayable(file);
        EXPECT_FALSE(m.audioPackets.isEmpty()) << qPrintable(file);
        for (const Probe::Packet& p : m.videoPackets)
            hashes << p.hash;
    }
    return hashes;
}

} // namespace

// A master (mp4, split every second), a follower whose first packet fails (no output), one in
// mkv split every 2 s, and outputs differing in bitrate, auxValue or sources, which encode alone.
// Each split part decodes from a key frame; together the parts hold every packet once.
TEST(RefEncoderShare, IdenticalVideoIsEncodedOnceForEveryOutput)
{
    SharedJob job;
    Output& master = job.add("mp4", [](CodecPreset& p) { p.local().splitSeconds = 1; });
    Output& failing = job.add("mp4", [](CodecPreset& p) { p.local().enabled = false; });
    Output& other = job.add("mkv", [](CodecPreset& p) { p.local().splitSeconds = 2; });
    const QMap<int, int> sources{{0, 1}};
    for (auto change : std::vector<std::function<void(CodecPreset&)>>{
             [](CodecPreset& p) { p.videoCodec().bitrate++; },
             [](CodecPreset& p) { p.videoCodec().auxValue = 1; },
             [&](CodecPreset& p) { p.setVideoSource(sources); }})
        EXPECT_FALSE(job.add("mp4", change).encoder->isFollower());
    ASSERT_TRUE(failing.encoder->isFollower() && other.encoder->isFollower());
    EXPECT_EQ(master.encoder->videoCodecHolders(), 3);
    job.push(90, 20);
    for (Output* out : {&master, &failing, &other})
        EXPECT_EQ(out->encoder->getSyncInfo().videoInputDrops.load(), 1);
    job.finish();
    EXPECT_EQ(other.video.load(), 0);
    EXPECT_EQ(failing.failures.load(), 1); // reported, once, for the one that failed...
    EXPECT_EQ(master.failures.load() + other.failures.load(), 0); // ...and for no other
    EXPECT_EQ(master.files().size(), 3);
    EXPECT_EQ(other.files().size(), 2);
    const QVector<QString> all = videoHashes(master.files());
    EXPECT_EQ(all.size(), 89);
    EXPECT_EQ(videoHashes(other.files()), all);
}

// The master and a follower are destroyed on threads of their own while frames flow: the last
// follower takes the encoder over and its file goes on.
TEST(RefEncoderHandOver, MasterAndFollowerDestroyedWhileFramesFlow)
{
    SharedJob job;
    Output& master = job.add("mp4");
    Output& follower = job.add("mkv");
    Output& last = job.add("mp4");
    std::unique_ptr<Step> a, b;
    job.push(120, -1, [&](int i) {
        if (i == 40) {
            a = std::make_unique<Step>([&] { job.destroy(master); });
            b = std::make_unique<Step>([&] { job.destroy(follower); });
        } else if (i == 60) {
            a.reset();
            b.reset();
            EXPECT_FALSE(last.encoder->isFollower());
            EXPECT_EQ(last.encoder->videoCodecHolders(), 1);
        }
    });
    job.finish();
    EXPECT_GT(last.video.load(), 50);
    // Missing: what came while no pipeline encoded, less than a key-frame interval.
    EXPECT_GT(videoHashes(last.files()).size(), 90);
}

// The live output that encodes for a recording loses its server: the recording gets every packet.
TEST(RefEncoderMixed, RecordingGoesOnWhileTheSharedLiveOutputIsDown)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    SharedJob job;
    Output& live = job.add("flv", [&](CodecPreset& p) {
        p.local().enabled = false;
        p.streaming().enabled = true;
        p.streaming().url = nginx.url() + QStringLiteral("/k");
    });
    Output& recording = job.add("mp4");
    ASSERT_TRUE(recording.encoder->isFollower());
    job.push(90, -1, [&](int i) {
        if (i == 30)
            nginx.stop();
    });
    for (Output* out : {&live, &recording})
        out->encoder->stop();
    const long long encoded = static_cast<long long>(live.encoder->encodedVideo().frameCount);
    EXPECT_GT(encoded, 85);
    job.finish();
    EXPECT_EQ(recording.failures.load(), 0);
    EXPECT_EQ(Probe::inspect(recording.files().value(0), true).frames(), encoded);
}
