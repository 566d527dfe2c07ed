#pragma once

#include "base/StrevoExport.h"
#include "common/OutputStats.h"

#include <QString>

/// @file
/// What a muxer reports to its pipeline: write times, a live output's state and link.

/// Where a live output stands. Recordings stay NotLive.
enum class LiveState : int
{
    NotLive = 0,      ///< a recording, or a pipeline without output
    Connecting = 1,   ///< the first connection is being made (and retried)
    Live = 2,         ///< connected, packets are being written
    Reconnecting = 3, ///< the connection broke; being reopened (and retried)
    Stopped = 4,      ///< the output was stopped or aborted
};

/// An SRT output's link as libsrt counts it, since the connection was made.
struct LinkStatistics
{
    int peers = 0;               ///< connected peers (a caller or rendezvous has at most one)
    double rttMs = 0.0;          ///< smoothed round-trip time; the largest of the peers'
    long long retransmitted = 0; ///< packets sent again after the peer reported them lost
    long long dropped = 0;       ///< packets given up on because they would arrive too late
};

/// What a muxer reports back to its pipeline. Called on the muxing thread (write reports) or a
/// live output's connection thread (state reports, the (0, 0) resets), never under a lock of
/// the pipeline, but under the muxer's own callback mutex, which keeps a report from reaching a
/// pipeline that has detached the muxer (IMuxer::detachCallback). A replay buffer, which
/// writes nothing as it goes, reports its write times on the thread that hands it the packet,
/// with the pipeline's muxer mutex held. Implementations therefore never call back into the
/// muxer and keep to short work: atomics, a lock of their own held for a copy (the live
/// reason), waking threads.
class STREVO_EXPORT IMuxerCallback
{
public:
    virtual ~IMuxerCallback() = default;
    /// A video packet (or a skipped frame) of `seconds` was written (0 resets the count);
    /// `queued` packets wait.
    virtual void videoWriteTs(double seconds, int queued) = 0;
    /// An audio packet of `seconds` was written (0 resets the count); `queued` packets wait.
    virtual void audioWriteTs(double seconds, int queued) = 0;
    /// Seconds of video written so far, the sum of the videoWriteTs() reports. Any thread.
    virtual double videoTs() = 0;
    /// Seconds of audio written so far, the sum of the audioWriteTs() reports. Any thread.
    virtual double audioTs() = 0;
    /// A live output changed state. `reconnects`: how often it broke and was reopened so far;
    /// `dropped`: packets it discarded (while not connected, or for a backlog). On every
    /// change to Live the stream restarts from 0 and waits for a key frame.
    virtual void liveStateChanged(LiveState /*state*/, int /*reconnects*/, long long /*dropped*/) {}
    /// A live output's stream waits for a key frame to start from (after it opened, or opened
    /// again) and was offered another packet: the pipeline should have its encoder make one
    /// rather than wait up to a key frame interval. Once per wait. Called on the thread that
    /// offered the packet.
    virtual void keyFrameWanted() {}
    /// A live output that adapts to its link wants its video encoded at `kbps` from now on.
    virtual void bitrateWanted(int /*kbps*/) {}
    /// A live output discarded packets (while not connected, or for a backlog); `dropped` is its
    /// count so far. Called on the thread that offered the packet, or the connection thread.
    virtual void liveDropped(long long /*dropped*/) {}
    /// An SRT output's link, about once a second while it sends. Called on the muxing thread.
    virtual void linkStatistics(const LinkStatistics& /*link*/) {}
    /// A live output's account, before each state report and once a link has held for a
    /// while: `liveMs`, how long it has been live so far (links that held at least 5 s, and
    /// the one open when it stopped); `reason`, why its last attempt failed or its last link
    /// broke (the server's answer where it gave one; empty while nothing failed; never a
    /// secret). Called on the connection thread, or the thread that stops the output.
    virtual void liveAccount(long long /*liveMs*/, const QString& /*reason*/) {}
    /// Adds `delta` to one of the output's counts (strevo::OutputStats), where it is counted: a
    /// new statistic is a field there and one call here. Any thread; keeps to a short lock.
    virtual void count(long long strevo::OutputStats::* /*field*/, long long /*delta*/) {}
    /// A replay buffer finished saving: `path` is the file (empty when no name could be
    /// chosen), `ok` whether it holds the whole replay, `reason` why not (empty when ok).
    /// Called on the replay's saving thread.
    virtual void replaySaved(const QString& /*path*/, bool /*ok*/, const QString& /*reason*/) {}
};
