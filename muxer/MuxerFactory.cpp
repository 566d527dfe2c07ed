#include "muxer/MuxerFactory.h"

#include "muxer/FFMpegMuxer.h"

IMuxer* MuxerFactory::create(IMuxerCallback* callback)
{
    return new FFMpegMuxer(callback);
}
