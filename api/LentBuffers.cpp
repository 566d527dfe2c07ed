#include "api/LentBuffers.h"

#include <utility>

unsigned char* LentBuffers::lend(std::shared_ptr<unsigned char> pixels, int format)
{
    unsigned char* address = pixels.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_buffers[address] = {std::move(pixels), format};
    return address;
}

LentBuffers::Buffer LentBuffers::take(unsigned char* address)
{
    Buffer buffer;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_buffers.find(address);
    if (it != m_buffers.end()) {
        buffer = std::move(it->second);
        m_buffers.erase(it);
    }
    return buffer;
}
