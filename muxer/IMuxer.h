#pragma once

#include <QString>

class CodecPreset;

// The output of one pipeline: queues encoded packets, stamps them from its frame and sample
// counters, and writes them into a container through libavformat on its own thread.
//
// Lifecycle: construct with the pipeline's IMuxerCallback; setReserved(), setVideoExtradata(),
// setAudioExtradata(); initialize() (on failure the pipeline deletes the muxer). Then, under the
// pipeline's muxer mutex: isHeaderWritten()/writeHeader() before the first video packet,
// writeVideo(), writeAudio(), the skip operations. The destructor always runs, also after a
// failed initialize(): it stops the muxing thread, writes the trailer and closes the output.
class IMuxer
{
public:
    virtual ~IMuxer() = default;
    virtual bool initialize(const CodecPreset& preset) = 0;
    virtual bool isHeaderWritten() = 0;
    virtual bool writeHeader() = 0;
    // pts and dts are not used: packets are stamped by counting frames.
    virtual bool writeVideo(unsigned char* data, unsigned int size, unsigned int keyFrame,
                            long long pts, long long dts) = 0;
    virtual bool writeAudio(unsigned char* data, unsigned int size) = 0;
    // A dropped output frame: advances the video frame counter without a packet.
    virtual void skipVideoFrame() = 0;
    // A lost audio buffer: advances the sample counter by one audio frame; returns its samples.
    virtual int skipAudioFrame() = 0;
    virtual void setVideoExtradata(unsigned char* data, unsigned int size) = 0;
    virtual void setAudioExtradata(unsigned char* data, unsigned int size) = 0;
    virtual void setReserved(unsigned int value) = 0;
    // Video frames stamped so far, skipped ones included.
    virtual long long videoFrameCount() = 0;
    // Makes blocking I/O and reconnection give up.
    virtual void abort() = 0;
    virtual const QString& recordingPath() = 0;
};
