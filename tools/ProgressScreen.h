#pragma once

#include "common/OutputStats.h"
#include "tools/SpeedWindow.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <map>
#include <memory>
#include <utility>
#include <vector>

class JobOutput;
class Strevo;

// strevo-cli's progress on standard error: one job line (the time and frames of the slowest
// output still running, the speed over the last few seconds, the drops, the bytes delivered)
// and under it one line per output (its state, bit rate, size and drops; a live output's
// reconnects and link; the reason while it is not working). A failed output is marked on its
// line and not counted in the job's pace.
//
// On a terminal the lines are redrawn in place at most four times a second, each cut to the
// terminal's width so that none wraps (a wrapped line cannot be redrawn in place), and only
// as many as the terminal has rows. Elsewhere (a pipe, a log file) the lines are written
// every few seconds, and an output's line at once when its state changes.
//
// Threads: the host thread that runs the job only; it reads the pipelines' atomics and the
// job's statistics.
class ProgressScreen
{
public:
    using Clock = std::chrono::steady_clock;

    // `quiet`: nothing is shown.
    explicit ProgressScreen(bool quiet);

    // The run starts at `start`: the speed is measured from there.
    void start(Clock::time_point start);
    // Shows the lines when the last ones are old enough, or at once with `force`. `job` may be
    // null (the outputs' final counts are used then).
    void show(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job, bool force);
    // Erases lines drawn in place, for a message to take their place.
    void clear();
    // Leaves lines drawn in place on the screen, the cursor on a fresh line under them.
    void end();

    // The line of one output, uncut: "output 2 rtmp: failed  0 kbit/s  0 B  drops 146  the
    // server does not accept connections". `state` is the word shown; `before` is the one
    // shown last: the job's stop leaves every output stopped, and the state that the run ended
    // in is the one worth seeing.
    static QString outputLine(const JobOutput& out, const strevo::OutputStats& stats,
                              const QString& before, QString* state);

private:
    QString jobLine(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                    const std::vector<strevo::OutputStats>& stats, Strevo* job,
                    Clock::time_point now);
    void draw(QStringList lines);

    const bool m_quiet;
    Clock::time_point m_start;
    Clock::time_point m_last;
    Clock::time_point m_lastPlain; // elsewhere than a terminal: when all lines were last written
    bool m_tty = false;
    int m_drawn = 0; // lines drawn in place; the cursor is at the end of the last one
    // Elsewhere than a terminal: each output's state as last written, by its number.
    std::map<int, QString> m_states;
    SpeedWindow m_speed;
};
