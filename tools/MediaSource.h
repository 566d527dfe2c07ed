#pragma once

#include <QString>

// Where the host program's frames and sound come from. A source delivers video in one pixel
// format and size at a fixed frame rate, and audio as signed 16-bit interleaved samples in the
// project's audio format. Used from the host's feeding thread only.
class MediaSource
{
public:
    // One step of the source: a video frame, a block of audio, or both. The audio stays valid
    // until the next read(), the video until the next read() that returns a video frame, also
    // after a read() that returned false.
    struct Chunk
    {
        const unsigned char* video = nullptr;
        int width = 0;
        int height = 0;
        int format = 0; // PixelFormat code
        const unsigned char* audio = nullptr;
        int audioBytes = 0;
    };

    virtual ~MediaSource() = default;

    // Prepares the source; false with a one-line reason.
    virtual bool open(QString* error) = 0;
    // The next chunk; false at the end of the input, or on an error (then error() says why).
    virtual bool read(Chunk* chunk) = 0;
    virtual QString error() const { return {}; }

    // A live source is paced by the clock and stamped; the others are pushed as fast as the
    // pipelines take them.
    virtual bool isLive() const = 0;
    // Without sound of its own the host fills the outputs' audio with silence.
    virtual bool hasAudio() const = 0;
    // What open() found or was given: the picture and rate that the source delivers.
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual double frameRate() const = 0;
    virtual QString describe() const = 0;
    // Packets and frames skipped so far because they were damaged.
    virtual long long damaged() const { return 0; }
    // A source that can read a picture straight into a buffer of the host's (a pipeline's lent
    // frame buffer, saving a copy) gives its pixel format; -1 when it cannot.
    virtual int directFormat() const { return -1; }
    // The next read() writes its picture into `buffer` (the packed size of one picture) and
    // delivers it from there. Only after directFormat() said yes; used for one read().
    virtual void readNextInto(unsigned char* /*buffer*/) {}
};
