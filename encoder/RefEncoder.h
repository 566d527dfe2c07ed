#pragma once

#include "base/StrevoExport.h"
#include "common/CodecPreset.h"
#include "encoder/Encoder.h"

#include <memory>

/// A pipeline that shares its video encoder with the other outputs of a job whose video
/// settings are identical: a picture is encoded once and its packet written into every such
/// output, while each output keeps its own audio encoder and muxer.
///
/// Roles, in share mode (initialize(status, preset, true)):
/// - follower: among status->encoders() an initialised share-mode RefEncoder has the same video
///   (sameVideo()); this pipeline borrows that pipeline's video encoder and encodes no video. It
///   refuses stamped frames (unstamped ones are discarded), takes audio from the start, and gets
///   its master's packets and frame drops written into its own muxer.
/// - master: no such pipeline existed; it encodes, and after each packet or drop of its own
///   writes the same into every follower of its encoder, in the order of status->encoders().
///   A follower whose output refuses a packet is reported as ecoderStateCallback(follower, 0, -1)
///   and the others still get it.
///
/// Destroying a master hands the encoder to its first listed follower, which encodes the frames
/// it is given from then on, starting with a key frame. Without share mode a RefEncoder encodes
/// alone, as an Encoder does. Destroying a pipeline that only streams gives its connection up at
/// once, dropping what is still queued for the server; a recording is always finished.
///
/// Other differences from Encoder: the audio thread does not hold sound back behind the written
/// video (it only waits for the file's first picture and the encoder's delay), and
/// AVSync::audioFrames is rounded rather than truncated.
///
/// Threads: as IEncoder says. Pipelines may be initialised and destroyed on any thread while
/// other pipelines forward to them: one pipeline reaches another only through a lease taken in
/// a process-wide registry of RefEncoders, and initialize() and the destructor first leave that
/// registry and wait until the leases on their pipeline are returned. So status->encoders() may
/// still list a pipeline that is being destroyed or is gone (it is skipped); a host must only
/// not destroy a pipeline inside a report about it (ecoderStateCallback), which would wait for
/// itself.
class STREVO_EXPORT RefEncoder : public Encoder
{
public:
    RefEncoder();
    ~RefEncoder() override;

    int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) override;

    /// Whether two outputs may share one video encoder: equal video records, field by field,
    /// and equal source maps.
    static bool sameVideo(const CodecPreset& a, const CodecPreset& b);
    /// Pipelines holding this pipeline's video encoder, this one included; 0 without one.
    long videoCodecHolders() const { return m_videoCodec.use_count(); }
    /// True while another pipeline encodes this one's video.
    bool isFollower() const { return m_refVideo.load(); }
    /// Whether this pipeline holds `codec`.
    bool sharesVideoCodec(const std::shared_ptr<IVideoCodec>& codec) const
    {
        return codec && m_videoCodec == codec;
    }

protected:
    bool setUpVideoCodec(CodecPreset* preset) override;
    void releaseVideoCodec() override;
    bool followerRunsVideoThread() const override { return true; }
    bool encodesVideoForOthers() const override
    {
        return m_share && !isFollower() && videoCodecHolders() > 1;
    }
    void forwardVideoPacket(unsigned int size, unsigned int key) override;
    void forwardVideoDrops(int count, bool input) override;
    bool audioGateOpen(int queued) const override;
    long long audioFramesFor(double frames) const override;

private:
    class Lease;

    void joinRegistry();
    void leaveRegistry();
    // Calls each(follower) for every listed follower of `codec`, under a lease on it, until
    // each returns false. No lock is held during the call.
    template <class Each>
    void forEachFollower(const std::shared_ptr<IVideoCodec>& codec, Each each);

    // Fixed by initialize(), while the pipeline is out of the registry and its workers stopped.
    bool m_share = false;
    // The preset sameVideo() compares; written only while out of the registry, read by other
    // pipelines under the registry's lock.
    CodecPreset m_identity;
    int m_leases = 0; // guarded by the registry's lock: leases other pipelines hold on this one
};
