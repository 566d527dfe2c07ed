#include "encoder/VideoInput.h"

#include "common/CodecPreset.h"
#include "common/Interlace.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "encoder/AVSync.h"

#include <QDebug>
#include <algorithm>
#include <cmath>

namespace {

// Seconds of output video the FIFO holds, and the fewest frames (for low rates).
constexpr double kVideoFifoSeconds = 2.0;
constexpr int kVideoFifoMinFrames = 4;
// Buffers of the zero-copy input, made as they are first needed: one being filled, one being
// encoded, and enough to keep the queues in between (a facade job's and the pipeline's) from
// running dry. With 4, a host feeding through a facade job waited for buffers and ran about 5%
// slower (bench/cli_vs_ffmpeg.sh).
constexpr int kPoolFrames = 8;

} // namespace

VideoInput::VideoInput(const CodecPreset& preset, AVSync& sync)
    : m_preset(preset), m_sync(sync), m_pool(kPoolFrames),
      m_interlace(std::make_unique<Interlace>())
{
}

VideoInput::~VideoInput() = default;

QString VideoInput::invalidSettings(const CodecPreset& preset)
{
    const auto bad = [](const char* field, double value) {
        return QStringLiteral("%1 %2").arg(QLatin1String(field)).arg(value);
    };
    if (!preset.videoCodec().enabled)
        return QString();
    const ProjectModel::VideoOutput& in = preset.videoOutput();
    const CodecModel::VideoCodec& out = preset.videoCodec();
    if (!(in.frameRate > 0.0 && in.frameRate <= 1000.0))
        return bad("videoOutput.frameRate", in.frameRate);
    if (in.width <= 0 || in.height <= 0)
        return bad(in.width <= 0 ? "videoOutput.width" : "videoOutput.height",
                   in.width <= 0 ? in.width : in.height);
    if (!(out.frameRate > 0.0 && out.frameRate <= 1000.0))
        return bad("videoCodec.frameRate", out.frameRate);
    if (out.scanMode < 0 || out.scanMode > 2)
        return bad("videoCodec.scanMode", out.scanMode);
    if (out.scaleMode < 0 || out.scaleMode > 2)
        return bad("videoCodec.scaleMode", out.scaleMode);
    return QString();
}

void VideoInput::configure()
{
    m_fifo.setLimit(
        std::max(kVideoFifoMinFrames,
                 static_cast<int>(std::ceil(kVideoFifoSeconds * m_preset.videoCodec().frameRate))));
}

void VideoInput::setOpen(bool open)
{
    m_fifo.setOpen(open);
    m_pool.setOpen(open);
}

bool VideoInput::usableFormat(int format, int width, int height)
{
    if (pixelFormatFrameSize(format, width, height) > 0 || format == PIX_TEXTURE)
        return true;
    if (m_refusedFormats.insert(format).second)
        qCWarning(lcStrevo,
                  "Encoder: frames in pixel format %d at %dx%d cannot be converted; refused",
                  format, width, height);
    return false;
}

int VideoInput::pace()
{
    const double inputRate = m_preset.videoOutput().frameRate;
    const double outputRate = m_preset.videoCodec().frameRate;
    const double clock = atomicAdd(m_sync.inputClock, 1.0 / inputRate);
    const int expected = qRound(clock / (1.0 / outputRate));
    const int diff = expected - static_cast<int32_t>(m_sync.videoFrames.load());
    if (diff < -1)
        return 0;
    return std::max(diff, 1);
}

void VideoInput::append(std::unique_ptr<VideoQueue> frame, long long stampUs)
{
    frame->setStampUs(stampUs);
    m_sync.videoFrames.fetch_add(1);
    if (!m_fifo.append(std::move(frame))) {
        // Full: the frame is lost like any input drop, and its place is skipped in order.
        m_sync.videoInputDrops.fetch_add(1);
        m_pendingSkips.fetch_add(1);
    }
}

int VideoInput::queue(unsigned char* data, int width, int height, int format, bool interlaced,
                      long long stampUs, std::unique_ptr<VideoQueue> own)
{
    const int copies = pace();
    if (interlaced && m_preset.videoCodec().scanMode != 0 && data && format != PIX_TEXTURE) {
        int queued = 0;
        for (int i = 0; i < copies; ++i) {
            VideoQueue picture(data, width, height, format);
            if (m_interlace->filterFrame(&picture, false, false)) {
                append(std::make_unique<VideoQueue>(m_interlace->data(), width, height, format),
                       stampUs);
                ++queued;
            }
        }
        return queued;
    }
    // Repeats are copies made before the frame held without a copy is queued, since the video
    // thread may encode it and let go of it at once.
    for (int i = 0; i < copies; ++i) {
        if (own && i == copies - 1)
            append(std::move(own), stampUs);
        else
            append(std::make_unique<VideoQueue>(data, width, height, format), stampUs);
    }
    return copies;
}

std::unique_ptr<VideoQueue> VideoInput::claim(unsigned char* buffer)
{
    FramePool::Frame frame;
    if (!m_pool.claim(buffer, &frame)) {
        qCWarning(lcStrevo, "Encoder: submitted video buffer %p is not one lent out", buffer);
        return nullptr;
    }
    return std::make_unique<VideoQueue>(
        [this](unsigned char* lent) { m_pool.giveBack(lent); }, buffer,
        pixelFormatFrameSize(frame.format, frame.width, frame.height), frame.width, frame.height,
        frame.format);
}

bool VideoInput::release(unsigned char* buffer)
{
    if (m_pool.release(buffer))
        return true;
    qCWarning(lcStrevo, "Encoder: returned video buffer %p is not one lent out", buffer);
    return false;
}

void VideoInput::discard()
{
    m_pendingSkips.store(0);
    m_fifo.clear();
}

void VideoInput::refuseAll()
{
    m_fifo.setOpen(false);
    m_sync.videoInputDrops.fetch_add(m_fifo.count());
    m_fifo.clear();
}
