#include "common/EncodeData.h"

#include <chrono>
#include <cstring>

EncodeData::EncodeData(const unsigned char* data, unsigned int size, unsigned int key,
                       long long pts, long long dts)
    : m_size(data ? size : 0), m_key(key), m_pts(pts), m_dts(dts),
      m_sourceTime(std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count())
{
    if (m_size > 0) {
        m_data = new unsigned char[m_size];
        std::memcpy(m_data, data, m_size);
    }
}

EncodeData::~EncodeData()
{
    delete[] m_data;
}
