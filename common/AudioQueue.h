#pragma once

// One queued buffer of 16-bit interleaved audio; owns a copy of the bytes.
class AudioQueue
{
public:
    AudioQueue(const void* data, int size);
    ~AudioQueue();
    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    unsigned char* data() const { return m_data; } // null when built from null
    int size() const { return m_size; }            // bytes; kept even for a null buffer

private:
    unsigned char* m_data = nullptr;
    int m_size;
};
