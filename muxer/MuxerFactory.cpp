#include "muxer/MuxerFactory.h"

IMuxer* MuxerFactory::create(IMuxerCallback*)
{
    // The FFmpeg muxer joins here; until then pipelines that record or stream fail to start.
    return nullptr;
}
