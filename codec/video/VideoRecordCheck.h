#pragma once

namespace CodecModel {
struct VideoCodec;
}

// The settings check that the 4:2:0 software encoders (x264, OpenH264, libvpx) run before they
// open: a positive, even picture size, a positive frame rate and bit rate, and a key-frame
// interval that is not negative. On failure one warning names the encoder, the values and
// what is wrong ("x264: cannot encode 321x240 ...: size must be even for 4:2:0").
class VideoRecordCheck
{
public:
    static bool check(const CodecModel::VideoCodec& video, const char* encoder);
};
