#include "encoder/FramePool.h"

#include "common/PixelFormat.h"

#include <algorithm>
#include <chrono>

FramePool::FramePool(int capacity) : m_capacity(static_cast<size_t>(std::max(capacity, 1))) {}

unsigned char* FramePool::lend(int width, int height, int format, int timeoutMs)
{
    const int bytes = pixelFormatFrameSize(format, width, height);
    if (bytes <= 0)
        return nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto freeSlot = [this] {
        return std::find_if(m_slots.begin(), m_slots.end(),
                            [](const Slot& s) { return s.state == State::Free; });
    };
    m_returned.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] {
        return !m_open || m_slots.size() < m_capacity || freeSlot() != m_slots.end();
    });
    if (!m_open)
        return nullptr;
    auto slot = freeSlot();
    if (slot == m_slots.end()) {
        if (m_slots.size() >= m_capacity)
            return nullptr;
        m_slots.emplace_back();
        slot = m_slots.end() - 1;
    }
    if (slot->capacity < bytes) {
        slot->data.reset(new unsigned char[static_cast<size_t>(bytes)]);
        slot->capacity = bytes;
    }
    slot->frame = {width, height, format, bytes};
    slot->state = State::Lent;
    return slot->data.get();
}

bool FramePool::change(unsigned char* buffer, State from, State to, Frame* frame)
{
    for (Slot& slot : m_slots)
        if (buffer && slot.data.get() == buffer && slot.state == from) {
            slot.state = to;
            if (frame)
                *frame = slot.frame;
            if (to == State::Free)
                m_returned.notify_one();
            return true;
        }
    return false;
}

bool FramePool::claim(unsigned char* buffer, Frame* frame)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return change(buffer, State::Lent, State::Claimed, frame);
}

bool FramePool::release(unsigned char* buffer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return change(buffer, State::Lent, State::Free, nullptr);
}

void FramePool::giveBack(unsigned char* buffer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    change(buffer, State::Claimed, State::Free, nullptr);
}

void FramePool::setOpen(bool open)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = open;
    m_returned.notify_all();
}
