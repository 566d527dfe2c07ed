#include "encoder/EncoderGroup.h"

void EncoderGroup::add(IEncoder* encoder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (encoder && !m_encoders.contains(encoder))
        m_encoders.append(encoder);
}

void EncoderGroup::remove(IEncoder* encoder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_encoders.removeAll(encoder);
}

void EncoderGroup::ecoderStateCallback(IEncoder* encoder, int type, int state)
{
    if (m_reports)
        m_reports->ecoderStateCallback(encoder, type, state);
}

QVector<IEncoder*> EncoderGroup::encoders()
{
    // A copy of its own: Qt's shared copies count their users with atomics that
    // ThreadSanitizer does not follow.
    std::lock_guard<std::mutex> lock(m_mutex);
    return QVector<IEncoder*>(m_encoders.cbegin(), m_encoders.cend());
}
