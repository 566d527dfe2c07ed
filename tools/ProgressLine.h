#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

class JobOutput;
class Strevo;

// strevo-cli's progress line on standard error: the time and frames of the slowest output
// still running (a failed one is marked, not counted), the speed over the last few seconds,
// the drops and the bytes delivered (files written, what live servers took), then each failed
// output and each live output's state. On a terminal it is rewritten in place at most four
// times a second and cut to the terminal's width, so that it never wraps; otherwise a new line
// follows at most once a second.
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
    // Media seconds written at recent moments, oldest first: the speed's window.
    std::deque<std::pair<Clock::time_point, double>> m_recent;
};
