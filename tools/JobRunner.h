#pragma once

#include "common/CodecPreset.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/IEncodingStatus.h"
#include "tools/ExitStatus.h"
#include "tools/MediaSource.h"

#include <QStringList>
#include <QVector>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

class IEncoder;
class Strevo;

// Runs one job as a host of the library: one pipeline per output preset, all in one job of the
// library's facade (Strevo), which copies the source's frames and sound into its input queues
// and hands them to the pipelines from its worker thread. Host order: construct each pipeline,
// initialize, encodingCallback, start, add it to the job; start the job, enqueue..., stop the
// job (it stops the pipelines), delete the job (which deletes the pipelines and so finishes the
// files). A progress line and a summary follow the run.
//
// The runner stays the pipelines' status object, to follow each output's files and failures,
// and passes every report on to the job, which emits encoderResult() for failures.
//
// Threads: everything here runs on the caller's thread except the IEncodingStatus and
// IEncodingCallback operations and the encoderResult() handler, which run on the library's
// worker threads; those only update atomics or fields under an output's mutex and queue messages
// for the caller's thread.
class JobRunner : public IEncodingStatus
{
public:
    struct Options
    {
        bool fast = false;     // push a live source as fast as the pipelines drain
        bool quiet = false;    // no progress line, no text summary
        bool json = false;     // the summary as JSON on standard output
        double duration = 0.0; // seconds of source to use; 0 until it ends or a stop request
        QStringList secrets;   // masked in everything printed (stream keys, passwords)
    };

    // `stopRequested` is raised by the signal handler; the runner polls it.
    JobRunner(MediaSource& source, const Options& options, const std::atomic<bool>& stopRequested);
    ~JobRunner() override;

    // Creates and initialises a pipeline for every preset, then starts them all. On failure
    // returns false with a one-line reason; the pipelines made so far are destroyed.
    bool prepare(const QVector<CodecPreset>& presets, QString* error);
    // Feeds the source until it ends, the duration is reached or a stop is requested; stops and
    // destroys the pipelines (which finishes the files) and prints the summary. Ends early
    // when every output has failed. Returns Done, or Failed when an output reported a failure,
    // a file it wrote is gone, a live output was never live, the source failed or it
    // delivered no frame.
    ExitStatus run();

    void ecoderStateCallback(IEncoder* encoder, int type, int state) override;
    QVector<IEncoder*> encoders() override;

private:
    struct Output;
    using Clock = std::chrono::steady_clock;

    void destroyPipelines();
    Output* find(IEncoder* encoder);
    // Hands one picture to the job. A file or a fast source first waits until every output
    // has room for it, so it loses nothing; a live source in real time never waits (the job's
    // queue drops what does not fit, and counts it).
    // `lent`: a buffer the job lent for the chunk's picture; submitted when the picture is in
    // it, given back otherwise.
    void pushVideo(const MediaSource::Chunk& chunk, unsigned char* lent);
    // For one output from a file or raw input: a frame buffer of its pipeline, lent through
    // the job, for the source to read its next picture into (no copy on the way in); or null.
    unsigned char* lendBuffer();
    void pushAudio(const unsigned char* data, int bytes);
    long long backlog(const Output& out) const;
    void waitForRoom(Output& out);
    // Deletes the job, which deletes its pipelines (finishing their files).
    void destroyJob();
    void sleepUntil(Clock::time_point when);
    // Follows the live outputs' states, telling when one goes live or loses its connection.
    void watchLive();
    // Takes a live output's latest reason from its pipeline, masked; an empty one (nothing
    // failed since) keeps the last.
    void takeLiveReason(Output& out);
    void showProgress(bool force);
    void flushMessages();
    void postMessage(const QString& text);
    // Prints "strevo-cli: <text>" on standard error, secrets masked.
    void say(const QString& text);
    QString redact(const QString& text) const;
    bool allOutputsStopped() const;
    void clearProgressLine();
    void printSummary(double elapsed, const QString& sourceError);

    MediaSource& m_source;
    Options m_options;
    const std::atomic<bool>& m_stopRequested;
    std::vector<std::unique_ptr<Output>> m_outputs;
    std::unique_ptr<Strevo> m_job; // owns the pipelines once they are added to it
    // The job as the pipelines' reports see it: cleared before the job is deleted, so that a
    // report from a pipeline being deleted is not passed to a job that is going away.
    std::atomic<Strevo*> m_reportTo{nullptr};
    std::atomic<int> m_failureReports{0}; // encoderResult() emissions
    long long m_inputDrops = 0;           // frames and buffers the job's full queues dropped
    std::vector<unsigned char> m_silence;
    Clock::time_point m_start;
    Clock::time_point m_lastProgress;
    bool m_progressShown = false; // a progress line without newline is on the terminal
    bool m_tty = false;
    bool m_interrupted = false;
    bool m_allStopped = false; // every output failed, so the job ended early
    bool m_finishing = false;  // the pipelines are being stopped: live states are final

    std::mutex m_messageMutex;
    QStringList m_messages; // guarded by m_messageMutex: reports from worker threads
};
