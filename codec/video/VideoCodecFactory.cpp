#include "codec/video/VideoCodecFactory.h"

#include "base/LogRouting.h"
#include "codec/video/FFmpegVideo.h"
#include "codec/video/MFVideo.h"
#include "codec/video/OpenH264.h"
#include "codec/video/VPX.h"
#include "codec/video/X264.h"
#include "codec/video/nvenc/NvEncoder.h"
#include "common/CodecTable.h"

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
    LogRouting::install();
    if (name.isEmpty())
        return nullptr;
    Creator creator;
    {
        std::lock_guard<std::mutex> lock(extraMutex());
        creator = extraCodecs().value(name);
    }
    if (creator)
        return creator();

    const CodecTable::Entry* entry = CodecTable::find(name);
    if (!entry || entry->kind != CodecTable::Kind::Video)
        return nullptr;
    switch (entry->backend) {
    case CodecTable::Backend::X264:
        return new X264();
    case CodecTable::Backend::OpenH264:
        return new OpenH264();
    case CodecTable::Backend::Vpx:
        return new VPX();
    case CodecTable::Backend::FFmpegVideo:
        return new FFmpegVideo();
    case CodecTable::Backend::MFVideo:
        return new MFVideo();
    case CodecTable::Backend::Nvenc:
        return new NvEncoder();
    default:
        return nullptr;
    }
}

void VideoCodecFactory::addCodec(const QString& name, Creator creator)
{
    std::lock_guard<std::mutex> lock(extraMutex());
    if (creator)
        extraCodecs().insert(name, std::move(creator));
    else
        extraCodecs().remove(name);
}
