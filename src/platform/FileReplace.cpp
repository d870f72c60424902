#include "platform/FileReplace.h"

#include "platform/Log.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates the missing directories of the path, private to the user.
bool makeDirectories(const QString &dir, FileReplaceError *failure)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(dir);
    if (::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    const QString parent = QFileInfo(dir).path();
    if (parent != dir && !makeDirectories(parent, failure))
        return false;
    if (::mkdir(native.constData(), 0700) != 0) {
        // Made meanwhile is fine; anything else by that name is not a folder.
        if (errno == EEXIST)
            errno = ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
        if (errno == 0)
            return true;
        failure->error = errno;
        failure->description = QStringLiteral("cannot create the folder %1: %2").arg(dir, errorText(errno));
        return false;
    }
    return true;
}

// Writes all of `data` to `fd`; false with errno set.
bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

bool replace(const QString &path, const QByteArray &data, FileReplaceError *failure)
{
    const QString directory = QFileInfo(path).absolutePath();
    if (!makeDirectories(directory, failure))
        return false;
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);   // mode 0600
    const auto fail = [&](const QString &step) {
        failure->error = errno;
        failure->description = QStringLiteral("%1: %2").arg(step, errorText(failure->error));
        return false;
    };
    if (fd < 0)
        return fail(QStringLiteral("cannot create a file in %1").arg(directory));
    const bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        errno = written ? errno : writeError;
        fail(QStringLiteral("cannot write %1").arg(QFile::decodeName(temporary)));
        ::unlink(temporary.constData());
        return false;
    }
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        fail(QStringLiteral("cannot replace %1").arg(path));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

} // namespace

std::optional<FileReplaceError> replaceFile(const QString &path, const QByteArray &data)
{
    FileReplaceError failure;
    if (replace(path, data, &failure))
        return std::nullopt;
    return failure;
}
