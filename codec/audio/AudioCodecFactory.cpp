#include "codec/audio/AudioCodecFactory.h"

#include "base/LogRouting.h"
#include "codec/audio/FFmpegAudio.h"
#include "codec/audio/PCMEnc.h"
#include "codec/audio/ShineMP3.h"
#include "common/CodecTable.h"

IAudioCodec* AudioCodecFactory::create(const QString& name)
{
    LogRouting::install();
    const CodecTable::Entry* entry = CodecTable::find(name);
    if (!entry || entry->kind != CodecTable::Kind::Audio)
        return nullptr;
    switch (entry->backend) {
    case CodecTable::Backend::FFmpegAudio:
        return new FFmpegAudio();
    case CodecTable::Backend::Pcm:
        return new PCMEnc();
    case CodecTable::Backend::ShineMp3:
        return new ShineMP3();
    default:
        return nullptr;
    }
}
