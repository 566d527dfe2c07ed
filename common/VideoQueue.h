#pragma once

#include <functional>

struct TimeStamp;

/// One queued video frame. Owns a copy of the pixels, or a lent buffer that it hands back
/// through its give-back function when destroyed; a TEXTURE frame (format 30) only keeps the
/// texture pointer, which stays the host's.
class VideoQueue
{
public:
    /// Called with the lent buffer when the frame is destroyed.
    using GiveBack = std::function<void(unsigned char*)>;

    /// Copies pixelFormatFrameSize(format, width, height) bytes from data (nothing when data is
    /// null or the format has no fixed layout: data() is then null). The bool and the stamp are
    /// accepted for the host's convenience and not kept.
    VideoQueue(void* data, int width, int height, int format, bool flip = false,
               TimeStamp* ts = nullptr);
    /// Copies exactly size bytes: for formats whose size the table cannot tell (MJPG, H264 ...).
    VideoQueue(const void* data, int size, int width, int height, int format);
    /// Takes size bytes at buffer without a copy; giveBack(buffer) runs on destruction, on
    /// whichever thread destroys the frame.
    VideoQueue(GiveBack giveBack, unsigned char* buffer, int size, int width, int height,
               int format);
    ~VideoQueue();
    VideoQueue(const VideoQueue&) = delete;
    VideoQueue& operator=(const VideoQueue&) = delete;

    /// The pixels, owned by the frame (or lent to it); for a TEXTURE frame the host's texture
    /// pointer. Null when nothing was copied.
    unsigned char* data() const { return m_data; }
    /// Bytes at data(); 0 for a TEXTURE frame or when nothing was copied.
    int size() const { return m_size; }
    int width() const { return m_width; }   ///< picture width in pixels
    int height() const { return m_height; } ///< picture height in pixels
    int format() const { return m_format; } ///< the PixelFormat code
    /// Whether the frame is a GPU texture (PIX_TEXTURE) rather than pixels in memory.
    bool isTexture() const;
    /// The host's stamp of the frame (TimeStamp::pts, microseconds), which the pipeline hands
    /// on to the frame's packet (EncodedVideo::stampUs); -1 for none.
    long long stampUs() const { return m_stampUs; }
    /// Sets stampUs(); the thread that queues the frame, before it is queued.
    void setStampUs(long long stampUs) { m_stampUs = stampUs; }

private:
    unsigned char* m_data = nullptr;
    int m_size = 0;
    int m_width;
    int m_height;
    int m_format;
    long long m_stampUs = -1;
    GiveBack m_giveBack; // set for a lent buffer
};
