#pragma once

// Junk on every level of deep chains, for the benchmark that measures what a
// clean costs per item at each depth: chains of folders with a ".DS_Store"
// and a kept file on every level, on a stick made afresh (at the same mount
// point) for every use.

#include "MountFixture.h"
#include "StickTree.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

// "Chain<c>/Level1/Level2/…", each folder holding ".DS_Store" and
// "Notes.txt" (no all-lowercase 8.3 name: mtools would write it in capitals).
inline bool buildLevels(const QByteArray &root, int chains, int depth)
{
    bool ok = true;
    const auto file = [&ok](const QByteArray &path) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ok = ok && fd >= 0 && ::write(fd, "x", 1) == 1;
        if (fd >= 0)
            ::close(fd);
    };
    for (int c = 0; c < chains && ok; ++c) {
        QByteArray dir = root + "/Chain" + QByteArray::number(c);
        for (int level = 1; level <= depth && ok; ++level) {
            if (level > 1)
                dir += "/Level" + QByteArray::number(level);
            ok = ::mkdir(dir.constData(), 0755) == 0;
            file(dir + "/.DS_Store");
            file(dir + "/Notes.txt");
        }
    }
    return ok;
}

// The ".DS_Store" files of those chains, relative to the root.
inline QList<QByteArray> levelItems(int chains, int depth)
{
    QList<QByteArray> items;
    for (int c = 0; c < chains; ++c) {
        QByteArray dir = "Chain" + QByteArray::number(c);
        for (int level = 1; level <= depth; ++level) {
            if (level > 1)
                dir += "/Level" + QByteArray::number(level);
            items << dir + "/.DS_Store";
        }
    }
    return items;
}

// A stick of `kind` at mountRoot()/levels holding the chains: FAT32 written
// with mtools before fusefat mounts it, ext4 through the kernel.
class LevelVolume
{
public:
    LevelVolume(MountFixture &fx, MountFixture::Kind kind, int chains, QString mountInfo)
        : m_fx(fx), m_kind(kind), m_chains(chains), m_mountInfo(std::move(mountInfo))
        , m_point(fx.mountRoot() + QStringLiteral("/levels"))
    {
    }
    ~LevelVolume() { takeDown(); }

    LevelVolume(const LevelVolume &) = delete;
    LevelVolume &operator=(const LevelVolume &) = delete;

    // A fresh stick with chains `depth` folders deep.
    bool make(int depth)
    {
        takeDown();
        // A cluster (or an inode) for every entry, and room.
        const int sizeMiB = std::max(256, m_chains * depth * 12 / 1024 + 256);
        const std::optional<QString> image = m_fx.makeImage(m_kind, sizeMiB, QStringLiteral("LEVELS"));
        if (!image)
            return false;
        m_image = *image;
        if (m_kind == MountFixture::Kind::Fat32) {
            const QString staging = m_fx.path() + QStringLiteral("/levels-staging");
            QDir(staging).removeRecursively();
            QDir().mkpath(staging);
            const bool copied = buildLevels(QFile::encodeName(staging), m_chains, depth) && copyInto(m_image, staging);
            QDir(staging).removeRecursively();
            if (!copied)
                return false;
        }
        const std::optional<QString> loop = m_fx.attachLoop(m_image);
        if (!loop)
            return false;
        m_loop = *loop;
        m_mounted = m_fx.mountLoop(m_kind, m_loop, m_point).has_value();
        if (!m_mounted || !MountFixture::writeMountInfoOf(m_point, m_mountInfo))
            return false;
        return m_kind == MountFixture::Kind::Fat32 || buildLevels(QFile::encodeName(m_point), m_chains, depth);
    }

    QString root() const { return m_point; }
    QString mountInfo() const { return m_mountInfo; }

private:
    void takeDown()
    {
        if (m_mounted)
            m_fx.unmount(m_point);
        m_mounted = false;
        if (!m_loop.isEmpty())
            m_fx.detachLoop(m_loop);
        m_loop.clear();
        if (!m_image.isEmpty())
            QFile::remove(m_image);
        m_image.clear();
    }

    MountFixture &m_fx;
    MountFixture::Kind m_kind;
    int m_chains;
    QString m_mountInfo;
    QString m_point;
    QString m_image;
    QString m_loop;
    bool m_mounted = false;
};

} // namespace bench
