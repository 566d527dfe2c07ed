#pragma once

#include <chrono>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/mathematics.h>
}

// Where a muxer tells when each video packet passed its stages, for measuring the latency of a
// pipeline (bench/latency_bench): an optional sink per muxer (IMuxer::setPacketTiming), which
// costs a muxer without one an atomic load per packet.
//
// A packet is named by the host's stamp of the frame it was coded from (TimeStamp::pts,
// microseconds), which the pipeline hands to the muxer in the packet itself (setOrigin). Packets
// of frames without a stamp are not reported.
//
// Threads: Queued on the thread that hands the packet over (a pipeline's video thread), Written
// on the muxer's writing thread, with the container's mutex held: keep to short work, and never
// call into the muxer.
class IPacketTiming
{
public:
    enum class Stage
    {
        Queued,  // stamped and queued for the writing thread
        Written, // every byte of it went to the output: the file, or the live link's transport
    };

    virtual ~IPacketTiming() = default;
    // The packet of the frame stamped `stampUs` reached `stage` at `at`.
    virtual void packetTime(Stage stage, long long stampUs,
                            std::chrono::steady_clock::time_point at) = 0;

    // The stamp of a packet's frame travels in the packet's pts, in microseconds; the muxer
    // stamps what it writes itself. -1: none.
    static void setOrigin(AVPacket* packet, long long stampUs)
    {
        packet->pts = stampUs >= 0 ? stampUs : AV_NOPTS_VALUE;
        packet->time_base = kOriginBase;
    }
    static long long origin(const AVPacket& packet)
    {
        if (packet.pts == AV_NOPTS_VALUE || packet.time_base.num <= 0)
            return -1;
        return av_rescale_q(packet.pts, packet.time_base, kOriginBase);
    }

private:
    static constexpr AVRational kOriginBase{1, 1000000};
};
