#include "muxer/replay/ReplayMuxer.h"

#include "common/Redact.h"
#include "common/StrevoLog.h"
#include "muxer/ContainerTable.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/StreamSetup.h"
#include "muxer/replay/ReplayBuffer.h"
#include "muxer/replay/ReplaySaver.h"

#include <QDebug>

namespace {

constexpr int kMaxSeconds = 3600;
constexpr int kMaxMegabytes = 16384;
constexpr long long kMegabyte = 1024 * 1024;

} // namespace

ReplayMuxer::ReplayMuxer(IMuxerCallback* callback) : m_reports(callback) {}

ReplayMuxer::~ReplayMuxer()
{
    m_saver.reset();
}

bool ReplayMuxer::isReplay(const CodecPreset& preset)
{
    return preset.local().enabled && !preset.streaming().enabled &&
           preset.local().replaySeconds > 0;
}

QString ReplayMuxer::invalidSettings(const CodecPreset& preset)
{
    const CodecModel::Local& local = preset.local();
    if (local.replaySeconds < 0 || local.replaySeconds > kMaxSeconds)
        return QStringLiteral("local.replaySeconds %1 (0 to %2)")
            .arg(local.replaySeconds)
            .arg(kMaxSeconds);
    if (isReplay(preset) &&
        (local.replayMaxMegabytes < 1 || local.replayMaxMegabytes > kMaxMegabytes))
        return QStringLiteral("local.replayMaxMegabytes %1 (1 to %2)")
            .arg(local.replayMaxMegabytes)
            .arg(kMaxMegabytes);
    return {};
}

bool ReplayMuxer::initialize(const CodecPreset& preset)
{
    m_preset = preset;
    ContainerTable::Row row{};
    const AVOutputFormat* format = ContainerTable::forFile(m_preset.container().format, &row);
    // The container must take the streams now, not at the first save.
    StreamSetup setup(m_preset, m_headers);
    if (!setup.prepare(format, row))
        return false;
    m_frameSeconds = av_q2d(av_inv_q(setup.frameRate()));
    m_sampleRate = setup.sampleRate();
    m_audioFrameSize = setup.audioFrameSize();
    m_hasAudio = setup.hasAudio();
    ReplayBuffer::Limits limits;
    limits.seconds = m_preset.local().replaySeconds;
    limits.maxBytes = m_preset.local().replayMaxMegabytes * kMegabyte;
    limits.frameRate = setup.frameRate();
    limits.sampleRate = m_sampleRate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer = std::make_unique<ReplayBuffer>(limits);
    }

    // Each save is a plain recording of this preset: one file, named from the template.
    CodecModel::Local& local = m_preset.local();
    local.recordingPath.clear();
    local.splitSeconds = 0;
    local.replaySeconds = 0;
    m_preset.transcoding().enabled = false;
    m_saver = std::make_unique<ReplaySaver>(m_reports, [this](const ReplaySaver::Result& r) {
        if (r.ok)
            qCInfo(lcStrevo, "Replay: %.1f s saved to '%s'", r.seconds,
                   qPrintable(redactSecrets(r.path)));
        m_reports.send(
            [&](IMuxerCallback& pipeline) { pipeline.replaySaved(r.path, r.ok, r.reason); });
    });
    return true;
}

bool ReplayMuxer::writeHeader()
{
    // Nothing is written until a save, which writes its own file's header.
    m_headerWritten.store(true);
    return true;
}

void ReplayMuxer::publishLocked()
{
    m_frames.store(m_buffer->frames());
    m_heldBytes.store(m_buffer->bytes());
    m_heldSeconds.store(m_buffer->seconds());
}

bool ReplayMuxer::writeVideo(AVPacketPtr packet, bool keyFrame)
{
    if (!m_buffer)
        return false;
    bool counted = false;
    long long restarts = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const long long before = m_buffer->frames();
        m_buffer->addVideo(std::move(packet), keyFrame);
        counted = m_buffer->frames() > before;
        if (m_buffer->restarts() > m_restartsWarned)
            restarts = m_restartsWarned = m_buffer->restarts();
        publishLocked();
    }
    if (restarts == 1)
        qCWarning(lcStrevo,
                  "Replay: one key-frame interval is more than local.replayMaxMegabytes (%d MB); "
                  "the buffer starts again at each key frame (said once)",
                  m_preset.local().replayMaxMegabytes);
    // Taken is as good as written: the pipeline's sound follows the picture it gave here.
    if (counted)
        m_reports.send(
            [this](IMuxerCallback& pipeline) { pipeline.videoWriteTs(m_frameSeconds, 0); });
    return true;
}

bool ReplayMuxer::writeAudio(AVPacketPtr packet)
{
    if (!m_buffer || !packet || !m_hasAudio)
        return true;
    const int64_t samples = packet->duration > 0 ? packet->duration : m_audioFrameSize;
    bool counted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        counted = m_buffer->started();
        m_buffer->addAudio(std::move(packet), samples);
        publishLocked();
    }
    if (counted)
        m_reports.send([&](IMuxerCallback& pipeline) {
            pipeline.audioWriteTs(static_cast<double>(samples) / m_sampleRate, 0);
        });
    return true;
}

void ReplayMuxer::skipVideoFrame()
{
    if (!m_buffer)
        return;
    bool counted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        counted = m_buffer->started();
        m_buffer->skipVideo();
        publishLocked();
    }
    if (counted)
        m_reports.send(
            [this](IMuxerCallback& pipeline) { pipeline.videoWriteTs(m_frameSeconds, 0); });
}

int ReplayMuxer::skipAudioFrame()
{
    if (m_buffer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer->skipAudio(m_audioFrameSize);
    }
    return m_audioFrameSize;
}

void ReplayMuxer::setVideoParameters(const AVCodecParameters* par)
{
    m_headers.setVideoParameters(par);
}

void ReplayMuxer::setVideoExtradata(unsigned char* data, unsigned int size)
{
    m_headers.setVideoExtradata(data, size);
}

void ReplayMuxer::setAudioExtradata(unsigned char* data, unsigned int size)
{
    m_headers.setAudioExtradata(data, size);
}

bool ReplayMuxer::saveReplay(QString* whyNot)
{
    if (!m_buffer || !m_saver) {
        *whyNot = QStringLiteral("the replay buffer is not set up");
        return false;
    }
    ReplaySaver::Save save;
    save.preset = m_preset;
    save.headers = std::make_unique<StreamHeaders>();
    m_headers.copyTo(*save.headers);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_buffer->holdsPicture()) {
            *whyNot = QStringLiteral("the replay buffer holds nothing yet (it starts at a key "
                                     "frame)");
            return false;
        }
        if (!m_buffer->snapshot(&save.packets)) {
            *whyNot = QStringLiteral("out of memory for the replay's packets");
            return false;
        }
    }
    return m_saver->begin(std::move(save), whyNot);
}

void ReplayMuxer::waitForReplay()
{
    if (m_saver)
        m_saver->waitIdle();
}

void ReplayMuxer::replayHeld(long long* bytes, double* seconds)
{
    *bytes = m_heldBytes.load();
    *seconds = m_heldSeconds.load();
}
