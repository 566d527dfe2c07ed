#include "tools/HtmlReport.h"

#include "api/Strevo.h"
#include "common/OutputStats.h"
#include "common/Redact.h"
#include "tools/JobOutput.h"
#include "tools/ReportText.h"

#include <algorithm>
#include <cmath>

namespace {

// The plot's size and margins, in pixels.
constexpr int kWidth = 760, kHeight = 170;
constexpr int kLeft = 80, kRight = 12, kTop = 10, kBottom = 24;
constexpr int kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;

const char* colour(const QString& state)
{
    if (state == QLatin1String("recording") || state == QLatin1String("live"))
        return "#2e7d32";
    if (state == QLatin1String("reconnecting"))
        return "#ef6c00";
    if (state == QLatin1String("failed"))
        return "#c62828";
    return "#9e9e9e"; // connecting, stopped
}

QString esc(const QString& text)
{
    return text.toHtmlEscaped();
}

QString num(double value)
{
    return QString::number(value, 'f', 1);
}

// The smallest of 1, 2, 2.5 or 5 times a power of ten at least `value`.
double roundUp(double value)
{
    if (value <= 0.0)
        return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (step * power >= value)
            return step * power;
    return 10.0 * power;
}

const char* const kStyle = R"(
body { font: 14px sans-serif; margin: 2em; color: #212121; }
table { border-collapse: collapse; margin: 0.5em 0 1em; }
th, td { border: 1px solid #bdbdbd; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #eeeeee; }
td.n { text-align: right; }
.failed { color: #c62828; font-weight: bold; }
.swatch { display: inline-block; width: 1em; height: 1em; margin: 0 0.3em 0 1em;
          vertical-align: middle; opacity: 0.35; }
svg text { font: 11px sans-serif; fill: #424242; }
)";

} // namespace

bool HtmlReport::open(const QString& path, QString* error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error =
            QStringLiteral("--report: cannot write to '%1': %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

void HtmlReport::start(Clock::time_point start)
{
    m_start = m_lastSample = start;
}

double HtmlReport::now() const
{
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

QString HtmlReport::masked(const QString& text) const
{
    return redactSecrets(text, m_secrets);
}

void HtmlReport::sample(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job,
                        bool force)
{
    // Called for every frame the job is fed: the states are looked at four times a second, the
    // rates and drops once a second.
    const auto clock = Clock::now();
    if (!m_file.isOpen() || (!force && clock - m_lastLook < std::chrono::milliseconds(250)))
        return;
    m_lastLook = clock;
    m_tracks.resize(outputs.size());
    const double at = now();
    const bool due = force || !m_sampled || clock - m_lastSample >= std::chrono::seconds(1);
    if (due) {
        m_lastSample = clock;
        m_sampled = true;
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        const JobOutput& out = *outputs[i];
        Track& track = m_tracks[i];
        const strevo::OutputStats stats = job ? job->outputStats(out.number - 1) : out.stats;
        const QString before = track.events.empty() ? QString() : track.events.back().state;
        const QString state = out.stateWord(stats, before);
        const QString reason = state == QLatin1String("live") || state == QLatin1String("recording")
                                   ? QString()
                                   : masked(out.reason(stats).simplified());
        if (state != before || (!reason.isEmpty() && reason != track.events.back().reason))
            track.events.push_back(Event{at, state, reason});
        if (!due)
            continue;
        track.kbps.emplace_back(at, stats.bitrateKbps);
        if (out.preset.streaming().adaptiveBitrate && out.live)
            track.target.emplace_back(at, static_cast<double>(stats.videoBitrateKbps));
        const long long drops =
            stats.inputDrops + stats.outputDrops + stats.audioDrops + stats.liveDrops;
        if (drops > track.dropsSeen)
            track.drops.emplace_back(at, drops - track.dropsSeen);
        track.dropsSeen = std::max(track.dropsSeen, drops);
    }
}

QString HtmlReport::plot(const Track& track, double end) const
{
    // Scaled to what was seen, so that a stream far under its configured rate still shows.
    double top = 10.0;
    for (const auto* series : {&track.kbps, &track.target})
        for (const auto& [at, kbps] : *series)
            top = std::max(top, kbps);
    top = roundUp(top * 1.1);
    end = std::max(end, 1.0);
    const auto x = [&](double at) { return kLeft + std::clamp(at / end, 0.0, 1.0) * kPlotWidth; };
    const auto y = [&](double kbps) { return kTop + kPlotHeight - kbps / top * kPlotHeight; };

    QString svg = QStringLiteral("<svg width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                                 "role=\"img\" class=\"plot\">\n")
                      .arg(kWidth)
                      .arg(kHeight);
    // The states as bands behind the rate; a band's tooltip gives its reason.
    for (size_t i = 0; i < track.events.size(); ++i) {
        const Event& e = track.events[i];
        const double until = i + 1 < track.events.size() ? track.events[i + 1].at : end;
        svg += QStringLiteral("<rect class=\"state\" data-state=\"%1\" x=\"%2\" y=\"%3\" "
                              "width=\"%4\" height=\"%5\" fill=\"%6\" fill-opacity=\"0.18\">"
                              "<title>%7 from %8 s%9</title></rect>\n")
                   .arg(esc(e.state), num(x(e.at)))
                   .arg(kTop)
                   .arg(num(std::max(0.5, x(until) - x(e.at))))
                   .arg(kPlotHeight)
                   .arg(QLatin1String(colour(e.state)), esc(e.state), num(e.at),
                        e.reason.isEmpty() ? QString() : QStringLiteral(": ") + esc(e.reason));
    }
    // The axes: kbit/s at the bottom, middle and top; seconds in steps of 1, 2, 2.5 or 5 times a
    // power of ten, at most eight of them.
    for (const double kbps : {0.0, top / 2, top})
        svg += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#e0e0e0\"/>"
                              "<text x=\"%4\" y=\"%5\" text-anchor=\"end\">%6</text>\n")
                   .arg(kLeft)
                   .arg(num(y(kbps)))
                   .arg(kLeft + kPlotWidth)
                   .arg(kLeft - 4)
                   .arg(num(y(kbps) + 4))
                   .arg(esc(ReportText::rate(kbps)));
    const double step = roundUp(end / 8);
    for (double at = 0; at <= end + 1e-9; at += step)
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3 s</text>\n")
                   .arg(num(x(at)))
                   .arg(kHeight - 8)
                   .arg(at, 0, 'g', 6);
    // The rate over the run; for an output that adapts to its link, the video encoder's rate
    // dashed beside it.
    const auto line = [&](const std::vector<std::pair<double, double>>& series, const char* kind,
                          const char* style) {
        QStringList points;
        for (const auto& [at, kbps] : series)
            points << num(x(at)) + QLatin1Char(',') + num(y(kbps));
        return QStringLiteral("<polyline class=\"%1\" points=\"%2\" fill=\"none\" %3/>\n")
            .arg(QLatin1String(kind), points.join(QLatin1Char(' ')), QLatin1String(style));
    };
    svg += line(track.kbps, "rate", "stroke=\"#1565c0\" stroke-width=\"1.5\"");
    if (!track.target.empty())
        svg += line(track.target, "target",
                    "stroke=\"#6a1b9a\" stroke-width=\"1\" stroke-dasharray=\"4 3\"");
    // The drops, as marks along the bottom.
    for (const auto& [at, count] : track.drops)
        svg += QStringLiteral("<rect class=\"drop\" x=\"%1\" y=\"%2\" width=\"2\" height=\"8\" "
                              "fill=\"#c62828\"><title>%3 dropped by %4 s</title></rect>\n")
                   .arg(num(x(at) - 1))
                   .arg(kTop + kPlotHeight - 8)
                   .arg(count)
                   .arg(num(at));
    svg += QStringLiteral("</svg>\n");
    return svg;
}

bool HtmlReport::finish(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                        const QString& source, bool interrupted)
{
    if (!m_file.isOpen())
        return false;
    sample(outputs, nullptr, true);
    const double end = now();
    QString page =
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"
                       "<meta charset=\"utf-8\"/>\n<title>strevo-cli: %1</title>\n"
                       "<style>%2</style>\n</head>\n<body>\n"
                       "<h1>strevo-cli: %1</h1>\n<p>%3 after %4 s.</p>\n")
            .arg(esc(masked(source)), QLatin1String(kStyle),
                 interrupted ? QStringLiteral("Stopped on request") : QStringLiteral("Done"),
                 num(end));

    // The summary: one row per output.
    page += QStringLiteral("<h2>Outputs</h2>\n<table class=\"summary\">\n<tr><th>output</th>"
                           "<th>settings</th><th>written to</th><th>result</th><th>frames</th>"
                           "<th>duration</th><th>size</th><th>bit rate</th><th>drops</th>"
                           "<th>reconnects</th><th>live</th></tr>\n");
    for (const auto& out : outputs) {
        const double seconds = out->frames / out->preset.videoCodec().frameRate;
        const QString where =
            out->live ? out->maskedUrl : masked(out->currentPaths().join(QLatin1Char('\n')));
        page +=
            QStringLiteral("<tr class=\"output\"><td>%1</td><td>%2</td><td>%3</td><td%4>%5</td>"
                           "<td class=\"n\">%6</td><td class=\"n\">%7</td><td class=\"n\">%8</td>"
                           "<td class=\"n\">%9</td><td class=\"n\">%10</td><td class=\"n\">%11</td>"
                           "<td class=\"n\">%12</td></tr>\n")
                .arg(out->number)
                .arg(esc(out->title()), esc(where).replace(QLatin1Char('\n'), "<br/>"),
                     out->failed ? QStringLiteral(" class=\"failed\"") : QString(),
                     out->failed ? QStringLiteral("failed") : QStringLiteral("done"))
                .arg(out->frames)
                .arg(ReportText::time(seconds), ReportText::size(out->bytes),
                     esc(ReportText::rate(seconds > 0 ? out->bytes * 8 / seconds / 1000 : 0)))
                .arg(out->drops)
                .arg(out->live ? QString::number(out->reconnects) : QStringLiteral("-"),
                     out->live ? ReportText::time(out->liveMs / 1000.0) : QStringLiteral("-"));
    }
    page += QStringLiteral("</table>\n<p class=\"legend\">");
    for (const char* state : {"recording", "live", "connecting", "reconnecting", "failed"})
        page += QStringLiteral("<span class=\"swatch\" style=\"background: %1\"></span>%2")
                    .arg(QLatin1String(colour(QLatin1String(state))), QLatin1String(state));
    page += QStringLiteral("<span class=\"swatch\" style=\"background: #c62828; opacity: 1; "
                           "width: 2px\"></span>drops<span class=\"swatch\" style=\"background: "
                           "#1565c0; opacity: 1; height: 2px\"></span>bit rate<span "
                           "class=\"swatch\" style=\"background: #6a1b9a; opacity: 1; height: "
                           "2px\"></span>video encoder's rate (adaptive outputs)</p>\n");

    // Per output: the plot, then its state changes.
    for (size_t i = 0; i < outputs.size() && i < m_tracks.size(); ++i) {
        const JobOutput& out = *outputs[i];
        const Track& track = m_tracks[i];
        page += QStringLiteral("<section class=\"output\">\n<h2>output %1: %2</h2>\n")
                    .arg(out.number)
                    .arg(esc(out.title()));
        page += plot(track, end);
        page += QStringLiteral("<table class=\"events\">\n<tr><th>at</th><th>state</th>"
                               "<th>reason</th></tr>\n");
        for (const Event& e : track.events)
            page += QStringLiteral("<tr><td class=\"n\">%1 s</td><td>%2</td><td>%3</td></tr>\n")
                        .arg(num(e.at), esc(e.state), esc(e.reason));
        page += QStringLiteral("</table>\n</section>\n");
    }
    page += QStringLiteral("</body>\n</html>\n");
    const QByteArray bytes = page.toUtf8();
    const bool written = m_file.write(bytes) == bytes.size() && m_file.flush();
    m_file.close();
    return written;
}
