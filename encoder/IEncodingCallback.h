#pragma once

#include "base/StrevoExport.h"

#include <QString>

/// The host's consumer of encoded packets, called on the pipeline's worker threads after every
/// packet, with no pipeline lock held (so it may call back into the pipeline). The buffers
/// belong to the pipeline and are valid only during the call; extraData is the codec's global
/// header (null with size 0 when it has none).
class STREVO_EXPORT IEncodingCallback
{
public:
    virtual ~IEncodingCallback() = default;
    /// A video packet of `size` bytes from the codec named `codecName`, coded at width x height
    /// pixels; `key` is non-zero for a key frame. Called on the video thread, in coding order,
    /// before the packet is written to the output.
    virtual void videoEncoded(const QString& codecName, unsigned char* data, unsigned int size,
                              int width, int height, unsigned int key, unsigned char* extraData,
                              unsigned int extraDataSize) = 0;
    /// An audio packet of `size` bytes. Called on the audio thread, in coding order.
    virtual void audioEncoded(unsigned char* data, unsigned int size, unsigned char* extraData,
                              unsigned int extraDataSize) = 0;
};
