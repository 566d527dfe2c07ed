#include "codec/video/VideoCodecFactory.h"

#include "codec/video/FFmpegVideo.h"
#include "codec/video/OpenH264.h"
#include "codec/video/VPX.h"
#include "codec/video/X264.h"

#include <QMap>
#include <mutex>

namespace {

std::mutex& extraMutex()
{
    static std::mutex m;
    return m;
}

// guarded by extraMutex()
QMap<QString, VideoCodecFactory::Creator>& extraCodecs()
{
    static QMap<QString, VideoCodecFactory::Creator> codecs;
    return codecs;
}

} // namespace

IVideoCodec* VideoCodecFactory::create(const QString& name)
{
    if (name.isEmpty())
        return nullptr;
    Creator creator;
    {
        std::lock_guard<std::mutex> lock(extraMutex());
        creator = extraCodecs().value(name);
    }
    if (creator)
        return creator();

    // Encoder classes that come later join this table in its place (hardware names after X264).
    if (name == QLatin1String("VP8") || name == QLatin1String("VP9"))
        return new VPX();
    if (name == QLatin1String("QuickTime Animation (RLE)") || name == QLatin1String("MJPEG") ||
        name == QLatin1String("Apple ProRes"))
        return new FFmpegVideo();
    if (name == QLatin1String("H264"))
        return new OpenH264();
    if (name == QLatin1String("X264"))
        return new X264();
    return nullptr;
}

void VideoCodecFactory::addCodec(const QString& name, Creator creator)
{
    std::lock_guard<std::mutex> lock(extraMutex());
    if (creator)
        extraCodecs().insert(name, std::move(creator));
    else
        extraCodecs().remove(name);
}
