#include "filesync.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace FileSync {

namespace {

bool syncPath(const QString &path, int flags, bool dataOnly)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

} // namespace

bool file(const QString &path, bool dataOnly)
{
    return syncPath(path, O_RDONLY, dataOnly);
}

bool folder(const QString &path)
{
    return syncPath(path, O_RDONLY | O_DIRECTORY, false);
}

}
