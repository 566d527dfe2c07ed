#pragma once

#include "common/AVHandles.h"

#include <QString>
#include <deque>
#include <memory>

class AudioEncoding;
class CodecPreset;
class IMuxer;
class IMuxerCallback;
class IVideoCodec;
struct AVSync;

// The output side of one pipeline: its current muxer and the files written so far. The first
// muxer opens part 1 of the recording; a time split hands the output over to a new muxer for
// the next part (RecordingName::partPath names every part, from the part's number and the
// first part's path). At the hand-over the finished file gets the sound of its video, and
// the counts of written video and sound start again for the next. The muxer handed over goes
// back to the caller, which destroys it (it drains its queue and writes the trailer) once the
// pipeline's lock is released.
//
// Threads: it has no lock of its own: every operation but copyPacket() expects the pipeline's
// muxer mutex held. The host's control thread opens the first muxer and takes the last; a
// time split runs on the thread that writes the pipeline's video (its own video thread, or
// the one of the pipeline that encodes for it).
class MuxerHandOver
{
public:
    // `preset`, `sync` and `audio` are the pipeline's and outlive this object; `reports` is
    // the callback every muxer reports to.
    MuxerHandOver(const CodecPreset& preset, AVSync& sync, AudioEncoding& audio,
                  IMuxerCallback* reports);
    ~MuxerHandOver();
    MuxerHandOver(const MuxerHandOver&) = delete;
    MuxerHandOver& operator=(const MuxerHandOver&) = delete;

    // The one copy of an encoded packet on its way to a muxer; null when out of memory.
    static AVPacketPtr copyPacket(const unsigned char* data, unsigned int size);

    IMuxer* muxer() const { return m_muxer.get(); }
    // Whether the current file of a local recording holds the preset's split length of video.
    bool splitDue() const;
    // Makes the muxer of the next part and opens it when there is `video` (the encoder whose
    // stream it describes; `encodedFrames` packets were encoded before it). The muxer it
    // replaces goes to `replaced`. False when no muxer could be made or opened; there is then
    // none.
    bool openNext(IVideoCodec* video, long long encodedFrames, std::unique_ptr<IMuxer>& replaced);
    // Writes a video packet, the container's header first (with `video`'s extradata) when it
    // is not written yet, and counts it; false without muxer or when the muxer refuses.
    bool writeVideo(AVPacketPtr packet, bool keyFrame, IVideoCodec* video);
    // `count` video frames are lost: their places in the timeline are skipped and counted as
    // written.
    void skipVideoFrames(int count);
    // Takes the muxer out, to be destroyed without the lock.
    std::unique_ptr<IMuxer> take();
    // The current file's path, which stays valid after the file is handed over; null without
    // muxer.
    const QString* currentPath() const;
    // A pipeline set up again starts its parts from 1.
    void forgetPaths() { m_paths.clear(); }

private:
    const CodecPreset& m_preset;
    AVSync& m_sync;
    AudioEncoding& m_audio;
    IMuxerCallback* const m_reports;
    // Both guarded by the pipeline's muxer mutex.
    std::unique_ptr<IMuxer> m_muxer;
    // Every file's path so far, the current one last; a deque, so that the reference a host
    // holds to one outlives the muxer that wrote it.
    std::deque<QString> m_paths;
};
