#pragma once

// muxer/: container writing (FFMpegMuxer), recording names, and the live transports; the live
// link itself is in muxer/live/. May include common/, base/, platform/ and codec/.

#include "common/AVHandles.h"

#include <QString>

class CodecPreset;
class IPacketTiming;
struct AVCodecParameters;

// The output of one pipeline: queues encoded packets, stamps them from its frame and sample
// counters, and writes them into a container through libavformat on its own thread.
//
// Lifecycle: construct with the pipeline's IMuxerCallback; setReserved(), setPart(),
// setVideoParameters(), setVideoExtradata(), setAudioExtradata(); initialize(), which decides
// whether the container takes the codecs (on failure the pipeline deletes the muxer). Then,
// under the pipeline's muxer mutex: isHeaderWritten()/writeHeader() before the first video
// packet, writeVideo(), writeAudio(), the skip operations. The destructor always runs, also
// after a failed initialize(): it drains the queues, writes the trailer, closes the output and
// removes a file that got no packet.
class IMuxer
{
public:
    virtual ~IMuxer() = default;
    virtual bool initialize(const CodecPreset& preset) = 0;
    virtual bool isHeaderWritten() = 0;
    virtual bool writeHeader() = 0;
    // Takes the packet as it is (no copy); its stamps are not used: packets are stamped by
    // counting frames. Its pts may name its frame for the timing reports
    // (IPacketTiming::setOrigin). False once the output has failed (a write error, a full
    // disk).
    virtual bool writeVideo(AVPacketPtr packet, bool keyFrame) = 0;
    // The same for sound, counted in samples: a packet's duration, when set, is the number of
    // samples it holds (codecs of varying packet lengths); unset, one audio frame.
    virtual bool writeAudio(AVPacketPtr packet) = 0;
    // A dropped output frame: advances the video frame counter and the written video time
    // without a packet.
    virtual void skipVideoFrame() = 0;
    // A lost audio buffer: advances the sample counter by one audio frame; returns its samples.
    virtual int skipAudioFrame() = 0;
    // The coded video stream's parameters as its encoder describes them (copied); without
    // them the stream is described from the preset.
    virtual void setVideoParameters(const AVCodecParameters* par) = 0;
    virtual void setVideoExtradata(unsigned char* data, unsigned int size) = 0;
    virtual void setAudioExtradata(unsigned char* data, unsigned int size) = 0;
    virtual void setReserved(unsigned int value) = 0;
    // Which file of the pipeline's recording this muxer writes: `part` 1 for the first, 2 and
    // on after time splits, `firstPart` being the first one's path. A local recording's file
    // is named for it (RecordingName::partPath); part 1 when never called.
    virtual void setPart(int part, const QString& firstPart) = 0;
    // Video frames stamped so far, skipped ones included.
    virtual long long videoFrameCount() = 0;
    // Makes blocking I/O and reconnection give up.
    virtual void abort() = 0;
    // Where the times of the video packets go (see IPacketTiming); null, the default, for
    // nowhere. `timing` must outlive the muxer or be unset first. Any thread.
    virtual void setPacketTiming(IPacketTiming* timing) = 0;
    // No report reaches the pipeline's IMuxerCallback after this returns: a muxer replaced at a
    // time split still drains and closes, but its last write reports would count against the
    // next file.
    virtual void detachCallback() = 0;
    virtual const QString& recordingPath() = 0;

    // A replay buffer (ReplayMuxer) keeps its packets instead of writing them. saveReplay()
    // starts writing what it holds into a new file, on a thread of its own, and returns at
    // once; the result reaches the pipeline's IMuxerCallback::replaySaved(). False, with the
    // reason, when it holds nothing yet or a save is still being written; every other muxer
    // refuses.
    virtual bool saveReplay(QString* whyNot)
    {
        *whyNot =
            QStringLiteral("the output is not a replay buffer (its local.replaySeconds is 0)");
        return false;
    }
    // Returns once no replay is being saved (and its report was made).
    virtual void waitForReplay() {}
    // What a replay buffer holds now: encoded bytes, and seconds of video; 0 for other muxers.
    virtual void replayHeld(long long* bytes, double* seconds)
    {
        *bytes = 0;
        *seconds = 0.0;
    }
};
