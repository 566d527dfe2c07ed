#pragma once

#include "tools/MediaSource.h"

#include <vector>

// Raw frames read back to back from a file descriptor (standard input): packed planes without
// row padding in one pixel format, one size, at a declared frame rate. No sound.
//
// Frames are read with read(2) whatever the descriptor is. A regular file is deliberately not
// mapped: a file that another process truncates while it is read would turn the next access
// into SIGBUS, whereas read() simply sees the shorter file.
class RawInputSource : public MediaSource
{
public:
    // `fd` is not owned.
    RawInputSource(int fd, int format, int width, int height, double frameRate);

    bool open(QString* error) override;
    bool read(Chunk* chunk) override;
    QString error() const override { return m_error; }
    bool isLive() const override { return false; }
    bool hasAudio() const override { return false; }
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    double frameRate() const override { return m_frameRate; }
    QString describe() const override;
    int directFormat() const override { return m_format; }
    void readNextInto(unsigned char* buffer) override { m_target = buffer; }

private:
    int m_fd;
    int m_format;
    int m_width;
    int m_height;
    double m_frameRate;
    // Two buffers, used in turn, so that a read that fails half-way leaves the last frame.
    std::vector<unsigned char> m_frames[2];
    int m_next = 0;
    unsigned char* m_target = nullptr; // the next read()'s destination instead of m_frames
    QString m_error;
};
