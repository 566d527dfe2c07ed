#include "encoder/IEncoder.h"

#include "codec/audio/AudioCodecFactory.h"
#include "codec/video/VideoCodecFactory.h"

IVideoCodec* IEncoder::createVideoEncoder(const QString& name)
{
    return VideoCodecFactory::create(name);
}

IAudioCodec* IEncoder::createAudioEncoder(const QString& name)
{
    return AudioCodecFactory::create(name);
}
