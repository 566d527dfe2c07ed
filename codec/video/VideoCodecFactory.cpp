#include "codec/video/VideoCodecFactory.h"

#include "codec/video/X264.h"

IVideoCodec* VideoCodecFactory::create(const QString& name)
{
    // Encoder classes that come later join this table in its place:
    // VP8, VP9, QuickTime Animation (RLE), MJPEG, Apple ProRes, H264, X264, hardware names.
    if (name == QLatin1String("X264"))
        return new X264();
    return nullptr;
}
