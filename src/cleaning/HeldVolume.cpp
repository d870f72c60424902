#include "cleaning/HeldVolume.h"

#include "cleaning/FolderAliases.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/Volumes.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

using pathhandles::Handle;
using pathhandles::Identity;
using pathhandles::ItemNumbers;

// Folders on the way to an item are only passed through: search permission is enough.
constexpr int kPassFlags = O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

// Handles kept along the chain: the shallow folders (shared by most items)
// and the deepest one; a deeper chain closes the ones between.
constexpr size_t kShallowHandles = 32;

constexpr decltype(statfs::f_type) kFuseSuperMagic = 0x65735546;

} // namespace

HeldVolume::~HeldVolume()
{
    dropChainFrom(0);
    if (m_rootFd >= 0)
        ::close(m_rootFd);
}

std::unique_ptr<HeldVolume> HeldVolume::open(const QByteArray &root, quint64 device, quint64 rootInode, QString *error,
                                             int *errorNumber)
{
    const auto fail = [&](int number, const QString &why) -> std::unique_ptr<HeldVolume> {
        if (error)
            *error = why;
        if (errorNumber)
            *errorNumber = number;
        return nullptr;
    };
    const QByteArray path = pathhandles::withoutTrailingSlashes(root);
    if (path.isEmpty())
        return fail(EINVAL, QStringLiteral("No volume to clean"));
    Handle fd(pathhandles::openAt(AT_FDCWD, path.constData(), kPassFlags));
    Identity id;
    if (fd.get() < 0 || !pathhandles::identify(fd.get(), id)) {
        const int number = errno;
        return fail(number, QStringLiteral("Cannot open the volume \"%1\": %2").arg(pathText(path), errorText(number)));
    }
    if (quint64(id.dev) != device || (rootInode != 0 && quint64(id.ino) != rootInode)) {
        return fail(ESTALE, QStringLiteral("\"%1\" is no longer the volume that was scanned").arg(pathText(path)));
    }
    return adopt(fd.release(), path, device);
}

std::unique_ptr<HeldVolume> HeldVolume::adopt(int rootFd, const QByteArray &root, quint64 device)
{
    std::unique_ptr<HeldVolume> volume(new HeldVolume);
    volume->m_root = root;
    volume->m_rootFd = rootFd;
    volume->m_device = device;
    struct stat st;
    volume->m_rootInode = ::fstat(rootFd, &st) == 0 ? quint64(st.st_ino) : 0;
    struct statfs fs;
    volume->m_isFuse = ::fstatfs(volume->m_rootFd, &fs) == 0 && fs.f_type == kFuseSuperMagic;
    volume->m_numbers = VolumeWalker::numbersOf(rootFd);
    volume->m_aliases = std::make_unique<FolderAliases>(rootFd, nullptr, volume->m_numbers);
    return volume;
}

void HeldVolume::setFileSystemType(const std::optional<QString> &type)
{
    // The kernel's own file systems are told by the kernel (adopt()); a FUSE
    // volume by its type, and taken to renew its numbers when none is told.
    if (!m_isFuse)
        return;
    const bool lasting = type && !type->isEmpty() && !isFatFamilyType(*type);
    m_numbers = lasting ? ItemNumbers::last : ItemNumbers::renewed;
    m_aliases = std::make_unique<FolderAliases>(m_rootFd, m_scanned, m_numbers);
}

void HeldVolume::setScannedFolders(std::shared_ptr<const ScannedFolders> scanned)
{
    m_scanned = scanned && scanned->device == m_device ? std::move(scanned) : nullptr;
    m_aliases = std::make_unique<FolderAliases>(m_rootFd, m_scanned, m_numbers);
}

std::optional<QByteArray> HeldVolume::relativePath(const QByteArray &path) const
{
    return relativePath(m_root, path);
}

std::optional<QByteArray> HeldVolume::relativePath(const QByteArray &root, const QByteArray &path)
{
    const std::optional<QByteArrayView> part = relativePart(root, path);
    if (!part)
        return std::nullopt;
    return part->size() == path.size() ? path : part->toByteArray();
}

std::optional<QByteArrayView> HeldVolume::relativePart(QByteArrayView path) const
{
    return relativePart(m_root, path);
}

std::optional<QByteArrayView> HeldVolume::relativePart(QByteArrayView root, QByteArrayView path)
{
    QByteArrayView base = root;
    while (base.size() > 1 && base.back() == '/')
        base.chop(1);
    QByteArrayView rest;
    if (base.isEmpty()) {
        return std::nullopt;
    } else if (base == ".") {
        rest = path.startsWith("./") ? path.sliced(2) : path;
        if (rest.startsWith('/'))
            return std::nullopt;
    } else {
        // Below "/" itself, or below base + '/'.
        const qsizetype prefix = base == "/" ? 1 : base.size() + 1;
        if (path.size() < prefix || !path.startsWith(base) || path[prefix - 1] != '/')
            return std::nullopt;
        rest = path.sliced(prefix);
    }
    if (rest.isEmpty())
        return std::nullopt;
    qsizetype start = 0;
    for (;;) {
        const qsizetype slash = rest.indexOf('/', start);
        const QByteArrayView component = rest.sliced(start, (slash < 0 ? rest.size() : slash) - start);
        if (component.isEmpty() || component == "." || component == "..")
            return std::nullopt;
        if (slash < 0)
            return rest;
        start = slash + 1;
    }
}

void HeldVolume::dropChainFrom(size_t index)
{
    for (size_t i = index; i < m_chain.size(); ++i) {
        if (m_chain[i].fd >= 0)
            ::close(m_chain[i].fd);
    }
    m_chain.resize(std::min(index, m_chain.size()));
}

int HeldVolume::openParent(const QByteArray &relative, QByteArray *name)
{
    const qsizetype lastSlash = relative.lastIndexOf('/');
    if (name)
        *name = relative.mid(lastSlash + 1);
    if (relative.isEmpty() || (name && name->isEmpty())) {
        errno = EINVAL;
        return -1;
    }

    // Reuse the folders this item shares with the last one.
    size_t depth = 0;
    qsizetype start = 0;
    const auto nextComponent = [&](QByteArrayView &component) {
        if (start > lastSlash)
            return false;
        const qsizetype slash = relative.indexOf('/', start);
        component = QByteArrayView(relative).sliced(start, slash - start);
        start = slash + 1;
        return true;
    };
    QByteArrayView component;
    while (depth < m_chain.size()) {
        const qsizetype before = start;
        if (!nextComponent(component) || m_chain[depth].name != component) {
            start = before;
            break;
        }
        ++depth;
    }
    // A shared folder whose handle was closed is reached again through ".."
    // from a deeper one; failing that, opened again from the nearest one
    // still open.
    if (depth > 0 && climbTo(depth) < 0) {
        while (depth > 0 && m_chain[depth - 1].fd < 0) {
            --depth;
            start -= m_chain[depth].name.size() + 1;
        }
    }
    dropChainFrom(depth);

    QList<QByteArrayView> rest;
    while (nextComponent(component))
        rest << component;
    return extendChain(rest.constData(), rest.size(), false);
}

int HeldVolume::pushLink(QByteArrayView name, int fd, dev_t dev, ino_t ino)
{
    // Past the shallow folders only the deepest one stays open.
    const size_t index = m_chain.size();
    if (index > kShallowHandles && m_chain[index - 1].fd >= 0) {
        Link &closing = m_chain[index - 1];
        // Reopened later by name, it must be this folder again.
        struct stat held;
        if (closing.ino == 0 && ::fstat(closing.fd, &held) == 0) {
            closing.dev = held.st_dev;
            closing.ino = held.st_ino;
        }
        ::close(closing.fd);
        closing.fd = -1;
    }
    m_chain.push_back(Link{name.toByteArray(), fd, dev, ino, m_pass});
    if (m_work)
        m_work->beat();
    return fd;
}

int HeldVolume::extendChain(const QByteArrayView *components, qsizetype count, bool lastChecksDevice)
{
    int fd = m_chain.empty() ? m_rootFd : m_chain.back().fd;
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArray name = components[i].toByteArray();
        if (lastChecksDevice) {
            // The kernel refuses a link (ELOOP) and a mount crossed (EXDEV)
            // itself; only the device (a subvolume keeps its own to the
            // bottom) is left to the caller's look at the last folder.
            const int child = pathhandles::openBeneath(fd, name.constData(), kPassFlags);
            if (child < 0)
                return -1;
            fd = pushLink(name, child, 0, 0);
            continue;
        }
        Handle child(pathhandles::openAt(fd, name.constData(), kPassFlags));
        Identity id;
        if (child.get() < 0 || !pathhandles::identify(child.get(), id))
            return -1;
        if (!id.isDirectory) {
            errno = ENOTDIR;
            return -1;
        }
        if (quint64(id.dev) != m_device || id.mountRoot) {
            errno = EXDEV;
            return -1;
        }
        fd = pushLink(name, child.release(), id.dev, id.ino);
    }
    return fd;
}

int HeldVolume::enterFolder(QByteArrayView folder, struct stat *st)
{
    std::vector<QByteArrayView> &components = m_components;
    components.clear();
    for (qsizetype start = 0; start < folder.size();) {
        qsizetype slash = folder.indexOf('/', start);
        if (slash < 0)
            slash = folder.size();
        const QByteArrayView component = folder.sliced(start, slash - start);
        if (component.isEmpty() || component == "." || component == "..") {
            errno = EINVAL;
            return -1;
        }
        components.push_back(component);
        start = slash + 1;
    }
    size_t depth = 0;
    while (depth < m_chain.size() && depth < components.size() && m_chain[depth].name == components[depth])
        ++depth;

    // The folders kept from before stood at their names when this pass
    // opened or confirmed them; the others are confirmed now, each once.
    // The deeper ones go only after that: a folder held keeps every folder
    // above it in the kernel's memory, and so the numbers they were met
    // with, which FAT and exFAT hand out afresh once a folder is forgotten.
    const bool confirmed = std::all_of(m_chain.cbegin(), m_chain.cbegin() + qsizetype(depth),
                                       [this](const Link &link) { return link.pass == m_pass; });
    int fd = confirmed ? climbTo(depth) : -1;
    if (fd < 0 && (fd = confirmKept(depth)) < 0)
        return -1;
    dropChainFrom(depth);
    // A folder entered again is looked at in the folder above.
    if (confirmed && depth > 0 && depth == components.size() && !standsInFolderAbove(depth - 1)) {
        dropChainFrom(depth - 1);
        errno = ESTALE;
        return -1;
    }
    const size_t kept = m_chain.size();
    fd = extendChain(components.data() + depth, qsizetype(components.size() - depth), true);
    struct stat own;
    struct stat *folderSt = st ? st : &own;
    if (fd < 0 || ::fstat(fd, folderSt) != 0)
        return -1;
    if (quint64(folderSt->st_dev) != m_device) {
        dropChainFrom(kept);
        errno = EXDEV;
        return -1;
    }
    if (!m_chain.empty() && m_chain.back().ino == 0) {
        m_chain.back().dev = folderSt->st_dev;
        m_chain.back().ino = folderSt->st_ino;
    }
    return fd;
}

int HeldVolume::climbTo(size_t depth)
{
    if (depth == 0)
        return m_rootFd;
    if (m_chain[depth - 1].fd >= 0)
        return m_chain[depth - 1].fd;
    size_t from = m_chain.size();   // one past the deepest open folder below it
    while (from > depth && m_chain[from - 1].fd < 0)
        --from;
    if (from == depth) {
        errno = ESTALE;
        return -1;
    }
    Handle step;
    for (size_t i = from - 1; i >= depth; --i) {
        const Link &above = m_chain[i - 1];
        Handle up(pathhandles::openAt(step.get() >= 0 ? step.get() : m_chain[i].fd, "..", kPassFlags));
        Identity id;
        if (up.get() < 0 || !pathhandles::identify(up.get(), id) || above.ino == 0 || id.dev != above.dev
            || id.ino != above.ino) {
            errno = ESTALE;
            return -1;
        }
        step.reset(up.release());
        if (m_work)
            m_work->beat();
    }
    m_chain[depth - 1].fd = step.release();
    return m_chain[depth - 1].fd;
}

bool HeldVolume::standsInFolderAbove(size_t index)
{
    Link &link = m_chain[index];
    struct stat held;
    if (link.ino == 0) {
        if (::fstat(link.fd, &held) != 0)
            return false;
        link.dev = held.st_dev;
        link.ino = held.st_ino;
    }
    const int aboveFd = index == 0 ? m_rootFd : m_chain[index - 1].fd;
    const Identity above = index == 0 ? Identity{dev_t(m_device), ino_t(m_rootInode), true, false}
                                      : Identity{m_chain[index - 1].dev, m_chain[index - 1].ino, true, false};
    return pathhandles::standsAtName(link.fd, link.name.constData(), Identity{link.dev, link.ino, true, false}, aboveFd,
                                     above);
}

int HeldVolume::confirmKept(size_t depth)
{
    // Each kept folder must still stand at its name. One whose handle was
    // closed is opened again by name and must be the one met before.
    int fd = m_rootFd;
    Handle passage;
    for (size_t i = 0; i < depth; ++i) {
        Link &link = m_chain[i];
        if (link.fd >= 0) {
            if (link.ino == 0) {
                struct stat held;
                if (::fstat(link.fd, &held) != 0)
                    return -1;
                link.dev = held.st_dev;
                link.ino = held.st_ino;
            }
            struct stat now;
            if (::fstatat(fd, link.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
                const int error = errno;
                dropChainFrom(i);
                errno = error;
                return -1;
            }
            if (now.st_dev != link.dev || now.st_ino != link.ino) {
                dropChainFrom(i);
                errno = ESTALE;
                return -1;
            }
            link.pass = m_pass;
            fd = link.fd;
            passage.reset();
            continue;
        }
        Handle again(pathhandles::openAt(fd, link.name.constData(), kPassFlags));
        Identity id;
        if (again.get() < 0 || !pathhandles::identify(again.get(), id) || id.dev != link.dev || id.ino != link.ino
            || id.mountRoot) {
            const int error = again.get() < 0 ? errno : ESTALE;
            dropChainFrom(i);
            errno = error == ENOTDIR || error == ELOOP ? ESTALE : error;
            return -1;
        }
        link.pass = m_pass;
        if (i + 1 == depth) {
            link.fd = again.release();   // the deepest kept one stays open
            fd = link.fd;
        } else {
            passage.reset(again.release());
            fd = passage.get();
        }
        if (m_work)
            m_work->beat();
    }
    return fd;
}

HeldVolume::Look HeldVolume::look(const QByteArray &relative)
{
    Look result;
    QByteArray name;
    const int parent = openParent(relative, &name);
    if (parent < 0 || ::fstatat(parent, name.constData(), &result.st, AT_SYMLINK_NOFOLLOW) != 0)
        result.error = errno;
    if (m_work)
        m_work->beat();
    return result;
}

QList<qsizetype> byFolder(const QList<QByteArray> &relativePaths)
{
    QList<QByteArrayView> views;
    views.reserve(relativePaths.size());
    for (const QByteArray &path : relativePaths)
        views.append(path);
    return byFolder(views);
}

QList<qsizetype> byFolder(const QList<QByteArrayView> &relativePaths)
{
    // Items come mostly in runs of one folder (a scan lists a folder's items
    // of a kind together): the runs are sorted, each kept whole, which
    // orders the items as a stable sort of them would.
    struct Run
    {
        QByteArrayView folder;
        qsizetype first;
        qsizetype end;
    };
    std::vector<Run> runs;
    const auto folderOf = [](QByteArrayView path) { return path.first(std::max<qsizetype>(path.lastIndexOf('/'), 0)); };
    for (qsizetype i = 0; i < relativePaths.size(); ++i) {
        const QByteArrayView folder = folderOf(relativePaths.at(i));
        if (!runs.empty() && runs.back().folder == folder)
            runs.back().end = i + 1;
        else
            runs.push_back(Run{folder, i, i + 1});
    }
    // A slash sorts before every other byte: "a/b" comes right after "a",
    // before "a-b" and "a.b", so the folders come in the order of a walk.
    const auto rank = [](char c) { return c == '/' ? 0 : int(static_cast<unsigned char>(c)) + 1; };
    std::stable_sort(runs.begin(), runs.end(), [&](const Run &a, const Run &b) {
        const QByteArrayView x = a.folder;
        const QByteArrayView y = b.folder;
        const qsizetype n = std::min(x.size(), y.size());
        for (qsizetype k = 0; k < n; ++k) {
            if (x[k] != y[k])
                return rank(x[k]) < rank(y[k]);
        }
        return x.size() < y.size();
    });
    QList<qsizetype> order;
    order.reserve(relativePaths.size());
    for (const Run &run : runs) {
        for (qsizetype i = run.first; i < run.end; ++i)
            order.append(i);
    }
    return order;
}
