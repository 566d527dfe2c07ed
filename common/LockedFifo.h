#pragma once

#include <deque>
#include <mutex>
#include <stdexcept>

// A FIFO of owned pointers shared by a producer and a consumer thread. Every operation takes
// the FIFO's own mutex; none blocks beyond that. Taking from an empty FIFO throws
// std::underflow_error("SB Queue underflow !"): callers check isEmpty() first, which is safe
// with a single consumer.
template <class T> class LockedFifo
{
public:
    LockedFifo() = default;
    ~LockedFifo() { clear(); }
    LockedFifo(const LockedFifo&) = delete;
    LockedFifo& operator=(const LockedFifo&) = delete;

    void append(T* item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(item);
    }

    T* take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty())
            throw std::underflow_error("SB Queue underflow !");
        T* item = m_items.front();
        m_items.pop_front();
        return item;
    }

    // take() or null when empty, without the exception.
    T* tryTake()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty())
            return nullptr;
        T* item = m_items.front();
        m_items.pop_front();
        return item;
    }

    // The item at the head, still owned by the FIFO, or null. Only the consumer may use it.
    T* front() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.empty() ? nullptr : m_items.front();
    }

    int count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_items.size());
    }

    bool isEmpty() const { return count() == 0; }

    // Deletes every queued item.
    void clear()
    {
        std::deque<T*> items;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            items.swap(m_items);
        }
        for (T* item : items)
            delete item;
    }

private:
    std::deque<T*> m_items; // guarded by m_mutex
    mutable std::mutex m_mutex;
};
