#pragma once

/// One queued buffer of 16-bit interleaved audio; owns a copy of the bytes.
class AudioQueue
{
public:
    /// Copies size bytes from data; nothing for null data or a size not above 0.
    AudioQueue(const void* data, int size);
    ~AudioQueue();
    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    /// The copied bytes, owned by this buffer; null when built from null.
    unsigned char* data() const { return m_data; }
    /// Bytes of audio; kept even for a null buffer (a lost one), 0 for a negative size.
    int size() const { return m_size; }

private:
    unsigned char* m_data = nullptr;
    int m_size;
};
