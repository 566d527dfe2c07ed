#pragma once

#include "codec/video/IVideoCodec.h"
#include "common/AVHandles.h"
#include "common/CodecPreset.h"

#include <deque>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;

// The libavcodec encoders "QuickTime Animation (RLE)" (ARGB in), "MJPEG" (YUV420P in, coded
// as full-range 4:2:0), "Apple ProRes" (10-bit 4:2:2 in, the profile from the record's
// codecProfile, 0 "PROXY" to 5 "XQ"), "X265" (libx265) and "AV1" (libsvtav1), both YUV420P in.
// The codec table maps the name given to initialize() to the libavcodec encoder and its pixel
// formats; each call sends one frame and passes on at most one packet. Encoders that can split
// a frame into slices are threaded that way, so their packet comes out of the call that sent
// the frame; frames an encoder holds back come out when drained (null data), after which the
// next frame reopens the encoder.
//
// X265 and AV1 take the record's bitrate (average), key-frame interval (0: the encoder's own),
// preset and tune (see the codec table's lists; SVT-AV1's mapping of x264's preset names is in
// the source). Their packets stay in picture order: x265 codes no B-frames, and each AV1
// packet is one shown picture. SVT-AV1 encodes on threads of its own and hands packets out
// when they are done, so the packets a call finds ready wait here and go out one per call.
//
// Not thread-safe: one thread at a time per object.
class FFmpegVideo : public IVideoCodec
{
public:
    FFmpegVideo();
    ~FFmpegVideo() override;

    bool initialize(CodecPreset* preset) override;
    bool encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                long long& pts, long long& dts) override;
    // Twice the raw input frame plus 64 KiB: run-length coding of noise and the highest ProRes
    // profiles come out above the raw size.
    unsigned int maxPacketSize() override;
    // From the open encoder's context (avcodec_parameters_from_context).
    bool streamParameters(AVCodecParameters* par) override;
    // For encoders with inter frames (QuickTime RLE, X265, AV1: an IDR picture, a new AV1
    // sequence); intra-only ones code every frame as a key frame anyway.
    void requestKeyFrame() override { m_keyFrameRequested = true; }
    unsigned char* extraData() override { return m_header.empty() ? nullptr : m_header.data(); }
    unsigned int extraDataSize() override { return static_cast<unsigned int>(m_header.size()); }
    // ARGB for QuickTime Animation, YUV422P10 for ProRes, YUV420P otherwise; follows the
    // codec name once initialize() has been called.
    int supportFormat() override { return m_inputFormat; }
    bool isHWTextureSupport() override { return false; }

    // Bytes of one input frame in supportFormat() at the record's size.
    unsigned int frameSize() const;
    // The open encoder's context (time base, field order, codec tag), or null.
    const AVCodecContext* codecContext() const { return m_context.get(); }

private:
    bool openEncoder();
    void closeEncoder();
    void sendBlankFrame();
    // Sends the end of the stream once and takes what the encoder still holds.
    void endStream();
    // Moves every packet the encoder has ready to m_pending.
    void collect();
    bool handOut(unsigned char* out, unsigned int capacity, unsigned int& outSize,
                 unsigned int& keyFrame, long long& pts, long long& dts);

    CodecPreset m_preset;
    int m_inputFormat;
    AVCodecContextPtr m_context; // set once the encoder is open
    AVFramePtr m_frame;
    std::deque<AVPacketPtr> m_pending;   // coded, not handed out yet; kept across a reopen
    std::vector<unsigned char> m_header; // the context's extradata, kept whole
    int m_fieldOrder;                    // AVFieldOrder given to the context and the frames
    long long m_frameCounter = 0;        // presentation stamp of the next frame
    long long m_framesSent = 0;          // frames the open encoder took
    bool m_draining = false;  // the encoder was sent the end of the stream; reopen before a frame
    bool m_intraOnly = false; // every frame is a key frame (MJPEG, ProRes)
    bool m_svtAv1 = false;    // libsvtav1, with the quirks listed in initialize()
    bool m_keyFrameRequested = false; // the next frame sent must come out as a key frame
};
