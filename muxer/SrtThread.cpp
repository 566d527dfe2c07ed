#include "muxer/SrtThread.h"

SrtThread::SrtThread(std::function<void(SrtThread&)> loop) : m_loop(std::move(loop)) {}

SrtThread::~SrtThread()
{
    m_stopped.store(true);
    wait();
    std::lock_guard<std::mutex> lock(m_finished);
}

void SrtThread::run()
{
    m_loop(*this);
    std::lock_guard<std::mutex> lock(m_finished);
}
