#pragma once

// The tree of a stick a Mac wrote to, for the benchmarks that scan and clean
// one: photo folders with their AppleDouble files, temp files and thumbnail
// databases, trash and Spotlight folders in some of them and at the root.

#include "platform/ProcessRunner.h"

#include "MountFixture.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

inline void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

// What the generator made: every entry below the root counts (folders too);
// the items are the junk as a scan lists it (a junk folder is one item, its
// contents go with it), relative to the root.
struct Tree
{
    QList<QByteArray> items;
    qint64 entries = 0;
    qint64 junkEntries = 0;
};

class TreeBuilder
{
public:
    // With `appleDoubleHeavy` half of each leaf's ordinary files are "._"
    // companions of the other half (a stick of photos a Mac copied).
    explicit TreeBuilder(const QByteArray &root, bool appleDoubleHeavy = false)
        : m_root(root), m_appleDoubleHeavy(appleDoubleHeavy)
    {
    }

    // Leaf folders of 100 entries (90 ordinary files; 4 AppleDouble files,
    // 2 "*.tmp" and a "Thumbs.db"), 1 to 4 folders deep; every tenth leaf
    // also holds a trash or a Spotlight junk folder of 30 entries, and the
    // root holds all of them, as a stick a Mac wrote to does. About 10 % of
    // the entries are junk. No name is an all-lowercase 8.3 name: mtools
    // writes those as short names, which fusefat shows in capitals.
    Tree build(qint64 entries)
    {
        trash({});
        spotlight({});
        for (int group = 0; m_tree.entries < entries; ++group) {
            QByteArray dir = "Group" + QByteArray::number(group);
            folder(dir, false);
            for (int level = 1; level <= group % 4; ++level) {
                dir += "/Sub" + QByteArray::number(level);
                folder(dir, false);
            }
            static const char *kOrdinary[] = {"IMG_%1.JPG", "notes %1.txt", "Track%1.mp3"};
            for (int i = 0; i < 90; ++i) {
                const QByteArray name = QByteArray(kOrdinary[i % 3]).replace("%1", QByteArray::number(i));
                if (m_appleDoubleHeavy && i % 2 == 1)
                    item(dir + "/._" + QByteArray(kOrdinary[(i - 1) % 3]).replace("%1", QByteArray::number(i - 1)), false);
                else
                    file(dir + '/' + name, false);
            }
            for (int i = 0; i < 4; ++i)
                item(dir + "/._IMG_" + QByteArray::number(i * 3) + ".JPG", false);
            item(dir + "/Cache0.tmp", false);
            item(dir + "/~Download1.tmp", false);
            item(dir + "/Thumbs.db", false);
            if (group % 10 == 5 && (group / 10) % 2 == 0)
                trash(dir);
            else if (group % 10 == 5)
                spotlight(dir);
        }
        return m_tree;
    }

private:
    static QByteArray in(const QByteArray &dir, const QByteArray &name) { return dir.isEmpty() ? name : dir + '/' + name; }

    void count(bool junk)
    {
        ++m_tree.entries;
        if (junk)
            ++m_tree.junkEntries;
    }

    void folder(const QByteArray &relative, bool junk)
    {
        if (::mkdir((m_root + '/' + relative).constData(), 0755) != 0)
            bench::say(QStringLiteral("cannot make the folder %1").arg(QString::fromUtf8(relative)));
        count(junk);
    }

    void file(const QByteArray &relative, bool junk)
    {
        const int fd = ::open((m_root + '/' + relative).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, "x", 1) != 1)
            bench::say(QStringLiteral("cannot make the file %1").arg(QString::fromUtf8(relative)));
        if (fd >= 0)
            ::close(fd);
        count(junk);
    }

    void item(const QByteArray &relative, bool isFolder)
    {
        if (isFolder)
            folder(relative, true);
        else
            file(relative, true);
        m_tree.items << relative;
    }

    // ".Trashes/501/…": 30 entries.
    void trash(const QByteArray &dir)
    {
        const QByteArray top = in(dir, ".Trashes");
        item(top, true);
        folder(top + "/501", true);
        for (int i = 0; i < 28; ++i)
            file(top + "/501/IMG_" + QByteArray::number(1000 + i) + ".JPG", true);
    }

    // ".Spotlight-V100/Store-V2/<id>/…" and ".fseventsd/…" beside it: 30 entries.
    void spotlight(const QByteArray &dir)
    {
        const QByteArray index = in(dir, ".Spotlight-V100");
        item(index, true);
        folder(index + "/Store-V2", true);
        const QByteArray store = index + "/Store-V2/6A3F0B1C-2D4E-4F50-8A61-7B2C3D4E5F60";
        folder(store, true);
        for (int i = 0; i < 17; ++i)
            file(store + "/0.index" + QByteArray::number(i), true);
        const QByteArray events = in(dir, ".fseventsd");
        item(events, true);
        file(events + "/fseventsd-uuid", true);
        for (int i = 0; i < 8; ++i)
            file(events + "/000000000" + QByteArray::number(i), true);
    }

    QByteArray m_root;
    bool m_appleDoubleHeavy = false;
    Tree m_tree;
};

// Every entry below `dir`, as its path relative to the root and a type letter.
inline void listTree(const QByteArray &dir, const QByteArray &relative, QList<QByteArray> &out)
{
    DIR *stream = ::opendir(dir.constData());
    if (!stream)
        return;
    while (const struct dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = dir + '/' + name;
        const QByteArray shown = relative.isEmpty() ? name : relative + '/' + name;
        struct stat st{};
        ::lstat(path.constData(), &st);
        out << shown + ' ' + (S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : '?');
        if (S_ISDIR(st.st_mode))
            listTree(path, shown, out);
    }
    ::closedir(stream);
}

inline QList<QByteArray> listing(const QByteArray &root)
{
    QList<QByteArray> entries;
    listTree(root, {}, entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// `mcopy -s` of every entry of the staging folder to the image's root.
inline bool copyInto(const QString &image, const QString &staging)
{
    ProcessRequest copy;
    copy.program = QStringLiteral("mcopy");
    copy.arguments = {QStringLiteral("-s"), QStringLiteral("-i"), image};
    for (const QString &name : QDir(staging).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        copy.arguments << staging + '/' + name;
    copy.arguments << QStringLiteral("::/");
    copy.environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    copy.timeout = std::chrono::minutes(10);
    const ProcessResult result = runProcess(copy);
    if (!result.succeeded())
        bench::say(QStringLiteral("mcopy failed: ") + QString::fromUtf8(result.standardError + result.standardOutput));
    return result.succeeded();
}

// A fresh stick of `kind` holding the tree, mounted under `fx` at
// mountRoot()/volume-<serial>; everything is undone when it goes. A FAT32
// tree is written into the image with mtools before fusefat mounts it (making
// tens of thousands of entries through fusefat takes far longer than a bench
// should); an exFAT tree is written through exfat-fuse, an ext4 one through
// the kernel.
class StickVolume
{
public:
    StickVolume(MountFixture &fx, MountFixture::Kind kind, qint64 entries, int serial, bool appleDoubleHeavy = false)
        : m_fx(fx)
    {
        m_point = fx.mountRoot() + QStringLiteral("/volume-%1").arg(serial);
        if (kind != MountFixture::Kind::Fat32) {
            // Room for a cluster (exFAT) or an inode (ext4) per entry and more.
            const int sizeMiB = int(std::max<qint64>(256, entries * (kind == MountFixture::Kind::ExFat ? 40 : 24) / 1024 + 256));
            const std::optional<QString> image = fx.makeImage(kind, sizeMiB, QStringLiteral("BENCH"));
            const std::optional<QString> loop = image ? fx.attachLoop(*image) : std::nullopt;
            if (image)
                m_image = *image;
            if (loop)
                m_loop = *loop;
            m_mounted = loop && fx.mountLoop(kind, *loop, m_point);
            if (m_mounted)
                m_tree = TreeBuilder(root(), appleDoubleHeavy).build(entries);
            m_ready = m_mounted;
            return;
        }
        const QString staging = fx.path() + QStringLiteral("/staging-%1").arg(serial);
        QDir().mkpath(staging);
        m_tree = TreeBuilder(QFile::encodeName(staging), appleDoubleHeavy).build(entries);
        // One 4 KiB cluster per file, and room for the folders.
        const int sizeMiB = int(std::max<qint64>(1024, entries * 8 / 1024 + 256));
        const std::optional<QString> image = fx.makeImage(MountFixture::Kind::Fat32, sizeMiB, QStringLiteral("BENCH"));
        if (image)
            m_image = *image;
        const bool copied = image && copyInto(*image, staging);
        QDir(staging).removeRecursively();
        const std::optional<QString> loop = copied ? fx.attachLoop(*image) : std::nullopt;
        if (loop)
            m_loop = *loop;
        m_mounted = loop && fx.mountFat(*loop, m_point);
        m_ready = m_mounted;
    }

    // A fresh stick of `kind` whose image `fill` writes (its error, or
    // nothing) before it is mounted.
    StickVolume(MountFixture &fx, MountFixture::Kind kind, int sizeMiB,
                const std::function<QString(const QString &image)> &fill, int serial)
        : m_fx(fx)
    {
        m_point = fx.mountRoot() + QStringLiteral("/volume-%1").arg(serial);
        const std::optional<QString> image = fx.makeImage(kind, sizeMiB, QStringLiteral("BENCH"));
        if (!image)
            return;
        m_image = *image;
        if (const QString error = fill(m_image); !error.isEmpty()) {
            bench::say(error);
            return;
        }
        const std::optional<QString> loop = fx.attachLoop(m_image);
        if (loop)
            m_loop = *loop;
        m_mounted = loop && fx.mountLoop(kind, *loop, m_point);
        m_ready = m_mounted;
    }

    ~StickVolume()
    {
        if (m_mounted)
            m_fx.unmount(m_point);
        if (!m_loop.isEmpty())
            m_fx.detachLoop(m_loop);
        if (!m_image.isEmpty())
            QFile::remove(m_image);
    }

    StickVolume(const StickVolume &) = delete;
    StickVolume &operator=(const StickVolume &) = delete;

    bool isReady() const { return m_ready; }
    QString mountPoint() const { return m_point; }
    QByteArray root() const { return QFile::encodeName(m_point); }
    const Tree &tree() const { return m_tree; }

private:
    MountFixture &m_fx;
    QString m_point;
    QString m_image;
    QString m_loop;
    Tree m_tree;
    bool m_mounted = false;
    bool m_ready = false;
};

} // namespace bench
