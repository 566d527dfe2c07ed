#include "tools/ProgressLine.h"

#include "api/Strevo.h"
#include "encoder/IEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "tools/JobOutput.h"
#include "tools/ReportText.h"

#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The speed is the media time written over this much of the recent past.
constexpr auto kSpeedWindow = std::chrono::seconds(3);

} // namespace

ProgressLine::ProgressLine(bool quiet) : m_quiet(quiet) {}

void ProgressLine::start(Clock::time_point start)
{
    m_start = m_last = start;
    m_tty = isatty(STDERR_FILENO) == 1;
}

void ProgressLine::show(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job,
                        bool force)
{
    if (m_quiet)
        return;
    const auto now = Clock::now();
    if (!force &&
        now - m_last < (m_tty ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000)))
        return;
    m_last = now;
    const auto [frames, seconds] = JobOutput::slowest(outputs);
    long long bytes = 0;
    int drops = 0;
    for (auto& out : outputs) {
        const AVSync& sync = out->encoder->getSyncInfo();
        drops +=
            sync.videoInputDrops.load() + sync.videoOutputDrops.load() + sync.audioDrops.load();
        if (job) { // what left the library: a live output that never connected delivered nothing
            bytes += job->outputStats(out->number - 1).bytesDelivered;
            continue;
        }
        for (const QString& path : out->currentPaths())
            bytes += QFileInfo(path).size();
    }
    if (job) {
        const AVSync& sync = job->syncInfo();
        drops += static_cast<int>(sync.videoInputDrops.load() + sync.audioInputDrops.load());
    }
    // The speed over the last few seconds: a real-time source reads 1.00x once it runs, not
    // the average since a start that took a while.
    m_recent.emplace_back(now, seconds);
    while (m_recent.size() > 2 && now - m_recent.front().first > kSpeedWindow)
        m_recent.pop_front();
    const double span = std::chrono::duration<double>(now - m_recent.front().first).count();
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    const double speed = span >= 1.0     ? (seconds - m_recent.front().second) / span
                         : elapsed > 0.0 ? seconds / elapsed
                                         : 0.0;
    QString line = QStringLiteral("time %1  frames %2  speed %3x  drops %4  size %5")
                       .arg(ReportText::time(seconds))
                       .arg(frames)
                       .arg(speed, 0, 'f', 2)
                       .arg(drops)
                       .arg(ReportText::size(bytes));
    for (auto& out : outputs) {
        if (out->stopped() && !out->live) {
            line += QStringLiteral("  output %1: failed").arg(out->number);
            continue;
        }
        if (!out->live)
            continue;
        const AVSync& sync = out->encoder->getSyncInfo();
        line += QStringLiteral("  %1: %2")
                    .arg(out->liveLabel, QLatin1String(ReportText::liveState(out->liveState)));
        const int reconnects = sync.liveReconnects.load();
        const long long dropped = sync.liveDrops.load();
        QStringList details;
        if (reconnects > 0 || dropped > 0)
            details << QStringLiteral("%1 reconnects, %2 dropped").arg(reconnects).arg(dropped);
        // Only while it is not live: a link that broke earlier and came back is live again.
        if (out->liveState != static_cast<int>(LiveState::Live) && !out->liveReason.isEmpty())
            details << ReportText::shortReason(out->liveReason, ReportText::kProgressReasonChars);
        if (!details.isEmpty())
            line += QStringLiteral(" (%1)").arg(details.join(QStringLiteral("; ")));
        if (out->srt)
            line += ReportText::link(sync);
    }
    if (m_tty) {
        // Cut to the terminal's width: a wrapped line cannot be rewritten in place.
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
            line.size() >= size.ws_col)
            line = line.left(std::max(0, size.ws_col - 4)) + QStringLiteral("...");
        std::fprintf(stderr, "\r\033[K%s", qPrintable(line));
        m_shown = true;
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
    std::fflush(stderr);
}

void ProgressLine::clear()
{
    if (m_shown) {
        std::fputs("\r\033[K", stderr);
        m_shown = false;
    }
}

void ProgressLine::end()
{
    if (m_shown) {
        std::fputc('\n', stderr);
        m_shown = false;
    }
}
