#include "cleaning/VolumeWalker.h"

#include "cleaning/PathHandles.h"
#include "cleaning/WalkedPath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

using pathhandles::childPath;
using pathhandles::Handle;
using pathhandles::Identity;
using pathhandles::identify;
using pathhandles::lastComponent;
using pathhandles::withoutTrailingSlashes;
using walkedpath::kListingBasis;
using walkedpath::Listing;

constexpr int kDirectoryFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

int openDirectoryAt(int parentFd, const char *name)
{
    return pathhandles::openAt(parentFd, name, kDirectoryFlags);
}

// Directory handles the walk keeps open at most (the root's included). Deeper
// folders close their farthest ancestors and reopen them on the way back up.
constexpr qsizetype kMaxOpenHandles = 64;

// One folder's entries, read whole before any of them is handed out (so the
// folder can be left and come back to without keeping its stream). Names sit
// NUL-terminated in one buffer, so a folder costs a few allocations, not one
// per entry.
struct EntryList
{
    struct Ref
    {
        quint32 offset;
        quint16 length;
        unsigned char type;   // DT_* value
    };
    std::string names;
    std::vector<Ref> refs;

    void clear()
    {
        names.clear();
        refs.clear();
    }
    const char *name(const Ref &ref) const { return names.data() + ref.offset; }
};

constexpr size_t kReadBufferSize = 64 * 1024;

// Reads every entry but "." and ".." of the folder open at `fd`, keeping
// those `keep(name, length, type)` accepts (it may update the type). False
// with errno when the kernel reports a read error; what was read until then stays.
template <typename Keep, typename OnDots>
bool readEntries(int fd, char *buffer, EntryList &out, Keep keep, OnDots onDots)
{
    out.clear();
    return pathhandles::forEachEntry(
        fd, buffer, kReadBufferSize,
        [&](const char *name, unsigned char type) {
            const size_t length = std::strlen(name);
            if (!keep(name, length, type))
                return;
            out.refs.push_back({quint32(out.names.size()), quint16(length), type});
            out.names.append(name, length + 1);
        },
        onDots);
}

template <typename Keep>
bool readEntries(int fd, char *buffer, EntryList &out, Keep keep)
{
    return readEntries(fd, buffer, out, keep, [](bool, quint64) {});
}

// The entries of a folder being read that wait until its listing is told
// from those of the folders above it.
struct Waiting
{
    EntryList entries;
    std::vector<std::optional<struct stat>> seen;

    void add(const char *name, size_t length, unsigned char type, const std::optional<struct stat> &st)
    {
        entries.refs.push_back({quint32(entries.names.size()), quint16(length), type});
        entries.names.append(name, length + 1);
        seen.push_back(st);
    }
    void clear()
    {
        entries.clear();
        seen.clear();
    }
};

constexpr decltype(statfs::f_type) kExfatSuperMagic = 0x2011BAB0;

struct ReadBuffer
{
    std::unique_ptr<char[]> bytes{new char[kReadBufferSize]};
    char *get() const { return bytes.get(); }
};

unsigned char typeFromMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return DT_DIR;
    if (S_ISREG(mode))
        return DT_REG;
    if (S_ISLNK(mode))
        return DT_LNK;
    return DT_UNKNOWN;
}

// Some file systems do not fill in d_type; what the lstat that tells the
// type saw goes to *seen.
unsigned char entryType(int parentFd, const char *name, unsigned char type, std::optional<struct stat> &seen)
{
    seen.reset();
    if (type != DT_UNKNOWN)
        return type;
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    seen = st;
    return typeFromMode(st.st_mode);
}

// One folder on the way from the root to where the walk is.
struct Frame
{
    int fd = -1;           // closed (-1) while evicted to save handles
    dev_t dev = 0;
    ino_t ino = 0;
    qsizetype pathLength = 0;   // its path is the walk's path cut to this length
    EntryList entries;
    size_t next = 0;       // index of the next entry to hand out
    quint32 flags = 0;     // handed to this folder's entries
    // Its identity tells nothing: its listing stands for it on the path.
    bool listed = false;
    Listing listing;
};

class Walk
{
public:
    Walk(const VolumeWalker::EntryCallback &onEntry, const VolumeWalker::ErrorCallback &onError, const RootPass *rootPass,
         const VolumeWalker::FolderCallback &onFolder)
        : m_onEntry(onEntry), m_onError(onError), m_rootPass(rootPass), m_onFolder(onFolder)
    {
    }

    ~Walk()
    {
        for (qsizetype i = 0; i < m_depth; ++i) {
            if (frame(i).fd >= 0)
                ::close(frame(i).fd);
        }
    }

    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    bool run(const QByteArray &root, int *errorNumber)
    {
        const QByteArray path = withoutTrailingSlashes(root);
        return runFrom(::open(path.constData(), kDirectoryFlags), path, errorNumber);
    }

    // Takes over `folderFd` as the root of the walk.
    bool runFrom(int folderFd, QByteArray path, int *errorNumber)
    {
        Handle fd(folderFd);
        Identity id;
        if (fd.get() < 0 || !identify(fd.get(), id)) {
            if (errorNumber)
                *errorNumber = errno;
            return false;
        }
        m_rootDev = id.dev;
        m_noIdentities = VolumeWalker::foldersHaveNoIdentity(fd.get());
        QByteArray name = lastComponent(path);
        m_path = std::move(path);
        push(fd.release(), id, std::move(name), 0);
        while (m_depth > 0 && !m_stopped)
            step();
        return true;
    }

private:
    Frame &frame(qsizetype index) { return m_frames[size_t(index)]; }

    // Adds the folder open at `fd` below the deepest one and reads its
    // entries; m_path is its path already.
    void push(int fd, const Identity &id, QByteArray name, quint32 flags)
    {
        if (size_t(m_depth) == m_frames.size())
            m_frames.emplace_back();
        Frame &top = frame(m_depth);
        ++m_depth;
        top.fd = fd;
        top.dev = id.dev;
        top.ino = id.ino;
        top.pathLength = m_path.size();
        top.flags = flags;
        top.next = 0;
        const qsizetype index = m_depth - 1;
        const bool rootPass = index == 0 && m_rootPass;
        QList<WalkEntry> held;
        WalkFolder folder{int(index), id.dev, id.ino, std::nullopt, std::nullopt, kListingBasis, 0, {}};
        bool again = false;
        const bool read = readFolder(index, folder, rootPass ? &held : nullptr, again);
        const int error = again ? ELOOP : read ? 0 : errno;
        if (m_onFolder && error == 0) {
            folder.path = m_path;
            if (!m_onFolder(folder))
                m_stopped = true;
        }
        if (rootPass) {
            m_rootPass->listed(held, folder.entries, error);
            for (const WalkEntry &entry : std::as_const(held)) {
                if (!entry.isDirectory && !m_stopped)
                    m_stopped = m_onEntry(entry).stop;
            }
        }
        if (error != 0) {
            struct stat st;
            const bool statted = ::fstat(fd, &st) == 0;
            m_onError(WalkError{m_path, std::move(name), error, int(index), statted ? std::optional(st) : std::nullopt});
        }
    }

    // Reads the folder at `index`: its folders into its frame, everything
    // else handed out as it comes (the root pass's entries into `held`).
    // Only the folders wait in the list, so a folder of a million files costs
    // no memory here. Where its identity tells nothing and folders above it
    // are told by their listings, its entries wait until its listing is told
    // from theirs: when it is one of theirs (`again`), the folder met again
    // on its own path, none is handed out. False with errno on a read error.
    bool readFolder(qsizetype index, WalkFolder &folder, QList<WalkEntry> *held, bool &again)
    {
        Frame &current = frame(index);
        current.listed = false;
        std::optional<struct stat> seen;
        Listing listing;
        const auto identityTells = [&] { return !m_noIdentities && folder.dot == quint64(folder.ino); };
        std::optional<bool> waits;   // decided at the first entry, once "." said what it says
        const auto keep = [&](const char *entryName, size_t length, unsigned char &type) {
            if (m_onFolder || !identityTells())
                listing.add(entryName, length);
            if (!waits)
                waits = index > 0 && m_onPath.hasListings() && !identityTells();
            else if (*waits && listing.names == walkedpath::kPrefixNames + 1 && !m_onPath.holdsPrefix(listing.prefix))
                waits = release(index);
            type = entryType(current.fd, entryName, type, seen);
            ++folder.entries;
            const bool hold = held && m_rootPass->holds(QByteArrayView(entryName, qsizetype(length)));
            if (hold) {
                held->append(WalkEntry());
                describe(held->last(), index, entryName, length, type, seen);
            }
            if (type == DT_DIR || hold)
                return type == DT_DIR;
            if (*waits)
                m_waiting.add(entryName, length, type, seen);
            else
                deliver(index, entryName, length, type, seen);
            return false;
        };
        const auto dots = [&folder](bool isDotDot, quint64 inode) { (isDotDot ? folder.dotDot : folder.dot) = inode; };
        const bool read = readEntries(current.fd, m_buffer.get(), current.entries, keep, dots);
        const int error = errno;
        folder.listing = listing.whole;
        const bool listed = read && !identityTells();
        again = listed && waits.value_or(false) && m_onPath.holdsListing(listing.whole);
        if (again) {
            m_waiting.clear();
            current.entries.clear();
            return true;
        }
        if (waits.value_or(false))
            release(index);
        current.listed = listed;
        current.listing = listing;
        m_onPath.add(folder.ino, listed ? &listing : nullptr);
        errno = error;
        return read;
    }

    // Hands out the entries of the folder at `index` that waited; false:
    // none waits any more.
    bool release(qsizetype index)
    {
        for (size_t i = 0; i < m_waiting.seen.size(); ++i) {
            const EntryList::Ref ref = m_waiting.entries.refs[i];
            deliver(index, m_waiting.entries.name(ref), ref.length, ref.type, m_waiting.seen[i]);
        }
        m_waiting.clear();
        return false;
    }

    // The frame leaves the walk's path.
    void forget(const Frame &left) { m_onPath.remove(left.ino, left.listed ? &left.listing : nullptr); }

    // Describes the entry `name` of the folder at `index` in `entry`.
    void describe(WalkEntry &entry, qsizetype index, const char *name, size_t length, unsigned char type,
                  const std::optional<struct stat> &seen)
    {
        // Entries are handed out from the deepest folder only, whose path m_path is.
        const Frame &current = frame(index);
        entry.parentFd = current.fd;
        entry.parentPath = &m_path;
        entry.name.resize(qsizetype(length));
        std::memcpy(entry.name.data(), name, length);
        entry.depth = int(index) + 1;
        entry.isDirectory = type == DT_DIR;
        entry.isRegularFile = type == DT_REG;
        entry.isSymlink = type == DT_LNK;
        entry.inheritedFlags = current.flags;
        entry.seen = seen;
    }

    // One WalkEntry serves the whole walk; its name keeps its capacity
    // unless the callback held on to a copy.
    WalkDecision deliver(qsizetype index, const char *name, size_t length, unsigned char type,
                         const std::optional<struct stat> &seen = std::nullopt)
    {
        if (m_stopped)
            return WalkDecision{false, 0, true};
        describe(m_entry, index, name, length, type, seen);
        const WalkDecision decision = m_onEntry(m_entry);
        m_stopped = decision.stop;
        return decision;
    }

    // Hands out the next entry of the deepest folder, or leaves that folder.
    void step()
    {
        const qsizetype index = m_depth - 1;
        Frame &current = frame(index);
        if (current.next >= current.entries.refs.size()) {
            pop();
            return;
        }
        const EntryList::Ref ref = current.entries.refs[current.next++];
        const WalkDecision decision = deliver(index, current.entries.name(ref), ref.length, DT_DIR);
        if (decision.enter && !decision.stop)
            enter(index, ref, decision.childFlags);
    }

    void enter(qsizetype parentIndex, EntryList::Ref ref, quint32 childFlags)
    {
        const Frame &parent = frame(parentIndex);
        const char *name = parent.entries.name(ref);
        Handle fd(openDirectoryAt(parent.fd, name));
        Identity id;
        const bool opened = fd.get() >= 0 && identify(fd.get(), id);
        if (opened && (id.dev != m_rootDev || id.mountRoot))
            return;   // a file system mounted here: reported, not entered
        // A folder met again on its own path (a directory hard link to one
        // above it), or deeper than any volume holds, is not entered either.
        if (!opened || m_onPath.holds(id.ino) || m_depth > walkedpath::kMaxDepth) {
            const int error = opened ? ELOOP : errno;
            struct stat st;
            const bool statted = ::fstatat(parent.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
            m_onError(WalkError{childPath(m_path, QByteArrayView(name, ref.length)), QByteArray(name, ref.length),
                                error, int(parentIndex) + 1, statted ? std::optional(st) : std::nullopt});
            return;
        }

        // `parent` may move when the frame list grows: take what is needed first.
        QByteArray ownName(name, ref.length);
        if (!m_path.endsWith('/'))
            m_path += '/';
        m_path += ownName;
        if (m_depth - m_lowestOpen + 1 >= kMaxOpenHandles)
            evictOne();
        push(fd.release(), id, std::move(ownName), childFlags);
    }

    // Closes the handle of the shallowest open folder but the root.
    void evictOne()
    {
        Frame &evicted = frame(m_lowestOpen);
        ::close(evicted.fd);
        evicted.fd = -1;
        ++m_lowestOpen;
    }

    void pop()
    {
        Frame &done = frame(m_depth - 1);
        forget(done);
        const int doneFd = done.fd;
        const dev_t doneDev = done.dev;
        const ino_t doneIno = done.ino;
        done.fd = -1;
        --m_depth;
        if (m_depth > 0)
            m_path.truncate(frame(m_depth - 1).pathLength);
        // A parent whose handle was closed is one step up from the folder
        // just left: opening it again from the nearest open one for every
        // level would cost time in the square of the depth.
        const bool parentWasClosed = m_depth > 1 && frame(m_depth - 1).fd < 0;
        if (parentWasClosed && doneFd >= 0)
            climbTo(doneFd, m_depth - 1);
        if (doneFd >= 0)
            ::close(doneFd);
        for (;;) {
            if (m_depth <= 1) {
                m_lowestOpen = 1;
                return;
            }
            if (frame(m_depth - 1).fd >= 0 || reopen(m_depth - 1)) {
                if (parentWasClosed)
                    checkStillThere(m_depth - 1, doneDev, doneIno);
                return;
            }
            // The folder vanished or was replaced while the walk was below it:
            // its remaining entries cannot be reached safely. (errno is read
            // before the name is built, which may change it.)
            const int error = errno;
            const QByteArray lost = m_path;
            m_onError(WalkError{lost, lastComponent(lost), error, int(m_depth - 1), std::nullopt});
            forget(frame(m_depth - 1));
            --m_depth;
            m_path.truncate(frame(m_depth - 1).pathLength);
        }
    }

    // The folder just left (`dev`, `ino`), met as the last folder entry of
    // frame `index`, when the walk came back through a handle opened again:
    // is it still at its name? A folder replaced there is reported, as the
    // walk did not see it where it now stands.
    void checkStillThere(qsizetype index, dev_t dev, ino_t ino)
    {
        const Frame &parent = frame(index);
        const EntryList::Ref ref = parent.entries.refs[parent.next - 1];
        const char *name = parent.entries.name(ref);
        Identity id;
        if (pathhandles::identifyAt(parent.fd, name, 0, id) && id.dev == dev && id.ino == ino)
            return;
        const QByteArray leaf(name, ref.length);
        m_onError(WalkError{childPath(m_path, leaf), leaf, ESTALE, int(index) + 1, std::nullopt});
    }

    // Opens frame `index` through ".." of the folder open at `childFd`, when
    // that is still the folder met on the way down (same device and inode).
    void climbTo(int childFd, qsizetype index)
    {
        Handle up(openDirectoryAt(childFd, ".."));
        Identity id;
        if (up.get() < 0 || !identify(up.get(), id) || id.dev != frame(index).dev || id.ino != frame(index).ino)
            return;   // moved meanwhile: reopen() looks it up by name, or fails
        frame(index).fd = up.release();
        m_lowestOpen = std::min(m_lowestOpen, index);
    }

    // Opens the closed folders from the nearest open ancestor down to `index`,
    // name by name and without following links, each checked to be the very
    // folder met before. The deepest of them stay open, within the limit.
    bool reopen(qsizetype index)
    {
        qsizetype open = index - 1;
        while (frame(open).fd < 0)
            --open;
        const qsizetype keepFrom = std::max(open + 1, index - kMaxOpenHandles + 2);
        int fd = frame(open).fd;
        int error = 0;
        qsizetype i = open + 1;
        for (; i <= index; ++i) {
            const Frame &parent = frame(i - 1);
            const int child = openDirectoryAt(fd, parent.entries.name(parent.entries.refs[parent.next - 1]));
            error = errno;
            if (i - 1 > open && i - 1 < keepFrom)
                ::close(fd);   // a passage only
            if (child < 0)
                break;
            Identity id;
            const bool statted = identify(child, id);
            if (!statted || id.dev != frame(i).dev || id.ino != frame(i).ino) {
                error = statted ? ESTALE : errno;
                ::close(child);
                break;
            }
            fd = child;
            if (i >= keepFrom)
                frame(i).fd = child;
        }
        if (i <= index) {
            for (qsizetype j = keepFrom; j < i; ++j) {
                ::close(frame(j).fd);
                frame(j).fd = -1;
            }
            errno = error;
            return false;
        }
        m_lowestOpen = keepFrom;
        return true;
    }

    const VolumeWalker::EntryCallback &m_onEntry;
    const VolumeWalker::ErrorCallback &m_onError;
    const RootPass *m_rootPass;
    const VolumeWalker::FolderCallback &m_onFolder;
    std::vector<Frame> m_frames;   // [0, m_depth) are in use; the rest keep their buffers
    qsizetype m_depth = 0;
    // Frames [m_lowestOpen, m_depth) hold open handles, and so does frame 0.
    qsizetype m_lowestOpen = 1;
    dev_t m_rootDev = 0;
    bool m_stopped = false;
    bool m_noIdentities = false;   // FAT or exFAT through the kernel
    walkedpath::OwnPath m_onPath;   // the folders from the root to the deepest one
    Waiting m_waiting;
    QByteArray m_path;   // the deepest folder's path; each frame keeps its length
    WalkEntry m_entry;
    ReadBuffer m_buffer;
};

} // namespace

QByteArray WalkEntry::path() const
{
    return childPath(parentPath ? *parentPath : QByteArray(), name);
}

std::optional<struct stat> WalkEntry::lstat() const
{
    if (seen)
        return seen;
    struct stat st;
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return st;
}

bool VolumeWalker::walk(const QByteArray &root, const EntryCallback &onEntry, const ErrorCallback &onError,
                        int *errorNumber, const RootPass *rootPass, const FolderCallback &onFolder)
{
    Walk walk(onEntry, onError, rootPass, onFolder);
    return walk.run(root, errorNumber);
}

bool VolumeWalker::walkAt(int folderFd, const QByteArray &path, const EntryCallback &onEntry,
                          const ErrorCallback &onError, const FolderCallback &onFolder)
{
    Walk walk(onEntry, onError, nullptr, onFolder);
    return walk.runFrom(pathhandles::openAt(folderFd, ".", kDirectoryFlags), withoutTrailingSlashes(path), nullptr);
}

bool VolumeWalker::foldersHaveNoIdentity(int fd)
{
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 && (fs.f_type == MSDOS_SUPER_MAGIC || fs.f_type == kExfatSuperMagic);
}

pathhandles::ItemNumbers VolumeWalker::numbersOf(int fd)
{
    struct statfs fs;
    const bool renewed = ::fstatfs(fd, &fs) == 0
                         && (fs.f_type == MSDOS_SUPER_MAGIC || fs.f_type == kExfatSuperMagic || fs.f_type == FUSE_SUPER_MAGIC);
    return renewed ? pathhandles::ItemNumbers::renewed : pathhandles::ItemNumbers::last;
}

bool VolumeWalker::canList(const QByteArray &path, int *errorNumber)
{
    Handle fd(::open(withoutTrailingSlashes(path).constData(), kDirectoryFlags));
    char buffer[4096];
    ssize_t n = -1;
    if (fd.get() >= 0) {
        do {
            n = ::getdents64(fd.get(), buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
    }
    if (n < 0 && errorNumber)
        *errorNumber = errno;
    return n >= 0;
}

std::optional<QList<VolumeWalker::DirEntry>> VolumeWalker::listDirectory(const QByteArray &path, int *errorNumber,
                                                                         const std::function<bool(QByteArrayView)> &keep,
                                                                         qsizetype *count)
{
    Handle fd(::open(withoutTrailingSlashes(path).constData(), kDirectoryFlags));
    EntryList entries;
    ReadBuffer buffer;
    qsizetype seen = 0;
    const auto filter = [&](const char *name, size_t length, unsigned char &) {
        ++seen;
        return !keep || keep(QByteArrayView(name, qsizetype(length)));
    };
    if (count)
        *count = 0;
    if (fd.get() < 0 || !readEntries(fd.get(), buffer.get(), entries, filter)) {
        if (errorNumber)
            *errorNumber = errno;
        return std::nullopt;
    }
    if (count)
        *count = seen;
    QList<DirEntry> list;
    list.reserve(qsizetype(entries.refs.size()));
    for (const EntryList::Ref &ref : entries.refs) {
        const char *name = entries.name(ref);
        DirEntry entry;
        entry.name = QByteArray(name, ref.length);
        struct stat st;
        unsigned char type = ref.type;
        if (::fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.size = qint64(st.st_size);
            entry.stat = st;
            type = typeFromMode(st.st_mode);
        }
        entry.isDirectory = type == DT_DIR;
        entry.isRegularFile = type == DT_REG;
        entry.isSymlink = type == DT_LNK;
        list.append(std::move(entry));
    }
    return list;
}

std::optional<struct stat> VolumeWalker::itemStat(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return std::nullopt;
    return st;
}

bool VolumeWalker::exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}
