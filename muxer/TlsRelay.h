#pragma once

#include "common/AVHandles.h"

#include <QByteArray>

#include <thread>

// Carries a plain byte stream over TLS for a client library whose own TLS layer cannot be
// used: librtmp's GnuTLS reader mistakes the session tickets a TLS 1.3 server sends after the
// handshake for stream data and fails. The client talks to the plain end of a socket pair; a
// thread moves the bytes between the other end and a TLS session on the server connection.
//
// Lifecycle: start() runs the handshake on the calling thread, then starts the relay thread.
// When the client closes its end, the relay sends what is left to the server and ends; the
// destructor waits for that (a server that takes no data ends it after the I/O time-out),
// and stop() ends it at once. The server's certificate is not verified (the same as
// librtmp's own TLS).
class TlsRelay
{
public:
    // Takes over `server`, a connected, blocking TCP socket whose receive and send time-outs
    // are set.
    explicit TlsRelay(int server);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    // Runs the TLS handshake with `serverName` as the name the server is asked for (ignored
    // when it is an IP address). False when the handshake fails, times out or stop() was
    // called. Afterwards a server that accepts no data for `ioTimeoutSeconds` ends the relay.
    bool start(const QByteArray& serverName, int ioTimeoutSeconds);

    // Any thread, any time while the object lives: ends a pending handshake and the relay at
    // once; what was not sent yet is dropped.
    void stop();

    // The plain end for the client, once start() succeeded; the caller owns it (closes it).
    // -1 before and after.
    int takeClientSocket();

private:
    void relay();
    bool sendToServer(const char* data, ssize_t size);

    UniqueFd m_server;    // the TLS connection; closed after the thread was joined
    UniqueFd m_relayEnd;  // the relay's end of the pair; used by the relay thread only
    UniqueFd m_clientEnd; // the client's end until taken
    UniqueFd m_wake;      // eventfd: tells the relay thread to stop
    GnutlsCredentialsPtr m_credentials;
    GnutlsSessionPtr m_session; // the handshake thread, then only the relay thread
    int m_timeoutMs = 0;
    std::thread m_thread;
};
