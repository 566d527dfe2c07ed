#pragma once

#include "muxer/IMuxerCallback.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QString>

#include <srt/srt.h>

#include <atomic>
#include <memory>

extern "C" {
#include <libavutil/error.h>
}

class ISrtCallback;

// strevo.srt: the SRT transport's messages and libsrt's own warnings and errors.
Q_DECLARE_LOGGING_CATEGORY(lcSrt)

// One SRT connection over libsrt in live mode: the base of the caller/rendezvous transport
// (SrtClient) and the listener (SrtServer). Owns the SRT socket and its epoll id; waits use
// libsrt's epoll in 100 ms slices so that stop() ends every wait within 100 ms.
//
// start() runs on the muxer's connection thread, send() on the muxing thread (never both at
// once); stop() may come from any thread at any time.
class SrtConnect
{
public:
    // Mode flags of start() and create().
    enum Flag
    {
        Caller = 1,
        Listener = 2,
        Rendezvous = 4,
        Sender = 8
    };
    // Seven 188-byte MPEG-TS packets: one SRT message, and the most send() accepts.
    static constexpr int kPayloadSize = 1316;
    static constexpr int kWaitSliceMs = 100;

    // An SrtServer when `flags` has Listener, else an SrtClient.
    static std::unique_ptr<SrtConnect> create(int flags, ISrtCallback* callback);

    explicit SrtConnect(ISrtCallback* callback);
    virtual ~SrtConnect();
    SrtConnect(const SrtConnect&) = delete;
    SrtConnect& operator=(const SrtConnect&) = delete;

    // Opens the socket with the given options and connects (caller, rendezvous) or starts
    // listening (listener) on host:port. False, with a warning naming the failed step, when
    // any step fails or stop() was called; everything taken is released by close() or the
    // destructor.
    virtual bool start(int flags, const QString& host, int port, int latencyMs,
                       const QString& streamId, const QString& passphrase, int keyLength,
                       const QString& packetFilter) = 0;
    // Sends one message of at most kPayloadSize bytes. `sourceTime` is 0 (libsrt stamps the
    // message) or a time on libsrt's clock (srt_time_now()). False when it was not sent whole.
    virtual bool send(const char* data, int size, long long sourceTime) = 0;
    virtual void close() = 0;
    // The sending side's link now: connected peers, round-trip time, retransmitted and dropped
    // packets. Call it on the thread that sends.
    virtual LinkStatistics linkStatistics() const = 0;
    // The latency the peer holds received messages for before it plays them (ms; 0 without
    // a peer).
    virtual int peerLatencyMs() const = 0;
    // Blocks until a peer is connected: at once for a connected caller; a listener waits for
    // its first client. False when stop() was called first.
    virtual bool waitForPeer() { return !isStopped(); }

    bool isStopped() const { return m_stopped.load(); }
    virtual void stop() { m_stopped.store(true); }

    // The local port a rendezvous binds to (default: the remote port).
    void setLocalPort(int port) { m_localPort = port; }

protected:
    // libsrt's last error in libavutil's terms: AVERROR(EAGAIN) for "would block", else the
    // negated system error, else AVERROR_UNKNOWN.
    static int lastError();
    static int setNonBlocking(SRTSOCKET socket, bool on);
    // One wait of at most kWaitSliceMs for the socket to become writable (or readable):
    // 0 ready, AVERROR(EIO) on a socket error, AVERROR(EAGAIN) on time-out.
    static int waitOnce(int epoll, SRTSOCKET socket, bool forWrite);
    // Waits until ready, an error, or stop(): AVERROR_EXIT then.
    int waitReady(int epoll, SRTSOCKET socket, bool forWrite) const;
    // srt_recvmsg2, refreshing m_statistics (on the one receiving thread) every 500 ms.
    int read(SRTSOCKET socket, char* buffer, int size, SRT_MSGCTRL* control);
    // The options shared by both transports; false with a warning on the first failure.
    static bool setOptions(SRTSOCKET socket, bool sender, int latencyMs, const QString& streamId,
                           const QString& passphrase, int keyLength, const QString& packetFilter);
    // Sends one message to `socket`; false (with a warning) unless all of it went.
    static bool sendTo(SRTSOCKET socket, const char* data, int size, long long sourceTime);
    static QByteArray errorText();
    // Adds one connected socket's counters to `link`; false when the socket is not connected.
    static bool addLink(SRTSOCKET socket, LinkStatistics& link);
    static int peerLatency(SRTSOCKET socket);

    ISrtCallback* m_callback; // not owned
    int m_flags = 0;
    int m_localPort = 0;
    SRTSOCKET m_socket = SRT_INVALID_SOCK; // the start() thread, then the transport's threads
    int m_epoll = -1;                      // same
    std::atomic<bool> m_stopped{false};
    // The receiving thread's own.
    QElapsedTimer m_statisticsClock;
    SRT_TRACEBSTATS m_statistics{};
};
