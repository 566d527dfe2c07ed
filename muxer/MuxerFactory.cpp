#include "muxer/MuxerFactory.h"

#include "muxer/FFMpegMuxer.h"
#include "muxer/replay/ReplayMuxer.h"

IMuxer* MuxerFactory::create(IMuxerCallback* callback, const CodecPreset& preset)
{
    if (ReplayMuxer::isReplay(preset))
        return new ReplayMuxer(callback);
    return new FFMpegMuxer(callback);
}

bool MuxerFactory::isReplay(const CodecPreset& preset)
{
    return ReplayMuxer::isReplay(preset);
}

QString MuxerFactory::invalidSettings(const CodecPreset& preset)
{
    return ReplayMuxer::invalidSettings(preset);
}
