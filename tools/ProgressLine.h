#pragma once

#include <chrono>
#include <memory>
#include <vector>

class JobOutput;
class Strevo;

// strevo-cli's progress line on standard error: the slowest output's time and frames, the
// speed, the drops and the bytes written, then each failed output and each live output's
// state. On a terminal it is rewritten in place at most four times a second; otherwise a
// new line follows at most once a second.
//
// Threads: the host thread that runs the job only; it reads the pipelines' atomics.
class ProgressLine
{
public:
    using Clock = std::chrono::steady_clock;

    // `quiet`: nothing is shown.
    explicit ProgressLine(bool quiet);

    // The run starts at `start`: the speed is measured from there.
    void start(Clock::time_point start);
    // Shows the line when the last one is old enough, or at once with `force`. `job` may be
    // null.
    void show(const std::vector<std::unique_ptr<JobOutput>>& outputs, Strevo* job, bool force);
    // Erases a line shown without newline, for a message to take its place.
    void clear();
    // Ends a line shown without newline, so that it stays.
    void end();

private:
    const bool m_quiet;
    Clock::time_point m_start;
    Clock::time_point m_last;
    bool m_tty = false;
    bool m_shown = false; // a line without newline is on the terminal
};
