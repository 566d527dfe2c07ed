#pragma once

#include <memory>

class IVideoCodec;
class VideoQueue;
class YuvResampler;
namespace CodecModel {
struct VideoCodec;
}

// Turns a queued frame into the picture the video encoder takes: the frame's own pixels when
// its size and pixel format are the encoder's, a converted copy otherwise. GPU textures go to
// an encoder that takes them as they are and are refused by the others (warned about once).
//
// Threads: the video thread only; reset() while the pipeline's workers are stopped.
class FrameConversion
{
public:
    struct Picture
    {
        unsigned char* data = nullptr;
        int size = 0;
        int format = 0;
        bool converted = false; // the frame itself is no longer needed
    };

    FrameConversion();
    ~FrameConversion();
    FrameConversion(const FrameConversion&) = delete;
    FrameConversion& operator=(const FrameConversion&) = delete;

    // Back to a new pipeline: no converter, no format seen, no warning given.
    void reset();
    // The picture to encode for `frame` with `codec`, whose input is `video`'s size in
    // `codecFormat`; false when the frame cannot be encoded (a texture for an encoder without
    // texture input, a failed conversion) and is lost. A converted picture stays valid until
    // the next call.
    bool convert(const VideoQueue& frame, const CodecModel::VideoCodec& video, int codecFormat,
                 IVideoCodec& codec, Picture* picture);

private:
    std::unique_ptr<YuvResampler> m_resampler; // made for the first frame that needs it
    int m_lastFormat = -1;                     // a new input format starts a new converter
    bool m_warnedTexture = false;
};
