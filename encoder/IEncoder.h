#pragma once

#include "api/StrevoExport.h"
#include "encoder/AVSync.h"
#include "encoder/EncodedAudio.h"
#include "encoder/EncodedVideo.h"

#include <QString>

class CodecPreset;
class IAudioCodec;
class IEncodingCallback;
class IEncodingStatus;
class IMuxer;
class IVideoCodec;
struct TimeStamp;

// One encoding pipeline: encodes and writes one output described by one CodecPreset.
//
// Host order: construct; initialize() and check its result; optionally encodingCallback();
// start(); enqueueVideo()/enqueueAudio() for every frame and buffer; stop(); delete. All of
// these run on host threads; the enqueue operations copy their input and never block on the
// pipeline's workers. Feeding ends before stop(): stop() encodes what is queued (and what the
// codecs still hold), so a host that keeps feeding keeps it busy. Reports and packets reach the
// host on the worker threads.
class STREVO_EXPORT IEncoder
{
public:
    // initialize() results.
    enum Result
    {
        Ok = 0,
        CodecError = -2,
        MuxerError = -3,
        DiskSpaceError = -4
    };

    IEncoder() = default;
    IEncoder(const IEncoder& other)
        : m_emptyPath(other.m_emptyPath), m_startTime(other.m_startTime.load())
    {
    }
    IEncoder& operator=(const IEncoder& other)
    {
        m_emptyPath = other.m_emptyPath;
        m_startTime.store(other.m_startTime.load());
        return *this;
    }
    virtual ~IEncoder() = default;

    virtual int encoderType() = 0;
    virtual bool isHWSupport() = 0;
    virtual int initialize(IEncodingStatus* status, CodecPreset* preset, bool share) = 0;
    virtual bool checkTimeSplit() = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual bool pause() = 0;
    virtual void abortMuxer() = 0;
    // Live input: the first frame must carry a stamp whose startFlag is 1.
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format,
                              TimeStamp* ts) = 0;
    // Input without stamps (transcoding).
    virtual void enqueueVideo(unsigned char* data, int width, int height, int format) = 0;
    // 16-bit interleaved audio in the project's audio format; null data marks a lost buffer.
    virtual void enqueueAudio(unsigned char* data, int size) = 0;
    virtual void encodingCallback(IEncodingCallback* cb) = 0;
    virtual CodecPreset* codecPreset() = 0;
    virtual AVSync& getSyncInfo() = 0;
    virtual IVideoCodec* videoCodec() = 0;
    virtual IAudioCodec* audioCodec() = 0;
    virtual const EncodedVideo& encodedVideo() const = 0;
    virtual const EncodedAudio& encodedAudio() const = 0;
    virtual bool writeVideoMuxer(unsigned char* data, unsigned int size, unsigned int key,
                                 long long pts, long long dts, unsigned int index) = 0;
    virtual void writeVideoInputDrop() = 0;
    virtual void writeVideoOutputDrop() = 0;
    virtual void setRefVideoCodec(bool ref) = 0;
    virtual const QString& recordingPath() = 0;
    virtual IMuxer* muxer() = 0;
    // Local time of day in seconds at the first written video packet; -1.0 before.
    virtual double startTime() { return m_startTime.load(std::memory_order_relaxed); }

    // A new video encoder for a codec name ("X264", ...; exact case), not yet initialised,
    // owned by the caller; null for an empty or unknown name.
    static IVideoCodec* createVideoEncoder(const QString& name);
    // A new audio encoder for "AAC", "PCM" or "MP3" (exact case); null otherwise.
    static IAudioCodec* createAudioEncoder(const QString& name);

protected:
    QString m_emptyPath; // the recording path of a pipeline without muxer
    // Set once by the video thread, read by the host.
    std::atomic<double> m_startTime{-1.0};
};
