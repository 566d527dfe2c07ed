#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

/// A FIFO of owned items shared by producer and consumer threads. Every operation takes the
/// FIFO's own mutex and none calls out while holding it.
///
/// Bounded use: setLimit(n) makes append() refuse (and destroy) an item once n are queued, so a
/// producer that outruns its consumer cannot exhaust memory; waitForRoom() lets a producer wait
/// for the consumer instead. Without a limit the FIFO grows without bound.
///
/// Taking from an empty FIFO with take() throws std::underflow_error("SB Queue underflow !");
/// tryTake() answers null instead.
template <class T> class LockedFifo
{
public:
    LockedFifo() = default;
    LockedFifo(const LockedFifo&) = delete;
    LockedFifo& operator=(const LockedFifo&) = delete;

    /// Most items queued at once; 0 or less removes the limit.
    void setLimit(int limit)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_limit = limit > 0 ? static_cast<size_t>(limit) : std::numeric_limits<size_t>::max();
        m_room.notify_all();
    }

    /// Queues the item; false when the FIFO is full, and the item is then destroyed.
    bool append(std::unique_ptr<T> item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.size() >= m_limit)
            return false;
        m_items.push_back(std::move(item));
        return true;
    }

    /// The head item; throws std::underflow_error when the FIFO is empty.
    std::unique_ptr<T> take()
    {
        std::unique_ptr<T> item = tryTake();
        if (!item)
            throw std::underflow_error("SB Queue underflow !");
        return item;
    }

    /// The head item, or null when empty.
    std::unique_ptr<T> tryTake()
    {
        std::unique_ptr<T> item;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_items.empty())
                return nullptr;
            item = std::move(m_items.front());
            m_items.pop_front();
            m_room.notify_all();
        }
        return item;
    }

    /// The item at the head, still owned by the FIFO, or null. Only the consumer may use it.
    T* front() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.empty() ? nullptr : m_items.front().get();
    }

    /// Items queued now.
    int count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_items.size());
    }

    /// Whether no item is queued.
    bool isEmpty() const { return count() == 0; }

    /// Destroys every queued item (outside the lock: an item's destructor may call out).
    void clear()
    {
        std::deque<std::unique_ptr<T>> items;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            items.swap(m_items);
            m_room.notify_all();
        }
    }

    /// Waits until one more item fits, at most timeoutMs milliseconds; false on timeout or while
    /// the FIFO is closed for waiting (see setOpen).
    bool waitForRoom(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                        [this] { return !m_open || m_items.size() < m_limit; });
        return m_open && m_items.size() < m_limit;
    }

    /// A closed FIFO answers every waitForRoom() with false at once and wakes current waiters;
    /// appending and taking are unaffected.
    void setOpen(bool open)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = open;
        m_room.notify_all();
    }

private:
    std::deque<std::unique_ptr<T>> m_items;              // guarded by m_mutex
    size_t m_limit = std::numeric_limits<size_t>::max(); // likewise
    bool m_open = true;                                  // likewise
    mutable std::mutex m_mutex;
    std::condition_variable m_room; // signalled under m_mutex when an item leaves or on setOpen
};
