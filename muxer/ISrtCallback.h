#pragma once

#include <srt/srt.h>

struct sockaddr;

// What an SRT transport reports to its owner. Called on the transport's own threads (the
// listener's accept and event threads, the caller's receive thread), never under a lock the
// transport holds.
class ISrtCallback
{
public:
    virtual ~ISrtCallback() = default;

    // A listener accepted a peer: true keeps it, false closes it and waits for another.
    virtual bool onConnect(const sockaddr* address, int socket) = 0;
    // A listener closed a peer's socket (the peer went away or the transport is closing).
    virtual void onDisconnect(int socket) = 0;
    // One received message. `statistics` are the receiving socket's, refreshed at most every
    // 500 ms.
    virtual void onData(const char* data, int size, SRT_MSGCTRL* control, int socket,
                        SRT_TRACEBSTATS* statistics) = 0;
};
