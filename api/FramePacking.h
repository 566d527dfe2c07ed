#pragma once

#include "api/VideoFrame.h"

#include <QString>

// A host's frame, described by its planes and strides, copied into the packed layout the
// pipelines read: plane after plane, rows without padding (pixelFormatFrameSize bytes).
class FramePacking
{
public:
    // Copies `frame` into `buffer` (frameBytes long, the packed size of its format and size).
    // planes[1..3] null with a planar format: the planes follow planes[0] in one block, each
    // row `strides[0]` apart. Empty when it fits; otherwise why it is refused (a null plane, a
    // stride shorter than the plane's row). One memcpy when the frame is packed already.
    static QString pack(const strevo::VideoFrame& frame, int frameBytes, unsigned char* buffer);
};
