#pragma once

#include "common/AVHandles.h"
#include "common/CodecPreset.h"
#include "muxer/TlsRelay.h"

#include <QByteArray>
#include <QLoggingCategory>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// strevo.rtmp: librtmp's own warnings (as debug lines) and errors, with stream keys and
// passwords masked.
Q_DECLARE_LOGGING_CATEGORY(lcRtmp)

// Publishes an FLV byte stream to an RTMP or RTMPS server through librtmp.
//
// Lifecycle: a new object per connection attempt. initialize() probes the server, connects and
// sets up the publishing stream; write() sends the FLV bytes the muxer produces; the destructor
// closes the connection and frees the librtmp handle, also after a failed or aborted
// initialize(). initialize() runs on the muxer's connection thread, write() on the muxing
// thread, never both at once; abort() may come from any thread at any time.
class RtmpOutput
{
public:
    // Seconds a connect, handshake or write may block before it counts as a broken connection.
    static constexpr int kIoTimeoutSeconds = 10;
    // How long the reachability probe waits for the server to accept the TCP connection.
    static constexpr int kProbeTimeoutMs = 1000;
    // The chunk size this side announces: a frame goes out in few large writes rather than
    // librtmp's 128-byte pieces, which a small socket buffer would hold few of.
    static constexpr int kOutChunkSize = 4096;

    // What this side takes from the server. A server past any of these limits ends the attempt:
    // initialize() or write() fails with a warning that names the limit. A sane server sends a
    // publisher nothing but control messages of a few bytes and commands of a few hundred.
    // The longest message: librtmp allocates a message's declared length when its first chunk
    // arrives, and its AMF decoder recurses once per nesting level of a command (at this size
    // at most about 5,500 levels, under 1 MiB of stack).
    static constexpr int kMaxMessageBytes = 16 * 1024;
    // Messages begun and not yet complete, over all chunk streams together.
    static constexpr int kMaxIncompleteMessages = 8;
    // Chunk streams the server uses over the connection: librtmp keeps a header for each.
    static constexpr int kMaxChunkStreams = 64;
    // A chunk size the server sets must be in the protocol's range, 1 to 2^31 - 1; any size
    // above kMaxMessageBytes reads like that one, as no chunk is longer than its message.

    RtmpOutput();
    ~RtmpOutput();
    RtmpOutput(const RtmpOutput&) = delete;
    RtmpOutput& operator=(const RtmpOutput&) = delete;

    // Connects to streaming.url + "/" + streaming.streamKey (streaming.url alone without a
    // key; rtmp:// or rtmps://) and sets up publishing. The TCP connection must be accepted
    // within kProbeTimeoutMs (port 1935 when the URL names none); the RTMP handshake and set-up
    // then get kIoTimeoutSeconds. rtmps verifies the server's certificate as streaming.caFile
    // and streaming.verifyPeer say (see TlsRelay). False, with a warning naming the failed step,
    // the URL with its key masked and, for TLS, the reason, when any step fails or abort() was
    // called.
    bool initialize(const CodecPreset& preset);

    // Sends the next piece of the FLV byte stream (the FLV header first, then tags), then
    // answers the server messages that have arrived. False when the connection is gone or
    // abort() was called.
    bool write(const unsigned char* data, unsigned int size);

    // Makes a blocking initialize() or write() on another thread give up at once, and every
    // later call fail. Thread-safe; never touches the librtmp handle.
    void abort();

    // Why the last initialize() or write() failed: the step, and what librtmp or the server
    // said about it. Secrets masked. Read on the thread that made the call.
    const QString& errorText() const { return m_error; }
    // The socket that carries the stream to the server (the TLS connection for rtmps), for
    // reading its send progress; -1 when there is none. The descriptor stays valid while this
    // object lives. Thread-safe.
    int serverSocket();

private:
    // `sendBuffer`: the socket's send buffer in bytes (LiveUrl::sendBufferBytes).
    int connectTcp(const QByteArray& host, int port, int sendBuffer);
    void watchSocket(int fd);
    // Reads and answers the server's messages until it takes the stream (librtmp's
    // RTMP_ConnectStream under the limits above, within kIoTimeoutSeconds in all).
    bool awaitPublish();
    // False when reading failed or the server broke a limit (m_refusal then says which).
    bool answerServer();
    // Reads one chunk of a server message into `packet` (empty; left empty), checking its
    // header against the limits before librtmp takes it; a message it completes is answered
    // or dropped. False as answerServer().
    bool receiveChunk(RTMPPacket* packet);
    // Records what the server did wrong in m_refusal. Returns false.
    bool refuse(const QString& what);
    // Whether the message on `chunkStream` has begun and is not complete.
    bool incomplete(int chunkStream) const;
    // Records why the call fails (the step, and the detail when there is one: librtmp's last
    // complaint otherwise), and warns with it unless abort() was called. Returns false.
    bool fail(const QString& step, QString detail = QString());

    class SecretScope;

    CodecPreset m_preset;
    QByteArray m_url;    // RTMP_SetupURL keeps pointers into this text: it lives as long as m_rtmp
    QString m_loggedUrl; // m_url with the stream key and password masked
    QString m_error;     // see errorText()
    // librtmp's last warning or error during the current call, masked.
    QByteArray m_librtmpSaid;

    RtmpPtr m_rtmp;         // owned by the thread inside initialize() or write()
    RtmpPacketPtr m_packet; // a server message being received; may span several write() calls
    std::vector<int> m_chunkStreams; // the ids of the chunk streams the server has used
    QString m_refusal;               // the limit the server broke, for the warning
    bool m_hungUp = false;           // the server closed the connection
    // An error status the server answered with ("NetStream.Publish.BadName: ..."), secrets
    // masked; empty while it gave none.
    QString m_serverStatus;
    // Masks this connection's stream key and password in librtmp's log lines while it lives.
    std::unique_ptr<SecretScope> m_secretScope;

    std::atomic<bool> m_aborted{false};
    // Wakes initialize()'s wait for the TCP connection when abort() is called.
    UniqueFd m_wake;
    // A duplicate of the connected socket, so that abort() can shut the connection down while
    // librtmp blocks on it. A duplicate, because librtmp may close its own descriptor on any
    // error, after which its number can be reused by an unrelated file.
    UniqueFd m_watched; // guarded by m_watchMutex
    // rtmps: TLS is done here, not by librtmp, which gets a plain connection to this relay.
    // Set by initialize() and cleared by the destructor under m_watchMutex, which abort() holds
    // to stop it.
    std::unique_ptr<TlsRelay> m_tls;
    std::mutex m_watchMutex; // guards m_watched and m_tls
};
