#pragma once

#include "muxer/IMuxerCallback.h"

#include <QString>
#include <cstdint>

// How far a transport's peer has taken what was sent since the connection opened: the bytes it
// acknowledged, and the bytes sent or waiting to be sent that it has not acknowledged yet.
// -1 where the transport cannot tell.
struct SendProgress
{
    long long acknowledged = -1;
    long long waiting = -1;
};

// One connection of a live output to its server: the byte pipe that LiveLink opens, watches
// and replaces. A new object per attempt.
//
// Threads: open() runs on the link's connection thread; write() and finish() run where the
// container is written (the muxing thread, or the connection thread while it writes the
// header), never at the same time as open() or each other. abort() and progress() may come from
// any thread at any time.
class ILiveTransport
{
public:
    virtual ~ILiveTransport() = default;

    // Connects and sets the stream up; true once the server took it (an RTMP publish accepted,
    // an SRT connection made, a TCP connection accepted). False when it failed or abort() was
    // called; errorText() then says why.
    virtual bool open() = 0;
    // Sends the next bytes of the container stream, whole. False when the link broke.
    virtual bool write(const uint8_t* data, int size) = 0;
    // After the last write of a stream that ends cleanly.
    virtual void finish() {}
    // Makes a blocking open() or write() give up at once, and every later call fail.
    virtual void abort() = 0;
    // Why the last open() or write() failed: the server's answer or the step that failed, as
    // the user should read it. Never holds a secret. Read on the thread that made the call.
    virtual QString errorText() const = 0;
    virtual SendProgress progress() { return {}; }
    // An SRT link's counts; false where the transport has none.
    virtual bool linkStatistics(LinkStatistics* /*link*/) { return false; }
    // The piece size write() takes best: each full I/O buffer of the container goes out as one.
    virtual int pieceSize() const = 0;
    // False for a container that makes its own connection (RTSP): nothing goes through write()
    // and open() only checks that the attempt was not aborted.
    virtual bool carriesBytes() const { return true; }
};
