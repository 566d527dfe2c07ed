#include "muxer/LiveOutput.h"

#include "base/LogRouting.h"
#include "common/CodecPreset.h"
#include "common/StrevoLog.h"
#include "muxer/ContainerTable.h"
#include "muxer/ContainerWriter.h"
#include "muxer/LiveUrl.h"
#include "muxer/MuxerReports.h"
#include "muxer/StreamHeaders.h"
#include "muxer/live/AdaptiveBitrate.h"

#include <QDebug>
#include <algorithm>
#include <chrono>

LiveOutput::LiveOutput(ContainerWriter& writer, const StreamHeaders& headers, MuxerReports& reports,
                       const CodecPreset& preset)
    : m_writer(writer), m_headers(headers), m_reports(reports), m_preset(preset)
{
}

LiveOutput::~LiveOutput() = default;

bool LiveOutput::open()
{
    QString why;
    if (!LiveUrl::check(m_preset.streaming(), &why) || !LiveUrl::carries(m_preset, &why)) {
        qCWarning(lcStrevo, "FFMPEG: live output: %s", qPrintable(why));
        return false;
    }
    if (m_preset.local().enabled)
        qCInfo(lcStrevo,
               "FFMPEG: a live output records nothing locally; its local settings are ignored");
    // libavformat and librtmp print URLs in their own lines: mask ours there too.
    LogRouting::addSecrets(secrets());
    m_secretsMasked = true;
    const ContainerTable::Row* row =
        ContainerTable::forScheme(LiveUrl::scheme(m_preset.streaming().url));
    const AVOutputFormat* format = row ? av_guess_format(row->muxer, nullptr, nullptr) : nullptr;
    if (!m_writer.setup().prepare(format, row ? *row : ContainerTable::Row{}))
        return false;
    const QString masked = LiveUrl::masked(m_preset.streaming());
    qCDebug(lcStrevo, "muxer url %s", qPrintable(masked));
    if (LiveUrl::adapts(m_preset)) {
        const CodecModel::VideoCodec& video = m_preset.videoCodec();
        m_adaptive = std::make_unique<AdaptiveBitrate>(
            video.bitrate, m_preset.streaming().minimumKbps(video.bitrate),
            m_preset.audioCodec().enabled ? m_preset.audioCodec().bitrate : 0);
    }
    m_link = std::make_unique<LiveLink>(static_cast<LiveLink::Container*>(this), m_preset, masked);
    m_writer.start();
    m_link->start();
    return true;
}

void LiveOutput::stop()
{
    // What is queued is sent while the link is connected, for at most kLiveDrainMs; a pending
    // connect is cut off at once.
    m_writer.beginStop();
    if (m_link) {
        m_link->beginStop();
        if (!m_writer.waitThread(kLiveDrainMs))
            m_link->abort();
    }
    m_writer.joinThread();
    if (m_link) {
        m_link->joinThread();
        const bool clean = m_link->isConnected() && !m_link->isAborted();
        {
            std::lock_guard<std::mutex> lock(m_writer.muxMutex());
            m_writer.closeLocked(clean); // the trailer goes through the link
            m_io.reset();
        }
        m_link->finish(clean);
        m_link.reset();
    }
    if (m_secretsMasked)
        LogRouting::removeSecrets(secrets());
}

void LiveOutput::abort()
{
    if (m_link)
        m_link->abort();
}

QStringList LiveOutput::secrets() const
{
    return LiveUrl::secrets(m_preset.streaming());
}

// ---- the writer's hooks ----------------------------------------------------------------------

void LiveOutput::countDrops(long long count)
{
    const long long total = m_drops.fetch_add(count) + count;
    m_reports.send([total](IMuxerCallback& callback) { callback.liveDropped(total); });
}

size_t LiveOutput::backlogLimit() const
{
    const int seconds = m_preset.processing().liveBacklogSeconds > 0
                            ? m_preset.processing().liveBacklogSeconds
                            : kDefaultBacklogSeconds;
    return static_cast<size_t>(seconds * m_preset.videoCodec().frameRate);
}

void LiveOutput::backlogExceeded()
{
    // The server takes less than the stream: start again from a key frame rather than fall
    // further behind.
    countDrops(1);
    m_link->requestReopen(
        QStringLiteral("more than %1 s of video waited for the server (%2 packets)")
            .arg(backlogLimit() / std::max(m_preset.videoCodec().frameRate, 1.0), 0, 'g', 3)
            .arg(backlogLimit()));
}

void LiveOutput::keyFrameWanted()
{
    m_reports.send([](IMuxerCallback& callback) { callback.keyFrameWanted(); });
}

bool LiveOutput::takeLinkStatistics(LinkStatistics* link)
{
    return m_link->takeLinkStatistics(link);
}

bool LiveOutput::writeFailed(const char* what, int result)
{
    // A broken connection: the output is opened again, not finished. A reason the transport
    // gave first is the one kept.
    m_link->requestReopen(QStringLiteral("writing %1 failed: %2")
                              .arg(QLatin1String(what), QString::fromUtf8(avErrorText(result))));
    return false;
}

QString LiveOutput::errorText(int result) const
{
    return QString::fromUtf8(avErrorText(result));
}

int LiveOutput::linkWrite(void* opaque, AvioWriter::WriteBuffer buffer, int size)
{
    auto* output = static_cast<LiveOutput*>(opaque);
    if (!output->m_link->write(buffer, size))
        return AVERROR(EPIPE);
    output->m_reports.send([size](IMuxerCallback& pipeline) {
        pipeline.count(&strevo::OutputStats::bytesDelivered, size);
    });
    return size;
}

// ---- the link's connection thread --------------------------------------------------------------

bool LiveOutput::openContainer(ILiveTransport* transport, QString* reason)
{
    // An H.264/HEVC header carries the encoder's parameter sets, which come with its first
    // packet at the latest; other codecs have no headers to wait for.
    if (m_writer.setup().videoNeedsHeaders() &&
        !m_headers.waitForVideo(std::chrono::seconds(5), [this] { return m_link->isAborted(); })) {
        *reason = QStringLiteral("the encoder gave no stream headers");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_writer.muxMutex());
    // A container that connects by itself (RTSP) gives up when the link says so.
    const AVIOInterruptCB interrupt{&LiveLink::interruptCheck, m_link.get()};
    if (!m_writer.createContextLocked(LiveUrl::build(m_preset.streaming()).toLocal8Bit(),
                                      &interrupt)) {
        *reason = QStringLiteral("out of memory");
        return false;
    }
    if (transport->carriesBytes()) {
        const int size = transport->pieceSize();
        m_io = makeCustomIo(size, this, &linkWrite);
        if (!m_io) {
            m_writer.closeLocked(false);
            *reason = QStringLiteral("out of memory");
            return false;
        }
        m_io->max_packet_size = size; // each full buffer goes out as one piece
        m_writer.attachIoLocked(m_io.get(), false);
    }
    QString why;
    if (!m_writer.writeHeaderLocked(&why)) {
        m_writer.closeLocked(false);
        m_io.reset();
        *reason = QStringLiteral("the stream's header did not go through: ") + why;
        return false;
    }
    return true;
}

void LiveOutput::linkWatched(const SendProgress& progress)
{
    if (!m_adaptive)
        return;
    const double queued = static_cast<double>(m_writer.queuedVideoPackets()) /
                          std::max(m_preset.videoCodec().frameRate, 1.0);
    const int kbps = m_adaptive->update(AdaptiveBitrate::Clock::now(), progress.acknowledged,
                                        progress.waiting, queued);
    if (kbps <= 0)
        return;
    qCInfo(lcStrevo,
           "live: the link carries %.0f kbit/s and %.1f s wait for it: video at %d kbit/s",
           m_adaptive->carriedKbps(), m_adaptive->delaySeconds(), kbps);
    m_reports.send([kbps](IMuxerCallback& pipeline) { pipeline.bitrateWanted(kbps); });
}

void LiveOutput::closeContainer()
{
    if (m_adaptive)
        m_adaptive->linkReopened();
    long long discarded = 0;
    {
        // A write blocked on the broken link holds this lock until the link cuts it off. The
        // old connection is broken or being replaced: no trailer.
        std::lock_guard<std::mutex> lock(m_writer.muxMutex());
        discarded = m_writer.resetLocked();
        m_io.reset();
    }
    if (discarded > 0)
        countDrops(discarded);
    m_reports.send([](IMuxerCallback& callback) {
        callback.audioWriteTs(0.0, 0);
        callback.videoWriteTs(0.0, 0);
    });
}

void LiveOutput::reportLink(LiveState state, int reconnects, long long liveMs,
                            const QString& reason)
{
    m_reports.send([&](IMuxerCallback& callback) {
        callback.liveAccount(liveMs, reason);
        // The account may change without the state: the state is reported only when it
        // changes.
        if (state != m_reportedState) {
            m_reportedState = state;
            callback.liveStateChanged(state, reconnects, m_drops.load());
        }
    });
}
