#pragma once

#include "muxer/live/ILiveTransport.h"

// Reads a connected TCP socket's send progress from the kernel: the bytes the peer has
// acknowledged (TCP_INFO) and the bytes sent or queued but not acknowledged yet (SIOCOUTQ).
// The kernel counts acknowledgements whatever the application does, so a peer that stopped
// reading shows as a count that no longer moves while bytes wait.
class TcpProgress
{
public:
    // {-1, -1} for -1 or a descriptor that is not a TCP socket.
    static SendProgress of(int fd);
};
