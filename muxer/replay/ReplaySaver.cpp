#include "muxer/replay/ReplaySaver.h"

#include "muxer/ContainerWriter.h"
#include "muxer/FileOutput.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/MuxerReports.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

// The file's reports as the pipeline may hear them: its counts (bytes, files). The write
// times of a save are not the pipeline's, whose sound is paced by what its buffer took.
class CountsOnly : public IMuxerCallback
{
public:
    explicit CountsOnly(MuxerReports& reports) : m_reports(reports) {}
    void videoWriteTs(double, int) override {}
    void audioWriteTs(double, int) override {}
    double videoTs() override { return 0.0; }
    double audioTs() override { return 0.0; }
    void count(long long strevo::OutputStats::*field, long long delta) override
    {
        m_reports.send([&](IMuxerCallback& pipeline) { pipeline.count(field, delta); });
    }

private:
    MuxerReports& m_reports;
};

} // namespace

ReplaySaver::ReplaySaver(MuxerReports& reports, Done done)
    : m_reports(reports), m_done(std::move(done))
{
}

ReplaySaver::~ReplaySaver()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_end = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool ReplaySaver::begin(Save save, QString* whyNot)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_next || m_writing) {
            *whyNot = QStringLiteral("the previous replay is still being written; ask again "
                                     "once it is saved");
            return false;
        }
        m_next = std::make_unique<Save>(std::move(save));
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
    }
    m_wake.notify_all();
    return true;
}

void ReplaySaver::waitIdle()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_next && !m_writing; });
}

void ReplaySaver::run()
{
    for (;;) {
        std::unique_ptr<Save> save;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // A save begun before the end is still written.
            m_wake.wait(lock, [this] { return m_next || m_end; });
            if (!m_next)
                return;
            save = std::move(m_next);
            m_writing = true;
        }
        const Result result = write(*save);
        save.reset(); // the packets go back to the buffer's keeping alone
        m_done(result);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_writing = false;
        }
        m_idle.notify_all();
    }
}

ReplaySaver::Result ReplaySaver::write(Save& save)
{
    Result result;
    ReplayBuffer::Snapshot& packets = save.packets;
    result.seconds = packets.seconds;
    CountsOnly counts(m_reports);
    MuxerReports reports(&counts);
    ContainerWriter writer(save.preset, *save.headers, reports);
    FileOutput output(writer, *save.headers, save.preset, 1, QString());
    writer.setOutput(&output);
    bool fed = output.open();
    if (fed) {
        // The sound that begins before a picture goes before it; the first picture, a key
        // frame, opens the file, and the sound begun just before it follows it.
        const AVRational frameTime = av_inv_q(packets.frameRate);
        const AVRational sampleTime{1, packets.sampleRate};
        size_t a = 0;
        const auto writeSound = [&](ReplayBuffer::Entry& e) {
            if (e.packet)
                return writer.writeAudio(std::move(e.packet));
            writer.skipAudioFrame();
            return true;
        };
        for (size_t v = 0; fed && v < packets.video.size(); ++v) {
            ReplayBuffer::Entry& picture = packets.video[v];
            while (fed && v > 0 && a < packets.audio.size() &&
                   av_compare_ts(packets.audio[a].stamp, sampleTime, picture.stamp, frameTime) < 0)
                fed = writeSound(packets.audio[a++]);
            if (!fed)
                break;
            if (!picture.packet)
                writer.skipVideoFrame();
            else
                fed = writer.writeVideo(std::move(picture.packet), picture.key);
        }
        while (fed && a < packets.audio.size())
            fed = writeSound(packets.audio[a++]);
    }
    output.stop(); // drains what is queued, writes the trailer, closes the file
    result.path = save.preset.local().recordingPath;
    result.reason = output.failure();
    if (result.reason.isEmpty() && !fed)
        result.reason = QStringLiteral("the replay could not be written");
    result.ok = result.reason.isEmpty();
    return result;
}
