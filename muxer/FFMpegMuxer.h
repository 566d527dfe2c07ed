#pragma once

#include "common/AVHandles.h"
#include "common/CodecPreset.h"
#include "muxer/AvioWriter.h"
#include "muxer/IMuxer.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/IMuxerThread.h"
#include "muxer/live/LiveLink.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class IWriter;
class MovieDurations;
class MuxerThread;

// Writes a pipeline's encoded packets into a container with libavformat.
//
// Packets are stamped from the muxer's own frame and sample counters when they are queued
// (writeVideo/writeAudio/skipVideoFrame, on the pipeline's threads, which the pipeline
// serialises under its muxer mutex) and written by the muxing thread, which sleeps on
// m_queueCond until a packet can be written, the header is written, or the muxer stops.
// initialize() checks that the container takes the codecs (a trial header on a null output)
// and opens the file; the header is written as soon as the video headers are known, and the
// destructor drains the queues, writes the trailer and closes the file, so every packet handed
// over ends up in the recording. A write error stops the output at once; what was written
// before stays playable (mkv, ts, crash-safe mp4/mov). Each packet reaches the file (a write(2))
// as it is written, and mkv and crash-safe mp4/mov close a cluster or fragment at least every
// kCrashLossMs, so a killed process leaves a file that plays up to about a second before the kill.
//
// A live output (streaming enabled) is written through a LiveLink, which opens, watches and
// reopens the connection on a thread of its own, so that a slow, absent or lost server never
// blocks the pipeline: initialize() only checks the settings and starts the link. The link
// opens a transport, then has this muxer write the container's header through it
// (openContainer); while it is not connected, packets are dropped and counted; a failed write
// or a backlog breaks it, and it drops the container (closeContainer) and opens both again,
// after which the stamps start from 0 at the next key frame.
class FFMpegMuxer : public IMuxer, public IMuxerThread, private LiveLink::Container
{
public:
    // The video backlog a live output tolerates when the preset's liveBacklogSeconds is 0.
    static constexpr int kDefaultBacklogSeconds = 5;
    // How long a stopping live output may take to send what is queued before it is cut off.
    static constexpr int kLiveDrainMs = 1000;
    // The most of a local recording that libavformat holds in memory, whatever the key-frame
    // interval: a crash-safe mp4/mov fragment and a matroska cluster never span more, so a
    // recording cut off by a crash or kill -9 loses at most this much of them (plus what the
    // pipeline had not handed over yet). Every other byte goes to the file with its packet.
    static constexpr int kCrashLossMs = 1000;

    explicit FFMpegMuxer(IMuxerCallback* callback);
    ~FFMpegMuxer() override;

    bool initialize(const CodecPreset& preset) override;
    bool isHeaderWritten() override;
    bool writeHeader() override;
    bool writeVideo(AVPacketPtr packet, bool keyFrame) override;
    bool writeAudio(AVPacketPtr packet) override;
    void skipVideoFrame() override;
    int skipAudioFrame() override;
    void setVideoParameters(const AVCodecParameters* par) override;
    void setVideoExtradata(unsigned char* data, unsigned int size) override;
    void setAudioExtradata(unsigned char* data, unsigned int size) override;
    void setReserved(unsigned int value) override;
    void setPart(int part, const QString& firstPart) override;
    long long videoFrameCount() override;
    void abort() override;
    void detachCallback() override;
    const QString& recordingPath() override;

    void muxingLoop() override;

    // Samples per audio packet for a codec id at a sample rate (960 when the codec has none).
    static int audioFrameSize(int codecId, int sampleRate);

private:
    // One queued packet with its stamp in the stream's time base. A null packet in the video
    // queue is a skipped frame: it only advances the written video time.
    struct Queued
    {
        AVPacketPtr packet;
        int64_t pts = 0;
        int64_t duration = 0; // sound: samples in the packet
    };

    bool open();
    // Picks the container and checks that it takes the codecs; no output is made.
    bool prepare();
    // A local recording: makes the format context, streams and file, and writes the header
    // when it can; a failure releases it all.
    bool openOutput();
    // A live output's I/O context over the link: full buffers of `bufferSize` bytes go to
    // LiveLink::write; no seeking.
    bool attachLinkIo(int bufferSize);
    QString target() const; // the recording path or the masked URL, for messages
    bool m2ts() const;      // a local .m2ts recording
    size_t backlogLimit() const;
    QStringList liveSecrets() const;
    // Fills a context with the streams the preset describes (no I/O).
    bool addStreams(AVFormatContext* format, AVStream** video, AVStream** audio) const;
    bool describeVideo(AVCodecParameters* par, const AVOutputFormat* format) const;
    bool describeAudio(AVCodecParameters* par, const AVOutputFormat* format) const;
    // False, with a warning naming codec, container and the reason, when the container does
    // not take one of the codecs. Writes a header into a throw-away context and null output.
    bool containerTakesCodecs(const AVOutputFormat* format) const;
    AVDictionary* headerOptions() const;
    // Expects m_muxMutex held. Writes the container header with the known extradata. False,
    // with a warning and *why (when given), on failure.
    bool writeHeaderLocked(QString* why = nullptr);
    bool hasVideoHeaders() const;
    bool hasVideoHeadersLocked() const; // expects m_extradataMutex held
    bool setUpColourFilter();
    // Expects m_queueMutex held. Which queue the next write takes from: 0 video, 1 audio,
    // -1 none yet (the stream must stay interleaved, or nothing is queued).
    int nextQueue() const;
    // Expect m_muxMutex held (not m_queueMutex). False on a write error.
    bool writeVideoPacket(Queued& item);
    bool writeAudioPacket(Queued& item);
    // Expects m_muxMutex held. Hands one stamped packet to libavformat and keeps the movie
    // header's lengths up to date; false (after fail()) on a write error.
    bool writePacket(AVPacket* pkt, const char* what);
    // Expects m_muxMutex held. Stops a recording after a failed write, once, with the reason;
    // breaks a live output's link.
    void fail(const char* what, int result);
    // `trailer`: finish the container (a local recording, or a live output stopped cleanly).
    void close(bool trailer = true);

    // ---- live outputs ----
    // LiveLink::Container, on the link's connection thread.
    bool openContainer(ILiveTransport* transport, QString* reason) override;
    void closeContainer() override;
    void reportLink(LiveState state, int reconnects, long long liveMs,
                    const QString& reason) override;
    // Waits a few seconds at most for the encoder's parameter sets, which an H.264/HEVC
    // header needs; false without them (or when the output stops).
    bool waitForVideoHeaders();
    // Any thread without a muxer lock: counts dropped packets and reports the total.
    void countLiveDrops(long long count);
    static int linkWrite(void* opaque, AvioWriter::WriteBuffer buffer, int size);
    // Whether a live output takes packets now.
    bool liveConnected() const { return m_link && m_link->isConnected(); }

    IMuxerCallback* m_callback; // the pipeline; kept, never deleted; null once detached
    std::mutex m_callbackMutex; // guards m_callback: held while a report is being made
    CodecPreset m_preset;       // set-up thread; read-only once initialize() returned
    const AVOutputFormat* m_oformat = nullptr;
    bool m_mpegts = false;
    bool m_fragmented = false;
    int m_videoId = AV_CODEC_ID_NONE;
    int m_audioId = AV_CODEC_ID_NONE;
    AVRational m_frameRate{0, 1};
    AVRational m_videoTimeBase{1, 1}; // the stream's time base once the header is written
    AVRational m_audioTimeBase{1, 1};
    int m_audioFrameSize = 960;
    AVCodecParametersPtr m_videoPar; // from the encoder, when it describes its stream

    // The output. Opened and closed by the set-up thread and the destructor; used by the
    // muxing thread under m_muxMutex.
    AVFormatContext* m_format = nullptr;
    AVStream* m_videoStream = nullptr;
    AVStream* m_audioStream = nullptr;
    AVBSFContextPtr m_colourFilter;
    std::unique_ptr<IWriter> m_writer;
    std::unique_ptr<AvioWriter> m_avio;
    bool m_wroteStreamData = false; // a packet reached the file
    // Crash-safe mp4/mov: the movie header's length fields, rewritten whenever a fragment
    // reaches the file and at the end, from the end of each stream written so far (in its
    // time base, by stream index). Both under m_muxMutex.
    std::unique_ptr<MovieDurations> m_durations;
    std::vector<int64_t> m_streamEnds;
    std::vector<uint8_t> m_videoExtradata; // pipeline threads, before/at header time
    std::vector<uint8_t> m_audioExtradata;
    std::mutex m_muxMutex; // the header write, each packet write, closing

    // Stamps and queues, shared by the pipeline's threads and the muxing thread.
    std::deque<Queued> m_videoQueue;
    std::deque<Queued> m_audioQueue;
    long long m_queuedVideoFrames = 0; // frames stamped (skipped ones included)
    long long m_queuedAudioSamples = 0;
    bool m_keyFrameSeen = false;
    bool m_keyFrameAsked = false; // a live stream that waits for its key frame asked for one
    bool m_stopping = false;
    std::mutex m_queueMutex; // guards the queues, the counters above and m_stopping
    std::condition_variable m_queueCond;

    std::atomic<long long> m_videoFrames{0}; // copy of m_queuedVideoFrames for lock-free reads
    std::atomic<bool> m_headerWritten{false};
    std::atomic<bool> m_failed{false}; // a write failed: the output is finished
    std::atomic<bool> m_aborted{false};
    unsigned long long m_reserved = 0;
    int m_part = 1;             // set-up thread only: the recording's file this muxer writes
    QString m_firstPart;        // likewise: the path of the recording's first file
    bool m_createdFile = false; // open() made the recording file (set-up thread only)
    MuxerThread* m_thread = nullptr;

    // Live outputs. The link's connection thread opens and closes the output under m_muxMutex.
    bool m_live = false;                   // set by initialize(), read-only after
    std::unique_ptr<LiveLink> m_link;      // made by initialize(), before the muxing thread starts
    std::atomic<long long> m_liveDrops{0}; // packets dropped while not connected or backlogged
    LiveState m_reportedState = LiveState::NotLive; // m_callbackMutex
    AVIOContext* m_liveIo = nullptr;                // m_muxMutex; the I/O context over the link
    // Guards the extradata and stream parameters, which the pipeline may set while the
    // connection thread opens the output.
    mutable std::mutex m_extradataMutex;
    std::condition_variable m_extradataCond; // video headers arrived, under m_extradataMutex
};
