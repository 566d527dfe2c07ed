#pragma once

#include "muxer/FormatHandles.h"
#include "muxer/IMuxerOutput.h"
#include "muxer/live/LiveLink.h"

#include <QStringList>
#include <atomic>
#include <memory>

class AdaptiveBitrate;
class CodecPreset;
class ContainerWriter;
class MuxerReports;
class StreamHeaders;

// A live stream (streaming enabled): the container goes through a LiveLink, which opens,
// watches and reopens the connection on a thread of its own, so that a slow, absent or lost
// server never blocks the pipeline: open() only checks the settings and starts the link. The
// link opens a transport, then has this output make the container and write its header
// through it (openContainer); while it is not connected, packets are dropped and counted; a
// failed write or a backlog breaks it, and it drops the container (closeContainer) and opens
// both again, after which the stamps start from 0 at the next key frame, which the encoder is
// asked for.
//
// Threads: open() and stop() on the muxer's owner's threads; openContainer() and
// closeContainer() on the link's connection thread; the writer's hooks as IMuxerOutput says.
class LiveOutput : public IMuxerOutput, private LiveLink::Container
{
public:
    // The video backlog a live output tolerates when the preset's liveBacklogSeconds is 0.
    static constexpr int kDefaultBacklogSeconds = 5;
    // How long a stopping live output may take to send what is queued before it is cut off.
    static constexpr int kLiveDrainMs = 1000;

    LiveOutput(ContainerWriter& writer, const StreamHeaders& headers, MuxerReports& reports,
               const CodecPreset& preset);
    ~LiveOutput() override;

    bool open() override;
    // The link writes the header whenever it opens the container.
    bool writeHeader() override { return true; }
    void stop() override;
    void abort() override;

    bool takesPackets() const override { return m_link && m_link->isConnected(); }
    void countDrops(long long count) override;
    size_t backlogLimit() const override;
    void backlogExceeded() override;
    void keyFrameWanted() override;
    void ioBegin() override { m_link->ioBegin(); }
    void ioEnd() override { m_link->ioEnd(); }
    bool takeLinkStatistics(LinkStatistics* link) override;
    bool writeFailed(const char* what, int result) override;
    QString errorText(int result) const override;

private:
    // LiveLink::Container, on the link's connection thread.
    bool openContainer(ILiveTransport* transport, QString* reason) override;
    void closeContainer() override;
    void reportLink(LiveState state, int reconnects, long long liveMs,
                    const QString& reason) override;
    // Feeds the adaptive bit rate, if any, and passes on the rate it asks for.
    void linkWatched(const SendProgress& progress) override;
    // The container's I/O over the link (`opaque` is this output); runs under the writer's mux
    // mutex. A refused write means the link broke (it is marked so); what the link took counts
    // as delivered.
    static int linkWrite(void* opaque, AvioWriter::WriteBuffer buffer, int size);
    QStringList secrets() const;

    ContainerWriter& m_writer;
    const StreamHeaders& m_headers;
    MuxerReports& m_reports;
    const CodecPreset& m_preset;
    bool m_secretsMasked = false;      // open() handed the secrets to the log masking
    std::unique_ptr<LiveLink> m_link;  // made by open(), before the writing thread starts
    AVCustomIoPtr m_io;                // the writer's mux mutex: the I/O context over the link
    std::atomic<long long> m_drops{0}; // packets dropped while not connected or backlogged
    // The connection thread's (made by open() before it starts): the video bit rate that suits
    // the link, for an output that adapts (streaming.adaptiveBitrate); null otherwise.
    std::unique_ptr<AdaptiveBitrate> m_adaptive;
    LiveState m_reportedState = LiveState::NotLive; // only inside m_reports.send()
};
