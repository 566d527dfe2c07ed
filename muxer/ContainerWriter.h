#pragma once

#include "common/AVHandles.h"
#include "muxer/IMuxerThread.h"
#include "muxer/StreamSetup.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CodecPreset;
class IMuxerOutput;
class IPacketTiming;
class MuxerReports;
class MuxerThread;
class StreamHeaders;

// Writes a pipeline's encoded packets into one container with libavformat, for an output that
// says where it goes (IMuxerOutput).
//
// Packets are stamped from the writer's own frame and sample counters when they are queued
// (writeVideo/writeAudio/skipVideoFrame, on the pipeline's threads, which the pipeline
// serialises under its muxer mutex) and written by the writing thread (muxingLoop), which
// sleeps on m_queueCond until a packet can be written, the header is written, or the output
// stops. The output makes the container (createContextLocked, attachIoLocked,
// writeHeaderLocked) when it is ready for one, and drops it (closeLocked, resetLocked); those
// run under muxMutex(), as does every packet write, so a container is never replaced under a
// write.
class ContainerWriter : public IMuxerThread
{
public:
    ContainerWriter(const CodecPreset& preset, const StreamHeaders& headers, MuxerReports& reports);
    ~ContainerWriter() override;
    ContainerWriter(const ContainerWriter&) = delete;
    ContainerWriter& operator=(const ContainerWriter&) = delete;

    // Set-up thread, before open: where the container goes.
    void setOutput(IMuxerOutput* output) { m_output = output; }
    StreamSetup& setup() { return m_setup; }
    // The pipeline's reports, for the outputs' own.
    MuxerReports& reports() { return m_reports; }
    // Where the video packets' times go (IMuxer::setPacketTiming); null for nowhere. Any thread.
    void setPacketTiming(IPacketTiming* timing) { m_timing.store(timing); }

    // The writing thread. start() once the output is ready; beginStop(): nothing more is
    // queued, the loop writes what it can and ends; waitThread() waits for that up to `ms`;
    // joinThread() waits for it.
    void start();
    void beginStop();
    bool waitThread(unsigned long ms);
    void joinThread();

    // The pipeline's side (IMuxer).
    bool isHeaderWritten() const { return m_headerWritten.load(); }
    bool writeVideo(AVPacketPtr packet, bool keyFrame);
    bool writeAudio(AVPacketPtr packet);
    void skipVideoFrame();
    int skipAudioFrame();
    long long videoFrameCount() const { return m_videoFrames.load(); }
    // Any thread: the video packets waiting to be written.
    size_t queuedVideoPackets();
    void abort();
    // A packet reached the output.
    bool wroteStreamData() const { return m_wroteStreamData; }

    // The output's side: each expects muxMutex() held.
    std::mutex& muxMutex() { return m_muxMutex; }
    bool hasContext() const { return m_format != nullptr; }
    // Makes the format context with the streams for `url` (what muxers that name their own
    // files or look at the extension read); false when out of memory (nothing is left).
    bool createContextLocked(const QByteArray& url, const AVIOInterruptCB* interrupt);
    // The context writes through `io` (the output's; it must outlive the context). With
    // `flushEachPacket` each packet reaches the I/O as it is written, not when its buffer is
    // full.
    void attachIoLocked(AVIOContext* io, bool flushEachPacket);
    // Writes the container header with the known headers; false with *why on failure.
    bool writeHeaderLocked(QString* why);
    // Drops the container, after its trailer when `trailer` (and the header was written).
    void closeLocked(bool trailer);
    // Drops the container without a trailer and every queued packet, and starts the stamps
    // again from 0 at the next key frame; returns the packets dropped.
    long long resetLocked();
    // A write failed: reports it to the output (once), which says whether it is finished.
    void fail(const char* what, int result);

    void muxingLoop() override;

private:
    // One queued packet with its stamp in the stream's time base. A null packet in the video
    // queue is a skipped frame: it only advances the written video time.
    struct Queued
    {
        AVPacketPtr packet;
        int64_t pts = 0;
        int64_t duration = 0;  // sound: samples in the packet
        long long origin = -1; // video: the stamp of its frame (IPacketTiming::origin)
    };
    // A video packet handed to libavformat whose Written time is still to be reported.
    struct Unwritten
    {
        long long index = 0;  // among the video packets handed to the container
        long long origin = 0; // the stamp of its frame
        int64_t end = -1;     // where its bytes end in the output, once libavformat wrote it
    };

    bool takesPackets() const;
    bool setUpColourFilter();
    // Expects m_queueMutex held. Which queue the next write takes from: 0 video, 1 audio,
    // -1 none yet (the stream must stay interleaved, or nothing is queued).
    int nextQueue() const;
    // Expect m_muxMutex held (not m_queueMutex). False on a write error.
    bool writeVideoPacket(Queued& item);
    bool writeAudioPacket(Queued& item);
    // Expects m_muxMutex held. Hands one stamped packet to libavformat and tells the output;
    // false (after fail()) on a write error.
    bool writePacket(AVPacket* pkt, const char* what);
    // Expects m_muxMutex held. Reports the packets of m_unwritten that libavformat has written
    // and whose bytes have left the I/O buffer; all of them when `all` (after the trailer).
    void reportWritten(bool all);

    const StreamHeaders& m_headers;
    MuxerReports& m_reports;
    StreamSetup m_setup;                   // set-up thread; read-only once the output is open
    IMuxerOutput* m_output = nullptr;      // set-up thread; read-only once the output is open
    std::unique_ptr<MuxerThread> m_thread; // the owner's thread only

    // The container, made and dropped by the output, written by the writing thread: all under
    // m_muxMutex.
    AVFormatContext* m_format = nullptr;
    AVStream* m_videoStream = nullptr;
    AVStream* m_audioStream = nullptr;
    AVBSFContextPtr m_colourFilter;
    AVRational m_videoTimeBase{1, 1}; // the streams' time bases once the header is written
    AVRational m_audioTimeBase{1, 1};
    // The end of each stream written so far (in its time base, by stream index).
    std::vector<int64_t> m_streamEnds;
    long long m_videoHanded = 0;       // m_muxMutex: video packets handed to the container
    std::deque<Unwritten> m_unwritten; // m_muxMutex; filled only while a timing sink is set
    bool m_wroteStreamData = false;    // a packet reached the output; read after the thread ended
    std::mutex m_muxMutex;             // the container: making, the header, each packet, closing

    // Stamps and queues, shared by the pipeline's threads and the writing thread.
    std::deque<Queued> m_videoQueue;
    std::deque<Queued> m_audioQueue;
    long long m_queuedVideoFrames = 0; // frames stamped (skipped ones included)
    long long m_queuedAudioSamples = 0;
    bool m_keyFrameSeen = false;
    bool m_keyFrameAsked = false; // the output was asked for a key frame during this wait
    bool m_stopping = false;
    std::mutex m_queueMutex; // guards the queues, the counters above and m_stopping
    std::condition_variable m_queueCond;

    std::atomic<long long> m_videoFrames{0}; // copy of m_queuedVideoFrames for lock-free reads
    std::atomic<bool> m_headerWritten{false};
    std::atomic<bool> m_failed{false}; // the output finished after a failed write
    std::atomic<bool> m_aborted{false};
    // Not owned. Set from any thread, read where packets are queued and written: an atomic, so
    // that a muxer without a sink pays one load per packet.
    std::atomic<IPacketTiming*> m_timing{nullptr};
};
