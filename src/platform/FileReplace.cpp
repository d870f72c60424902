#include "platform/FileReplace.h"

#include "platform/Log.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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
    // Held while the file is written: a start of the app in another process
    // takes a file nobody holds for one left by a write that was killed.
    ::flock(fd, LOCK_EX);
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

// mkostemp's "XXXXXX": six letters and digits.
bool isTemporarySuffix(QByteArrayView suffix)
{
    if (suffix.size() != 6)
        return false;
    for (const char c : suffix) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

} // namespace

QStringList removeStaleTemporaryFiles(const QString &path)
{
    constexpr time_t kQuietSeconds = 10;   // a writer takes its lock at once; this covers the moment before
    QStringList removed;
    const QFileInfo file(path);
    const QByteArray folder = QFile::encodeName(file.absolutePath());
    const QByteArray prefix = QFile::encodeName(file.fileName()) + '.';
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return removed;
    const int folderFd = ::dirfd(dir);
    const time_t now = ::time(nullptr);
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        if (!name.startsWith(prefix) || !isTemporarySuffix(name.sliced(prefix.size())))
            continue;
        const int fd = ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st{};
        const bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
                           && now - st.st_mtime > kQuietSeconds && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        // Unlinked while we hold its lock, which no writer holds.
        if (stale && ::unlinkat(folderFd, entry->d_name, 0) == 0)
            removed << QFile::decodeName(folder + '/' + name.toByteArray());
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

std::optional<FileReplaceError> replaceFile(const QString &path, const QByteArray &data)
{
    FileReplaceError failure;
    if (replace(path, data, &failure))
        return std::nullopt;
    return failure;
}
