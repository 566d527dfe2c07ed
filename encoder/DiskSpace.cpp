#include "encoder/DiskSpace.h"

#include <QDir>
#include <QFileInfo>
#include <sys/statvfs.h>

long long DiskSpace::megabytesAvailable(const QString& folder)
{
    QString path = QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).absoluteFilePath();
    for (int depth = 0; depth < 256; ++depth) {
        struct statvfs st;
        if (::statvfs(QFile::encodeName(path).constData(), &st) == 0) {
            const unsigned long long bytes =
                static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
            return static_cast<long long>(bytes / 1000 / 1000);
        }
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    return -1;
}
