#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

// A ring of elements with its own lock, written in blocks by one thread and read in place by
// another. A block handed out by read() is lent to the reader until its next read() or
// release(): the writer never overwrites it, so a reader can use it without copying.
// Every operation takes the ring's own (recursive) lock; none blocks otherwise.
template <class T> class CircuitQueue
{
    static_assert(std::is_trivially_copyable<T>::value, "elements are copied with memcpy");

public:
    // `slack` elements are allocated past the ring's end (not used by the ring itself).
    explicit CircuitQueue(int capacity, int slack = 0)
        : m_buffer(static_cast<size_t>(std::max(capacity, 0) + std::max(slack, 0))),
          m_capacity(std::max(capacity, 0)), m_slack(std::max(slack, 0))
    {
    }
    virtual ~CircuitQueue() = default;
    CircuitQueue(const CircuitQueue&) = delete;
    CircuitQueue& operator=(const CircuitQueue&) = delete;

    int capacity() const { return m_capacity; }
    int count() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_count;
    }
    // Appends n elements, split at the ring's end when needed. False, writing nothing, when
    // there is no room for all of them.
    bool write(const T* src, int n)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (n <= 0 || n > m_capacity - m_count - m_lent)
            return false;
        const int first = std::min(n, m_capacity - m_write);
        std::memcpy(m_buffer.data() + m_write, src, sizeof(T) * first);
        std::memcpy(m_buffer.data(), src + first, sizeof(T) * (n - first));
        m_write = (m_write + n) % m_capacity;
        m_count += n;
        return true;
    }

    // Ends the previous loan and lends the next n elements when they lie in one piece from the
    // read position; null (nothing taken) otherwise.
    T* read(int n)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        release();
        if (n <= 0 || contiguous() < n)
            return nullptr;
        T* block = m_buffer.data() + m_read;
        m_read = (m_read + n) % m_capacity;
        m_count -= n;
        m_lent = n;
        return block;
    }
    void release()
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_lent = 0;
    }

private:
    // With the lock held: elements readable in one piece from the read position.
    int contiguous() const
    {
        if (m_count == 0)
            return 0;
        if (m_write > m_read)
            return m_write - m_read;
        return m_capacity - m_read;
    }

    mutable std::recursive_mutex m_mutex;
    std::vector<T> m_buffer; // guarded by m_mutex, like every field below
    int m_count = 0;
    const int m_capacity;
    int m_read = 0;
    int m_write = 0;
    int m_lent = 0; // the block last handed out by read()
    const int m_slack;
};
