#pragma once

#include "common/CodecPreset.h"
#include "common/OutputStats.h"
#include "encoder/IEncodingCallback.h"
#include "muxer/IMuxerCallback.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class IEncoder;
class RefEncoder;

// One output of a job as strevo-cli follows it: its preset and pipeline, what the library
// reported about it (packets, files, write failures, low disk space), its live state, and
// the final counts the summary shows. As the pipeline's IEncodingCallback it wakes
// the host thread waiting for the pipeline to take a frame.
//
// Threads: the fields under "set up" are written before the pipeline starts and read-only
// afterwards; the atomics and the fields guarded by `mutex` are written by the library's
// worker threads (the callbacks and the runner's reports); everything else belongs to the
// host thread that runs the job.
class JobOutput : public IEncodingCallback
{
public:
    using Clock = std::chrono::steady_clock;

    // Set up.
    int number = 0; // 1-based, as shown to the user
    CodecPreset preset;
    IEncoder* encoder = nullptr;
    // Set when another output has the same video: the pipelines then encode it once, and
    // only the one that encodes (the first of them) is given frames.
    RefEncoder* sharing = nullptr;
    // The output whose encoder makes this one's video packets.
    JobOutput* videoFrom = this;
    bool live = false;   // streams instead of recording
    bool replay = false; // a replay buffer: files only when a save is asked for (SIGUSR1)
    QString liveLabel;   // "rtmp", or "rtmp#2" when several outputs are live
    bool srt = false;    // an SRT output: its link statistics are shown too
    QString maskedUrl;   // the URL as opened, stream key and credentials masked

    // Written by the worker threads.
    std::atomic<bool> videoStopped{false}; // low disk space ended the video thread
    // Packets a recording could not write: its file has then ended (a full volume, a file-size
    // limit, a deleted device), and the library stops the output's video at the first.
    std::atomic<int> writeFailures{0};
    std::mutex mutex;
    QStringList paths; // guarded by mutex: every file the output has written to, in order
    // One replay save as the library reported it.
    struct ReplaySave
    {
        QString path;
        bool ok = false;
        QString reason;
    };
    std::vector<ReplaySave> replays; // guarded by mutex: every replay save that ended, in order
    // Guarded by mutex: video frames in the files before the current one, and in it so far.
    long long framesInEarlierFiles = 0;
    long long framesInFile = 0;

    // The host thread's own.
    long long slack = 0;  // frames the encoder swallowed for good (see SourceFeed)
    QStringList vanished; // files that no longer exist after the pipeline closed them
    bool failed = false;  // set at the end of the run: the output did not do its job
    long long frames = 0; // final counts, taken after stop()
    long long bytes = 0;
    int drops = 0;
    // Live outputs: the state and reason last seen (a LiveState value; why the last attempt
    // failed or the last link broke), whether it was ever live, and the final counts. Live
    // time is the library's account (links that held a while: a server may take the stream
    // and drop it at once), plus a link still up at the end, however short.
    int liveState = 0;
    QString liveReason;          // secrets masked; the last one given stays
    QString rawLiveReason;       // as the library gave it, to mask only a new one
    Clock::time_point liveSince; // when liveState last became Live
    bool wasLive = false;
    int reconnects = 0;
    long long liveDropped = 0;
    long long liveMs = 0;      // final
    LinkStatistics link;       // an SRT output's, as last reported before stop()
    strevo::OutputStats stats; // the library's snapshot of the output, taken after stop()

    // Whether another output encodes this one's video.
    bool follows() const;
    // An output that cannot write any more is no longer fed; the job ends when all are. A live
    // output never gives up: its pipeline reconnects by itself and drops what it cannot send.
    bool stopped() const { return videoStopped.load() || (!live && writeFailures.load() > 0); }
    // Replay saves that failed so far. Any thread.
    int replayFailures();
    // Any thread: a packet was encoded or written, so the host may have room again.
    void signalPacket();
    // Host thread: returns after the next packet or a few milliseconds, whichever comes first.
    void waitPacket();
    QStringList currentPaths();
    // "mp4, X264 1280x720 4000 kbit/s + AAC 128 kbit/s"
    QString title() const;
    // The output's state as a word, from the library's snapshot: "recording", "connecting",
    // "live", "reconnecting", "failed" or "stopped". A recording seen to fail is "failed"; one
    // being set up reads as what it will be in a moment. `before`, the word shown last, stands
    // in for "stopped", which the job's stop leaves every output in: the state the run ended
    // in is the one worth showing.
    QString stateWord(const strevo::OutputStats& stats, const QString& before) const;
    // Why it is not working: a live output's last reason (masked), or the library's.
    QString reason(const strevo::OutputStats& stats) const;
    // Host thread: the frames and media seconds of the slowest output still running (of all
    // of them once none runs), the job's pace as the progress shows it; {0, 0.0} for none.
    // Reads the pipelines' counts while they exist, the final counts after.
    static std::pair<long long, double>
    slowest(const std::vector<std::unique_ptr<JobOutput>>& outputs);

    // IEncodingCallback, on the worker threads.
    void videoEncoded(const QString&, unsigned char*, unsigned int size, int, int, unsigned int,
                      unsigned char*, unsigned int) override;
    void audioEncoded(unsigned char*, unsigned int size, unsigned char*, unsigned int) override;

private:
    // Signalled after every packet, so that the host waits for room without polling.
    std::mutex m_packetMutex;
    std::condition_variable m_packetDone;
};
