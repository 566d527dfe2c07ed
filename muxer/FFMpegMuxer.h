#pragma once

#include "common/CodecPreset.h"
#include "muxer/ContainerWriter.h"
#include "muxer/IMuxer.h"
#include "muxer/MuxerReports.h"
#include "muxer/StreamHeaders.h"

#include <QString>
#include <memory>

class IMuxerCallback;
class IMuxerOutput;

// Writes a pipeline's encoded packets into a container with libavformat: IMuxer over a
// ContainerWriter (stamping, queues, the writing thread, the container) and the output it
// writes to, chosen once by initialize(): a local recording (FileOutput) or a live stream
// (LiveOutput). How each container is written comes from ContainerTable.
//
// initialize() checks that the container takes the codecs (a trial header on a null output)
// and opens the output; the destructor stops it: a recording drains the queues, writes the
// trailer and closes the file, so every packet handed over ends up in it; a live stream sends
// what it can within a second. mkv and crash-safe mp4/mov close a cluster or fragment at least
// every ContainerTable::kCrashLossMs, so a killed process leaves a file that plays up to about
// a second before the kill.
//
// Threads: as IMuxer says. The set-up calls (setPart, setReserved, initialize) come from one
// thread before any other; the headers may arrive from any thread (StreamHeaders locks).
class FFMpegMuxer : public IMuxer
{
public:
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
    void setPacketTiming(IPacketTiming* timing) override { m_writer.setPacketTiming(timing); }
    void detachCallback() override;
    const QString& recordingPath() override;

private:
    MuxerReports m_reports;
    CodecPreset m_preset; // set-up thread; read-only once initialize() returned
    StreamHeaders m_headers;
    ContainerWriter m_writer;
    std::unique_ptr<IMuxerOutput> m_output; // made by initialize()
    unsigned long long m_reserved = 0;      // IMuxer::setReserved; set-up thread only
    int m_part = 1;      // set-up thread only: the recording's file this muxer writes
    QString m_firstPart; // likewise: the path of the recording's first file
};
