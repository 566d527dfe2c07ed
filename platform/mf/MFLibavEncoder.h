#pragma once

#include "common/AVHandles.h"

#include <QByteArray>
#include <memory>
#include <vector>

// The libavcodec encoder behind the platform's encoder transforms: NV12 pictures in, Annex B
// H.264/HEVC packets out, in input order (no B-frames). Software (libx264) or a GPU encoder
// (h264_qsv, h264_nvenc, h264_vaapi on a render node, and their HEVC siblings). One thread at
// a time.
class MFLibavEncoder
{
public:
    struct Settings
    {
        QByteArray encoder;    // libavcodec encoder name
        QByteArray renderNode; // VA-API encoders: the device ("/dev/dri/renderD128")
        bool lowPower = false; // VA-API encoders: the low-power entry point
        bool hevc = false;
        int width = 0;
        int height = 0;
        AVRational frameRate{0, 1};
        int64_t bitrate = 0; // bit/s
        int gop = 0;         // frames between key frames, 0: the encoder's choice
        int profile = 0;     // H.264 profile_idc (66, 77, 100), 0: the encoder's choice
    };
    struct Packet
    {
        std::vector<uint8_t> data;
        bool key = false;
    };

    MFLibavEncoder();
    ~MFLibavEncoder();
    MFLibavEncoder(const MFLibavEncoder&) = delete;
    MFLibavEncoder& operator=(const MFLibavEncoder&) = delete;

    // Opens (or reopens) the encoder; false with a warning naming the encoder and libav's error.
    bool open(const Settings& settings);
    bool isOpen() const { return m_ctx != nullptr; }
    // One packed NV12 picture at the settings' size. keepAlive owns the bytes: the encoder may
    // reference them until it is done with the picture, so they are never copied here.
    bool send(const uint8_t* nv12, std::shared_ptr<void> keepAlive, bool forceKey);
    // End of stream: whatever the encoder holds comes out of receive(). Reopen to go on.
    bool flush();
    // The next coded packet: 1, none yet: 0, error: -1.
    int receive(Packet* packet);

    // Whether this machine opens the named GPU encoder (a small picture, opened and closed).
    static bool canOpen(const char* encoder, bool hevc, const QByteArray& renderNode,
                        bool lowPower = false);
    // The parameter sets (H.264 SPS/PPS, HEVC VPS/SPS/PPS) of an Annex B access unit, Annex B.
    static QByteArray parameterSets(const uint8_t* data, size_t size, bool hevc);

private:
    struct BufferUnref
    {
        void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
    };
    using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;
    bool openHardwareFrames();

    Settings m_settings;
    AVCodecContextPtr m_ctx;
    AVFramePtr m_frame;
    AVPacketPtr m_packet;
    BufferPtr m_device; // VA-API device, when the encoder needs one
    int64_t m_pts = 0;
};
