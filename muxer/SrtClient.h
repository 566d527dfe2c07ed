#pragma once

#include "muxer/SrtConnect.h"

#include <memory>

class SrtThread;

// The caller and rendezvous transport: connects to host:port (a rendezvous binds the local
// port first), then a receive thread reads whatever the peer sends until the connection
// breaks (reported through onDisconnect) or the transport stops.
class SrtClient : public SrtConnect
{
public:
    explicit SrtClient(ISrtCallback* callback);
    ~SrtClient() override;

    bool start(int flags, const QString& host, int port, int latencyMs, const QString& streamId,
               const QString& passphrase, int keyLength, const QString& packetFilter) override;
    bool send(const char* data, int size, long long sourceTime) override;
    void close() override;
    LinkStatistics linkStatistics() const override;
    int peerLatencyMs() const override;

private:
    void receiveLoop(SrtThread& thread);

    std::unique_ptr<SrtThread> m_receiveThread;
};
