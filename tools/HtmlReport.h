#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <vector>

class JobOutput;
class Strevo;

// strevo-cli's --report: a page for people who would rather look than read, written when the
// job is over. Per output, a plot of its bit rate over the run, with its state (recording,
// connecting, live, reconnecting, failed) as coloured bands and its drops as marks on the same
// time axis, the list of its state changes with their reasons, and a table of every output's
// result. The page is one file: inline styles and SVG, no scripts, nothing fetched; it is also
// well-formed XML, so that a program can read it. Secrets are masked.
//
// Threads: the host thread that runs the job only.
class HtmlReport
{
public:
    using Clock = std::chrono::steady_clock;

    // Creates or empties the page's file, so that a path that cannot be written is refused
    // before the job starts; false with a one-line reason.
    bool open(const QString& path, QString* error);
    // Masked in every text of the page.
    void setSecrets(const QStringList& secrets) { m_secrets = secrets; }
    // The run starts at `start`: the time axis begins there.
    void start(Clock::time_point start);
    // Takes the outputs' states (four times a second) and their rates and drops (once a
    // second), or both at once with `force`. `job` may be null.
    void sample(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job, bool force);
    // Writes the page: the outputs' final counts are taken. `source` describes the source.
    // False when the file cannot be written.
    bool finish(const std::vector<std::unique_ptr<JobOutput>>& outputs, const QString& source,
                bool interrupted);

private:
    struct Event
    {
        double at; // seconds since the start
        QString state;
        QString reason;
    };
    struct Track
    {
        std::vector<std::pair<double, double>> kbps;     // (seconds, kbit/s)
        std::vector<std::pair<double, double>> target;   // the video encoder's rate, if it moves
        std::vector<std::pair<double, long long>> drops; // (seconds, new drops), new ones only
        std::vector<Event> events;
        long long dropsSeen = 0;
    };

    double now() const;
    QString plot(const Track& track, double end) const;
    QString masked(const QString& text) const;

    QFile m_file;
    QStringList m_secrets;
    Clock::time_point m_start;
    Clock::time_point m_lastSample; // rates and drops
    Clock::time_point m_lastLook;   // states
    bool m_sampled = false;
    std::vector<Track> m_tracks; // by output, in the job's order
};
