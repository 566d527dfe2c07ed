#include "muxer/M2tsWriter.h"

namespace {

constexpr int kTsPacket = 188;

} // namespace

M2tsWriter::M2tsWriter(std::unique_ptr<IWriter> file, QObject* parent)
    : IWriter(parent), m_file(std::move(file))
{
}

M2tsWriter::~M2tsWriter() = default;

bool M2tsWriter::open(QString path)
{
    m_pending.clear();
    m_arrival = 0;
    m_taken = 0;
    return m_file->open(path);
}

bool M2tsWriter::isOpen()
{
    return m_file->isOpen();
}

bool M2tsWriter::flush()
{
    return m_file->flush();
}

bool M2tsWriter::seek(long long, int)
{
    return false;
}

long long M2tsWriter::write(const QByteArray& data)
{
    m_pending.append(data);
    const int whole = m_pending.size() / kTsPacket;
    QByteArray out;
    out.reserve(whole * (kTsPacket + 4));
    for (int i = 0; i < whole; ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(m_pending.constData()) +
                        static_cast<ptrdiff_t>(i) * kTsPacket;
        // An adaptation field (bit 5 of byte 3) of some length whose PCR flag is set carries
        // 33 bits of a 90 kHz base and 9 bits of a 27 MHz extension.
        if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) {
            const quint64 base = (quint64(p[6]) << 25) | (quint64(p[7]) << 17) |
                                 (quint64(p[8]) << 9) | (quint64(p[9]) << 1) | (p[10] >> 7);
            const quint64 extension = (quint64(p[10] & 1) << 8) | p[11];
            m_arrival = static_cast<quint32>((base * 300 + extension) & 0x3fffffff);
        }
        // Two bits of copy permission (none) and 30 bits of arrival time, big-endian.
        const char header[4] = {static_cast<char>(m_arrival >> 24),
                                static_cast<char>(m_arrival >> 16),
                                static_cast<char>(m_arrival >> 8), static_cast<char>(m_arrival)};
        out.append(header, 4);
        out.append(reinterpret_cast<const char*>(p), kTsPacket);
    }
    m_pending.remove(0, whole * kTsPacket);
    if (!out.isEmpty() && m_file->write(out) != out.size())
        return -1;
    m_taken += data.size();
    return data.size();
}

void M2tsWriter::finish()
{
    m_file->finish();
}

long long M2tsWriter::size()
{
    return m_file->size();
}

long long M2tsWriter::pos()
{
    return m_taken;
}

QString M2tsWriter::errorText()
{
    return m_file->errorText();
}
