#pragma once

#include "tools/MediaSource.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class JobMessages;
class JobOutput;
class Strevo;

// Feeds a job from its source: reads the source chunk by chunk and hands pictures and sound to
// the job. A live source, or any source when an output is live, is paced by the clock unless
// the job runs fast. A file or a fast source first waits until every output has room for the
// next picture, so that it loses nothing; a live source in real time never waits (the job's
// queue drops what does not fit, and counts it). A source without sound of its own gets
// silence of exactly the length of the pictures pushed.
//
// Threads: the host thread that runs the job only. While it waits, it keeps the progress line
// (`progress`) and the posted messages going.
class SourceFeed
{
public:
    using Clock = std::chrono::steady_clock;

    struct Result
    {
        long long frames = 0;    // pictures pushed
        QString sourceError;     // why the source failed; empty at its end or when stopped
        bool allStopped = false; // every output failed, so feeding ended early
    };

    // Everything given outlives the feed; `stopRequested` is raised by the signal handler.
    SourceFeed(MediaSource& source, Strevo& job,
               const std::vector<std::unique_ptr<JobOutput>>& outputs,
               const std::atomic<bool>& stopRequested, bool fast, JobMessages& messages,
               std::function<void()> progress);

    // Feeds until the source ends, `limit` pictures were pushed (none when negative), a stop
    // is requested or every output has stopped. `start`: when the run began, for the pacing.
    Result run(long long limit, bool paced, Clock::time_point start);

private:
    // For one output from a file or raw input: a frame buffer of its pipeline, lent through
    // the job, for the source to read its next picture into (no copy on the way in); or null.
    unsigned char* lendBuffer();
    // Hands one picture to the job. `lent`: a buffer the job lent for the chunk's picture;
    // submitted when the picture is in it, given back otherwise.
    void pushVideo(const MediaSource::Chunk& chunk, unsigned char* lent);
    void pushAudio(const unsigned char* data, int bytes);
    long long backlog(const JobOutput& out) const;
    void waitForRoom(JobOutput& out);
    void sleepUntil(Clock::time_point when);
    bool allOutputsStopped() const;
    // The progress line and the posted messages, while waiting.
    void idle();

    MediaSource& m_source;
    Strevo& m_job;
    const std::vector<std::unique_ptr<JobOutput>>& m_outputs;
    const std::atomic<bool>& m_stopRequested;
    const bool m_fast;
    JobMessages& m_messages;
    const std::function<void()> m_progress;
    std::vector<unsigned char> m_silence;
};
