#pragma once

#include <chrono>
#include <memory>
#include <vector>

class JobMessages;
class JobOutput;

// Follows a job's live outputs for the user: tells when one goes live or loses its
// connection, keeps each one's last reason (masked), and takes the final account of each once
// the job has stopped.
//
// Threads: the host thread that runs the job only; it reads the pipelines' atomics and
// reasons.
class LiveWatch
{
public:
    using Clock = std::chrono::steady_clock;

    // `quiet`: only the state is followed, nothing is said.
    LiveWatch(JobMessages& messages, bool quiet);

    // Looks at every live output's state and reason, telling what changed. Does nothing once
    // finish() was called.
    void watch(const std::vector<std::unique_ptr<JobOutput>>& outputs);
    // The pipelines are being stopped: the states seen last are the ones reported.
    void finish() { m_finishing = true; }
    // After the job stopped: the live output's final counts and live time; `end` is when the
    // run ended.
    void account(JobOutput& out, Clock::time_point end);

private:
    // Takes a live output's latest reason from its pipeline, masked; an empty one (nothing
    // failed since) keeps the last.
    void takeReason(JobOutput& out);

    JobMessages& m_messages;
    const bool m_quiet;
    bool m_finishing = false;
};
