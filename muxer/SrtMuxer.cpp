#include "muxer/SrtMuxer.h"

#include "muxer/SrtConnect.h"

#include <QUrl>

#include <algorithm>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>

SrtMuxer::SrtMuxer() = default;

SrtMuxer::~SrtMuxer()
{
    abort();
    m_transport.reset(); // closes the sockets and joins the transport's threads
}

bool SrtMuxer::initialize(const CodecPreset& preset)
{
    m_preset = preset;
    const auto& s = m_preset.streaming();
    int mode = SrtConnect::Caller;
    if (s.srtMode == QLatin1String("listener"))
        mode = SrtConnect::Listener;
    else if (s.srtMode == QLatin1String("rendezvous"))
        mode = SrtConnect::Rendezvous;
    const int flags = mode | SrtConnect::Sender;
    const QUrl url(s.url);
    auto transport = SrtConnect::create(flags, this);
    SrtConnect* raw = transport.get();
    if (mode == SrtConnect::Rendezvous)
        raw->setLocalPort(url.port(s.srtPort));
    {
        std::lock_guard<std::mutex> lock(m_abortMutex);
        if (m_aborted)
            return false;
        m_transport = std::move(transport);
    }
    // The passphrase is never logged: the transport only names the option it failed to set.
    if (!raw->start(flags, url.host(QUrl::FullyDecoded), s.srtPort, s.srtLatency, s.srtStreamId,
                    s.srtPassphrase, s.srtKeyLength, s.srtFilter) ||
        !raw->waitForPeer()) {
        if (!raw->isStopped())
            qCWarning(lcSrt, "SRT Sender failed to start.");
        return false;
    }
    return true;
}

bool SrtMuxer::write(const char* data, int size, long long sourceTime)
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    return m_transport && m_transport->send(data, size, sourceTime);
}

LinkStatistics SrtMuxer::linkStatistics()
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    return m_transport ? m_transport->linkStatistics() : LinkStatistics{};
}

void SrtMuxer::abort()
{
    std::lock_guard<std::mutex> lock(m_abortMutex);
    m_aborted = true;
    if (m_transport)
        m_transport->stop();
    m_abortCond.notify_all();
}

void SrtMuxer::finish()
{
    int holdMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        if (!m_transport)
            return;
        const LinkStatistics link = m_transport->linkStatistics();
        if (link.peers == 0)
            return;
        // The last message reaches the peer half a round trip after it was sent, and may need
        // a resend first.
        holdMs = m_transport->peerLatencyMs() + static_cast<int>(2 * link.rttMs) + 20;
    }
    std::unique_lock<std::mutex> lock(m_abortMutex);
    m_abortCond.wait_for(lock, std::chrono::milliseconds(std::min(holdMs, 1000)),
                         [this] { return m_aborted; });
}

bool SrtMuxer::onConnect(const sockaddr* address, int socket)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof(text));
        qCInfo(lcSrt, "Connecting IPv4: %s (socket %d)", text, socket);
        return true;
    }
    if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof(text));
        qCInfo(lcSrt, "Connecting IPv6: %s (socket %d)", text, socket);
        return true;
    }
    return false;
}

void SrtMuxer::onDisconnect(int socket)
{
    qCInfo(lcSrt, "Client -> %d disconnected.", socket);
}

void SrtMuxer::onData(const char*, int, SRT_MSGCTRL*, int, SRT_TRACEBSTATS*)
{
    // The output only sends.
}
