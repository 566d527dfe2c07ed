#pragma once

#include "muxer/IMuxerOutput.h"

#include <QString>
#include <memory>

class AvioWriter;
class CodecPreset;
class ContainerWriter;
class IWriter;
class MovieDurations;
class StreamHeaders;

// A local recording: names the file for the recording's part (RecordingName), writes the
// container into it through FileWriter (framed by M2tsWriter for .m2ts), and keeps a
// crash-safe mp4/mov's movie header lengths up to date (MovieDurations). The header is
// written as soon as the video headers are known; stopping drains every queued packet,
// writes the trailer and closes the file, and a file that got no packet is removed. A write
// error ends the recording at once; what was written before stays playable (mkv, ts,
// crash-safe mp4/mov). Each packet reaches the file (a write(2)) as it is written.
//
// Threads: open(), writeHeader() and stop() on the muxer's owner's threads; the hooks under
// the writer's mux mutex. Every field is the set-up thread's until open() returns; after that
// the file, its I/O and the durations are used under the writer's mux mutex only.
class FileOutput : public IMuxerOutput
{
public:
    // `preset` is the muxer's: open() sets its local recording path. `part` and `firstPart`:
    // which file of the recording this is (IMuxer::setPart).
    FileOutput(ContainerWriter& writer, const StreamHeaders& headers, CodecPreset& preset, int part,
               QString firstPart);
    ~FileOutput() override;

    bool open() override;
    bool writeHeader() override;
    void stop() override;

    void headerWritten() override;
    void packetWritten(const std::vector<int64_t>& streamEnds) override;
    void trailerWritten(int result, const std::vector<int64_t>& streamEnds) override;
    bool writeFailed(const char* what, int result) override;
    QString errorText(int result) const override;

    // Why the recording failed (to open, to write, to end), as its warning said; empty while
    // nothing failed. Read it once stop() has returned.
    QString failure() const { return m_failure; }

private:
    // Expects the writer's mux mutex held. Opens the file and the container's I/O on it.
    bool openFile();
    // Expects the writer's mux mutex held. False, with a warning, on failure.
    bool writeHeaderLocked();
    QString target() const; // the recording path, for messages
    // Counts what the file grew by since the last count as delivered.
    void countBytes();
    // Warns with `text` and keeps it as the failure (the first one stays).
    void fail(const QString& text);

    ContainerWriter& m_writer;
    const StreamHeaders& m_headers;
    CodecPreset& m_preset;
    int m_part;
    QString m_firstPart;
    bool m_createdFile = false; // open() made the recording file
    std::unique_ptr<IWriter> m_file;
    std::unique_ptr<AvioWriter> m_avio;
    // Crash-safe mp4/mov: the movie header's length fields, rewritten whenever a fragment
    // reaches the file (its size changed since m_lastSize) and at the end.
    std::unique_ptr<MovieDurations> m_durations;
    long long m_lastSize = 0;
    long long m_countedSize = 0; // the file's size when its bytes were last counted
    // Written by open() and under the writer's mux mutex, read once the writing thread ended.
    QString m_failure;
};
