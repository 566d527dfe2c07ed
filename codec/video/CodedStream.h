#pragma once

#include <cstddef>

struct AVCodecParameters;
namespace CodecModel {
struct VideoCodec;
}

// Stream parameters for the encoders that have no libavcodec context of their own (x264,
// OpenH264, libvpx), as a muxer needs them: codec id, size, pixel format, field order and the
// global headers; for H.264 also profile and level, read from the sequence parameter set.
class CodedStream
{
public:
    // Fills *par for the record's codec name (from the codec table). extraData may be null.
    // False, with *par untouched, for a name the table does not know or a failed allocation.
    static bool describe(AVCodecParameters* par, const CodecModel::VideoCodec& video,
                         const unsigned char* extraData, size_t extraDataSize);
};
