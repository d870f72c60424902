// dot_clean: removes the AppleDouble ("._") files it is handed.
//
// Run it with the volume root as working directory and write the files'
// paths, relative to that root and each ended by a NUL byte, to its standard
// input. Only regular files whose name starts with "._" are removed; links,
// folders, absolute paths and paths with "." or ".." components are refused.
// The folders on the way are opened one by one without following links and
// without leaving the root's file system.
//
// Exit status: 0 when every handed path is gone afterwards (also when it was
// gone already), 1 when some remain, 2 on a usage error. Each failure is one
// line on standard error.

#include "cleaning/SafeRemove.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void report(const QByteArray &path, const char *why)
{
    QByteArray line = "dot_clean: " + path + ": " + why + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

bool readAll(int fd, QByteArray *out)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out->append(buffer, n);
    }
}

// True when the path is gone afterwards.
bool clean(const QByteArray &path)
{
    if (path.startsWith('/')) {
        report(path, "refused: absolute path");
        return false;
    }
    if (!SafeRemove::isInside(".", path) || path.startsWith("./")) {
        report(path, "refused: empty, \".\" or \"..\" component");
        return false;
    }
    if (!path.mid(path.lastIndexOf('/') + 1).startsWith("._")) {
        report(path, "refused: not an AppleDouble (\"._\") name");
        return false;
    }

    int error = 0;
    const std::optional<SafeRemove::Parent> parent = SafeRemove::openParent(".", path, &error);
    if (!parent) {
        if (error == ENOENT)
            return true;   // its folder is gone, and the file with it
        if (error == EXDEV)
            report(path, "refused: a folder on the way lies on another file system");
        else if (error == ELOOP || error == ENOTDIR)
            report(path, "refused: a folder on the way is a symbolic link or not a folder");
        else
            report(path, std::strerror(error));
        return false;
    }
    const int dirFd = parent->fd;
    const char *name = parent->name.constData();
    bool gone = false;
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        gone = errno == ENOENT;
        if (!gone)
            report(path, std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        report(path, S_ISLNK(st.st_mode) ? "refused: a symbolic link" : "refused: not a regular file");
    } else if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT) {
        // Unlinking a name never removes a folder, even one that took the
        // file's place after the check above.
        gone = true;
    } else {
        report(path, std::strerror(errno));
    }
    ::close(dirFd);
    return gone;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s < paths\n"
                             "Removes the \"._\" files named on standard input (NUL-separated, relative to the\n"
                             "working directory).\n",
                     argv[0]);
        return 2;
    }
    QByteArray input;
    if (!readAll(STDIN_FILENO, &input)) {
        std::fprintf(stderr, "dot_clean: cannot read standard input: %s\n", std::strerror(errno));
        return 2;
    }

    bool allGone = true;
    for (const QByteArray &path : input.split('\0')) {
        if (path.isEmpty())
            continue;   // the end of the list, or doubled separators
        if (!clean(path))
            allGone = false;
    }
    return allGone ? 0 : 1;
}
