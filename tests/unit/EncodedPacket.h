#pragma once

#include "codec/video/IVideoCodec.h"

#include <cstddef>
#include <vector>

// One call of IVideoCodec::encode as the pipeline makes it, for the codec tests.
struct EncodedPacket
{
    bool produced = false;
    unsigned int size = 0, key = 0;
    long long pts = -1, dts = -1;
    std::vector<unsigned char> data;

    static EncodedPacket encode(IVideoCodec& codec, std::vector<unsigned char> frame, int format,
                                int width, int height)
    {
        std::vector<unsigned char> out(static_cast<size_t>(width) * height * 4);
        EncodedPacket p;
        p.produced = codec.encode(frame.data(), static_cast<unsigned int>(frame.size()), format,
                                  out.data(), p.size, p.key, p.pts, p.dts);
        p.data.assign(out.begin(), out.begin() + p.size);
        return p;
    }
};

// Grey YUV420P with a bright square that moves with `index`, so that predicted pictures carry
// motion.
inline std::vector<unsigned char> yuv420Frame(int width, int height, int index)
{
    std::vector<unsigned char> f(static_cast<size_t>(width) * height * 3 / 2, 128);
    for (int y = 16; y < 48 && y < height; ++y)
        for (int x = 0; x < 32; ++x)
            f[static_cast<size_t>(y) * width + (x + index * 4) % width] = 230;
    return f;
}

// NAL unit types of an Annex B buffer, in order.
inline std::vector<int> nalTypes(const unsigned char* data, size_t size)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            types.push_back(data[i + 3] & 0x1f);
            i += 2;
        }
    }
    return types;
}
