#include "muxer/FileWriter.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FileWriter::FileWriter(QObject* parent) : IWriter(parent) {}

FileWriter::~FileWriter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FileWriter::open(QString path)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    m_error = m_fd < 0 ? errno : 0;
    return m_fd >= 0;
}

bool FileWriter::isOpen()
{
    return m_fd >= 0;
}

bool FileWriter::flush()
{
    return true;
}

bool FileWriter::seek(long long offset, int whence)
{
    if (m_fd < 0)
        return false;
    off_t target;
    switch (whence) {
    case 0:
        target = std::llabs(offset);
        break;
    case 1:
        target = pos() + offset;
        break;
    case 2:
        target = size() - std::llabs(offset);
        break;
    default:
        return false;
    }
    return target >= 0 && ::lseek(m_fd, target, SEEK_SET) == target;
}

long long FileWriter::write(const QByteArray& data)
{
    if (m_fd < 0)
        return -1;
    struct stat st;
    if (::fstat(m_fd, &st) == 0 && st.st_nlink == 0) {
        m_error = kDeleted;
        return -1;
    }
    const char* p = data.constData();
    size_t left = static_cast<size_t>(data.size());
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            return -1;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return data.size();
}

long long FileWriter::size()
{
    struct stat st;
    return m_fd >= 0 && ::fstat(m_fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

long long FileWriter::pos()
{
    return m_fd >= 0 ? static_cast<long long>(::lseek(m_fd, 0, SEEK_CUR)) : -1;
}

QString FileWriter::errorText()
{
    if (m_error == 0)
        return {};
    if (m_error == kDeleted)
        return QStringLiteral("the file was deleted");
    return QString::fromLocal8Bit(std::strerror(m_error));
}
