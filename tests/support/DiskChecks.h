#pragma once

// What a clean left on the disk, seen over handles of the test's own (paths
// may be longer than PATH_MAX): trees outside a volume that must stay exactly
// as they were, and counts that must agree with what is gone.

#include "BytePaths.h"
#include "TestGuard.h"

#include <QList>
#include <QStringList>
#include <QTest>

#include <algorithm>
#include <functional>

#include <dirent.h>

namespace testsupport {

// Calls `onEntry(name)` for every entry of the folder open at `fd`, sorted.
template <typename OnEntry>
void forEachEntry(int fd, OnEntry onEntry)
{
    DIR *dir = ::fdopendir(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QList<QByteArray> names;
    while (const dirent *entry = dir ? ::readdir(dir) : nullptr) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            names << entry->d_name;
    }
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : std::as_const(names))
        onEntry(name);
}

// Removes a test tree, protection flags and all; links are removed themselves.
inline void removeTree(int parentFd, const QByteArray &name)
{
    removeEntry(parentFd, name.constData());
}

// Every entry below the folder `path` with its type, mode, owner,
// modification time and content or link target: what must stay exactly as it was.
inline QStringList snapshot(const QByteArray &path)
{
    QStringList lines;
    const std::function<void(int, const QByteArray &)> walk = [&](int fd, const QByteArray &prefix) {
        forEachEntry(fd, [&](const QByteArray &name) {
            struct stat st{};
            ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW);
            QByteArray what;
            if (S_ISLNK(st.st_mode)) {
                char target[4096];
                what = QByteArray(target, int(std::max<ssize_t>(::readlinkat(fd, name.constData(), target, sizeof target), 0)));
            } else if (S_ISREG(st.st_mode)) {
                what = readFile("/proc/self/fd/" + QByteArray::number(fd) + '/' + name);
            }
            lines << QString::fromUtf8(prefix + name + ' ' + QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(st.st_uid)
                                       + ' ' + QByteArray::number(st.st_mtim.tv_sec) + '.' + QByteArray::number(st.st_mtim.tv_nsec)
                                       + ' ' + what.toHex());
            if (S_ISDIR(st.st_mode)) {
                const pathhandles::Handle child(::openat(fd, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                walk(child.get(), prefix + name + '/');
            }
        });
    };
    const pathhandles::Handle root(::open(path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    walk(root.get(), QByteArray());
    return lines;
}

inline QList<QByteArray> pathsOf(const QList<FileItem> &items)
{
    QList<QByteArray> paths;
    for (const FileItem &item : items)
        paths << item.fsPath();
    std::sort(paths.begin(), paths.end());
    return paths;
}

// What a clean reported against the disk: every item of the batch reported
// once, deleted or failed; a deleted one is gone (a trash folder may have
// become the plain file that stands in its place), a failed one is still
// there. Empty when all agree.
inline QString countsDisagree(const QList<FileItem> &deleted, const QList<FileItem> &failed, const QList<FileItem> &batch)
{
    QStringList problems;
    if (pathsOf(deleted + failed) != pathsOf(batch))
        problems << QStringLiteral("reported %1 deleted and %2 failed of %3 items").arg(deleted.size()).arg(failed.size()).arg(batch.size());
    for (const FileItem &item : deleted) {
        struct stat st{};
        const int error = lookAt(item.fsPath(), &st);
        if (error != ENOENT && !(error == 0 && S_ISREG(st.st_mode) && item.fsPath().endsWith("/.Trashes")))
            problems << QStringLiteral("deleted but still there: ") + item.path();
    }
    for (const FileItem &item : failed) {
        if (lookAt(item.fsPath()) == ENOENT)
            problems << QStringLiteral("failed but gone: ") + item.path();
    }
    return problems.join(u'\n');
}

// The same for removals answered per item (0: removed, else an errno).
inline QString countsDisagree(const QList<FileItem> &items, const QList<int> &errors)
{
    QList<FileItem> deleted;
    QList<FileItem> failed;
    for (qsizetype i = 0; i < items.size(); ++i)
        (errors.value(i, -1) == 0 ? deleted : failed) << items.at(i);
    return countsDisagree(deleted, failed, items);
}

} // namespace testsupport

#define VERIFY_COUNTS(...)                                                          \
    do {                                                                            \
        const QString disagreement = testsupport::countsDisagree(__VA_ARGS__);      \
        QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));                 \
    } while (false)
