#include "cleaning/SafeRemove.h"

#include "cleaning/PathHandles.h"
#include "platform/Log.h"

#include <QList>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SafeRemove {

namespace {

using pathhandles::Handle;
using pathhandles::Identity;
using pathhandles::identify;
using pathhandles::identifyAt;
using pathhandles::openAt;

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
// Folders on the way to an item are only passed through: search permission is enough.
constexpr int kPassFlags = O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

// Folder handles a removal keeps open at most; deeper trees close their
// farthest ancestors and reopen them on the way back up.
constexpr size_t kMaxOpenHandles = 32;
constexpr size_t kReadBufferSize = 32 * 1024;

// The part of `path` below `root`, when it is strictly inside by whole components.
std::optional<QByteArray> below(const QByteArray &root, const QByteArray &path)
{
    const QByteArray base = pathhandles::withoutTrailingSlashes(root);
    QByteArray rest;
    if (base.isEmpty()) {
        return std::nullopt;
    } else if (base == ".") {
        rest = path.startsWith("./") ? path.mid(2) : path;
        if (rest.startsWith('/'))
            return std::nullopt;
    } else {
        const QByteArray prefix = base == "/" ? base : base + '/';
        if (!path.startsWith(prefix))
            return std::nullopt;
        rest = path.mid(prefix.size());
    }
    if (rest.isEmpty())
        return std::nullopt;
    for (const QByteArray &component : rest.split('/')) {
        if (component.isEmpty() || component == "." || component == "..")
            return std::nullopt;
    }
    return rest;
}

// Open handle of the folder holding `rest` (a path below `root`, as below() gives it).
std::optional<Parent> openParentBelow(const QByteArray &root, const QByteArray &rest, int *errorNumber)
{
    const auto setError = [errorNumber](int error) {
        if (errorNumber)
            *errorNumber = error;
    };
    Handle fd(::open(pathhandles::withoutTrailingSlashes(root).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    Identity rootId;
    if (fd.get() < 0 || !identify(fd.get(), rootId)) {
        setError(errno);
        return std::nullopt;
    }
    QList<QByteArray> components = rest.split('/');
    QByteArray name = components.takeLast();
    for (const QByteArray &component : std::as_const(components)) {
        Handle child(openAt(fd.get(), component.constData(), kPassFlags));
        Identity id;
        if (child.get() < 0 || !identify(child.get(), id)) {
            setError(errno);
            return std::nullopt;
        }
        if (!id.isDirectory) {
            setError(ENOTDIR);
            return std::nullopt;
        }
        if (id.dev != rootId.dev || id.mountRoot) {
            setError(EXDEV);
            return std::nullopt;
        }
        fd.reset(child.release());
    }
    return Parent{fd.release(), std::move(name)};
}

// Removes everything inside a folder, depth first, over handles: links are
// removed themselves, folders of another file system are left alone (and so
// make the removal fail), the root device is never left.
class TreeRemoval
{
public:
    TreeRemoval(const QByteArray &path, dev_t dev) : m_path(path), m_dev(dev), m_buffer(new char[kReadBufferSize]) {}

    ~TreeRemoval()
    {
        for (Frame &frame : m_frames) {
            if (frame.fd >= 0)
                ::close(frame.fd);
        }
    }

    TreeRemoval(const TreeRemoval &) = delete;
    TreeRemoval &operator=(const TreeRemoval &) = delete;

    // Empties the folder `name` (met as `id`) of the folder open at `parentFd`.
    bool empty(int parentFd, const QByteArray &name, const Identity &id)
    {
        m_parentFd = parentFd;
        if (!enter(parentFd, name, id))
            return false;
        while (!m_frames.empty()) {
            Frame &top = m_frames.back();
            if (top.next < top.folders.size()) {
                const size_t index = m_frames.size() - 1;
                const QByteArray child = top.folders[top.next++];
                Identity childId;
                if (!identifyAt(top.fd, child.constData(), 0, childId)) {
                    failLazily([&] { return relative(index, child); });
                    continue;
                }
                enter(top.fd, child, childId);
                continue;
            }
            leave();
        }
        return m_error == 0;
    }

    int error() const { return m_error; }
    QString message() const { return m_message; }

private:
    struct Frame
    {
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        QByteArray name;
        std::vector<QByteArray> folders;   // subfolders still to empty
        size_t next = 0;
    };

    void fail(const QByteArray &relativePath, int error)
    {
        if (m_error != 0)
            return;   // the first failure explains the rest
        m_error = error;
        const QByteArray full = relativePath.isEmpty() ? m_path : m_path + '/' + relativePath;
        if (error == EXDEV)
            m_message = QStringLiteral("Not removing \"%1\": another file system is mounted there").arg(pathText(full));
        else
            m_message = QStringLiteral("Cannot remove \"%1\": %2").arg(pathText(full), errorText(error));
    }

    // errno is read before the path is built, which may touch it.
    template <typename Where>
    void failLazily(Where where)
    {
        const int error = errno;
        fail(where(), error);
    }

    // The path of `name` inside the folder of frame `index`, relative to the
    // folder being emptied.
    QByteArray relative(size_t index, const QByteArray &name) const
    {
        QByteArray path;
        for (size_t i = 1; i <= index; ++i)
            path += (path.isEmpty() ? "" : "/") + m_frames[i].name;
        if (!name.isEmpty())
            path += (path.isEmpty() ? "" : "/") + name;
        return path;
    }

    bool enter(int parentFd, const QByteArray &name, const Identity &id)
    {
        const size_t index = m_frames.size();
        const auto where = [&] { return index == 0 ? QByteArray() : relative(index - 1, name); };
        if (id.dev != m_dev || id.mountRoot) {
            fail(where(), EXDEV);
            return false;
        }
        Handle fd(openAt(parentFd, name.constData(), kReadFlags));
        Identity opened;
        if (fd.get() < 0 || !identify(fd.get(), opened)) {
            failLazily(where);
            return false;
        }
        if (opened.dev != id.dev || opened.ino != id.ino || opened.mountRoot) {
            fail(where(), ESTALE);   // replaced between the look and the open
            return false;
        }
        if (m_open + 1 > kMaxOpenHandles)
            evictOne();
        m_frames.push_back(Frame{fd.release(), opened.dev, opened.ino, name, {}, 0});
        ++m_open;
        clear(m_frames.size() - 1);
        return true;
    }

    // Reads the whole folder first, then unlinks what is not a folder and
    // remembers the folders: no unlinking under an open directory stream.
    void clear(size_t index)
    {
        const int fd = m_frames[index].fd;
        std::vector<QByteArray> others;
        std::vector<QByteArray> folders;
        const auto sort = [&](const char *name, unsigned char type) {
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
                    type = DT_DIR;
            }
            (type == DT_DIR ? folders : others).emplace_back(name);
        };
        if (!pathhandles::forEachEntry(fd, m_buffer.get(), kReadBufferSize, sort))
            failLazily([&] { return relative(index, QByteArray()); });
        for (const QByteArray &name : others) {
            if (::unlinkat(fd, name.constData(), 0) != 0 && errno != ENOENT)
                failLazily([&] { return relative(index, name); });
        }
        m_frames[index].folders = std::move(folders);
    }

    // Done with the deepest folder: close it and remove it from its parent.
    void leave()
    {
        Frame done = std::move(m_frames.back());
        m_frames.pop_back();
        if (done.fd >= 0) {
            ::close(done.fd);
            --m_open;
        }
        if (m_frames.empty())
            return;   // the caller removes the top folder itself
        const size_t parent = m_frames.size() - 1;
        if (m_frames[parent].fd < 0 && !reopen(parent)) {
            failLazily([&] { return relative(parent, QByteArray()); });
            // Nothing below an unreachable folder can be finished safely.
            while (m_frames.size() > 1 && m_frames.back().fd < 0)
                m_frames.pop_back();
            m_frames.back().next = m_frames.back().folders.size();
            return;
        }
        if (::unlinkat(m_frames[parent].fd, done.name.constData(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            failLazily([&] { return relative(parent, done.name); });
    }

    void evictOne()
    {
        for (Frame &frame : m_frames) {
            if (frame.fd >= 0) {
                ::close(frame.fd);
                frame.fd = -1;
                --m_open;
                return;
            }
        }
    }

    // Opens frame `index` again from the nearest open ancestor (or the
    // parent of the folder being emptied), name by name, without following
    // links, each folder checked to be the one met before.
    bool reopen(size_t index)
    {
        size_t first = index;
        while (first > 0 && m_frames[first - 1].fd < 0)
            --first;
        int fd = first == 0 ? m_parentFd : m_frames[first - 1].fd;
        for (size_t i = first; i <= index; ++i) {
            const int child = openAt(fd, m_frames[i].name.constData(), kReadFlags);
            const int error = errno;
            if (fd != m_parentFd && (i == 0 || m_frames[i - 1].fd < 0))
                ::close(fd);   // a passage only
            if (child < 0) {
                errno = error;
                return false;
            }
            Identity id;
            if (!identify(child, id) || id.dev != m_frames[i].dev || id.ino != m_frames[i].ino) {
                ::close(child);
                errno = ESTALE;
                return false;
            }
            fd = child;
        }
        if (m_open + 1 > kMaxOpenHandles)
            evictOne();
        m_frames[index].fd = fd;
        ++m_open;
        return true;
    }

    QByteArray m_path;
    dev_t m_dev;
    int m_parentFd = -1;
    std::vector<Frame> m_frames;
    size_t m_open = 0;
    std::unique_ptr<char[]> m_buffer;
    int m_error = 0;
    QString m_message;
};

} // namespace

bool isInside(const QByteArray &root, const QByteArray &path)
{
    return below(root, path).has_value();
}

std::optional<Parent> openParent(const QByteArray &root, const QByteArray &path, int *errorNumber)
{
    const std::optional<QByteArray> rest = below(root, path);
    if (!rest) {
        if (errorNumber)
            *errorNumber = EINVAL;
        return std::nullopt;
    }
    return openParentBelow(root, *rest, errorNumber);
}

bool removeItem(const QByteArray &root, const QByteArray &path, QString *error, int *errorNumber)
{
    const auto failWith = [&](int number, const QString &message) {
        if (error)
            *error = message;
        if (errorNumber)
            *errorNumber = number;
        return false;
    };
    const auto failErrno = [&](int number) {
        return failWith(number, QStringLiteral("Cannot remove \"%1\": %2").arg(pathText(path), errorText(number)));
    };

    const std::optional<QByteArray> rest = below(root, path);
    if (!rest)
        return failWith(EINVAL, QStringLiteral("Not removing \"%1\": it is not inside \"%2\"")
                                    .arg(pathText(path), pathText(root)));
    int openError = 0;
    const std::optional<Parent> parent = openParentBelow(root, *rest, &openError);
    if (!parent) {
        if (openError == EXDEV)
            return failWith(EXDEV, QStringLiteral("Not removing \"%1\": its folder lies on another file system")
                                       .arg(pathText(path)));
        if (openError == ELOOP || openError == ENOTDIR)
            return failWith(openError, QStringLiteral("Not removing \"%1\": a folder on its path is a symbolic link "
                                                      "or not a folder")
                                           .arg(pathText(path)));
        return failErrno(openError);
    }
    Handle parentFd(parent->fd);
    const char *name = parent->name.constData();

    Identity parentId;
    Identity id;
    if (!identify(parentFd.get(), parentId) || !identifyAt(parentFd.get(), name, 0, id))
        return failErrno(errno);

    if (!id.isDirectory) {
        if (::unlinkat(parentFd.get(), name, 0) != 0)
            return failErrno(errno);
    } else {
        if (id.dev != parentId.dev || id.mountRoot)
            return failWith(EXDEV, QStringLiteral("Not removing \"%1\": another file system is mounted there")
                                       .arg(pathText(path)));
        TreeRemoval removal(path, parentId.dev);
        if (!removal.empty(parentFd.get(), parent->name, id))
            return failWith(removal.error(), removal.message());
        if (::unlinkat(parentFd.get(), name, AT_REMOVEDIR) != 0)
            return failErrno(errno);
    }
    if (errorNumber)
        *errorNumber = 0;
    return true;
}

} // namespace SafeRemove
