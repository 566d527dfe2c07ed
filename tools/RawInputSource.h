#pragma once

#include "tools/MediaSource.h"

#include <cstdio>
#include <vector>

// Raw frames read back to back from a stream (standard input): packed planes without row
// padding in one pixel format, one size, at a declared frame rate. No sound.
//
// When the stream is a regular file (`< frames.nv12`) it is mapped and the frames are passed
// to the pipelines straight from the page cache, which saves one copy of every frame.
class RawInputSource : public MediaSource
{
public:
    // `stream` is not owned.
    RawInputSource(std::FILE* stream, int format, int width, int height, double frameRate);
    ~RawInputSource() override;
    RawInputSource(const RawInputSource&) = delete;
    RawInputSource& operator=(const RawInputSource&) = delete;

    bool open(QString* error) override;
    bool read(Chunk* chunk) override;
    QString error() const override { return m_error; }
    bool isLive() const override { return false; }
    bool hasAudio() const override { return false; }
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    double frameRate() const override { return m_frameRate; }
    QString describe() const override;

private:
    bool readMapped(Chunk* chunk);

    std::FILE* m_stream;
    int m_format;
    int m_width;
    int m_height;
    double m_frameRate;
    // Two buffers, used in turn, so that a read that fails half-way leaves the last frame.
    std::vector<unsigned char> m_frames[2];
    int m_next = 0;
    // The mapped file, or null when reading through the stream.
    unsigned char* m_map = nullptr;
    size_t m_mapSize = 0;
    size_t m_offset = 0;    // start of the next frame in the map
    size_t m_released = 0;  // the map before this offset has been handed back to the kernel
    size_t m_populated = 0; // the map before this offset has its page tables filled
    QString m_error;
};
