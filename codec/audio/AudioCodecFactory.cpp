#include "codec/audio/AudioCodecFactory.h"

IAudioCodec* AudioCodecFactory::create(const QString& name)
{
    // "AAC", "PCM" and "MP3" join here with their encoder classes.
    (void)name;
    return nullptr;
}
