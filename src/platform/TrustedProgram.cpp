#include "platform/TrustedProgram.h"

#include "platform/Log.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kernel gives up after 40 links in one lookup; so do we.
constexpr int kMaxLinks = 40;

std::optional<UntrustedProgram> problem(UntrustedProgram::Why why, const QByteArray &path, int error = 0)
{
    return UntrustedProgram{why, QFile::decodeName(path), error};
}

std::optional<UntrustedProgram> checkOwner(const struct stat &st, const QByteArray &path)
{
    if (st.st_uid != 0)
        return problem(UntrustedProgram::Why::notRootsOwn, path);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return problem(UntrustedProgram::Why::writableByOthers, path);
    return std::nullopt;
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    return folder == "/" ? "/" + name : folder + '/' + name;
}

} // namespace

QString UntrustedProgram::text() const
{
    switch (why) {
    case Why::missing:
        return QStringLiteral("%1 cannot be looked at: %2").arg(path, errorText(errorNumber));
    case Why::notAFile:
        return QStringLiteral("%1 is not a regular file").arg(path);
    case Why::notRootsOwn:
        return QStringLiteral("%1 does not belong to root").arg(path);
    case Why::writableByOthers:
        return QStringLiteral("%1 may be changed by others than root").arg(path);
    }
    return {};
}

std::optional<UntrustedProgram> whyProgramIsUntrusted(const QString &absolutePath)
{
    const QByteArray path = QFile::encodeName(absolutePath);
    if (!path.startsWith('/'))
        return problem(UntrustedProgram::Why::missing, path, EINVAL);

    // The names still to walk, from the folder `at` on; a link puts its
    // target's names in front of the rest.
    QByteArrayList rest = path.split('/');
    QByteArray at = "/";
    struct stat st{};
    if (::lstat("/", &st) != 0)
        return problem(UntrustedProgram::Why::missing, "/", errno);
    if (auto why = checkOwner(st, "/"))
        return why;
    int links = 0;
    while (!rest.isEmpty()) {
        const QByteArray name = rest.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            at = at.left(std::max<qsizetype>(at.lastIndexOf('/'), 1));
            continue;   // a folder already passed, and checked
        }
        const QByteArray next = joined(at, name);
        if (::lstat(next.constData(), &st) != 0)
            return problem(UntrustedProgram::Why::missing, next, errno);
        if (S_ISLNK(st.st_mode)) {
            // The link lies in a folder only root may change, so only root
            // chose its target; where it leads is checked like the rest.
            if (++links > kMaxLinks)
                return problem(UntrustedProgram::Why::missing, next, ELOOP);
            char target[4096];
            const ssize_t size = ::readlink(next.constData(), target, sizeof target);
            if (size <= 0 || size_t(size) >= sizeof target)
                return problem(UntrustedProgram::Why::missing, next, size < 0 ? errno : ENAMETOOLONG);
            const QByteArray to(target, size);
            if (to.startsWith('/'))
                at = "/";
            rest = to.split('/') + rest;
            continue;
        }
        if (auto why = checkOwner(st, next))
            return why;
        if (!rest.isEmpty() && !S_ISDIR(st.st_mode))
            return problem(UntrustedProgram::Why::missing, next, ENOTDIR);
        at = next;
    }
    if (!S_ISREG(st.st_mode))
        return problem(UntrustedProgram::Why::notAFile, at);
    return std::nullopt;
}
