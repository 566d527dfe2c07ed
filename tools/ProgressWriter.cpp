#include "tools/ProgressWriter.h"

#include "api/Strevo.h"
#include "common/OutputStats.h"
#include "common/Redact.h"
#include "encoder/IEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "tools/JobOutput.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "00:01:02.345678", as ffmpeg writes out_time.
QByteArray clockTime(long long us)
{
    const long long s = us / 1000000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(s / 3600, 2, 10, QLatin1Char('0'))
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'))
        .arg(us % 1000000, 6, 10, QLatin1Char('0'))
        .toLatin1();
}

QByteArray number(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals);
}

} // namespace

ProgressWriter::~ProgressWriter()
{
    if (m_ownsFd && m_fd >= 0)
        ::close(m_fd);
}

bool ProgressWriter::open(const QString& target, QString* error)
{
    if (target == QLatin1String("-")) {
        m_fd = STDOUT_FILENO;
        neverBlock();
        return true;
    }
    if (target.startsWith(QLatin1String("pipe:"))) {
        bool ok = false;
        const int fd = target.mid(5).toInt(&ok);
        // Only a descriptor open for writing will do.
        const int flags = ok && fd >= 0 ? fcntl(fd, F_GETFL) : -1;
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
            *error = QStringLiteral("--progress: '%1' is not a file descriptor open for writing")
                         .arg(target);
            return false;
        }
        m_fd = fd;
        neverBlock();
        return true;
    }
    const int fd = ::open(QFile::encodeName(target).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        // Opened without blocking, a named pipe that nobody reads is refused (ENXIO) rather
        // than waited for.
        *error = QStringLiteral("--progress: cannot write to '%1': %2")
                     .arg(target, errno == ENXIO ? QStringLiteral("no program reads that pipe")
                                                 : QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_fd = fd;
    m_ownsFd = true;
    neverBlock();
    return true;
}

void ProgressWriter::neverBlock()
{
    // A pipe or a socket whose reader does not read fills up, and a blocking write would then
    // stall the job that feeds the encoders: such a target is written without blocking, and a
    // block that finds no room is skipped. Files and terminals do not fill up that way.
    struct stat info = {};
    if (fstat(m_fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)))
        return;
    const int flags = fcntl(m_fd, F_GETFL);
    if (flags >= 0 && fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) == 0)
        m_nonBlocking = true;
}

void ProgressWriter::start(Clock::time_point start)
{
    m_start = m_last = start;
}

void ProgressWriter::write(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                           const Strevo* job, bool force)
{
    if (m_fd < 0)
        return;
    const auto now = Clock::now();
    if (!force && now - m_last < std::chrono::seconds(1))
        return;
    m_last = now;
    // A skipped block leaves its replay lines to the next one.
    std::map<int, size_t> told = m_replaysTold;
    if (send(block(outputs, job, false, &told), false))
        m_replaysTold = told;
}

void ProgressWriter::finish(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                            const Strevo* job)
{
    if (m_fd < 0)
        return;
    send(block(outputs, job, true, &m_replaysTold), true);
    if (m_ownsFd)
        ::close(m_fd);
    m_fd = -1;
}

QByteArray ProgressWriter::block(const std::vector<std::unique_ptr<JobOutput>>& outputs,
                                 const Strevo* job, bool end, std::map<int, size_t>* told)
{
    // The job's pace, as the progress line shows it.
    const auto [frames, seconds] = JobOutput::slowest(outputs);
    long long bytes = 0, drops = 0;
    std::vector<strevo::OutputStats> stats;
    for (auto& out : outputs) {
        stats.push_back(job ? job->outputStats(out->number - 1) : out->stats);
        bytes += stats.back().bytesDelivered;
        drops += stats.back().inputDrops + stats.back().outputDrops + stats.back().liveDrops;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
    const long long us = std::llround(seconds * 1e6);

    QByteArray text;
    auto line = [&text](const char* key, const QByteArray& value) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    };
    line("frame", QByteArray::number(frames));
    line("fps", number(elapsed > 0.0 ? frames / elapsed : 0.0, 2));
    line("bitrate",
         seconds > 0.0 ? number(bytes * 8.0 / 1000.0 / seconds, 1) + "kbits/s" : QByteArray("N/A"));
    line("total_size", QByteArray::number(bytes));
    line("out_time_us", QByteArray::number(us));
    line("out_time_ms", QByteArray::number(us)); // microseconds too, as ffmpeg writes it
    line("out_time", clockTime(us));
    line("drop_frames", QByteArray::number(drops));
    // Over the last few seconds, as the screen shows it; "N/A" before a second was seen.
    const double speed = m_speed.add(Clock::now(), seconds);
    line("speed", speed < 0.0 ? QByteArray("N/A") : number(speed, 2) + "x");
    for (size_t i = 0; i < outputs.size(); ++i) {
        const JobOutput& out = *outputs[i];
        const strevo::OutputStats& s = stats[i];
        const QByteArray key = "output" + QByteArray::number(out.number) + '_';
        line(key + "state", out.stateWord(s, QString()).toLatin1());
        line(key + "frames", QByteArray::number(s.framesWritten));
        line(key + "bytes", QByteArray::number(s.bytesDelivered));
        line(key + "bitrate", number(s.bitrateKbps, 1));
        line(key + "video_bitrate", QByteArray::number(s.videoBitrateKbps));
        line(key + "bitrate_changes", QByteArray::number(s.bitrateChanges));
        line(key + "drops", QByteArray::number(s.inputDrops + s.outputDrops + s.liveDrops));
        // One line, secrets masked.
        line(key + "reason", redactSecrets(out.reason(s).simplified(), m_secrets).toUtf8());
        if (out.replay) {
            line(key + "replay_bytes", QByteArray::number(s.replayBytes));
            line(key + "replay_seconds", number(s.replaySeconds, 3));
        }
        std::lock_guard<std::mutex> lock(outputs[i]->mutex);
        for (size_t& n = (*told)[out.number]; n < out.replays.size(); ++n) {
            const JobOutput::ReplaySave& save = out.replays[n];
            if (save.ok)
                line(key + "replay", QFile::encodeName(save.path));
            else
                line(key + "replay_failed",
                     redactSecrets(save.reason.simplified(), m_secrets).toUtf8());
        }
    }
    line("progress", end ? "end" : "continue");
    return text;
}

bool ProgressWriter::waitForRoom(int ms) const
{
    pollfd target = {m_fd, POLLOUT, 0};
    int ready;
    do
        ready = poll(&target, 1, ms);
    while (ready < 0 && errno == EINTR);
    // An error or a hang-up is found by the write that follows.
    return ready != 0;
}

bool ProgressWriter::send(const QByteArray& bytes, bool last)
{
    // One write per block, so that a reader sees whole blocks; a reader that went away (EPIPE,
    // SIGPIPE being ignored) or a full volume ends the report.
    if (m_fd == STDOUT_FILENO)
        std::fflush(stdout); // after what stdio holds
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    // A reader behind on its reading: the last block may wait a little for room, the others
    // are skipped whole; one begun is finished if the reader makes room within a second.
    if (m_nonBlocking && !waitForRoom(last ? 2000 : 0))
        return false;
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && waitForRoom(1000))
            continue;
        if (n <= 0) {
            if (m_ownsFd)
                ::close(m_fd);
            m_fd = -1;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}
