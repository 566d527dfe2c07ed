#include "tools/SummaryPrinter.h"

#include "tools/JobMessages.h"
#include "tools/JobOutput.h"
#include "tools/MediaSource.h"
#include "tools/ReportText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

SummaryPrinter::SummaryPrinter(const MediaSource& source, const JobMessages& messages, bool json,
                               bool quiet)
    : m_source(source), m_messages(messages), m_json(json), m_quiet(quiet)
{
}

void SummaryPrinter::print(const Run& run,
                           const std::vector<std::unique_ptr<JobOutput>>& outputs) const
{
    if (m_json)
        printJson(run, outputs);
    else if (!m_quiet)
        printText(run, outputs);
}

QJsonObject SummaryPrinter::statsJson(const strevo::OutputStats& stats)
{
    QJsonObject o;
    int count = 0;
    const strevo::OutputStatsField* fields = strevo::outputStatsFields(&count);
    for (int i = 0; i < count; ++i)
        o.insert(QLatin1String(fields[i].key),
                 fields[i].count ? static_cast<double>(stats.*fields[i].count)
                                 : std::round(stats.*fields[i].value * 1000) / 1000);
    return o;
}

void SummaryPrinter::printJson(const Run& run,
                               const std::vector<std::unique_ptr<JobOutput>>& outputs) const
{
    QJsonArray list;
    for (auto& out : outputs) {
        const double seconds = out->frames / out->preset.videoCodec().frameRate;
        QJsonObject o;
        o.insert(QStringLiteral("output"), out->number);
        o.insert(QStringLiteral("container"), out->preset.container().format);
        o.insert(QStringLiteral("videoCodec"), out->preset.videoCodec().codecName);
        o.insert(QStringLiteral("width"), out->preset.videoCodec().width);
        o.insert(QStringLiteral("height"), out->preset.videoCodec().height);
        o.insert(QStringLiteral("audioCodec"), out->preset.audioCodec().enabled
                                                   ? QJsonValue(out->preset.audioCodec().codecName)
                                                   : QJsonValue());
        QJsonArray files;
        for (const QString& path : out->currentPaths())
            files.append(m_messages.redact(path));
        o.insert(QStringLiteral("files"), files);
        if (!out->vanished.isEmpty())
            o.insert(QStringLiteral("vanished"), QJsonArray::fromStringList(out->vanished));
        if (out->live) {
            QJsonObject live;
            live.insert(QStringLiteral("url"), out->maskedUrl);
            live.insert(QStringLiteral("state"),
                        QLatin1String(ReportText::liveState(out->liveState)));
            live.insert(QStringLiteral("everLive"), out->wasLive);
            live.insert(QStringLiteral("wasLive"), out->wasLive); // the earlier name
            live.insert(QStringLiteral("liveSeconds"), out->liveMs / 1000.0);
            live.insert(QStringLiteral("reconnects"), out->reconnects);
            live.insert(QStringLiteral("dropped"), out->liveDropped);
            live.insert(QStringLiteral("lastReason"),
                        ReportText::shortReason(out->liveReason, ReportText::kSummaryReasonChars));
            if (out->srt) {
                QJsonObject link;
                link.insert(QStringLiteral("rttMs"), out->link.rttMs);
                link.insert(QStringLiteral("retransmitted"),
                            static_cast<double>(out->link.retransmitted));
                link.insert(QStringLiteral("dropped"), static_cast<double>(out->link.dropped));
                live.insert(QStringLiteral("link"), link);
            }
            o.insert(QStringLiteral("live"), live);
        }
        o.insert(QStringLiteral("frames"), out->frames);
        if (out->videoFrom != out.get())
            o.insert(QStringLiteral("videoSharedWith"), out->videoFrom->number);
        o.insert(QStringLiteral("duration"), seconds);
        o.insert(QStringLiteral("bytes"), out->bytes);
        o.insert(QStringLiteral("bitrate"),
                 seconds > 0 ? std::round(out->bytes * 8 / seconds / 1000) : 0.0);
        o.insert(QStringLiteral("drops"), out->drops);
        o.insert(QStringLiteral("writeFailures"), out->writeFailures.load());
        o.insert(QStringLiteral("lowDiskSpace"), out->videoStopped.load());
        o.insert(QStringLiteral("failed"), out->failed);
        o.insert(QStringLiteral("stats"), statsJson(out->stats));
        list.append(o);
    }
    QJsonObject root;
    root.insert(QStringLiteral("source"), m_messages.redact(m_source.describe()));
    root.insert(QStringLiteral("interrupted"), run.interrupted);
    root.insert(QStringLiteral("elapsed"), std::round(run.elapsed * 1000) / 1000);
    root.insert(QStringLiteral("damaged"), m_source.damaged());
    root.insert(QStringLiteral("inputDrops"), run.inputDrops);
    root.insert(QStringLiteral("failureReports"), run.failureReports);
    if (!run.sourceError.isEmpty())
        root.insert(QStringLiteral("sourceError"), m_messages.redact(run.sourceError));
    root.insert(QStringLiteral("outputs"), list);
    std::fputs(QJsonDocument(root).toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
}

void SummaryPrinter::printText(const Run& run,
                               const std::vector<std::unique_ptr<JobOutput>>& outputs) const
{
    std::printf("%s %s in %.1f s\n", run.interrupted ? "stopped:" : "done:",
                qPrintable(m_messages.redact(m_source.describe())), run.elapsed);
    if (m_source.damaged() > 0)
        std::printf("  %lld damaged packets or frames skipped\n", m_source.damaged());
    if (run.inputDrops > 0)
        std::printf("  %lld frames or sound buffers dropped: the outputs fell behind the source\n",
                    run.inputDrops);
    for (auto& out : outputs) {
        const double seconds = out->frames / out->preset.videoCodec().frameRate;
        std::printf("output %d: %s%s\n", out->number, qPrintable(out->title()),
                    out->failed ? " (failed)" : "");
        if (out->videoFrom != out.get())
            std::printf("  video encoded once, with output %d\n", out->videoFrom->number);
        for (const QString& path : out->currentPaths())
            std::printf("  %s%s\n", qPrintable(m_messages.redact(path)),
                        out->vanished.contains(path) ? " (gone)" : "");
        if (out->live) {
            const QString held =
                out->wasLive ? QStringLiteral("live for %1 s").arg(out->liveMs / 1000.0, 0, 'f', 1)
                             : QStringLiteral("never live");
            const QString why =
                ReportText::shortReason(out->liveReason, ReportText::kSummaryReasonChars);
            std::printf("  %s: %s, %s, %d reconnects, %lld packets dropped%s\n",
                        qPrintable(out->maskedUrl), ReportText::liveState(out->liveState),
                        qPrintable(held), out->reconnects, out->liveDropped,
                        why.isEmpty() ? "" : qPrintable(QStringLiteral("; last reason: ") + why));
        }
        if (out->preset.streaming().adaptiveBitrate && out->live)
            std::printf("  adaptive bit rate: video at %lld kbit/s at the end (of %d), %lld "
                        "changes\n",
                        out->stats.videoBitrateKbps, out->preset.videoCodec().bitrate,
                        out->stats.bitrateChanges);
        if (out->srt && out->wasLive)
            std::printf("  link: rtt %.1f ms, %lld packets retransmitted, %lld dropped\n",
                        out->link.rttMs, out->link.retransmitted, out->link.dropped);
        std::printf("  %lld frames, %s, %s, %.0f kbit/s", out->frames,
                    qPrintable(ReportText::time(seconds)), qPrintable(ReportText::size(out->bytes)),
                    seconds > 0 ? out->bytes * 8 / seconds / 1000 : 0.0);
        if (out->drops)
            std::printf(", %d dropped", out->drops);
        if (out->writeFailures.load())
            std::printf(", %d packets not written", out->writeFailures.load());
        if (out->videoStopped.load())
            std::printf(", stopped for lack of disk space");
        std::printf("\n");
    }
    std::fflush(stdout);
}
