#include "muxer/TlsRelay.h"

#include <QFile>

#include <gnutls/gnutls.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Writes all of `data` to a blocking socket; false when the peer is gone.
bool sendAll(int fd, const char* data, ssize_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool isIpAddress(const QByteArray& host)
{
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.constData(), address) == 1 ||
           ::inet_pton(AF_INET6, host.constData(), address) == 1;
}

} // namespace

TlsRelay::TlsRelay(int server) : m_server(server), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

TlsRelay::~TlsRelay()
{
    // Without a client end the relay sees the end of the stream, sends the rest and ends.
    m_clientEnd.reset();
    if (m_thread.joinable())
        m_thread.join();
}

void TlsRelay::stop()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake.get(), &one, sizeof(one));
    // Ends a handshake, send or receive that is blocked on the connection.
    ::shutdown(m_server.get(), SHUT_RDWR);
}

int TlsRelay::takeClientSocket()
{
    return m_clientEnd.release();
}

bool TlsRelay::fail(const QString& why)
{
    m_error = why;
    return false;
}

// Loads the authorities the server's chain must lead to and has the handshake check the chain
// and the host name.
bool TlsRelay::setUpTrust(const QByteArray& serverName, const Trust& trust)
{
    if (!trust.verifyPeer)
        return true;
    gnutls_certificate_credentials_t credentials = m_credentials.get();
    if (trust.caFile.isEmpty()) {
        const int loaded = gnutls_certificate_set_x509_system_trust(credentials);
        if (loaded < 0)
            return fail(QStringLiteral("the system's trusted certificates cannot be loaded: %1")
                            .arg(QString::fromUtf8(gnutls_strerror(loaded))));
    } else {
        QFile file(trust.caFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("CA file '%1' cannot be read: %2")
                            .arg(trust.caFile, file.errorString()));
        QByteArray pem = file.readAll();
        const gnutls_datum_t data{reinterpret_cast<unsigned char*>(pem.data()),
                                  unsigned(pem.size())};
        // The number of certificates taken, or an error.
        const int loaded =
            gnutls_certificate_set_x509_trust_mem(credentials, &data, GNUTLS_X509_FMT_PEM);
        if (loaded <= 0)
            return fail(QStringLiteral("CA file '%1' holds no PEM certificate%2")
                            .arg(trust.caFile, loaded < 0
                                                   ? QStringLiteral(": ") +
                                                         QString::fromUtf8(gnutls_strerror(loaded))
                                                   : QString()));
    }
    // A DNS name is matched against the certificate's DNS names (its common name only when it
    // has none). An IP address in text form is matched against the IP addresses of its
    // subjectAltName, never its common name; a server known by address needs a certificate
    // with "IP:<address>" there. GnuTLS keeps the pointer: m_serverName outlives the session.
    m_serverName = serverName;
    gnutls_session_set_verify_cert(m_session.get(),
                                   m_serverName.isEmpty() ? nullptr : m_serverName.constData(), 0);
    return true;
}

bool TlsRelay::start(const QByteArray& serverName, int ioTimeoutSeconds, const Trust& trust)
{
    m_error.clear();
    m_timeoutMs = ioTimeoutSeconds * 1000;
    const QString host = QString::fromLocal8Bit(serverName);
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;
    if (!m_server || !m_wake ||
        gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS)
        return fail(QStringLiteral("TLS cannot be set up"));
    m_credentials.reset(credentials);
    if (gnutls_init(&session, GNUTLS_CLIENT) != GNUTLS_E_SUCCESS)
        return fail(QStringLiteral("TLS cannot be set up"));
    m_session.reset(session);
    if (gnutls_set_default_priority(session) != GNUTLS_E_SUCCESS ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) != GNUTLS_E_SUCCESS)
        return fail(QStringLiteral("TLS cannot be set up"));
    if (!setUpTrust(serverName, trust))
        return false;
    if (!serverName.isEmpty() && !isIpAddress(serverName))
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, serverName.constData(),
                               size_t(serverName.size()));
    gnutls_transport_set_int(session, m_server.get());
    int result;
    do {
        result = gnutls_handshake(session);
    } while (result < 0 && !gnutls_error_is_fatal(result) && result != GNUTLS_E_AGAIN);
    if (result == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        // The status in words: "The certificate is NOT trusted. The certificate issuer is
        // unknown. " and the like; the first sentence says nothing the message does not.
        gnutls_datum_t text{};
        QString why;
        if (gnutls_certificate_verification_status_print(
                gnutls_session_get_verify_cert_status(session),
                gnutls_certificate_type_get(session), &text, 0) == GNUTLS_E_SUCCESS) {
            why = QString::fromUtf8(reinterpret_cast<const char*>(text.data), int(text.size));
            gnutls_free(text.data);
        }
        why = why.remove(QStringLiteral("The certificate is NOT trusted.")).trimmed();
        return fail(QStringLiteral("certificate of %1 not trusted: %2")
                        .arg(host, why.isEmpty() ? QStringLiteral("verification failed") : why));
    }
    if (result == GNUTLS_E_AGAIN) // the socket's receive time-out passed
        return fail(
            QStringLiteral("no TLS handshake from %1 within %2 s").arg(host).arg(ioTimeoutSeconds));
    if (result < 0)
        return fail(QStringLiteral("TLS handshake with %1 failed: %2")
                        .arg(host, QString::fromUtf8(gnutls_strerror(result))));

    // From here on the relay thread waits in poll(), where it can also be stopped.
    ::fcntl(m_server.get(), F_SETFL, ::fcntl(m_server.get(), F_GETFL) | O_NONBLOCK);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(QStringLiteral("no socket pair for the TLS relay: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
    m_relayEnd.reset(pair[0]);
    m_clientEnd.reset(pair[1]);
    // A client that stops reading what the server sends ends the relay instead of stalling
    // it (it could not forward the client's own data meanwhile).
    const timeval timeout{ioTimeoutSeconds, 0};
    ::setsockopt(m_relayEnd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    m_thread = std::thread(&TlsRelay::relay, this);
    return true;
}

// Relay thread only. Waits (up to the I/O time-out, or until stopped) while the server's
// receive window is full.
bool TlsRelay::sendToServer(const char* data, ssize_t size)
{
    while (size > 0) {
        const ssize_t n = gnutls_record_send(m_session.get(), data, size_t(size));
        if (n > 0) {
            data += n;
            size -= n;
            continue;
        }
        if (n != GNUTLS_E_AGAIN && n != GNUTLS_E_INTERRUPTED)
            return false;
        pollfd waits[2] = {{m_server.get(), POLLOUT, 0}, {m_wake.get(), POLLIN, 0}};
        const int ready = ::poll(waits, 2, m_timeoutMs);
        if ((ready < 0 && errno != EINTR) || ready == 0 || waits[1].revents)
            return false;
    }
    return true;
}

void TlsRelay::relay()
{
    // GnuTLS may send on a connection the server has closed; SIGPIPE would end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    gnutls_session_t session = m_session.get();
    char buffer[16384];
    for (;;) {
        // Records GnuTLS has already decrypted are not visible to poll().
        const bool pending = gnutls_record_check_pending(session) > 0;
        pollfd waits[3] = {
            {m_server.get(), POLLIN, 0}, {m_relayEnd.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        if (::poll(waits, 3, pending ? 0 : -1) < 0 && errno != EINTR)
            break;
        if (waits[2].revents)
            break;
        if (pending || waits[0].revents) {
            const ssize_t n = gnutls_record_recv(session, buffer, sizeof(buffer));
            // AGAIN: nothing more to read now, or a record without stream data (such as a
            // session ticket).
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
                continue;
            if (n <= 0 || !sendAll(m_relayEnd.get(), buffer, n))
                break;
        }
        if (waits[1].revents) {
            const ssize_t n = ::recv(m_relayEnd.get(), buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                gnutls_bye(session, GNUTLS_SHUT_WR);
                break;
            }
            if (!sendToServer(buffer, n))
                break;
        }
    }
    // The client sees the end of the stream.
    ::shutdown(m_relayEnd.get(), SHUT_RDWR);
}
