#include "cleaning/SafeRemove.h"

#include "cleaning/FolderAliases.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "platform/Log.h"

#include <cerrno>
#include <climits>
#include <memory>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

// Folder handles a removal keeps open at most; deeper trees close their
// farthest ancestors and reopen them on the way back up.
constexpr size_t kMaxOpenHandles = 32;
constexpr size_t kReadBufferSize = 32 * 1024;
// Entries removed between two looks at the whole way down to the folder they
// leave (each one looks at that folder in the one above).
constexpr size_t kEntriesPerWayLook = 256;

constexpr int kProtectionFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

bool refusedByPermissions(int error)
{
    return error == EPERM || error == EACCES;
}

Outcome failure(int error, const QByteArray &shownPath)
{
    if (error == ESTALE)
        return Outcome{ESTALE, QStringLiteral("Not removing \"%1\": it is no longer what the scan found")
                                   .arg(pathText(shownPath))};
    return Outcome{error, QStringLiteral("Cannot remove \"%1\": %2").arg(pathText(shownPath), errorText(error))};
}

// The protection flags of an open file or folder; -1 when it keeps none.
int protectionFlagsOf(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

// The administrator step's way past a refusal: the entry's and its folder's
// protection flags go and the folder's mode opens, as the removal needs; all
// of it is put back when this ends (the entry's only while it still has a
// name), so root changes nothing but what it removes. `parentFd` may be an
// O_PATH handle.
class OpenedUp
{
public:
    OpenedUp(int parentFd, const QByteArray &name)
    {
        m_folder.reset(openAt(parentFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (m_folder.get() >= 0) {
            m_folderFlags = protectionFlagsOf(m_folder.get());
            if (m_folderFlags >= 0 && (m_folderFlags & kProtectionFlags))
                clearProtectionFlags(m_folder.get());
            struct stat st;
            if (::fstat(m_folder.get(), &st) == 0 && (st.st_mode & 0300) != 0300
                && ::fchmod(m_folder.get(), (st.st_mode & 07777) | 0700) == 0)
                m_folderMode = st.st_mode & 07777;
        }
        // Never through a link, never a device, fifo or socket; and a file
        // with another name somewhere else keeps its flags.
        struct stat st;
        m_entry.reset(pathhandles::openFileOrFolder(parentFd, name.constData(), &st));
        if (m_entry.get() >= 0 && (S_ISDIR(st.st_mode) || st.st_nlink == 1)) {
            m_entryFlags = protectionFlagsOf(m_entry.get());
            if (m_entryFlags >= 0 && (m_entryFlags & kProtectionFlags))
                clearProtectionFlags(m_entry.get());
        }
    }

    ~OpenedUp()
    {
        const int error = errno;
        struct stat st;
        if (m_entry.get() >= 0 && m_entryFlags >= 0 && (m_entryFlags & kProtectionFlags)
            && ::fstat(m_entry.get(), &st) == 0 && st.st_nlink > 0)
            ::ioctl(m_entry.get(), FS_IOC_SETFLAGS, &m_entryFlags);
        if (m_folder.get() >= 0) {
            if (m_folderMode)
                ::fchmod(m_folder.get(), *m_folderMode);
            if (m_folderFlags >= 0 && (m_folderFlags & kProtectionFlags))
                ::ioctl(m_folder.get(), FS_IOC_SETFLAGS, &m_folderFlags);
        }
        errno = error;
    }

    OpenedUp(const OpenedUp &) = delete;
    OpenedUp &operator=(const OpenedUp &) = delete;

private:
    Handle m_folder;
    int m_folderFlags = -1;
    std::optional<mode_t> m_folderMode;
    Handle m_entry;
    int m_entryFlags = -1;
};

// Removes the empty folder `name` of the folder open at `fd`; gone already
// counts. With the administrator option a refusal (an immutable folder, a
// folder whose own folder is append-only) is tried again past it.
bool rmdirEntry(int fd, const char *name, const Options &options)
{
    if (::unlinkat(fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    if (!options.administrator || !refusedByPermissions(errno))
        return false;
    const int error = errno;
    const OpenedUp opened(fd, name);
    if (::unlinkat(fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    errno = error;
    return false;
}

// Removes a non-folder entry of the folder open at `fd`; gone already counts.
bool unlinkEntry(int fd, const char *name, const Options &options)
{
    if (::unlinkat(fd, name, 0) == 0 || errno == ENOENT)
        return true;
    if (!options.administrator || !refusedByPermissions(errno))
        return false;
    const int error = errno;
    const OpenedUp opened(fd, name);
    if (::unlinkat(fd, name, 0) == 0 || errno == ENOENT)
        return true;
    errno = error;
    return false;
}

// Removes everything inside a folder, depth first, over handles: links are
// removed themselves, folders of another file system are left alone (and so
// make the removal fail), the root device is never left.
class TreeRemoval
{
public:
    TreeRemoval(const QByteArray &path, dev_t dev, const Options &options)
        : m_path(path), m_dev(dev), m_options(options), m_buffer(new char[kReadBufferSize])
    {
    }

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
        if (!enter(parentFd, name, &id))
            return false;
        while (!m_frames.empty() && !m_stopped) {
            Frame &top = m_frames.back();
            if (top.next < top.folders.size()) {
                const QByteArray child = top.folders[top.next++];
                enter(top.fd, child, nullptr);
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

    // Opens the folder `name` of the folder open at `parentFd` and empties it:
    // when `held` is given, only while it is that folder (held by the caller,
    // so its number lasts).
    bool enter(int parentFd, const QByteArray &name, const Identity *held)
    {
        const size_t index = m_frames.size();
        const auto where = [&] { return index == 0 ? QByteArray() : relative(index - 1, name); };
        Handle fd(openAt(parentFd, name.constData(), kReadFlags));
        Identity opened;
        if (fd.get() < 0 || !identify(fd.get(), opened)) {
            failLazily(where);
            return false;
        }
        if (opened.dev != m_dev || opened.mountRoot) {
            fail(where(), EXDEV);
            return false;
        }
        if (held && (opened.dev != held->dev || opened.ino != held->ino)) {
            fail(where(), ESTALE);   // replaced since the caller opened it
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
        for (size_t i = 0; i < others.size(); ++i) {
            if (!standsForRemoval(index))
                return stop(index);
            if (!unlinkEntry(fd, others[i].constData(), m_options))
                failLazily([&] { return relative(index, others[i]); });
            if (m_options.onEntry)
                m_options.onEntry();
        }
        m_frames[index].folders = std::move(folders);
    }

    // ---- Where the folders stand ----
    // A folder moved out of the one being emptied (a trash restored by its
    // user) is no longer junk: before each removal the folder it is made in
    // is looked at in the folder above, and now and then the whole way from
    // the emptied folder's own folder down to it, by names.

    bool standsForRemoval(size_t index)
    {
        return m_removals++ % kEntriesPerWayLook == 0 ? wayStands(index) : standsInFolderAbove(index);
    }

    // Frame `index` at its name in the folder above it (one whose handle
    // was closed is reached through ".." and must be the one met).
    bool standsInFolderAbove(size_t index) const
    {
        const Frame &frame = m_frames[index];
        const Frame *above = index == 0 ? nullptr : &m_frames[index - 1];
        return pathhandles::standsAtName(frame.fd, frame.name.constData(), Identity{frame.dev, frame.ino, true, false},
                                         above ? above->fd : m_parentFd,
                                         above ? Identity{above->dev, above->ino, true, false} : Identity{});
    }

    // Frame `index` reached again from the emptied folder's own folder by the
    // names of the frames down to it, a run of names shorter than PATH_MAX
    // at a time (each run's last folder checked and held for the next).
    bool wayStands(size_t index) const
    {
        Handle from;
        QByteArray way;
        for (size_t i = 0; i <= index; ++i) {
            const QByteArray &name = m_frames[i].name;
            if (!way.isEmpty() && way.size() + 1 + name.size() >= PATH_MAX) {
                if (!reach(from, way, m_frames[i - 1]))
                    return false;
                way.clear();
            }
            if (!way.isEmpty())
                way += '/';
            way += name;
        }
        return reach(from, way, m_frames[index]);
    }

    // Opens `way` below `from` (the emptied folder's own folder when empty):
    // true, holding it in `from`, when it is the folder `frame` met.
    bool reach(Handle &from, const QByteArray &way, const Frame &frame) const
    {
        Handle there(pathhandles::openBeneath(from.get() < 0 ? m_parentFd : from.get(), way.constData(),
                                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Identity id;
        if (there.get() < 0 || !identify(there.get(), id) || id.dev != frame.dev || id.ino != frame.ino)
            return false;
        from.reset(there.release());
        return true;
    }

    // The folder of frame `index` (or one above it) left its place: nothing
    // more of this item goes, and the removal says why.
    void stop(size_t index)
    {
        const QByteArray where = relative(index, QByteArray());
        m_error = ESTALE;
        m_message = QStringLiteral("Not removing the rest of \"%1\": \"%2\" was moved or replaced during the clean")
                        .arg(pathText(m_path), pathText(where.isEmpty() ? m_path : m_path + '/' + where));
        m_stopped = true;
    }

    // Done with the deepest folder: close it and remove it from its parent.
    void leave()
    {
        Frame done = std::move(m_frames.back());
        m_frames.pop_back();
        // A parent whose handle was closed is one step up from the folder
        // just emptied: opening it again from the top for every level would
        // cost time in the square of the depth.
        if (!m_frames.empty() && m_frames.back().fd < 0 && done.fd >= 0)
            climbTo(done.fd, m_frames.size() - 1);
        // Its handle goes once it has been looked for at its name: held, it
        // keeps itself and the folders above it in the kernel's memory with
        // the numbers they were met with, which FAT and exFAT hand out
        // afresh to a folder forgotten.
        const auto letGo = [&] {
            if (done.fd >= 0) {
                ::close(done.fd);
                done.fd = -1;
                --m_open;
            }
        };
        if (m_frames.empty())
            return letGo();   // the caller removes the top folder itself
        const size_t parent = m_frames.size() - 1;
        if (m_frames[parent].fd < 0 && !reopen(parent)) {
            failLazily([&] { return relative(parent, QByteArray()); });
            letGo();
            // Nothing below an unreachable folder can be finished safely.
            while (m_frames.size() > 1 && m_frames.back().fd < 0)
                m_frames.pop_back();
            m_frames.back().next = m_frames.back().folders.size();
            return;
        }
        // The folder emptied must still be the one at its name, if any is.
        Identity there;
        const bool named = identifyAt(m_frames[parent].fd, done.name.constData(), 0, there);
        const bool replaced = named ? there.dev != done.dev || there.ino != done.ino : errno != ENOENT;
        letGo();
        if (replaced || !standsForRemoval(parent))
            return stop(parent);
        if (!removeSubfolder(m_frames[parent].fd, done.name))
            failLazily([&] { return relative(parent, done.name); });
        if (m_options.onEntry)
            m_options.onEntry();
    }

    // Opens frame `index` through ".." of the folder open at `childFd`, when
    // that is still the folder met on the way down (same device and inode).
    void climbTo(int childFd, size_t index)
    {
        Handle up(openAt(childFd, "..", kReadFlags));
        Identity id;
        if (up.get() < 0 || !identify(up.get(), id) || id.dev != m_frames[index].dev || id.ino != m_frames[index].ino
            || id.mountRoot)
            return;   // moved meanwhile: reopen() looks it up by name, or fails
        m_frames[index].fd = up.release();
        ++m_open;   // the child's handle is closed right after
    }

    bool removeSubfolder(int parentFd, const QByteArray &name) const
    {
        return rmdirEntry(parentFd, name.constData(), m_options);
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
    Options m_options;
    int m_parentFd = -1;
    std::vector<Frame> m_frames;
    size_t m_open = 0;
    std::unique_ptr<char[]> m_buffer;
    int m_error = 0;
    QString m_message;
    bool m_stopped = false;
    size_t m_removals = 0;
};

} // namespace

bool isInside(const QByteArray &root, const QByteArray &path)
{
    return HeldVolume::relativePath(root, path).has_value();
}

bool clearProtectionFlags(int fd)
{
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL;   // the file system has no such flags
    if ((flags & kProtectionFlags) == 0)
        return true;
    flags &= ~kProtectionFlags;
    return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

bool removeEntry(int parentFd, const QByteArray &name, const Options &options)
{
    return unlinkEntry(parentFd, name.constData(), options);
}

Outcome removeFolder(int parentFd, const QByteArray &name, const struct stat &st, const Options &options,
                     const QByteArray &shownPath)
{
    // Held until it is gone: a folder held keeps the number it is met with
    // below (FAT and exFAT hand a folder forgotten a new one), so the
    // look `st` is the last one taken apart from it.
    Handle held(openAt(parentFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    Identity id;
    if (held.get() < 0 || !identify(held.get(), id))
        return failure(errno, shownPath);
    const bool sameNumber = id.ino == st.st_ino || options.numbers == pathhandles::ItemNumbers::renewed;
    if (!id.isDirectory || id.dev != st.st_dev || !sameNumber)
        return failure(ESTALE, shownPath);
    if (id.mountRoot)
        return Outcome{EXDEV, QStringLiteral("Not removing \"%1\": another file system is mounted there")
                                  .arg(pathText(shownPath))};
    if (options.aliases) {
        QString message;
        if (const int error = options.aliases->check(parentFd, name, id, shownPath, &message))
            return Outcome{error, message};
    }
    TreeRemoval removal(shownPath, st.st_dev, options);
    if (!removal.empty(parentFd, name, id))
        return Outcome{removal.error(), removal.message()};
    // The kernel's (or the FUSE daemon's) yes is the entry gone.
    if (!rmdirEntry(parentFd, name.constData(), options))
        return failure(errno, shownPath);
    return {};
}

Outcome unreachable(int error, const QByteArray &shownPath)
{
    if (error == ENOENT)
        return {};   // its folder is gone, and the item with it
    if (error == EXDEV)
        return Outcome{EXDEV, QStringLiteral("Not removing \"%1\": a folder on its path lies on another file "
                                             "system").arg(pathText(shownPath))};
    if (error == ELOOP || error == ENOTDIR)
        return Outcome{error, QStringLiteral("Not removing \"%1\": a folder on its path is a symbolic link or "
                                             "not a folder").arg(pathText(shownPath))};
    return failure(error, shownPath);
}

namespace {

// Removes the entry `name` of the folder open at `folderFd`, `st` a look at
// it that showed the scanned item.
Outcome removeConfirmed(int folderFd, const QByteArray &name, const struct stat &st, const Options &options,
                        const QByteArray &shownPath)
{
    if (S_ISDIR(st.st_mode))
        return removeFolder(folderFd, name, st, options, shownPath);
    if (!unlinkEntry(folderFd, name.constData(), options))
        return failure(errno, shownPath);
    return {};
}

} // namespace

Outcome removeScanned(HeldVolume &volume, const QByteArray &relative, const FileItem &scanned, const Options &options)
{
    const QByteArray shownPath = pathhandles::childPath(volume.root(), relative);
    if (!scanned.hasIdentity())
        return Outcome{ESTALE, QStringLiteral("Not removing \"%1\": it was not examined by the scan")
                                   .arg(pathText(shownPath))};
    QByteArray name;
    const int parentFd = volume.openParent(relative, &name);
    if (parentFd < 0)
        return unreachable(errno, shownPath);
    struct stat st;
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Outcome{} : failure(errno, shownPath);
    if (!pathhandles::isScannedItem(scanned, st, volume.numbers()))
        return failure(ESTALE, shownPath);
    return removeConfirmed(parentFd, name, st, options, shownPath);
}

Outcome removeLooked(int folderFd, const QByteArray &name, const struct stat &st, const FileItem &scanned,
                     const Options &options, const QByteArray &shownPath)
{
    if (!pathhandles::isScannedItem(scanned, st, options.numbers))
        return failure(ESTALE, shownPath);
    return removeConfirmed(folderFd, name, st, options, shownPath);
}

} // namespace SafeRemove
