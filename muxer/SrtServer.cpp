#include "muxer/SrtServer.h"

#include "muxer/ISrtCallback.h"
#include "muxer/SrtThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

SrtServer::SrtServer(ISrtCallback* callback) : SrtConnect(callback)
{
    qCDebug(lcSrt, "SrtServer constructed");
}

SrtServer::~SrtServer()
{
    stop();
    // The accept thread waits in 100 ms slices and sees the flag; joining it first means the
    // event thread is no longer being created.
    m_acceptThread.reset();
    m_eventThread.reset();
    close();
    if (m_epoll >= 0)
        srt_epoll_release(m_epoll);
    if (m_eventEpoll >= 0)
        srt_epoll_release(m_eventEpoll);
    qCDebug(lcSrt, "SrtServer destruct");
}

bool SrtServer::start(int flags, const QString& host, int port, int latencyMs,
                      const QString& streamId, const QString& passphrase, int keyLength,
                      const QString& packetFilter)
{
    qCInfo(lcSrt, "SRT server startup");
    m_flags = flags;
    // The listener binds to a literal address: a host name is not resolved.
    sockaddr_storage address{};
    int addressSize = 0;
    const QByteArray text = host.toLocal8Bit();
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        addressSize = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        addressSize = sizeof(sockaddr_in6);
    } else {
        // A listener binds to a literal IPv4 or IPv6 address; names are not looked up.
        qCWarning(lcSrt, "Provided IP-Address not valid.");
        qCWarning(lcSrt, "inet_pton failed");
        return false;
    }

    m_socket = srt_create_socket();
    if (m_socket == SRT_INVALID_SOCK) {
        qCWarning(lcSrt, "srt_socket: %s", srt_getlasterror_str());
        return false;
    }
    m_epoll = srt_epoll_create();
    m_eventEpoll = srt_epoll_create();
    if (m_epoll < 0 || m_eventEpoll < 0)
        return false;
    // The event epoll may be empty again once its client has gone.
    srt_epoll_set(m_eventEpoll, SRT_EPOLL_ENABLE_EMPTY);
    // Non-blocking, accept included: the accept thread waits in slices it can leave on stop().
    if (setNonBlocking(m_socket, true) < 0)
        qCWarning(lcSrt, "libsrt_socket_nonblock failed");
    if (!setOptions(m_socket, false, latencyMs, streamId, passphrase, keyLength, packetFilter))
        return false;
    if (srt_bind(m_socket, reinterpret_cast<sockaddr*>(&address), addressSize) < 0) {
        qCWarning(lcSrt, "srt_bind %s:%d: %s", text.constData(), port, srt_getlasterror_str());
        return false;
    }
    if (srt_listen(m_socket, 2) < 0) {
        qCWarning(lcSrt, "srt_listen: %s", srt_getlasterror_str());
        return false;
    }
    qCInfo(lcSrt, "SRT listening on %s:%d", text.constData(), port);
    m_acceptThread = std::make_unique<SrtThread>([this](SrtThread& t) { acceptLoop(t); });
    m_acceptThread->start(QThread::InheritPriority);
    return true;
}

void SrtServer::acceptLoop(SrtThread& thread)
{
    qCDebug(lcSrt, "SRT Server wait for client");
    SRTSOCKET client = SRT_INVALID_SOCK;
    while (client == SRT_INVALID_SOCK) {
        if (thread.isStopped() || isStopped())
            return;
        // Accept first and wait after: the listening socket's readiness is reported once, and a
        // caller that arrives while no wait is registered would otherwise not be seen.
        sockaddr_storage address{};
        int addressSize = sizeof(address);
        client = srt_accept(m_socket, reinterpret_cast<sockaddr*>(&address), &addressSize);
        if (client == SRT_INVALID_SOCK) {
            // Nobody yet, or a pending caller that went away again.
            const int ready = waitOnce(m_epoll, m_socket, false);
            if (ready < 0 && ready != AVERROR(EAGAIN)) {
                if (!isStopped())
                    qCWarning(lcSrt, "SRT listening socket failed: %s", srt_getlasterror_str());
                return;
            }
            continue;
        }
        if (setNonBlocking(client, true) < 0)
            qCWarning(lcSrt, "libsrt_socket_nonblock failed");
        qCDebug(lcSrt, "Client connected: %d", client);
        if (m_callback && !m_callback->onConnect(reinterpret_cast<sockaddr*>(&address), client)) {
            srt_close(client);
            client = SRT_INVALID_SOCK;
        }
    }
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (srt_epoll_add_usock(m_eventEpoll, client, &events) < 0)
        qCWarning(lcSrt, "srt_epoll_add_usock error: %s", srt_getlasterror_str());
    m_eventThread = std::make_unique<SrtThread>([this](SrtThread& t) { eventLoop(t); });
    m_eventThread->start(QThread::InheritPriority);
    {
        // Notified under the lock: the destructor's closeClients() takes it after joining this
        // thread, so the condition is not destroyed under a notify that is still running.
        std::lock_guard<std::mutex> lock(m_clientMutex);
        if (std::find(m_clients.begin(), m_clients.end(), client) == m_clients.end())
            m_clients.push_back(client);
        m_clientAdded.notify_all();
    }
    qCDebug(lcSrt, "serverThread exit");
}

void SrtServer::eventLoop(SrtThread& thread)
{
    char buffer[2048];
    while (!thread.isStopped() && !isStopped()) {
        SRT_EPOLL_EVENT events[5];
        const int n = srt_epoll_uwait(m_eventEpoll, events, 5, kWaitSliceMs);
        if (n < 0) {
            qCWarning(lcSrt, "epoll error: %s", srt_getlasterror_str());
            continue;
        }
        for (int i = 0; i < n; ++i) {
            const SRTSOCKET socket = events[i].fd;
            SRT_MSGCTRL control = srt_msgctrl_default;
            const int r = read(socket, buffer, sizeof(buffer), &control);
            if (r > 0 && m_callback)
                m_callback->onData(buffer, r, &control, socket, &m_statistics);
            if (r != SRT_ERROR || lastError() == AVERROR(EAGAIN))
                continue;
            qCInfo(lcSrt, "SRT client %d gone: %s", socket, srt_getlasterror_str());
            {
                std::lock_guard<std::mutex> lock(m_clientMutex);
                m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), socket),
                                m_clients.end());
                srt_epoll_remove_usock(m_eventEpoll, socket);
                srt_close(socket);
            }
            if (m_callback)
                m_callback->onDisconnect(socket);
        }
    }
    qCDebug(lcSrt, "serverEventThread exit");
}

bool SrtServer::waitForPeer()
{
    std::unique_lock<std::mutex> lock(m_clientMutex);
    m_clientAdded.wait(lock, [this] { return isStopped() || !m_clients.empty(); });
    return !isStopped();
}

void SrtServer::stop()
{
    std::lock_guard<std::mutex> lock(m_clientMutex);
    SrtConnect::stop();
    m_clientAdded.notify_all();
}

bool SrtServer::send(const char* data, int size, long long sourceTime)
{
    std::vector<SRTSOCKET> clients;
    {
        std::lock_guard<std::mutex> lock(m_clientMutex);
        clients = m_clients;
    }
    if (clients.empty() || m_socket == SRT_INVALID_SOCK)
        return false;
    bool sent = false;
    for (const SRTSOCKET client : clients)
        sent = sendTo(client, data, size, sourceTime);
    return sent;
}

LinkStatistics SrtServer::linkStatistics() const
{
    std::vector<SRTSOCKET> clients;
    {
        std::lock_guard<std::mutex> lock(m_clientMutex);
        clients = m_clients;
    }
    LinkStatistics link;
    for (const SRTSOCKET client : clients)
        addLink(client, link);
    return link;
}

int SrtServer::peerLatencyMs() const
{
    std::lock_guard<std::mutex> lock(m_clientMutex);
    int latency = 0;
    for (const SRTSOCKET client : m_clients)
        latency = std::max(latency, peerLatency(client));
    return latency;
}

void SrtServer::closeClients()
{
    std::vector<SRTSOCKET> clients;
    {
        std::lock_guard<std::mutex> lock(m_clientMutex);
        clients.swap(m_clients);
    }
    // Reported outside the lock: the callback may take locks of its own.
    for (const SRTSOCKET client : clients) {
        if (srt_close(client) < 0)
            qCWarning(lcSrt, "srt_close failed: %s", srt_getlasterror_str());
        if (m_callback)
            m_callback->onDisconnect(client);
    }
}

void SrtServer::close()
{
    if (m_socket != SRT_INVALID_SOCK)
        srt_close(m_socket);
    m_socket = SRT_INVALID_SOCK;
    closeClients();
}
