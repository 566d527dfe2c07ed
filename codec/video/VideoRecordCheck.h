#pragma once

namespace CodecModel {
struct VideoCodec;
}

// The settings check that every software video encoder runs before it opens: a positive
// picture size within the codec table's limits for the codec name (even where the encoder
// needs 4:2:0 or 4:2:2), a frame rate from kMinFrameRate to kMaxFrameRate, a bitrate above 0
// whose bits per second fit an int, and a key-frame interval that is not negative and whose
// frames fit an int. On failure one warning names the encoder, the values and what is wrong
// ("x264: cannot encode X264 at 321x240, 30 fps, 800 kbit/s, key frame every 2 s: size must be
// even").
class VideoRecordCheck
{
public:
    static constexpr double kMinFrameRate = 0.1;
    static constexpr double kMaxFrameRate = 1000.0;

    struct Needs
    {
        bool evenWidth = true;
        bool evenHeight = true;
        bool bitrate = true; // rate-controlled encoders; intra-only coders may ignore it
    };

    static bool check(const CodecModel::VideoCodec& video, const char* encoder, Needs needs);
    static bool check(const CodecModel::VideoCodec& video, const char* encoder)
    {
        return check(video, encoder, Needs());
    }

    // Frames between key frames: the interval in seconds times the exact frame rate, rounded
    // down (2 s at 29.97 fps is 59). Valid after check() passed.
    static int keyFrameDistance(const CodecModel::VideoCodec& video);
    // The largest packet a 4:2:0 encoder can give for one picture: twice the raw picture (an
    // intra frame of noise can exceed the raw size) plus room for headers.
    static unsigned int worstPacketSize(const CodecModel::VideoCodec& video);
};
