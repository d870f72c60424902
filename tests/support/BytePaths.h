#pragma once

// Making and reading test trees by byte paths, which may hold any name the
// file system allows (not only valid UTF-8).

#include <QByteArray>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

// Writes a file (never through a link) with exactly this mode.
inline bool writeFile(const QByteArray &path, const QByteArray &content = "x", mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size()
                    && ::fchmod(fd, mode) == 0;
    return ::close(fd) == 0 && ok;
}

inline bool makeDir(const QByteArray &path, mode_t mode = 0755) { return ::mkdir(path.constData(), mode) == 0; }

inline bool makeLink(const QByteArray &target, const QByteArray &path)
{
    return ::symlink(target.constData(), path.constData()) == 0;
}

// The type and permission bits of what is at `path` (links not followed); 0 when nothing is.
inline mode_t modeOf(const QByteArray &path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 ? st.st_mode : 0;
}

inline bool exists(const QByteArray &path) { return modeOf(path) != 0; }

inline QByteArray readFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace testsupport
