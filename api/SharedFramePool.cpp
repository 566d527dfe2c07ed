#include "api/SharedFramePool.h"

extern "C" {
#include <libavutil/mem.h>
}

SharedFramePool::SharedFramePool(int keep) : m_keep(keep) {}

std::shared_ptr<SharedFramePool> SharedFramePool::create(int keep)
{
    return std::shared_ptr<SharedFramePool>(new SharedFramePool(keep));
}

SharedFramePool::~SharedFramePool()
{
    for (unsigned char* buffer : m_free)
        av_free(buffer);
}

std::shared_ptr<unsigned char> SharedFramePool::take(int size)
{
    if (size <= 0)
        return nullptr;
    unsigned char* buffer = nullptr;
    std::vector<unsigned char*> stale;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (size != m_size) {
            stale.swap(m_free);
            m_size = size;
        }
        if (!m_free.empty()) {
            buffer = m_free.back();
            m_free.pop_back();
        }
    }
    for (unsigned char* old : stale)
        av_free(old);
    if (!buffer) {
        buffer = static_cast<unsigned char*>(av_malloc(static_cast<size_t>(size)));
        if (!buffer)
            return nullptr;
    }
    return std::shared_ptr<unsigned char>(
        buffer, [pool = shared_from_this(), size](unsigned char* b) { pool->giveBack(b, size); });
}

void SharedFramePool::giveBack(unsigned char* buffer, int size)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (size == m_size && static_cast<int>(m_free.size()) < m_keep) {
            m_free.push_back(buffer);
            return;
        }
    }
    av_free(buffer);
}
