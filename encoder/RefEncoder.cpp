#include "encoder/RefEncoder.h"

#include "common/StrevoLog.h"
#include "encoder/IEncodingStatus.h"
#include "muxer/LiveUrl.h"

#include <QDebug>
#include <condition_variable>
#include <mutex>
#include <set>

namespace {

// Every RefEncoder that other pipelines may reach: one that is neither being set up nor
// destroyed. Pipelines of any job share it; it is never freed, so that a pipeline destroyed
// during the process's exit still finds it.
struct Registry
{
    std::mutex mutex;
    std::condition_variable returned; // a lease was returned
    std::set<const IEncoder*> live;   // guarded by mutex
};

Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

// Expects registry().mutex held: whether a listed pipeline encodes with `codec`.
bool hasMasterLocked(const std::shared_ptr<IVideoCodec>& codec)
{
    for (const IEncoder* listed : registry().live) {
        const auto* p = static_cast<const RefEncoder*>(listed);
        if (!p->isFollower() && p->sharesVideoCodec(codec))
            return true;
    }
    return false;
}

} // namespace

// A lease on a listed pipeline, which keeps it from leaving the registry (from being set up
// again or destroyed) while the holder calls into it.
class RefEncoder::Lease
{
public:
    // Takes a lease when `encoder` is a RefEncoder in the registry; get() is null otherwise. The
    // pointer is only compared, never followed, until it is known to be live.
    explicit Lease(IEncoder* encoder)
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        if (encoder && registry().live.count(encoder) > 0) {
            m_encoder = static_cast<RefEncoder*>(encoder);
            ++m_encoder->m_leases;
        }
    }
    ~Lease()
    {
        if (!m_encoder)
            return;
        std::lock_guard<std::mutex> lock(registry().mutex);
        if (--m_encoder->m_leases == 0)
            registry().returned.notify_all();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    RefEncoder* get() const { return m_encoder; }

private:
    RefEncoder* m_encoder = nullptr;
};

RefEncoder::RefEncoder()
{
    joinRegistry();
}

RefEncoder::~RefEncoder()
{
    // A live output gives up its connection at once rather than wait for a server that may be
    // gone; a recording keeps what is queued and is finished by the muxer's destructor.
    const CodecPreset& preset = *codecPreset();
    if (preset.streaming().enabled && !preset.local().enabled)
        abortMuxer();
    encodingCallback(nullptr);
    // A master's video thread encodes what is queued and drains the encoder, its followers
    // getting those packets too. Until it has ended the pipeline stays listed as the master,
    // so that no follower takes the encoder over while it is still in use here.
    stop();
    leaveRegistry();
    releaseVideoCodec();
    closeMuxer();
}

bool RefEncoder::sameVideo(const CodecPreset& a, const CodecPreset& b)
{
    const CodecModel::VideoCodec& x = a.videoCodec();
    const CodecModel::VideoCodec& y = b.videoCodec();
    return x.enabled == y.enabled && x.codecName == y.codecName && x.bitrate == y.bitrate &&
           x.frameRate == y.frameRate && x.scanMode == y.scanMode && x.auxMode == y.auxMode &&
           x.width == y.width && x.height == y.height && x.auxFlag == y.auxFlag &&
           x.scaleMode == y.scaleMode && x.codecProfile == y.codecProfile &&
           x.keyframeInterval == y.keyframeInterval && x.auxValue == y.auxValue &&
           x.preset == y.preset && x.profileIdc == y.profileIdc && x.tune == y.tune &&
           x.bFrames == y.bFrames && a.videoSource() == b.videoSource() && !LiveUrl::adapts(a) &&
           !LiveUrl::adapts(b); // its rate follows its own link
}

void RefEncoder::joinRegistry()
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().live.insert(this);
    // The master this pipeline borrowed from may have gone while this one was out of the
    // registry, and so could not hand its encoder over: then this pipeline encodes.
    if (m_refVideo.load() && !hasMasterLocked(m_videoCodec))
        setRefVideoCodec(false);
}

void RefEncoder::leaveRegistry()
{
    std::unique_lock<std::mutex> lock(registry().mutex);
    registry().live.erase(this);
    registry().returned.wait(lock, [this] { return m_leases == 0; });
}

int RefEncoder::initialize(IEncodingStatus* status, CodecPreset* preset, bool share)
{
    // Set up again: as at destruction, the encoder is let go (and handed on) under the
    // sharing rules it was taken with, once the workers have ended.
    const bool again = m_videoCodec != nullptr;
    if (again)
        stop();
    leaveRegistry();
    if (again)
        releaseVideoCodec();
    m_share = share;
    if (preset)
        m_identity = *preset;
    const int result = Encoder::initialize(status, preset, share);
    joinRegistry();
    return result;
}

bool RefEncoder::setUpVideoCodec(CodecPreset* preset)
{
    IEncodingStatus* list = status();
    if (m_share && list) {
        const QVector<IEncoder*> candidates = list->encoders();
        std::lock_guard<std::mutex> lock(registry().mutex);
        for (IEncoder* candidate : candidates) {
            if (candidate == this || registry().live.count(candidate) == 0)
                continue;
            const auto* p = static_cast<const RefEncoder*>(candidate);
            if (p->m_videoCodec && sameVideo(p->m_identity, m_identity)) {
                m_videoCodec = p->m_videoCodec;
                m_refVideo.store(true);
                return true;
            }
        }
    }
    return Encoder::setUpVideoCodec(preset);
}

template <class Each>
void RefEncoder::forEachFollower(const std::shared_ptr<IVideoCodec>& codec, Each each)
{
    IEncodingStatus* list = status();
    if (!m_share || !list || !codec)
        return;
    const QVector<IEncoder*> candidates = list->encoders();
    for (IEncoder* candidate : candidates) {
        if (candidate == this)
            continue;
        const Lease lease(candidate);
        RefEncoder* p = lease.get();
        // A leased pipeline keeps its encoder until the lease is returned.
        if (p && p->m_refVideo.load() && p->m_videoCodec == codec && !each(*p))
            return;
    }
}

void RefEncoder::releaseVideoCodec()
{
    std::shared_ptr<IVideoCodec> codec = std::move(m_videoCodec);
    m_videoCodec.reset();
    const bool wasMaster = !m_refVideo.exchange(false);
    if (!codec || !wasMaster || codec.use_count() == 1)
        return;
    // Followers still hold the encoder: the first one listed encodes from now on.
    forEachFollower(codec, [this, &codec](RefEncoder& follower) {
        {
            // A follower that rejoined the registry meanwhile may have taken over already.
            std::lock_guard<std::mutex> lock(registry().mutex);
            if (hasMasterLocked(codec))
                return false;
            follower.setRefVideoCodec(false);
        }
        qCDebug(lcStrevo) << "RefEncoder: master" << static_cast<const void*>(this)
                          << "hands over to" << static_cast<const void*>(&follower);
        return false;
    });
}

void RefEncoder::forwardVideoPacket(unsigned int size, unsigned int key)
{
    const EncodedVideo& packet = encodedVideo();
    IEncodingStatus* reports = status();
    const unsigned int index = static_cast<unsigned int>(packet.frameCount.load());
    forEachFollower(m_videoCodec, [&](RefEncoder& follower) {
        if (follower.ownVideoStopped(false))
            return true; // its volume is full: the others still get the packet
        if (key)
            follower.checkTimeSplit();
        if (!follower.writeVideoMuxer(packet.data, size, key, packet.stampUs, -1, index)) {
            follower.recordingFailed(false);
            if (reports)
                reports->ecoderStateCallback(&follower, IEncodingStatus::StateReport,
                                             IEncodingStatus::WriteFailed);
        } else if (reports && follower.codecPreset()->local().enabled) {
            reports->ecoderStateCallback(&follower, IEncodingStatus::ProgressReport,
                                         static_cast<int>(follower.muxedVideoFrames()));
        }
        // A follower's live output that reconnected resumes at the next frame encoded here.
        if (follower.takeKeyFrameWish())
            wantKeyFrame();
        return true;
    });
}

void RefEncoder::forwardVideoDrops(int count, bool input)
{
    forEachFollower(m_videoCodec, [&](RefEncoder& follower) {
        for (int i = 0; i < count; ++i) {
            if (input)
                follower.writeVideoInputDrop();
            else
                follower.writeVideoOutputDrop();
        }
        return true;
    });
}

bool RefEncoder::audioGateOpen(int queued) const
{
    // The sound still waits for the file's first picture, which the muxer needs before any
    // sound, and for as much as the encoder holds the picture back.
    return queued > 0 && queued >= encodedAudio().holdChunks.load() && audioMayStart();
}

long long RefEncoder::audioFramesFor(double frames) const
{
    return qRound64(frames);
}
