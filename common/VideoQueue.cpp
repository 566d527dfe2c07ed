#include "common/VideoQueue.h"

#include "common/PixelFormat.h"

#include <cstring>
#include <utility>

VideoQueue::VideoQueue(void* data, int width, int height, int format, bool, TimeStamp*)
    : m_width(width), m_height(height), m_format(format)
{
    if (format == PIX_TEXTURE) {
        m_data = static_cast<unsigned char*>(data);
        return;
    }
    const int size = pixelFormatFrameSize(format, width, height);
    if (data && size > 0) {
        m_data = new unsigned char[size];
        std::memcpy(m_data, data, size);
        m_size = size;
    }
}

VideoQueue::VideoQueue(const void* data, int size, int width, int height, int format)
    : m_width(width), m_height(height), m_format(format)
{
    if (data && size > 0) {
        m_data = new unsigned char[size];
        std::memcpy(m_data, data, size);
        m_size = size;
    }
}

VideoQueue::VideoQueue(GiveBack giveBack, unsigned char* buffer, int size, int width, int height,
                       int format)
    : m_data(buffer), m_size(size), m_width(width), m_height(height), m_format(format),
      m_giveBack(std::move(giveBack))
{
}

VideoQueue::~VideoQueue()
{
    if (m_giveBack)
        m_giveBack(m_data);
    else if (m_format != PIX_TEXTURE)
        delete[] m_data;
}

bool VideoQueue::isTexture() const
{
    return m_format == PIX_TEXTURE;
}
