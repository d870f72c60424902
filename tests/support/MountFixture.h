#pragma once

// Real volumes for tests: FAT32 and exFAT images mounted through FUSE on loop
// devices, ext4 images mounted by the kernel. Needs root, /dev/fuse,
// /dev/loop-control and the tools named in whyUnavailable().
//
//     MountFixture fx;
//     const QString point = fx.mountRoot() + QStringLiteral("/STICK");
//     const std::optional<QString> loop = fx.mountNew(MountFixture::Kind::Fat32, point);
//     if (!loop)
//         QSKIP(qPrintable(fx.lastError()));   // unavailable here, or a step failed
//
// The steps (makeImage, attachLoop, mountFat...) are there one by one too.
//
// Everything the fixture made is undone when it goes out of scope, also when a
// test fails half-way: mounts are unmounted (retried, lazily as a last resort),
// its own loop devices detached (known by the files they hold, LoopDevice.h)
// and its temporary folder removed. Mount points passed to mount*() are
// created when missing; they may contain spaces. Should the test be killed,
// its guard (TestGuard.h) detaches them: the images lie in its $TMPDIR.

#include "LoopDevice.h"

#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

class MountFixture
{
public:
    enum class Kind { Fat32, ExFat, Ext4 };

    MountFixture() : m_dir(QDir::tempPath() + QStringLiteral("/sweepbrook-mounts-XXXXXX"))
    {
        if (m_dir.isValid())
            QDir().mkpath(mountRoot());
        else
            m_error = QStringLiteral("Cannot create a temporary folder under %1: %2").arg(QDir::tempPath(), m_dir.errorString());
    }

    ~MountFixture()
    {
        const QList<Mounted> mounts = m_mounts;
        for (auto it = mounts.crbegin(); it != mounts.crend(); ++it)
            unmount(it->mountPoint);
        for (const QString &loop : QStringList(m_loops))
            detachLoop(loop);
        // Never let the folder's removal walk into a file system that is still mounted.
        if (m_dir.isValid() && !mountsBelow(m_dir.path()).isEmpty()) {
            m_dir.setAutoRemove(false);
            logLine(QStringLiteral("MountFixture: %1 left in place, something is still mounted below it").arg(m_dir.path()));
        }
    }

    MountFixture(const MountFixture &) = delete;
    MountFixture &operator=(const MountFixture &) = delete;

    // Why this machine cannot make volumes of this kind (of any kind, without
    // an argument); empty when it can.
    static QString whyUnavailable(Kind kind)
    {
        if (geteuid() != 0)
            return QStringLiteral("mounting test volumes needs root");
        if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
            return QStringLiteral("no /dev/loop-control (loop devices unavailable)");
        if (kind != Kind::Ext4 && !QFileInfo::exists(QStringLiteral("/dev/fuse")))
            return QStringLiteral("no /dev/fuse (FUSE unavailable)");
        const QStringList tools = kind == Kind::Fat32   ? QStringList{"mkfs.vfat", "fusefat"}
                                  : kind == Kind::ExFat ? QStringList{"mkfs.exfat", "mount.exfat-fuse"}
                                                        : QStringList{"mkfs.ext4", "mount"};
        for (const QString &name : tools + QStringList{"losetup", "blkid", "umount"}) {
            if (tool(name).isEmpty())
                return QStringLiteral("%1 is not installed").arg(name);
        }
        return {};
    }

    static QString whyUnavailable()
    {
        QString why;
        for (Kind kind : {Kind::Fat32, Kind::ExFat, Kind::Ext4}) {
            if (why.isEmpty())
                why = whyUnavailable(kind);
        }
        return why;
    }

    bool isValid() const { return m_dir.isValid(); }
    // What the last failing step said (the command and its output).
    QString lastError() const { return m_error; }
    QString path() const { return m_dir.path(); }
    // A folder for mount points, in the temporary folder.
    QString mountRoot() const { return m_dir.path() + QStringLiteral("/mnt"); }

    // A sparse image of `sizeMiB` formatted with `label`; its path.
    std::optional<QString> makeImage(Kind kind, int sizeMiB, const QString &label)
    {
        if (!isValid())
            return std::nullopt;
        const QString image = m_dir.path() + QStringLiteral("/image-%1.img").arg(++m_imageCount);
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(sizeMiB) * 1024 * 1024)) {
            m_error = QStringLiteral("Cannot create %1: %2").arg(image, file.errorString());
            return std::nullopt;
        }
        file.close();
        const bool made = kind == Kind::Fat32   ? run("mkfs.vfat", {"-F", "32", "-n", label, image}, 60).has_value()
                          : kind == Kind::ExFat ? run("mkfs.exfat", {"-L", label, image}, 60).has_value()
                                                : run("mkfs.ext4", {"-q", "-F", "-L", label, image}, 60).has_value();
        if (made)
            remember(image);
        return made ? std::optional(image) : std::nullopt;
    }

    // Attaches the image (any file) to a free loop device; "/dev/loopN".
    std::optional<QString> attachLoop(const QString &image)
    {
        remember(image);
        const auto out = run(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image}, 30);
        if (!out)
            return std::nullopt;
        const QString device = out->trimmed();
        if (!device.startsWith(QStringLiteral("/dev/loop"))) {
            m_error = QStringLiteral("losetup gave no device for %1: %2").arg(image, *out);
            return std::nullopt;
        }
        m_loops << device;
        return device;
    }

    // FAT through fusefat: mountinfo shows "fuse.vfat" with the loop device as
    // source. Read-only, every change is refused with EROFS.
    std::optional<QString> mountFat(const QString &loopDev, const QString &mountPoint, bool readOnly = false)
    {
        const QString mode = readOnly ? QStringLiteral("ro") : QStringLiteral("rw+");
        return mount(QStringLiteral("fusefat"),
                     {QStringLiteral("-o"), QStringLiteral("%1,fsname=%2,subtype=vfat").arg(mode, loopDev), loopDev,
                      mountPoint},
                     mountPoint, true);
    }

    // exFAT through exfat-fuse: mountinfo shows "fuseblk" with the loop device's
    // own number and the loop device as source.
    std::optional<QString> mountExfat(const QString &loopDev, const QString &mountPoint)
    {
        return mount(QStringLiteral("mount.exfat-fuse"), {loopDev, mountPoint}, mountPoint, true);
    }

    // ext4 through fuse2fs, which keeps its files' owners and modes:
    // mountinfo shows "fuse.ext4" with the loop device as source.
    std::optional<QString> mountExt4Fuse(const QString &loopDev, const QString &mountPoint)
    {
        return mount(QStringLiteral("fuse2fs"), {loopDev, mountPoint, QStringLiteral("-o"), QStringLiteral("allow_other")},
                     mountPoint, true);
    }

    // Mounts the loop device as sticks of its kind are mounted here: FAT32
    // through fusefat, exFAT through exfat-fuse, ext4 by the kernel.
    std::optional<QString> mountLoop(Kind kind, const QString &loopDev, const QString &mountPoint)
    {
        return kind == Kind::Fat32   ? mountFat(loopDev, mountPoint)
               : kind == Kind::ExFat ? mountExfat(loopDev, mountPoint)
                                     : mountExt4(loopDev, mountPoint);
    }

    // A new stick: an image of `kind` on a loop device, mounted at
    // `mountPoint`. Its loop device; nothing, with lastError() saying why,
    // when this machine cannot make one (whyUnavailable) or a step failed.
    std::optional<QString> mountNew(Kind kind, const QString &mountPoint, int sizeMiB = 64,
                                    const QString &label = QStringLiteral("STICK"))
    {
        if (const QString why = whyUnavailable(kind); !why.isEmpty()) {
            m_error = why;
            return std::nullopt;
        }
        const auto image = makeImage(kind, sizeMiB, label);
        const auto loop = image ? attachLoop(*image) : std::nullopt;
        return loop && mountLoop(kind, *loop, mountPoint) ? loop : std::nullopt;
    }

    // A new FAT32 stick that already holds what lies in the folder `staging`,
    // copied onto the image with mtools before it is mounted (thousands of
    // files in a second, where fusefat takes minutes). Its loop device.
    std::optional<QString> mountNewFat32With(const QString &staging, const QString &mountPoint, int sizeMiB = 64,
                                             const QString &label = QStringLiteral("STICK"))
    {
        if (const QString why = whyUnavailable(Kind::Fat32); !why.isEmpty()) {
            m_error = why;
            return std::nullopt;
        }
        if (tool(QStringLiteral("mcopy")).isEmpty()) {
            m_error = QStringLiteral("mcopy (mtools) is not installed");
            return std::nullopt;
        }
        const auto image = makeImage(Kind::Fat32, sizeMiB, label);
        if (!image)
            return std::nullopt;
        QStringList args{QStringLiteral("-s"), QStringLiteral("-i"), *image};
        for (const QString &name : QDir(staging).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            args << staging + u'/' + name;
        args << QStringLiteral("::/");
        if (!run(QStringLiteral("mcopy"), args, 300, {{QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1")}}))
            return std::nullopt;
        const auto loop = attachLoop(*image);
        return loop && mountFat(*loop, mountPoint) ? loop : std::nullopt;
    }

    // A new stick of `kind` at mountRoot()/`name` that other accounts may
    // reach (the fixture's folders opened to them): its canonical path as
    // bytes; empty, with lastError() saying why, when none can be made.
    QByteArray mountReachable(Kind kind, const QString &name = QStringLiteral("vol"))
    {
        const QString point = mountRoot() + u'/' + name;
        if (!mountNew(kind, point, kind == Kind::Fat32 ? 64 : 32, QStringLiteral("JUNK")))
            return {};
        ::chmod(QFile::encodeName(path()).constData(), 0755);
        return QFile::encodeName(QFileInfo(point).canonicalFilePath());
    }

    // FAT32 or exFAT mounted by the ordinary account `uid` itself, as it would
    // mount its own stick: fusefat or exfat-fuse started as that account
    // (setpriv), the mount made by the setuid fusermount. The account gets
    // the loop device node only while the mount is made (the daemon keeps it
    // open), owns the mount point and may pass the fixture's folders. Unmounted
    // with the fixture's other mounts.
    std::optional<QString> mountFuseAs(uid_t uid, Kind kind, const QString &loopDev, const QString &mountPoint)
    {
        const QString point = QDir::cleanPath(mountPoint);
        const QByteArray node = QFile::encodeName(loopDev);
        struct stat original{};
        if (kind == Kind::Ext4 || !QDir().mkpath(point) || ::stat(node.constData(), &original) != 0
            || ::chown(QFile::encodeName(point).constData(), uid, uid) != 0
            || ::chmod(QFile::encodeName(path()).constData(), 0755) != 0
            || ::chmod(QFile::encodeName(mountRoot()).constData(), 0755) != 0
            || ::chown(node.constData(), uid, uid) != 0) {
            m_error = QStringLiteral("Cannot prepare %1 and %2 for a mount by account %3").arg(loopDev, point).arg(uid);
            return std::nullopt;
        }
        const QStringList account = {QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
                                     QStringLiteral("--clear-groups")};
        const QStringList daemon =
            kind == Kind::Fat32
                ? QStringList{tool(QStringLiteral("fusefat")), QStringLiteral("-o"),
                              QStringLiteral("rw+,fsname=%1,subtype=vfat").arg(loopDev), loopDev, point}
                : QStringList{tool(QStringLiteral("mount.exfat-fuse")), loopDev, point};
        const std::optional<QString> mounted = mount(QStringLiteral("setpriv"), account + daemon, point, true);
        if (::chown(node.constData(), original.st_uid, original.st_gid) != 0)
            logLine(QStringLiteral("MountFixture: cannot give %1 back to its owner").arg(loopDev));
        return mounted;
    }

    // exFAT mounted by root for the ordinary account `uid`, as a desktop's
    // UDisks2 mounts it: exfat-fuse started as root, every file the account's.
    std::optional<QString> mountExFatFor(uid_t uid, const QString &loopDev, const QString &mountPoint)
    {
        return mount(QStringLiteral("mount.exfat-fuse"),
                     {QStringLiteral("-o"), QStringLiteral("uid=%1,gid=%1").arg(uid), loopDev, mountPoint}, mountPoint, true);
    }

    // What ".Trashes/ALIAS" of mountNewWithAlias stands for.
    enum class Alias {
        wholeFolder,   // DCIM: on FAT its entry names DCIM's first cluster, on ext4 a second link to DCIM
        chainMiddle,   // FAT only: the second cluster of DCIM/100CANON's chain (IMG_0015.JPG on)
        ownFolder,     // FAT only: ".Trashes" itself, so the folder holds itself without end
    };

    // A damaged stick of `kind` (FAT32 or ext4) at `mountPoint`: DCIM holds
    // PHOTO.JPG and SUB/X.JPG (on FAT with `chainMiddle` also 100CANON with
    // IMG_0001.JPG to IMG_0025.JPG, two clusters of entries), and
    // ".Trashes/ALIAS" is no folder of its own but what `alias` says (a FAT
    // entry naming a cluster of another folder is a common corruption; ext4's
    // second link is made by debugfs). Its loop device.
    std::optional<QString> mountNewWithAlias(Kind kind, const QString &mountPoint, Alias alias = Alias::wholeFolder)
    {
        const QString why = whyUnavailable(kind);
        const QString needed = kind == Kind::Fat32 ? QStringLiteral("mcopy") : QStringLiteral("debugfs");
        if (!why.isEmpty() || tool(needed).isEmpty() || (kind != Kind::Fat32 && alias != Alias::wholeFolder)) {
            m_error = !why.isEmpty() ? why : tool(needed).isEmpty() ? needed + QStringLiteral(" is not installed")
                                                                    : QStringLiteral("only FAT has clusters to alias");
            return std::nullopt;
        }
        const std::optional<QString> image = makeImage(kind, kind == Kind::Fat32 ? 64 : 32, QStringLiteral("ALIAS"));
        const QString photo = m_dir.filePath(QStringLiteral("photo"));
        QFile content(photo);
        if (!image || !content.open(QIODevice::WriteOnly) || content.write("a photo\n") < 0)
            return std::nullopt;
        content.close();
        if (kind == Kind::Fat32) {
            const QMap<QString, QString> skip{{QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1")}};
            if (!run(QStringLiteral("mmd"), {"-i", *image, "::/DCIM", "::/DCIM/SUB", "::/.Trashes", "::/.Trashes/ALIAS"}, 30, skip)
                || !run(QStringLiteral("mcopy"), {"-i", *image, photo, "::/DCIM/PHOTO.JPG"}, 30, skip)
                || !run(QStringLiteral("mcopy"), {"-i", *image, photo, "::/DCIM/SUB/X.JPG"}, 30, skip)
                || (alias == Alias::chainMiddle && !makeCanonFolder(*image, skip)) || !crossLink(*image, alias))
                return std::nullopt;
        } else {
            const QString commands = m_dir.filePath(QStringLiteral("debugfs.cmd"));
            QFile file(commands);
            if (!file.open(QIODevice::WriteOnly))
                return std::nullopt;
            file.write(QStringLiteral("mkdir DCIM\nmkdir DCIM/SUB\nwrite %1 DCIM/PHOTO.JPG\nwrite %1 DCIM/SUB/X.JPG\n"
                                      "mkdir .Trashes\nln DCIM .Trashes/ALIAS\n").arg(photo).toUtf8());
            file.close();
            if (!run(QStringLiteral("debugfs"), {"-w", "-f", commands, *image}, 30))
                return std::nullopt;
        }
        const std::optional<QString> loop = attachLoop(*image);
        if (!loop || !(kind == Kind::Fat32 ? mountFat(*loop, mountPoint) : mountExt4(*loop, mountPoint)))
            return std::nullopt;
        return loop;
    }

    // Any other kernel mount: `mount <args> <mountPoint>` (a tmpfs, a bind mount).
    std::optional<QString> mountWith(const QStringList &args, const QString &mountPoint)
    {
        return mount(QStringLiteral("mount"), args + QStringList{mountPoint}, mountPoint, false);
    }

    // ext4 by the kernel, from a loop device or an image file (then through a
    // loop device that mount sets up and frees again at unmount).
    std::optional<QString> mountExt4(const QString &imageOrLoopDev, const QString &mountPoint)
    {
        const bool image = !imageOrLoopDev.startsWith(QStringLiteral("/dev/"));
        const QStringList loopOption = image ? QStringList{"-o", "loop"} : QStringList();
        const auto result = mountWith(QStringList{"-t", "ext4"} + loopOption + QStringList{imageOrLoopDev}, mountPoint);
        if (result && image) {
            // Remember mount's own loop device in case the unmount leaves it attached.
            remember(imageOrLoopDev);
            for (const auto &[point, source] : mountsBelow(*result)) {
                if (point == *result && source.startsWith(QStringLiteral("/dev/loop")))
                    m_loops << source;
            }
        }
        return result;
    }

    // Unmounts, retrying while busy, lazily as a last resort. A FUSE daemon
    // writes its last changes after the unmount, so this also waits (up to
    // 10 s) until nothing holds the mount's device any more: an fsck or a
    // detach that follows sees the final image.
    bool unmount(const QString &mountPoint)
    {
        const QString point = QDir::cleanPath(mountPoint);
        QString source;
        for (const auto &[mounted, from] : mountsBelow(point)) {
            if (mounted == point)
                source = from;
        }
        bool fuse = false;
        for (qsizetype i = 0; i < m_mounts.size(); ++i) {
            if (m_mounts.at(i).mountPoint == point) {
                fuse = m_mounts.takeAt(i).fuse;
                break;
            }
        }
        const bool fusermount = fuse && !tool(QStringLiteral("fusermount")).isEmpty();
        for (int attempt = 0; attempt < 5 && isMounted(point); ++attempt) {
            if (attempt > 0)
                QThread::msleep(200);
            run(fusermount ? QStringLiteral("fusermount") : QStringLiteral("umount"),
                fusermount ? QStringList{QStringLiteral("-u"), point} : QStringList{point}, 20);
        }
        if (isMounted(point))
            run(QStringLiteral("umount"), {QStringLiteral("-l"), point}, 20);
        if (isMounted(point)) {
            logLine(QStringLiteral("MountFixture: cannot unmount %1: %2").arg(point, m_error));
            return false;
        }
        if (fuse)
            waitUntilReleased(source);
        return true;
    }

    // Detaches the mount at once (umount -l), whatever still uses it; for a
    // test that pulls a stick out from under a clean. Callable from any thread.
    static bool unmountLazily(const QString &mountPoint)
    {
        ProcessRequest request;
        request.program = tool(QStringLiteral("umount"));
        request.arguments = {QStringLiteral("-l"), mountPoint};
        request.timeout = std::chrono::seconds(20);
        return !request.program.isEmpty() && runProcess(request).succeeded();
    }

    // Waits (up to 10 s) until no process holds the device open: a FUSE
    // daemon writes its last changes after an unmount or a lazy detach.
    static void waitUntilReleased(const QString &device)
    {
        ProcessRequest inUse;
        inUse.program = tool(QStringLiteral("fuser"));
        inUse.arguments = {QStringLiteral("-s"), device};
        inUse.timeout = std::chrono::seconds(10);
        if (!device.startsWith(QStringLiteral("/dev/")) || inUse.program.isEmpty())
            return;
        for (int i = 0; i < 100 && runProcess(inUse).exitCode == 0; ++i)
            QThread::msleep(100);
    }

    // The FUSE daemon (fusefat or exfat-fuse) serving `mountPoint`: the
    // process started with it as an argument; 0 when there is none.
    static pid_t fuseDaemon(const QString &mountPoint)
    {
        const QByteArray point = QFile::encodeName(QDir::cleanPath(mountPoint));
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool ok = false;
            const pid_t pid = pid_t(entry.toInt(&ok));
            QFile cmdline(QStringLiteral("/proc/") + entry + QStringLiteral("/cmdline"));
            if (!ok || pid == ::getpid() || !cmdline.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> args = cmdline.readAll().split('\0');
            if (args.contains(point) && (args.first().contains("fusefat") || args.first().contains("exfat")))
                return pid;
        }
        return 0;
    }

    // Kills a FUSE daemon and waits (up to 10 s) until all its threads have
    // ended, so its handles are closed: the mount answers ENOTCONN from then on.
    static bool killDaemon(pid_t pid)
    {
        if (pid <= 0 || ::kill(pid, SIGKILL) != 0)
            return false;
        const QString proc = QStringLiteral("/proc/%1").arg(pid);
        for (int i = 0; i < 200; ++i) {
            QFile stat(proc + QStringLiteral("/stat"));
            if (!stat.open(QIODevice::ReadOnly))
                return true;
            const QByteArray text = stat.readAll();
            if (text.mid(text.lastIndexOf(')') + 2, 1) == "Z"
                && QDir(proc + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() <= 1)
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    // Stops a process (SIGSTOP) and waits (up to 10 s) until it is stopped:
    // a stopped FUSE daemon holds every call into its mount until SIGCONT.
    static bool stopProcess(pid_t pid)
    {
        if (pid <= 0 || ::kill(pid, SIGSTOP) != 0)
            return false;
        for (int i = 0; i < 20000; ++i) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                return false;
            const QByteArray text = stat.readAll();
            if (text.mid(text.lastIndexOf(')') + 2, 1) == "T")
                return true;
            QThread::usleep(500);
        }
        return false;
    }

    // Detaches a loop device (whoever attached it: losetup, mount, udisksd),
    // but only while it holds a file of ours: a freed number may already
    // belong to a test alongside.
    bool detachLoop(const QString &loopDev)
    {
        m_loops.removeAll(loopDev);
        return testsupport::detachLoopIf(loopDev, [this](const testsupport::LoopBacking &backing, const QByteArray &) {
            return m_files.contains(backing);
        });
    }

    // Does the loop device hold a file of ours?
    bool holdsOurs(const QString &loopDev) const
    {
        const std::optional<testsupport::LoopBacking> backing = testsupport::loopBacking(loopDev);
        return backing && m_files.contains(*backing);
    }

    // True when something is mounted exactly at `path`.
    static bool isMounted(const QString &path)
    {
        const QString clean = QDir::cleanPath(path);
        const auto mounts = mountsBelow(clean);
        return std::any_of(mounts.cbegin(), mounts.cend(), [&](const auto &mount) { return mount.first == clean; });
    }

    // Writes to `copy` only the lines of /proc/self/mountinfo for `mountPoint`
    // (none while it is empty), so a manager reading the copy sees that one
    // volume and not those other tests mount meanwhile. False when `copy`
    // cannot be written.
    static bool writeMountInfoOf(const QString &mountPoint, const QString &copy)
    {
        return writeMountInfoOfAll(mountPoint.isEmpty() ? QStringList() : QStringList{mountPoint}, copy);
    }

    // The same for several mount points (those of them mounted now).
    static bool writeMountInfoOfAll(const QStringList &mountPoints, const QString &copy)
    {
        QFile real(QStringLiteral("/proc/self/mountinfo"));
        QByteArray mine;
        QList<QByteArray> wanted;
        for (const QString &point : mountPoints)
            wanted << QFile::encodeName(point);
        if (!wanted.isEmpty() && real.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : real.readAll().split('\n')) {
                if (wanted.contains(line.split(' ').value(4)))
                    mine += line + '\n';
            }
        }
        QFile out(copy);
        return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(mine) == mine.size();
    }

    // A tool by name, also from the sbin folders; empty when not installed.
    static QString tool(const QString &name)
    {
        if (QString found = findExecutable(name); !found.isEmpty())
            return found;
        for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
            if (!findExecutable(QLatin1String(dir) + name).isEmpty())
                return QLatin1String(dir) + name;
        }
        return {};
    }

private:
    // DCIM/100CANON in the FAT32 image, with IMG_0001.JPG to IMG_0025.JPG.
    bool makeCanonFolder(const QString &image, const QMap<QString, QString> &skip)
    {
        const QString staging = m_dir.filePath(QStringLiteral("100CANON"));
        QStringList args{QStringLiteral("-i"), image};
        for (int i = 1; i <= 25; ++i) {
            QFile file(staging + QStringLiteral("/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')));
            if (!QDir().mkpath(staging) || !file.open(QIODevice::WriteOnly) || file.write(QByteArray("photo ") + QByteArray::number(i)) < 0)
                return false;
            args << file.fileName();
        }
        args << QStringLiteral("::/DCIM/100CANON");
        return run(QStringLiteral("mmd"), {"-i", image, "::/DCIM/100CANON"}, 30, skip)
               && run(QStringLiteral("mcopy"), args, 30, skip);
    }

    // Points the FAT32 image's ".Trashes/ALIAS" entry at the cluster `alias` names.
    bool crossLink(const QString &image, Alias alias)
    {
        QFile file(image);
        if (!file.open(QIODevice::ReadWrite)) {
            m_error = QStringLiteral("Cannot open %1").arg(image);
            return false;
        }
        const QByteArray boot = file.read(512);
        const auto u16 = [](const QByteArray &b, int at) { return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8; };
        const auto u32 = [&](const QByteArray &b, int at) { return u16(b, at) | u16(b, at + 2) << 16; };
        const qint64 clusterBytes = qint64(u16(boot, 11)) * quint8(boot[13]);
        const qint64 data = (qint64(u16(boot, 14)) + qint64(quint8(boot[16])) * u32(boot, 36)) * u16(boot, 11);
        const auto offsetOf = [&](quint32 cluster) { return data + (qint64(cluster) - 2) * clusterBytes; };
        // The 8.3 entry whose name starts with `prefix` in the folder's first
        // cluster: its offset in the image and its first cluster.
        const auto entry = [&](quint32 folder, const QByteArray &prefix) -> std::pair<qint64, quint32> {
            file.seek(offsetOf(folder));
            const QByteArray bytes = file.read(clusterBytes);
            for (qsizetype at = 0; folder && at + 32 <= bytes.size() && bytes[at] != 0; at += 32) {
                if (quint8(bytes[at]) != 0xe5 && bytes[at + 11] != 0x0f && bytes.mid(at, 11).startsWith(prefix))
                    return {offsetOf(folder) + at, u16(bytes, int(at) + 26) | u16(bytes, int(at) + 20) << 16};
            }
            return {-1, 0};
        };
        // The cluster after `cluster` in its chain (the first FAT).
        const auto next = [&](quint32 cluster) {
            file.seek(qint64(u16(boot, 14)) * u16(boot, 11) + qint64(cluster) * 4);
            return u32(file.read(4), 0) & 0x0fffffff;
        };
        const quint32 root = u32(boot, 44);
        const auto [dcimAt, dcim] = entry(root, "DCIM ");
        const auto [trashAt, trash] = entry(root, "TRASHE");
        const auto [aliasAt, aliasCluster] = entry(trash, "ALIAS ");
        const quint32 canon = alias == Alias::chainMiddle ? entry(dcim, "100CANON").second : 0;
        const quint32 target = alias == Alias::wholeFolder ? dcim
                               : alias == Alias::ownFolder ? trash
                               : canon                     ? next(canon)
                                                           : 0;
        if (dcimAt < 0 || aliasAt < 0 || target < 2 || target >= 0x0ffffff8) {
            m_error = QStringLiteral("Cannot find the folders to cross-link in %1").arg(image);
            return false;
        }
        const char high[2] = {char(target >> 16), char(target >> 24)};
        const char low[2] = {char(target), char(target >> 8)};
        return file.seek(aliasAt + 20) && file.write(high, 2) == 2 && file.seek(aliasAt + 26) && file.write(low, 2) == 2;
    }

    struct Mounted
    {
        QString mountPoint;
        bool fuse = false;
    };

    void remember(const QString &file)
    {
        const std::optional<testsupport::LoopBacking> identity = testsupport::fileIdentity(file);
        if (identity && !m_files.contains(*identity))
            m_files << *identity;
    }

    // Runs a tool; its standard output on success, else nothing with m_error set.
    std::optional<QString> run(const QString &name, const QStringList &args, int timeoutSeconds,
                               const QMap<QString, QString> &environment = {})
    {
        ProcessRequest request;
        request.program = tool(name);
        request.arguments = args;
        request.environment = environment;
        request.timeout = std::chrono::seconds(timeoutSeconds);
        if (request.program.isEmpty()) {
            m_error = QStringLiteral("%1 is not installed").arg(name);
            return std::nullopt;
        }
        const ProcessResult result = runProcess(request);
        if (result.succeeded())
            return QString::fromLocal8Bit(result.standardOutput);
        const QString why = !result.started ? result.errorString
                            : result.timedOut ? QStringLiteral("timed out")
                                              : QStringLiteral("exit %1").arg(result.exitCode);
        m_error = QStringLiteral("%1 %2 failed (%3): %4")
                      .arg(name, args.join(QLatin1Char(' ')), why,
                           QString::fromLocal8Bit(result.standardError + result.standardOutput).trimmed());
        return std::nullopt;
    }

    std::optional<QString> mount(const QString &program, const QStringList &args, const QString &mountPoint, bool fuse)
    {
        const QString point = QDir::cleanPath(mountPoint);
        if (!QDir().mkpath(point)) {
            m_error = QStringLiteral("Cannot create mount point %1").arg(point);
            return std::nullopt;
        }
        if (!run(program, args, 30))
            return std::nullopt;
        m_mounts << Mounted{point, fuse};
        // FUSE helpers mount before they detach; allow a moment all the same.
        for (int i = 0; i < 50 && !isMounted(point); ++i)
            QThread::msleep(100);
        if (isMounted(point))
            return point;
        m_error = QStringLiteral("%1 succeeded but %2 is not mounted").arg(program, point);
        return std::nullopt;
    }

    // Mount points (and sources) at or below `path`, from /proc/self/mountinfo,
    // whose "\NNN" octal escapes are undone.
    static QList<std::pair<QString, QString>> mountsBelow(const QString &path)
    {
        const auto unescape = [](QByteArray field) {
            for (qsizetype i = field.indexOf('\\'); i >= 0 && i + 3 < field.size(); i = field.indexOf('\\', i + 1)) {
                bool ok = false;
                const int value = field.mid(i + 1, 3).toInt(&ok, 8);
                if (ok)
                    field.replace(i, 4, QByteArray(1, char(value)));
            }
            return QString::fromUtf8(field);
        };
        QList<std::pair<QString, QString>> found;
        QFile file(QStringLiteral("/proc/self/mountinfo"));
        if (!file.open(QIODevice::ReadOnly))
            return found;
        const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            const qsizetype dash = fields.indexOf("-");
            if (fields.size() < 5 || dash < 0 || dash + 2 >= fields.size())
                continue;
            const QString point = unescape(fields.at(4));
            if (point == path || point.startsWith(prefix))
                found.append({point, unescape(fields.at(dash + 2))});
        }
        return found;
    }

    QTemporaryDir m_dir;
    QString m_error;
    QList<Mounted> m_mounts;
    QStringList m_loops;
    QList<testsupport::LoopBacking> m_files;   // the files a loop device of ours holds (its images and any it attached)
    int m_imageCount = 0;
};
