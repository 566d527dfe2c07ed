#include "codec/audio/AudioCodecFactory.h"

#include "codec/audio/FFmpegAudio.h"
#include "codec/audio/PCMEnc.h"
#include "codec/audio/ShineMP3.h"

IAudioCodec* AudioCodecFactory::create(const QString& name)
{
    if (name == QLatin1String("AAC"))
        return new FFmpegAudio();
    if (name == QLatin1String("PCM"))
        return new PCMEnc();
    if (name == QLatin1String("MP3"))
        return new ShineMP3();
    return nullptr;
}
