#pragma once

#include "common/CodecPreset.h"
#include "muxer/StreamHeaders.h"
#include "muxer/replay/ReplayBuffer.h"

#include <QString>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class MuxerReports;

// Writes a replay buffer's snapshots into files, one at a time, on a thread of its own (made
// by the first save), so that the buffer keeps filling and the caller never waits for the
// disk. A file is written as a recording is (FileOutput over a ContainerWriter): named by the
// preset's template in its folder, the container and its options from the preset, and the
// packets stamped again from 0, the sound placed after the first picture.
//
// Threads: begin() and waitIdle() on any thread; `done` is called on the saving
// thread. The destructor waits for a save that was begun: a replay asked for is never lost.
class ReplaySaver
{
public:
    // What one save writes: the packets, the headers of their streams, and the preset that
    // names and describes the file.
    struct Save
    {
        CodecPreset preset;
        std::unique_ptr<StreamHeaders> headers;
        ReplayBuffer::Snapshot packets;
    };
    struct Result
    {
        QString path;    // the file written (or begun); empty when no name could be chosen
        bool ok = false; // the file holds the whole snapshot
        QString reason;  // why not
        double seconds = 0.0;
    };
    using Done = std::function<void(const Result&)>;

    // `reports` (the replay buffer's) receive the file's counts (bytes delivered, files).
    ReplaySaver(MuxerReports& reports, Done done);
    ~ReplaySaver();
    ReplaySaver(const ReplaySaver&) = delete;
    ReplaySaver& operator=(const ReplaySaver&) = delete;

    // Starts writing `save`; false, with the reason, while another one is being written.
    bool begin(Save save, QString* whyNot);
    // Returns once no save is waiting or being written.
    void waitIdle();

private:
    void run();
    Result write(Save& save);

    MuxerReports& m_reports;
    const Done m_done;
    std::mutex m_mutex;             // guards the fields below
    std::condition_variable m_wake; // under m_mutex: a save came, or the end
    std::condition_variable m_idle; // under m_mutex: a save ended
    std::unique_ptr<Save> m_next;   // begun, not yet taken by the thread
    bool m_writing = false;         // the thread writes a save
    bool m_end = false;
    std::thread m_thread; // started by the first begin(), joined by the destructor
};
