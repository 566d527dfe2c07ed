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

void IEncoder::enqueueSharedVideo(std::shared_ptr<const void>, unsigned char* data, int width,
                                  int height, int format, TimeStamp* ts)
{
    if (ts)
        enqueueVideo(data, width, height, format, ts);
    else
        enqueueVideo(data, width, height, format);
}
