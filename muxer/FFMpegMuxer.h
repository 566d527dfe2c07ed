#pragma once

#include "common/AVHandles.h"
#include "common/CodecPreset.h"
#include "common/EncodeData.h"
#include "common/IThreadCallback.h"
#include "common/LockedFifo.h"
#include "muxer/IMuxer.h"
#include "muxer/IMuxerThread.h"

#include <QElapsedTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class AvioWriter;
class IMuxerCallback;
class IWriter;
class MuxerThread;

// Writes a pipeline's encoded packets into a container with libavformat.
//
// Packets are stamped from the muxer's own frame and sample counters when they are queued
// (writeVideo/writeAudio, on the pipeline's threads, which the pipeline serialises under its
// muxer mutex) and written by the muxing thread, which holds m_muxMutex for each pass.
// A local recording opens in initialize(); the header is written as soon as the video
// headers are known, and the destructor drains the queues, writes the trailer and closes the
// file, so every packet handed over ends up in the recording.
class FFMpegMuxer : public IMuxer, public IMuxerThread, public IThreadCallback
{
public:
    explicit FFMpegMuxer(IMuxerCallback* callback);
    ~FFMpegMuxer() override;

    bool initialize(const CodecPreset& preset) override;
    bool isHeaderWritten() override;
    bool writeHeader() override;
    bool writeVideo(unsigned char* data, unsigned int size, unsigned int keyFrame, long long pts,
                    long long dts) override;
    bool writeAudio(unsigned char* data, unsigned int size) override;
    void skipVideoFrame() override;
    int skipAudioFrame() override;
    void setVideoExtradata(unsigned char* data, unsigned int size) override;
    void setAudioExtradata(unsigned char* data, unsigned int size) override;
    void setReserved(unsigned int value) override;
    long long videoFrameCount() override;
    void abort() override;
    const QString& recordingPath() override;

    void muxingLoop() override;
    void threadCallback() override;

    // 30 -> 30000/1000, 29.97 -> 30000/1001: the rounded rate times 1000, over 1001 for a
    // fractional rate.
    static AVRational frameRateRational(double fps);
    // Samples per audio packet for a codec id at a sample rate (960 when the codec has none).
    static int audioFrameSize(int codecId, int sampleRate);

private:
    bool open();
    void close();
    bool openVideoStream(const AVOutputFormat* format, int codecId);
    bool openAudioStream(const AVOutputFormat* format, int codecId);
    // Expects m_muxMutex held. Copies the codec contexts into the streams (through the colour
    // filter for H.264/HEVC) and writes the container header.
    bool writeHeaderLocked();
    bool setUpColourFilter();
    static void setExtradata(AVCodecContext* ctx, const std::vector<uint8_t>& bytes);
    // Expect m_muxMutex held. Return true when a packet was written.
    bool writeAudioPacket();
    bool writeVideoPacket();
    bool writeOnePass();
    void dropQueued();

    IMuxerCallback* m_callback; // the pipeline; kept, never deleted
    CodecPreset m_preset;

    // The output. Opened and closed by the set-up thread and the destructor; used by the
    // muxing thread under m_muxMutex.
    AVFormatContext* m_format = nullptr;
    AVCodecContextPtr m_videoCtx;
    AVCodecContextPtr m_audioCtx;
    bool m_encoderOpened = false; // the muxer opened an encoder on m_videoCtx
    AVStream* m_videoStream = nullptr;
    AVStream* m_audioStream = nullptr;
    AVBSFContextPtr m_colourFilter;
    AVPacketPtr m_packet;
    std::unique_ptr<IWriter> m_writer;
    std::unique_ptr<AvioWriter> m_avio;

    unsigned long long m_reserved = 0;
    std::atomic<long long> m_videoFrames{0};  // stamped video frames; read by the pipeline
    std::atomic<long long> m_audioSamples{0}; // stamped audio samples; read by the muxing thread
    std::vector<uint8_t> m_videoExtradata;    // pipeline threads, before/at header time
    std::vector<uint8_t> m_audioExtradata;
    std::atomic<bool> m_opened{false};
    std::atomic<bool> m_headerWritten{false};
    std::atomic<bool> m_aborted{false};
    std::mutex m_muxMutex; // one pass of the muxing loop; the header write
    int m_fieldOrder = 1;
    MuxerThread* m_thread = nullptr;
    LockedFifo<EncodeData> m_videoQueue;
    LockedFifo<EncodeData> m_audioQueue;
    std::atomic<bool> m_writeStatus{true}; // false after a failed video write
    std::atomic<int> m_connected{0};
    int m_audioFrameSize = 960;
    std::atomic<bool> m_keyFrameSeen{false};
    QElapsedTimer m_lastWrite; // muxing thread (under m_muxMutex)
    bool m_mpegts = false;
    bool m_createdFile = false; // open() made the recording file (set-up thread only)
    long long m_lastSourceTime = 0;
};
