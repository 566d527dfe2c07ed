#pragma once

#include "tools/SpeedWindow.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

class JobOutput;
class Strevo;

// strevo-cli's --progress report: about once a second a block of key=value lines, as tools
// reading ffmpeg's -progress expect them (frame, fps, bitrate, total_size, out_time_us,
// out_time_ms, out_time, drop_frames, speed), then each output's state and counts
// (output1_state, output1_frames, output1_bytes, output1_bitrate, output1_video_bitrate,
// output1_bitrate_changes, output1_drops, output1_reason; for a replay buffer also
// output1_replay_bytes and output1_replay_seconds, what it holds), a line for each replay save
// that ended since the last block (output1_replay=PATH, or output1_replay_failed=REASON), and
// "progress=continue"; the last block ends with "progress=end". Every
// block is written at once. A reader that goes away stops the report, never the job; a pipe
// whose reader does not read is never waited for: the blocks that find it full are skipped.
//
// Threads: the host thread that runs the job only.
class ProgressWriter
{
public:
    using Clock = std::chrono::steady_clock;

    ProgressWriter() = default;
    ~ProgressWriter();
    ProgressWriter(const ProgressWriter&) = delete;
    ProgressWriter& operator=(const ProgressWriter&) = delete;

    // "-": standard output; "pipe:N": the open file descriptor N; anything else: a file,
    // created or emptied. On failure returns false with a one-line reason.
    bool open(const QString& target, QString* error);
    // Masked in the reasons written.
    void setSecrets(const QStringList& secrets) { m_secrets = secrets; }
    // The run starts at `start`: the speed is measured from there.
    void start(Clock::time_point start);
    // Writes a block when the last one is a second old, or at once with `force`.
    void write(const std::vector<std::unique_ptr<JobOutput>>& outputs, const Strevo* job,
               bool force);
    // Writes the last block, once; nothing more is written after it.
    void finish(const std::vector<std::unique_ptr<JobOutput>>& outputs, const Strevo* job);

private:
    // `told`: the replay saves of each output (by number) written so far; advanced past those
    // this block writes.
    QByteArray block(const std::vector<std::unique_ptr<JobOutput>>& outputs, const Strevo* job,
                     bool end, std::map<int, size_t>* told);
    // `last`: the final block, which may wait a little for a slow reader. True when the whole
    // block was written.
    bool send(const QByteArray& bytes, bool last);
    // Makes a pipe or socket target non-blocking.
    void neverBlock();
    // Whether the target has room within `ms` milliseconds (or has failed).
    bool waitForRoom(int ms) const;

    int m_fd = -1;
    bool m_ownsFd = false;
    bool m_nonBlocking = false; // a pipe or socket: a block that finds no room is skipped
    QStringList m_secrets;
    Clock::time_point m_start;
    Clock::time_point m_last;
    SpeedWindow m_speed;
    std::map<int, size_t> m_replaysTold; // by output number: replay saves written in a block
};
