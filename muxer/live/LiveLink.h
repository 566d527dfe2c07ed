#pragma once

#include "common/CodecPreset.h"
#include "common/IThreadCallback.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/live/ILiveTransport.h"
#include "muxer/live/ReopenPolicy.h"

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

class ThreadCallback;

// A live output's link to its server: opens it, watches it, reopens it when it breaks, and
// tells the host what really happened. One for every transport (the own RTMP publisher with its
// TLS relay, SRT, libavformat's protocols), with the same states, pacing and messages.
//
// - States: Connecting until the first link opens, Live while one is open (the server took the
//   stream), Reconnecting after a link that had been live broke, Stopped at the end.
// - Every attempt is paced by ReopenPolicy, whatever ended the last one; a link that breaks
//   within ReopenPolicy::kSettled of opening was a failed attempt, not live time.
// - A link that makes no progress for kStallMs is cut: a write blocked that long, or, where
//   the transport can tell (TCP), data waiting that the peer has not acknowledged for that long.
// - Each failure has a reason (the server's answer, the failed step), logged and reported.
//
// The container side (the muxer) implements Container: the link opens a transport, then asks
// it to write the container's header through it; when the link breaks, it asks it to drop the
// container, then closes the transport.
//
// Threads: the connection thread (started by start()) owns the policy, the attempts and the
// watch. write() runs where the container is written (the muxing thread; the connection thread
// while it writes a header; the stopping thread for a trailer), never two at once: the
// container serialises them. requestReopen(), abort() and the state queries may come from any
// thread. The transport is replaced only by the connection thread, under m_transportMutex, and
// only while no container is open on it, so a write never meets a replacement.
class LiveLink : private IThreadCallback
{
public:
    // A write, or a peer that acknowledges nothing, stalled this long: the link is cut.
    static constexpr int kStallMs = 10000;
    // How often the connection thread looks at an open link.
    static constexpr int kWatchMs = 250;

    class Container
    {
    public:
        virtual ~Container() = default;
        // Connection thread: the transport is open; write the container's header through the
        // link (a container that connects by itself connects here). False, with *reason,
        // when that fails.
        virtual bool openContainer(ILiveTransport* transport, QString* reason) = 0;
        // Connection thread: the link broke or is being replaced: drop the container without
        // a trailer, and the packets that wait for it.
        virtual void closeContainer() = 0;
        // Connection thread, or the thread that stops the link: the account and the state,
        // for the host. No link lock is held.
        virtual void reportLink(LiveState state, int reconnects, long long liveMs,
                                const QString& reason) = 0;
        // Connection thread, about every kWatchMs while the link is open: what the connection
        // reports of its progress (-1s when it cannot tell).
        virtual void linkWatched(const SendProgress& /*progress*/) {}
    };

    // `maskedUrl` names the output in messages (its secrets already masked); `interrupt` is
    // what libavformat's own I/O checks to give up.
    LiveLink(Container* container, const CodecPreset& preset, QString maskedUrl);
    ~LiveLink() override;
    LiveLink(const LiveLink&) = delete;
    LiveLink& operator=(const LiveLink&) = delete;

    // Starts the connection thread, which makes the first attempt at once.
    void start();
    // Whether packets are accepted now: a link is open and no reopen is pending.
    bool isConnected() const { return m_connected.load(); }
    bool isAborted() const { return m_aborted.load(); }

    // Any thread: the link is broken (a failed write, a backlog, a header that came late); the
    // connection thread closes it and opens it again. The first reason of a break is kept.
    void requestReopen(const QString& reason);
    // Any thread: makes a pending connect or write give up at once, and ends the attempts.
    void abort();

    // Where the container is written: sends bytes through the open transport. False, with the
    // link marked broken, when it failed.
    bool write(const uint8_t* data, int size);
    // Brackets a libavformat call that may block on the link's I/O (a packet write, a header,
    // a trailer), so that the watch can cut it when it stalls.
    void ioBegin();
    void ioEnd();
    // An SRT link's counts, fresh about once a second; false when there is nothing new.
    bool takeLinkStatistics(LinkStatistics* link);
    // For libavformat's own I/O (RTSP): its interrupt callback.
    static int interruptCheck(void* opaque);

    // Stopping, in steps. beginStop(): no more attempts; a link not open yet is cut off. Once
    // the container has sent what it could: joinThread(); then the container writes its
    // trailer (through write()) when the link is still up; then finish() lets the transport
    // end cleanly when `clean`, closes it and reports Stopped with the final account.
    void beginStop();
    void joinThread();
    void finish(bool clean);

private:
    void threadCallback() override;
    std::unique_ptr<ILiveTransport> makeTransport();
    // Connection thread: one attempt; true once the server took the stream and the container
    // header went through.
    bool attempt();
    // Connection thread: drops the container and the transport of a broken (or failed) link.
    void closeLink();
    // Connection thread: while a link is open, cuts it when it stalls; accounts a link that
    // has held for a while.
    void watch();
    void report(LiveState state);
    QString takeReason();
    static long long nowMs();

    Container* m_container;
    CodecPreset m_preset;
    QString m_url; // masked
    std::unique_ptr<ThreadCallback> m_thread;

    std::mutex m_transportMutex; // guards m_transport's replacement and abort()'s reach
    std::unique_ptr<ILiveTransport> m_transport;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_reopenWanted{false};
    std::atomic<bool> m_connecting{false}; // the connection thread is inside an attempt
    std::atomic<bool> m_aborted{false};
    std::atomic<long long> m_ioStartMs{0}; // when the I/O call in progress began; 0 for none

    std::mutex m_reasonMutex; // guards m_reason
    QString m_reason;         // why the link broke, until the connection thread takes it

    std::mutex m_statsMutex; // guards the three below
    LinkStatistics m_link;
    bool m_linkFresh = false;
    long long m_linkSampledMs = 0;

    // The connection thread's own (and finish()'s, after joining it).
    ReopenPolicy m_policy;
    LiveState m_state = LiveState::Connecting;
    int m_reconnects = 0;
    long long m_liveMs = 0;     // live time of links that have ended
    QString m_lastReason;       // the last failure, as reported
    long long m_lastAcked = -1; // the open link's progress, as last seen
    long long m_progressMs = 0; // when it last moved (or had nothing waiting)
};
