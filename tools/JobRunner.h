#pragma once

#include "api/IStrevoObserver.h"
#include "common/CodecPreset.h"
#include "encoder/IEncodingStatus.h"
#include "tools/ExitStatus.h"
#include "tools/HtmlReport.h"
#include "tools/JobMessages.h"
#include "tools/JobOutput.h"
#include "tools/LiveWatch.h"
#include "tools/MediaSource.h"
#include "tools/ProgressScreen.h"
#include "tools/ProgressWriter.h"

#include <QStringList>
#include <QVector>
#include <atomic>
#include <chrono>
#include <memory>
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
// The runner sets the job up, follows the pipelines' reports and finishes the run; its rooms
// are the outputs (JobOutput), the feeding (SourceFeed), the progress screen (ProgressScreen),
// the --progress report (ProgressWriter) and the --report page (HtmlReport), which the caller
// opens, the messages (JobMessages),
// the live outputs' watch (LiveWatch) and the summary (SummaryPrinter).
//
// The runner stays the pipelines' status object, to follow each output's files and failures,
// and passes every report on to the job, which emits encoderResult() for failures. As the
// job's observer it hears the replay outputs' saves, which a raised `replayRequested` asks
// for (SIGUSR1).
//
// Threads: everything here runs on the caller's thread except the IEncodingStatus,
// IStrevoObserver and IEncodingCallback operations and the encoderResult() handler, which run
// on the library's threads; those only update atomics or fields under an output's mutex and
// queue messages for the caller's thread.
class JobRunner : public IEncodingStatus, public IStrevoObserver
{
public:
    struct Options
    {
        bool fast = false;     // push a live source as fast as the pipelines drain
        bool quiet = false;    // no progress line, no text summary
        bool json = false;     // the summary as JSON on standard output
        double duration = 0.0; // seconds of source to use; 0 until it ends or a stop request
        QStringList secrets;   // masked in everything printed (stream keys, passwords)
        ProgressWriter* report = nullptr; // --progress, opened; null for none
        HtmlReport* page = nullptr;       // --report, opened; null for none
    };

    // `stopRequested` and `replayRequested` are raised by the signal handlers; the runner polls
    // them, and lowers `replayRequested` when it asks the replay outputs to save.
    JobRunner(MediaSource& source, const Options& options, const std::atomic<bool>& stopRequested,
              std::atomic<bool>& replayRequested);
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
    void replaySaved(int index, const QString& path, bool ok, const QString& reason) override;

private:
    using Clock = std::chrono::steady_clock;

    void destroyPipelines();
    JobOutput* find(IEncoder* encoder);
    // Deletes the job, which deletes its pipelines (finishing their files).
    void destroyJob();
    // Stops the job and takes every output's final counts, then deletes it, which finishes the
    // files.
    void finishOutputs();
    // Follows the live outputs, then shows the progress line when it is due (at once with
    // `force`).
    void showProgress(bool force);
    // Asks every replay output to save what it holds (a replay was requested).
    void saveReplays();

    MediaSource& m_source;
    Options m_options;
    const std::atomic<bool>& m_stopRequested;
    std::atomic<bool>& m_replayRequested;
    ProgressScreen m_progress;
    JobMessages m_messages; // posted to by the worker threads
    LiveWatch m_live;
    std::vector<std::unique_ptr<JobOutput>> m_outputs;
    std::unique_ptr<Strevo> m_job; // owns the pipelines once they are added to it
    // The job as the pipelines' reports see it: cleared before the job is deleted, so that a
    // report from a pipeline being deleted is not passed to a job that is going away.
    std::atomic<Strevo*> m_reportTo{nullptr};
    std::atomic<int> m_failureReports{0}; // encoderResult() emissions
    long long m_inputDrops = 0;           // frames and buffers the job's full queues dropped
    Clock::time_point m_start;
};
