#include "muxer/MuxerReports.h"

void MuxerReports::detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = nullptr;
}
