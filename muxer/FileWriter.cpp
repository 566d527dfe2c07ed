#include "muxer/FileWriter.h"

#include <cstdlib>

FileWriter::FileWriter(QObject* parent) : IWriter(parent) {}

FileWriter::~FileWriter()
{
    m_file.close();
}

bool FileWriter::open(QString path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly);
}

bool FileWriter::isOpen()
{
    return m_file.isOpen();
}

bool FileWriter::flush()
{
    if (m_file.isOpen())
        m_file.flush();
    return true;
}

bool FileWriter::seek(long long offset, int whence)
{
    switch (whence) {
    case 0:
        return m_file.seek(std::llabs(offset));
    case 1:
        return m_file.seek(pos() + offset);
    case 2:
        return m_file.seek(size() - std::llabs(offset));
    default:
        return false;
    }
}

long long FileWriter::write(const QByteArray& data)
{
    return m_file.write(data);
}

long long FileWriter::size()
{
    return m_file.size();
}

long long FileWriter::pos()
{
    return m_file.pos();
}
