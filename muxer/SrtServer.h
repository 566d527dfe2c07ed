#pragma once

#include "muxer/SrtConnect.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class SrtThread;

// The listener transport: listens on a literal IPv4 or IPv6 address, accepts one client on
// its accept thread and then watches it on its event thread (received data, disconnection).
// One transport serves one client: after the client has gone, send() fails and the owner
// starts a new transport to listen again.
class SrtServer : public SrtConnect
{
public:
    explicit SrtServer(ISrtCallback* callback);
    ~SrtServer() override;

    bool start(int flags, const QString& host, int port, int latencyMs, const QString& streamId,
               const QString& passphrase, int keyLength, const QString& packetFilter) override;
    // Sends to every client; false when there is none.
    bool send(const char* data, int size, long long sourceTime) override;
    void close() override;
    LinkStatistics linkStatistics() const override;
    int peerLatencyMs() const override;
    // Waits until a client has been accepted, or stop().
    bool waitForPeer() override;
    void stop() override;

private:
    void acceptLoop(SrtThread& thread);
    void eventLoop(SrtThread& thread);
    void closeClients();

    std::unique_ptr<SrtThread> m_acceptThread;
    std::unique_ptr<SrtThread> m_eventThread; // created by the accept thread, before it ends
    std::vector<SRTSOCKET> m_clients;         // guarded by m_clientMutex
    mutable std::mutex m_clientMutex;
    std::condition_variable m_clientAdded; // a client arrived or stop(), under m_clientMutex
    int m_eventEpoll = -1;                 // set by start(), then the event thread's
};
