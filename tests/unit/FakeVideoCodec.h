#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/PixelFormat.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <vector>

// Holds back `delay` frames, then one packet (its number) per frame, every `keyEvery`-th a key
// frame; records its input. onEncode runs first for every frame (a test may block there).
class FakeVideoCodec : public IVideoCodec
{
public:
    FakeVideoCodec(int delay, int keyEvery = 30, int format = PIX_NV12)
        : m_delay(delay), m_keyEvery(keyEvery), m_format(format)
    {
        ++alive;
    }
    ~FakeVideoCodec() override { --alive; }

    bool initialize(CodecPreset*) override { return true; }
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int /*outCapacity*/, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override
    {
        if (!data && m_packets >= m_frames)
            return false; // drained
        if (data) {
            if (onEncode)
                onEncode();
            pointers.push_back(data);
            sizes.push_back(size);
            formats.push_back(format);
            firstBytes.push_back(size ? data[0] : -1);
            if (m_frames++ < m_delay)
                return false;
        }
        const int packet = m_packets++;
        std::memcpy(out, &packet, sizeof(packet));
        outSize = sizeof(packet);
        keyFrame = packet % m_keyEvery == 0 ? 1 : 0;
        pts = dts = packet;
        return true;
    }
    unsigned int maxPacketSize() override { return sizeof(int); }
    unsigned char* extraData() override { return m_header; }
    unsigned int extraDataSize() override { return sizeof(m_header); }
    int supportFormat() override { return m_format; }
    void requestKeyFrame() override { ++keyRequests; }
    bool isHWTextureSupport() override { return false; }

    std::vector<unsigned int> sizes;
    std::vector<int> formats;
    std::vector<int> firstBytes;
    std::vector<const unsigned char*> pointers;
    std::function<void()> onEncode;
    std::atomic<int> keyRequests{0};
    static inline std::atomic<int> alive{0};

private:
    int m_delay, m_keyEvery, m_format;
    int m_frames = 0;  // frames given
    int m_packets = 0; // packets handed out
    unsigned char m_header[4] = {0, 0, 0, 1};
};
