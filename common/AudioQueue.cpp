#include "common/AudioQueue.h"

#include <cstring>

AudioQueue::AudioQueue(const void* data, int size) : m_size(size > 0 ? size : 0)
{
    if (data && m_size > 0) {
        m_data = new unsigned char[m_size];
        std::memcpy(m_data, data, m_size);
    }
}

AudioQueue::~AudioQueue()
{
    delete[] m_data;
}
