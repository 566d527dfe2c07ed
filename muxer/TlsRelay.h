#pragma once

#include "common/AVHandles.h"

#include <QByteArray>
#include <QString>

#include <thread>

// Carries a plain byte stream over TLS for a client library whose own TLS layer cannot be
// used: librtmp's GnuTLS reader mistakes the session tickets a TLS 1.3 server sends after the
// handshake for stream data and fails. The client talks to the plain end of a socket pair; a
// thread moves the bytes between the other end and a TLS session on the server connection.
//
// Lifecycle: start() runs the handshake on the calling thread, then starts the relay thread.
// When the client closes its end, the relay sends what is left to the server and ends; the
// destructor waits for that (a server that takes no data ends it after the I/O time-out),
// and stop() ends it at once.
//
// The handshake verifies the server: its certificate chain must lead to a trusted authority
// (the system's trust store, or the certificates of a PEM bundle given instead) and the
// certificate must name the host that was asked for (a DNS name, or an IP address in its
// subjectAltName). A server that fails this fails start(), before any of the client's data can
// reach it; errorText() tells why. Verification can be turned off (Trust::verifyPeer).
class TlsRelay
{
public:
    // Whom the handshake trusts.
    struct Trust
    {
        bool verifyPeer = true; // false: any certificate is accepted
        QString caFile;         // PEM bundle trusted instead of the system's store; empty: system
    };

    // Takes over `server`, a connected, blocking TCP socket whose receive and send time-outs
    // are set.
    explicit TlsRelay(int server);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    // Runs the TLS handshake with `serverName` as the name the server is asked for (sent only
    // when it is a DNS name) and the name its certificate must show. False when the trust
    // cannot be set up (an unreadable caFile), the certificate fails verification, or the
    // handshake fails, times out or stop() was called; errorText() then says why. Afterwards a
    // server that accepts no data for `ioTimeoutSeconds` ends the relay.
    bool start(const QByteArray& serverName, int ioTimeoutSeconds, const Trust& trust);

    // Why the last start() failed, in words, naming the server ("certificate of example.org
    // not trusted: ..."); empty after a successful one. Holds no secret: only the host name
    // and the certificate's status.
    QString errorText() const { return m_error; }

    // Any thread, any time while the object lives: ends a pending handshake and the relay at
    // once; what was not sent yet is dropped.
    void stop();

    // The plain end for the client, once start() succeeded; the caller owns it (closes it).
    // -1 before and after.
    int takeClientSocket();
    // The TLS connection's socket (-1 before start()), for reading its send progress; valid
    // while the relay lives.
    int serverSocket() const { return m_server ? m_server.get() : -1; }

private:
    void relay();
    bool sendToServer(const char* data, ssize_t size);
    bool setUpTrust(const QByteArray& serverName, const Trust& trust);
    bool fail(const QString& why);

    UniqueFd m_server;       // the TLS connection; closed after the thread was joined
    UniqueFd m_relayEnd;     // the relay's end of the pair; used by the relay thread only
    UniqueFd m_clientEnd;    // the client's end until taken
    UniqueFd m_wake;         // eventfd: tells the relay thread to stop
    QByteArray m_serverName; // the name the certificate must show; outlives the session
    GnutlsCredentialsPtr m_credentials;
    GnutlsSessionPtr m_session; // the handshake thread, then only the relay thread
    int m_timeoutMs = 0;
    QString m_error; // set by start() only
    std::thread m_thread;
};
