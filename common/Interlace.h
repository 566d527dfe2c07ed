#pragma once

#include <vector>

class VideoQueue;

// Turns interlaced pictures into progressive ones with a vertical linear blend: every output
// row is (above + 2 x row + below) / 4 of its plane, the edge rows using their one neighbour
// twice. This averages the two fields so combing disappears at the cost of some vertical
// detail. Works on any packed frame of a code that pixelFormatToAV() maps: planar,
// semi-planar (NV12 ...) and packed (YUYV, RGB ...) layouts, 8-bit and 16-bit little-endian
// samples (YUV422P10). Each frame is delivered at once, without delay.
// Not thread-safe: use one object per thread.
class Interlace
{
public:
    Interlace();
    ~Interlace();
    Interlace(const Interlace&) = delete;
    Interlace& operator=(const Interlace&) = delete;

    // Filters frame into the output buffer and returns 1, or returns 0 (leaving the previous
    // output in place) when the frame is null, has no data, has a format without a fixed
    // layout or holds fewer bytes than its size needs. The two flags are accepted for
    // compatibility and ignored: the blend treats both fields alike.
    int filterFrame(VideoQueue* frame, bool, bool);

    // The last filtered picture: same size, dimensions and format as its input frame.
    // data() is null and the others are 0 before the first one.
    unsigned char* data();
    int size() const;

private:
    std::vector<unsigned char> m_output;
};
