#include "muxer/SrtClient.h"

#include "muxer/ISrtCallback.h"
#include "muxer/SrtThread.h"

#include <netdb.h>
#include <netinet/in.h>

#include <memory>

SrtClient::SrtClient(ISrtCallback* callback) : SrtConnect(callback)
{
    qCDebug(lcSrt, "SrtClient constructed");
}

SrtClient::~SrtClient()
{
    stop();
    m_receiveThread.reset(); // its waits end within one slice
    close();
    qCDebug(lcSrt, "SrtClient destruct");
}

bool SrtClient::start(int flags, const QString& host, int port, int latencyMs,
                      const QString& streamId, const QString& passphrase, int keyLength,
                      const QString& packetFilter)
{
    qCInfo(lcSrt, "SRT client startup");
    m_flags = flags;
    m_socket = srt_create_socket();
    if (m_socket == SRT_INVALID_SOCK) {
        qCWarning(lcSrt, "srt_socket: %s", srt_getlasterror_str());
        return false;
    }
    m_epoll = srt_epoll_create();
    if (m_epoll < 0)
        return false;
    if (setNonBlocking(m_socket, true) < 0)
        qCWarning(lcSrt, "libsrt_socket_nonblock failed");
    if (!setOptions(m_socket, flags & Sender, latencyMs, streamId, passphrase, keyLength,
                    packetFilter))
        return false;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.toLocal8Bit().constData(),
                                     QByteArray::number(port).constData(), &hints, &found);
    if (resolved != 0) {
        qCWarning(lcSrt, "Failed getting the IP target for > %s:%d Errno: %d (%s)",
                  qPrintable(host), port, resolved, gai_strerror(resolved));
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
    const addrinfo* target = addresses.get(); // only the first address is tried

    qCInfo(lcSrt, "SRT connect to %s:%d", qPrintable(host), port);
    if (flags & Rendezvous) {
        const int rendezvous = 1;
        if (srt_setsockflag(m_socket, SRTO_RENDEZVOUS, &rendezvous, sizeof(rendezvous)) < 0) {
            qCWarning(lcSrt, "srt_setsockflag SRTO_RENDEZVOUS: %s", srt_getlasterror_str());
            return false;
        }
        // Both ends of a rendezvous bind their local port, by default the remote one.
        sockaddr_storage local{};
        const auto localPort = htons(static_cast<uint16_t>(m_localPort > 0 ? m_localPort : port));
        if (target->ai_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&local);
            a->sin6_family = AF_INET6;
            a->sin6_port = localPort;
            a->sin6_addr = in6addr_any;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&local);
            a->sin_family = AF_INET;
            a->sin_port = localPort;
            a->sin_addr.s_addr = htonl(INADDR_ANY);
        }
        if (srt_bind(m_socket, reinterpret_cast<sockaddr*>(&local),
                     static_cast<int>(target->ai_addrlen)) < 0)
            qCWarning(lcSrt, "srt_bind failed: %s", srt_getlasterror_str());
    }
    if (srt_connect(m_socket, target->ai_addr, static_cast<int>(target->ai_addrlen)) < 0) {
        qCWarning(lcSrt, "srt_connect: %s", srt_getlasterror_str());
        return false;
    }
    const int connected = waitReady(m_epoll, m_socket, true);
    if (connected < 0) {
        if (connected != AVERROR_EXIT)
            qCWarning(lcSrt, "SRT connection to %s:%d failed: %s", qPrintable(host), port,
                      srt_rejectreason_str(srt_getrejectreason(m_socket)));
        return false;
    }
    qCInfo(lcSrt, "Connected to SRT Server");
    m_receiveThread = std::make_unique<SrtThread>([this](SrtThread& t) { receiveLoop(t); });
    m_receiveThread->start(QThread::InheritPriority);
    return true;
}

void SrtClient::receiveLoop(SrtThread& thread)
{
    char buffer[2048];
    while (!thread.isStopped() && waitReady(m_epoll, m_socket, false) == 0) {
        SRT_MSGCTRL control = srt_msgctrl_default;
        const int n = read(m_socket, buffer, sizeof(buffer), &control);
        if (n == SRT_ERROR) {
            if (lastError() == AVERROR(EAGAIN))
                continue;
            qCInfo(lcSrt, "SRT connection closed: %s", srt_getlasterror_str());
            break;
        }
        if (n > 0 && m_callback)
            m_callback->onData(buffer, n, &control, m_socket, &m_statistics);
    }
    if (!thread.isStopped() && !isStopped() && m_callback)
        m_callback->onDisconnect(m_socket); // the peer went away
}

bool SrtClient::send(const char* data, int size, long long sourceTime)
{
    if (m_socket == SRT_INVALID_SOCK)
        return false;
    return sendTo(m_socket, data, size, sourceTime);
}

LinkStatistics SrtClient::linkStatistics() const
{
    LinkStatistics link;
    addLink(m_socket, link);
    return link;
}

int SrtClient::peerLatencyMs() const
{
    return peerLatency(m_socket);
}

void SrtClient::close()
{
    if (m_socket != SRT_INVALID_SOCK)
        srt_close(m_socket);
    m_socket = SRT_INVALID_SOCK;
    if (m_epoll >= 0)
        srt_epoll_release(m_epoll);
    m_epoll = -1;
}
