#include "tools/ProgressScreen.h"

#include "api/Strevo.h"
#include "common/OutputStats.h"
#include "encoder/IEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "tools/JobOutput.h"
#include "tools/ReportText.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Redraws on a terminal; all lines elsewhere.
constexpr auto kRedraw = std::chrono::milliseconds(250);
constexpr auto kPlainLines = std::chrono::seconds(5);

// `line` cut to fit `width` columns without reaching the last one, where a terminal would
// wrap; "..." marks a cut.
QString fit(const QString& line, int width)
{
    const int room = width - 1;
    if (room <= 0 || line.size() <= room)
        return room <= 0 ? QString() : line;
    if (room <= 3)
        return line.left(room);
    return line.left(room - 3) + QStringLiteral("...");
}

} // namespace

ProgressScreen::ProgressScreen(bool quiet) : m_quiet(quiet) {}

void ProgressScreen::start(Clock::time_point start)
{
    m_start = m_last = m_lastPlain = start;
    m_tty = isatty(STDERR_FILENO) == 1;
}

QString ProgressScreen::jobLine(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                                const std::vector<strevo::OutputStats>& stats, Strevo* job,
                                Clock::time_point now)
{
    const auto [frames, seconds] = JobOutput::slowest(outputs);
    long long bytes = 0;
    long long drops = 0;
    for (const strevo::OutputStats& s : stats) {
        // What left the library: a live output that never connected delivered nothing.
        bytes += s.bytesDelivered;
        drops += s.inputDrops + s.outputDrops + s.audioDrops;
    }
    if (job) {
        const AVSync& sync = job->syncInfo();
        drops += static_cast<int>(sync.videoInputDrops.load() + sync.audioInputDrops.load());
    }
    const double pace = m_speed.add(now, seconds);
    const QString speed =
        pace < 0.0 ? QStringLiteral("-") : QString::number(pace, 'f', 2) + QLatin1Char('x');
    return QStringLiteral("time %1  frames %2  speed %3  drops %4  size %5")
        .arg(ReportText::time(seconds))
        .arg(frames)
        .arg(speed)
        .arg(drops)
        .arg(ReportText::size(bytes));
}

QString ProgressScreen::outputLine(const JobOutput& out, const strevo::OutputStats& stats,
                                   const QString& before, QString* state)
{
    const QString word = out.stateWord(stats, before);
    *state = word;
    QStringList fields;
    fields << QStringLiteral("output %1 %2: %3")
                  .arg(out.number)
                  .arg(out.live ? out.liveLabel : out.preset.container().format, word)
           << ReportText::rate(stats.bitrateKbps) << ReportText::size(stats.bytesDelivered)
           << QStringLiteral("drops %1")
                  .arg(stats.inputDrops + stats.outputDrops + stats.audioDrops + stats.liveDrops);
    if (out.replay)
        fields << QStringLiteral("replay %1 s held (%2)")
                      .arg(stats.replaySeconds, 0, 'f', 1)
                      .arg(ReportText::size(stats.replayBytes));
    if (out.live) {
        if (stats.reconnects > 0)
            fields << QStringLiteral("%1 reconnects").arg(stats.reconnects);
        if (out.preset.streaming().adaptiveBitrate)
            fields << QStringLiteral("video %1 kbit/s, %2 changes")
                          .arg(stats.videoBitrateKbps)
                          .arg(stats.bitrateChanges);
        if (out.srt && out.encoder)
            fields << ReportText::link(out.encoder->getSyncInfo()).trimmed();
    }
    // The reason, last, where a cut to the terminal's width shortens it: only while the
    // output is not working (a link that broke earlier and came back is live again).
    if (word != QLatin1String("live") && word != QLatin1String("recording")) {
        const QString reason = out.reason(stats);
        if (!reason.isEmpty())
            fields << ReportText::shortReason(reason, ReportText::kSummaryReasonChars);
    }
    return fields.join(QStringLiteral("  "));
}

void ProgressScreen::show(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job,
                          bool force)
{
    if (m_quiet)
        return;
    const auto now = Clock::now();
    if (!force && now - m_last < kRedraw)
        return;
    m_last = now;
    // One snapshot of each output for all the lines.
    std::vector<strevo::OutputStats> stats;
    for (auto& out : outputs)
        stats.push_back(job ? job->outputStats(out->number - 1) : out->stats);
    QStringList lines{jobLine(outputs, stats, job, now)};
    for (size_t i = 0; i < outputs.size(); ++i) {
        const JobOutput* out = outputs[i].get();
        QString& before = m_states[out->number];
        QString state;
        lines << outputLine(*out, stats[i], before, &state);
        if (!m_tty && before != state && !force && now - m_lastPlain < kPlainLines)
            std::fprintf(stderr, "%s\n", qPrintable(lines.back())); // a state change, at once
        before = state;
    }
    if (m_tty) {
        draw(lines);
        return;
    }
    if (force || now - m_lastPlain >= kPlainLines) {
        m_lastPlain = now;
        std::fprintf(stderr, "%s\n", qPrintable(lines.join(QLatin1Char('\n'))));
    }
    std::fflush(stderr);
}

void ProgressScreen::draw(QStringList lines)
{
    winsize size{};
    const bool known = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
    const int width = known ? size.ws_col : 80;
    const int rows = known && size.ws_row > 0 ? size.ws_row : 24;
    // As many lines as the terminal holds with one row to spare: lines scrolled out of view
    // could not be redrawn.
    const int room = std::max(1, rows - 1);
    if (lines.size() > room) {
        const int hidden = static_cast<int>(lines.size()) - room + 1;
        lines = lines.mid(0, room - 1);
        lines << QStringLiteral("(%1 more outputs)").arg(hidden);
        if (room == 1)
            lines = lines.mid(0, 1);
    }
    QByteArray text;
    if (m_drawn > 1)
        text += "\r\033[" + QByteArray::number(m_drawn - 1) + 'A';
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += "\r\033[K";
        text += fit(lines[i], width).toLocal8Bit();
    }
    text += "\033[J"; // what is left below of a longer drawing
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
    m_drawn = static_cast<int>(lines.size());
}

void ProgressScreen::clear()
{
    if (m_drawn == 0)
        return;
    QByteArray text = "\r";
    if (m_drawn > 1)
        text += "\033[" + QByteArray::number(m_drawn - 1) + 'A';
    text += "\033[J";
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
    m_drawn = 0;
}

void ProgressScreen::end()
{
    if (m_drawn == 0)
        return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    m_drawn = 0;
}
