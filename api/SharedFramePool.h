#pragma once

#include <memory>
#include <mutex>
#include <vector>

// Frame buffers that a job fills once (a copy of the host's frame, or a buffer lent to the host)
// and hands to all of its pipelines at once, each of which holds it by a shared pointer until
// encoded or dropped. A buffer whose last holder lets go comes back for a later frame, so a
// steady stream of frames allocates nothing. Never waits: when no buffer is free a new one is
// made; what the queues behind it hold bounds how many exist. Safe from any thread; buffers may
// outlive the pool's owner (each keeps the pool alive).
class SharedFramePool : public std::enable_shared_from_this<SharedFramePool>
{
public:
    // `keep`: free buffers kept for reuse; more are freed as they come back.
    static std::shared_ptr<SharedFramePool> create(int keep);
    ~SharedFramePool();
    SharedFramePool(const SharedFramePool&) = delete;
    SharedFramePool& operator=(const SharedFramePool&) = delete;

    // A buffer of `size` bytes (aligned for SIMD); null for size <= 0 or out of memory.
    std::shared_ptr<unsigned char> take(int size);

private:
    explicit SharedFramePool(int keep);
    void giveBack(unsigned char* buffer, int size);

    const int m_keep;
    std::vector<unsigned char*> m_free; // guarded by m_mutex; all of m_size bytes
    int m_size = 0;                     // likewise: a new size frees the old buffers
    std::mutex m_mutex;
};
