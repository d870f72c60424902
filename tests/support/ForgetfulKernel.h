#pragma once

// The kernel made to forget the files and folders nothing holds open, as any
// memory pressure makes it: the test's process moves into a memory cgroup of
// its own, whose memory is reclaimed when the test asks. What the process
// (and every program it starts from then on) reads in afterwards is charged
// to that group, so a stick mounted after it is forgotten on demand: on FAT
// and exFAT, by the kernel or through FUSE, every item forgotten comes back
// with a new inode number.
//
//     ForgetfulKernel kernel;        // before the stick is mounted
//     if (!kernel.whyNot().isEmpty())
//         QSKIP(qPrintable(kernel.whyNot()));
//     ...
//     QVERIFY(kernel.forget());
//
// cgroup v1 ("memory.force_empty") or v2 ("memory.reclaim"). The group is
// removed when this ends, or by the test's guard when the test was killed.

#include "BytePaths.h"
#include "MountFixture.h"
#include "TestGuard.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

class ForgetfulKernel
{
public:
    ForgetfulKernel()
    {
        const QByteArray home = ownMemoryGroup();
        if (home.isEmpty())
            return;
        for (int attempt = 0; attempt < 20 && m_group.isEmpty(); ++attempt) {
            const QByteArray group = home + "/sweepbrook-test-" + QByteArray::number(QRandomGenerator::global()->generate());
            if (::mkdir(group.constData(), 0755) == 0) {
                m_group = group;
                guardRemovesGroup(group);
            }
            else if (errno != EEXIST)
                break;
        }
        if (m_group.isEmpty()) {
            m_whyNot = QStringLiteral("no memory cgroup can be made below %1: %2")
                           .arg(QString::fromLocal8Bit(home), QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_reclaim = m_group + (m_v2 ? "/memory.reclaim" : "/memory.force_empty");
        if (!QFile::exists(QFile::decodeName(m_reclaim))) {
            m_whyNot = QStringLiteral("the memory cgroup %1 cannot be reclaimed on demand (no %2)")
                           .arg(QString::fromLocal8Bit(m_group), QString::fromLocal8Bit(m_reclaim));
        } else if (!write(m_group + "/cgroup.procs", "0")) {
            m_whyNot = QStringLiteral("this process cannot move into the memory cgroup %1: %2")
                           .arg(QString::fromLocal8Bit(m_group), QString::fromLocal8Bit(std::strerror(errno)));
        } else {
            m_home = home;
            return;
        }
        ::rmdir(m_group.constData());
        m_group.clear();
    }

    ~ForgetfulKernel()
    {
        if (m_home.isEmpty())
            return;
        write(m_home + "/cgroup.procs", "0");
        // Programs the test started (a FUSE daemon) may take a moment to end.
        for (int attempt = 0; attempt < 40 && ::rmdir(m_group.constData()) != 0 && errno == EBUSY; ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    ForgetfulKernel(const ForgetfulKernel &) = delete;
    ForgetfulKernel &operator=(const ForgetfulKernel &) = delete;

    // Empty when the kernel can be made to forget here.
    const QString &whyNot() const { return m_whyNot; }

    // Reclaims the group's memory: what nothing holds open is forgotten.
    bool forget() const { return !m_home.isEmpty() && forgetThrough(m_reclaim, word()); }

    // For a program that asks itself: the file to write and what to write
    // into it (`forgetThrough`), and the account that may.
    const QByteArray &reclaimFile() const { return m_reclaim; }
    QByteArray word() const { return m_v2 ? "64G" : "0"; }
    bool letWrite(uid_t uid) const { return ::chown(m_reclaim.constData(), uid, uid) == 0; }

    // v2 answers EAGAIN when less than asked could go; what could went.
    static bool forgetThrough(const QByteArray &file, const QByteArray &word)
    {
        return write(file, word) || errno == EAGAIN;
    }

private:
    static bool write(const QByteArray &file, const QByteArray &text)
    {
        QFile out(QFile::decodeName(file));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        errno = 0;
        return out.write(text) == text.size();
    }

    // The memory cgroup this process is in, as a folder (empty, with
    // m_whyNot set, when there is none).
    QByteArray ownMemoryGroup()
    {
        QFile groups(QStringLiteral("/proc/self/cgroup"));
        QFile mounts(QStringLiteral("/proc/self/mountinfo"));
        if (!groups.open(QIODevice::ReadOnly) || !mounts.open(QIODevice::ReadOnly)) {
            m_whyNot = QStringLiteral("/proc/self/cgroup or /proc/self/mountinfo cannot be read");
            return {};
        }
        QByteArray v1Path;
        QByteArray v2Path;
        for (const QByteArray &line : groups.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() < 3)
                continue;
            if (fields.at(1).split(',').contains("memory"))
                v1Path = fields.mid(2).join(':');
            else if (fields.at(0) == "0" && fields.at(1).isEmpty())
                v2Path = fields.mid(2).join(':');
        }
        for (const QByteArray &line : mounts.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            const qsizetype dash = fields.indexOf("-");
            if (dash < 0 || dash + 3 >= fields.size())
                continue;
            const QByteArray &type = fields.at(dash + 1);
            const QByteArray &root = fields.at(3);
            const bool v1 = type == "cgroup" && fields.at(dash + 3).split(',').contains("memory") && !v1Path.isEmpty();
            const bool v2 = type == "cgroup2" && v1Path.isEmpty() && !v2Path.isEmpty();
            if (!v1 && !v2)
                continue;
            const QByteArray path = v1 ? v1Path : v2Path;
            if (!path.startsWith(root))
                continue;
            m_v2 = v2;
            const QByteArray below = root == "/" ? path : path.mid(root.size());
            QByteArray folder = fields.at(4) + below;
            while (folder.endsWith('/'))
                folder.chop(1);
            if (v2 && !QFile::exists(QFile::decodeName(folder + "/memory.reclaim"))) {
                // A group of our own takes the controller only if ours hands it on.
                write(folder + "/cgroup.subtree_control", "+memory");
            }
            return folder;
        }
        m_whyNot = QStringLiteral("this machine has no memory cgroup to reclaim (neither a v1 memory hierarchy nor "
                                  "cgroup v2 is mounted for this process)");
        return {};
    }

    QString m_whyNot;
    QByteArray m_group;
    QByteArray m_home;
    QByteArray m_reclaim;
    bool m_v2 = false;
};

// Junk on a stick as a scan lists it, some of it changed behind the clean's
// back: `levels`-deep chains of folders with a ".DS_Store" and a kept file
// on every level (deeper than the handles a clean keeps open), a trash and
// an index folder and a "Thumbs.db" at the root. change() then rewrites a
// ".DS_Store" with another size, moves another's time, puts a folder in the
// place of a third and a file in the trash folder's: a clean must refuse
// those four (`changed`) and remove every other item.
struct JunkSinceTheScan
{
    QByteArrayList items;       // below the root, as a clean is handed them
    QByteArrayList changed;
    QByteArrayList kept;        // files that are no junk

    bool make(const QByteArray &root, int chains, int levels)
    {
        const auto write = [](const QByteArray &path, const QByteArray &content) {
            QFile file(QFile::decodeName(path));
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
        items = {".Trashes", ".Spotlight-V100", "Thumbs.db"};
        bool made = QDir().mkpath(QFile::decodeName(root + "/.Trashes/old"))
                    && QDir().mkpath(QFile::decodeName(root + "/.Spotlight-V100/Store-V2"))
                    && write(root + "/.Trashes/old/photo.jpg", "an old photo")
                    && write(root + "/.Spotlight-V100/Store-V2/index", "an index") && write(root + "/Thumbs.db", "thumbs");
        for (int chain = 0; made && chain < chains; ++chain) {
            QByteArray folder = "c" + QByteArray::number(chain);
            for (int level = 1; made && level <= levels; ++level) {
                // No two levels list alike (a scan of FAT takes such a folder for a loop).
                folder += "/l" + QByteArray::number(level);
                const QByteArray keep = folder + "/keep" + QByteArray::number(level) + ".txt";
                made = QDir().mkpath(QFile::decodeName(root + '/' + folder)) && write(root + '/' + keep, keep)
                       && write(root + '/' + folder + "/.DS_Store", "junk of " + folder);
                items << folder + "/.DS_Store";
                kept << keep;
            }
        }
        changed = {items.value(3), items.value(4), items.value(5), ".Trashes"};
        return made;
    }

    bool change(const QByteArray &root) const
    {
        const QByteArray resized = root + '/' + changed.at(0);
        const QByteArray retimed = root + '/' + changed.at(1);
        const QByteArray replaced = root + '/' + changed.at(2);
        struct stat st{};
        QFile grown(QFile::decodeName(resized));   // (fusefat refuses to append)
        bool done = grown.open(QIODevice::WriteOnly) && grown.write("junk grown since the scan") == 25;
        grown.close();
        timespec times[2]{};
        done = done && ::lstat(retimed.constData(), &st) == 0;
        times[0] = st.st_atim;
        times[1] = st.st_mtim;
        times[1].tv_sec -= 3600;
        return done && ::utimensat(AT_FDCWD, retimed.constData(), times, AT_SYMLINK_NOFOLLOW) == 0
               && ::unlink(replaced.constData()) == 0 && ::mkdir(replaced.constData(), 0755) == 0
               && QDir(QFile::decodeName(root + "/.Trashes")).removeRecursively()
               && QFile(QFile::decodeName(root + "/.Trashes")).open(QIODevice::WriteOnly);
    }
};

// A new stick of a kind, with JunkSinceTheScan on it scanned, then
// forgotten by the kernel and changed: what a clean is handed (`items`).
struct ForgottenStick
{
    ForgetfulKernel kernel;   // before the stick: what is read of it is forgotten on demand
    MountFixture fx;
    QByteArray root;
    JunkSinceTheScan junk;
    QList<FileItem> items;

    // The rows of a test of it: FAT32 through fusefat, exFAT through exfat-fuse.
    static void rows()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("FAT32 (fusefat)") << int(MountFixture::Kind::Fat32);
        QTest::newRow("exFAT (exfat-fuse)") << int(MountFixture::Kind::ExFat);
    }

    // False when it could not be made: with *skip set when this machine
    // cannot (no memory cgroup, no such stick, a kernel that kept the numbers).
    bool make(MountFixture::Kind kind, QString *skip)
    {
        const QString point = fx.mountRoot() + QStringLiteral("/FORGOTTEN");
        if (!kernel.whyNot().isEmpty())
            *skip = kernel.whyNot();
        else if (!fx.mountNew(kind, point))
            *skip = fx.lastError();
        root = QFile::encodeName(point);
        if (!skip->isEmpty() || !junk.make(root, 2, 40))
            return false;
        items = scannedItems(junk.items, root);
        if (!kernel.forget())
            return false;
        if (scannedItem(items.constLast().fsPath()).inode == items.constLast().inode) {
            *skip = QStringLiteral("the kernel kept this stick's inodes when asked to forget them: nothing would be tested");
            return false;
        }
        return junk.change(root) && kernel.forget();
    }
};

} // namespace testsupport

// Makes the ForgottenStick `stick` of `kind`: skips where this machine cannot, fails where a step did.
#define MAKE_FORGOTTEN_STICK(stick, kind)                                                                              \
    do {                                                                                                               \
        QString skip_;                                                                                                 \
        const bool made_ = (stick).make(kind, &skip_);                                                                 \
        if (!skip_.isEmpty())                                                                                          \
            QSKIP(qPrintable(skip_));                                                                                  \
        QVERIFY(made_);                                                                                                \
    } while (false)
