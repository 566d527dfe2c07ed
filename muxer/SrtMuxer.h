#pragma once

#include "common/CodecPreset.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/ISrtCallback.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

class SrtConnect;

// Sends the MPEG-TS bytes of a live output with an "srt" URL, one SRT message per chunk of at
// most 1316 bytes, through a caller, listener or rendezvous transport chosen by the preset's
// srtMode ("listener", "rendezvous", anything else calls).
//
// Lifecycle: a new object per connection attempt. initialize() runs on the muxer's connection
// thread; for a listener it returns once a caller has connected, so the stream that caller
// gets starts with the container header and a key frame. write() runs on the muxing thread;
// abort() may come from any thread at any time and makes a waiting initialize() give up.
class SrtMuxer : public ISrtCallback
{
public:
    SrtMuxer();
    ~SrtMuxer() override;
    SrtMuxer(const SrtMuxer&) = delete;
    SrtMuxer& operator=(const SrtMuxer&) = delete;

    // Connects (caller, rendezvous) or listens and waits for a caller (listener) on the URL's
    // host and srtPort; a rendezvous binds the URL's port locally when it names one, else
    // srtPort. False, with a warning, when that fails or abort() was called.
    bool initialize(const CodecPreset& preset);
    // Sends one chunk as one message; `sourceTime` as for SrtConnect::send. False when the
    // peer is gone or the chunk could not be sent whole.
    bool write(const char* data, int size, long long sourceTime);
    void abort();
    // After the last write of a stream: a peer holds what it received for its latency before
    // it plays it, and a connection that closes discards what is held, so this keeps the
    // connection up that long (a second at most). abort() ends the wait.
    void finish();
    // The link as the transport counts it; call it where write() is called.
    LinkStatistics linkStatistics();

    bool onConnect(const sockaddr* address, int socket) override;
    void onDisconnect(int socket) override;
    void onData(const char* data, int size, SRT_MSGCTRL* control, int socket,
                SRT_TRACEBSTATS* statistics) override;

private:
    CodecPreset m_preset;                    // initialize()'s
    std::mutex m_writeMutex;                 // serialises sends and statistics
    std::unique_ptr<SrtConnect> m_transport; // set once under m_abortMutex, before start()
    std::mutex m_abortMutex;                 // lets abort() reach the transport being set
    bool m_aborted = false;                  // m_abortMutex
    std::condition_variable m_abortCond;     // m_aborted set, under m_abortMutex
};
