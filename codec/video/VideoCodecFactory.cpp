#include "codec/video/VideoCodecFactory.h"

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
