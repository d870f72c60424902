// Scan and clean end to end on real FAT32 and exFAT volumes, as root and as an
// ordinary user, and the clean's choice of volume when one mount path extends
// another.

#include "cleaning/FileType.h"
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/VolumeWork.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include "BytePaths.h"
#include "DiskChecks.h"
#include "FakeMachine.h"
#include "ForgetfulKernel.h"
#include "HeldReader.h"
#include "ManagerRig.h"
#include "MemoryBudget.h"
#include "MountFixture.h"
#include "Patience.h"
#include "StdoutCapture.h"
#include "SystemDaemons.h"
#include "TestMain.h"
#include "ToolRun.h"
#include "VolumeCallHook.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::FakeMachine;
using testsupport::writeFile;

namespace {

// Per kind, one entry for every catalogue pattern (a trailing "/" makes a folder).
const QList<std::pair<FileType, QStringList>> kJunk = {
    {FileType::dsStore, {".DS_Store", "Desktop DB", "Desktop DF", ".AppleDB", ".AppleDesktop/"}},
    {FileType::appleDouble, {".AppleDouble/"}},
    {FileType::spotlight, {".Spotlight-V100/", ".spotlightV3", ".metadata/", ".fseventsd/"}},
    {FileType::trash, {".Trash/", ".Trashes/", "Network Trash Folder/", "$RECYCLE.BIN/", "RECYCLER/", "RECYCLED/",
                       "found.000/"}},
    {FileType::thumbsDb, {"Thumbs.db", "DCIM/IMG_0001.THM", ".thumbnails/", "_thumbs/", "a.thumb",
                          "AlbumArt_{1234}_Large.jpg", "AlbumArt.jpg", "ehthumbs.db", "ehthumbs_vista.db"}},
    {FileType::temporaryFiles, {"._photo.jpg", "._my photo.jpg", "docs/._report.pdf", "docs/deep/._a b c", "__MACOSX/",
                                "__MACOSX/._photo.jpg", "docs/__MACOSX/", "a.tmp", "b.temp", "~lock", ".~lock.doc#",
                                "c.swp", "d.swo", "e.swn", "f.bak", "g.old", "h.cache", "i.lock", "j.crdownload",
                                "k.part", "l.partial", "m.filepart", "n.download", "o.downloading", "p.crashreporter",
                                "q.crash", "nohup.out", "core.1234", "r.stackdump", "s.pdb"}},
    {FileType::systemLogs, {"docs/t.dmp", "u.err", "v.log", "w.out", "x.prv"}},
    {FileType::windowsSystem, {"System Volume Information/", "desktop.ini", "autorun.inf", "boot.ini"}},
};

// Not listed: what junk folders hold (they go whole, unentered), look-alikes,
// and files the user excluded ("._keep*").
const QStringList kKept = {
    "__MACOSX/sub/x.txt", "docs/__MACOSX/y.txt", ".Spotlight-V100/Store-V2/store.db", ".fseventsd/0000001",
    ".Trashes/501/file.txt", "System Volume Information/IndexerVolumeGuid",
    "photo.jpg", "notes.txt", "docs/report.pdf", "Photos.old/pic.jpg", "backup.tmp/keep.txt", "core.js",
    "__MACOSX_old/keep.txt", "._keep1", "docs/._keep2", ".VolumeIcon.icns"};

QByteArray contentFor(const QString &relative)
{
    return "content of " + relative.toUtf8() + '\n' + QByteArray(int(qHash(relative) % 3000), 'x');
}

void buildTree(const QString &root)
{
    QStringList all = kKept;
    for (const auto &entry : kJunk)
        all += entry.second;
    for (const QString &relative : std::as_const(all)) {
        if (relative.endsWith('/'))
            QVERIFY(QDir().mkpath(root + '/' + relative));
        else
            writeFile(root + '/' + relative, contentFor(relative));
    }
}

// Folders of junk files on a stick: "d00/f000.tmp" and so on.
QStringList junkTree(int folders, int perFolder)
{
    QStringList paths;
    for (int d = 0; d < folders; ++d) {
        for (int f = 0; f < perFolder; ++f)
            paths << QStringLiteral("d%1/f%2.tmp").arg(d, 2, 10, QLatin1Char('0')).arg(f, 3, 10, QLatin1Char('0'));
    }
    return paths;
}

void writeTree(const QString &root, const QStringList &paths, const QByteArray &content)
{
    for (const QString &relative : paths) {
        QDir().mkpath(QFileInfo(root + '/' + relative).path());
        writeFile(root + '/' + relative, content);
    }
}

} // namespace

class TestClean : public QObject
{
    Q_OBJECT

    // A udevd of the test's own, for a stick mounted for the user as a
    // desktop mounts it (the user cannot read the device; udev tells its type).
    testsupport::SystemDaemons m_daemons;
    QString m_noNamespace;

    struct Rig : testsupport::ManagerRig
    {
        void start(USBDeviceManager::Environment env)
        {
            env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
            startManager(env);
            settle();
        }

        ScanResult scan(const LocalUSBDevice &device, const QStringList &excluded)
        {
            QList<FileType> kinds = FileTypes::allCases();
            kinds.removeAll(FileType::custom);
            int completions = 0;
            ScanResult result;
            manager->scanDevice(device, kinds, {}, excluded, [](double) {}, [&](const ScanOutcome &r) {
                result = r.found;
                ++completions;
            });
            [&] { QVERIFY(scheduler.settle(std::chrono::seconds(60))); }();
            [&] { QCOMPARE(completions, 1); }();
            return result;
        }

        std::pair<QList<FileItem>, QList<FileItem>> clean(const QList<FileItem> &items)
        {
            std::optional<std::pair<QList<FileItem>, QList<FileItem>>> outcome;
            manager->cleanFiles(items, [&](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
                QVERIFY(!outcome);
                outcome = std::make_pair(cleaned, failed);
            });
            [&] { QVERIFY(scheduler.settle(std::chrono::seconds(60))); }();
            [&] { QVERIFY(outcome); }();
            return outcome.value_or(std::pair<QList<FileItem>, QList<FileItem>>{});
        }
    };

private slots:
    void initTestCase()
    {
        // Before any thread: udevd and its folders stay in this test's own mount namespace.
        m_noNamespace = m_daemons.enterPrivateMountNamespace();
    }

    void aliasedFolder_data()
    {
        using Alias = MountFixture::Alias;
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("alias");
        QTest::addColumn<bool>("photoAfterScan");
        const int fat = int(MountFixture::Kind::Fat32);
        QTest::newRow("FAT32 (fusefat): a cross-linked cluster") << fat << int(Alias::wholeFolder) << false;
        QTest::newRow("ext4: a directory hard link") << int(MountFixture::Kind::Ext4) << int(Alias::wholeFolder) << false;
        QTest::newRow("FAT32: cross-linked into the middle of a chain") << fat << int(Alias::chainMiddle) << false;
        QTest::newRow("FAT32: its folders gained a photo after the scan") << fat << int(Alias::wholeFolder) << true;
        QTest::newRow("FAT32: a folder that holds itself") << fat << int(Alias::ownFolder) << false;
    }

    // A trash folder holding an alias of DCIM (a damaged file system) is
    // scanned and cleaned: the trash folder is left whole and fails with its
    // reason, and DCIM is byte for byte as it was.
    void aliasedFolder()
    {
        QFETCH(int, kind);
        QFETCH(int, alias);
        QFETCH(bool, photoAfterScan);
        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/ALIAS");
        if (!fx.mountNewWithAlias(MountFixture::Kind(kind), point, MountFixture::Alias(alias)))
            QSKIP(qPrintable(fx.lastError()));
        const QByteArray root = QFile::encodeName(point);

        Rig rig;
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        if (alias == int(MountFixture::Alias::ownFolder))
            env.findTimeout = std::chrono::seconds(2);   // find knows no such loop and goes on until its limit
        rig.start(env);
        const auto device = rig.manager->deviceContaining(point + "/DCIM");
        QVERIFY(device);
        const QList<FileItem> trash = rig.scan(*device, {}).value(FileType::trash);
        QCOMPARE(trash.size(), 1);
        if (photoAfterScan) {   // no folder the alias shows lists what it listed at the scan
            writeFile(point + "/DCIM/NEW.JPG", "a new photo");
            writeFile(point + "/DCIM/SUB/NEW.JPG", "a new photo");
        }
        const QStringList dcimBefore = testsupport::snapshot(root + "/DCIM");
        QVERIFY(dcimBefore.size() == (alias == int(MountFixture::Alias::chainMiddle) ? 29 : photoAfterScan ? 5 : 3));
        const auto [cleaned, failed] = rig.clean(trash);
        QVERIFY(cleaned.isEmpty() && failed.size() == 1);
        QCOMPARE(failed.first().failure, EUCLEAN);
        QCOMPARE(testsupport::snapshot(root + "/DCIM"), dcimBefore);
    }

    void catalogueEndToEnd_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("FAT32 (fusefat)") << int(MountFixture::Kind::Fat32);
        QTest::newRow("exFAT (exfat-fuse)") << int(MountFixture::Kind::ExFat);
    }

    // Every pattern found under its kind, exactly those files removed, every
    // other file unchanged and the file system consistent afterwards.
    void catalogueEndToEnd()
    {
        QFETCH(int, kind);
        const auto fsKind = MountFixture::Kind(kind);
        const QString fsck = MountFixture::tool(fsKind == MountFixture::Kind::Fat32 ? "fsck.vfat" : "fsck.exfat");
        if (fsck.isEmpty())
            QSKIP("fsck.vfat / fsck.exfat is not installed");

        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/JUNK STICK");
        const auto loop = fx.mountNew(fsKind, point, 64, QStringLiteral("JUNKSTICK"));
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        buildTree(point);
        if (fsKind == MountFixture::Kind::Fat32)   // indexing switched off: the folder is still junk, the marker not
            writeFile(point + "/.metadata_never_index", {});

        Rig rig;
        rig.start(testsupport::realMachineEnvironment());
        const auto device = rig.manager->deviceContaining(point + "/photo.jpg");
        QVERIFY(device);
        QCOMPARE(device->path, point);

        const ScanResult result = rig.scan(*device, {QStringLiteral("._keep*")});
        // "path kind" for each entry: a path listed twice shows up twice.
        QStringList found;
        QStringList wanted;
        QList<FileItem> all;
        for (auto it = result.cbegin(); it != result.cend(); ++it) {
            for (const FileItem &item : it.value())
                found << item.path() + ' ' + FileTypes::rawValue(it.key());
            all += it.value();
        }
        for (const auto &[type, paths] : kJunk) {
            for (const QString &relative : paths)
                wanted << QDir::cleanPath(point + '/' + relative) + ' ' + FileTypes::rawValue(type);
        }
        for (const QString &line : std::as_const(wanted)) {   // what is left was not junk, or listed twice
            if (!found.removeOne(line))
                found << "not found: " + line;
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));

        const auto [cleaned, failed] = rig.clean(all);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.isEmpty() ? QString() : failed.first().path()));
        QCOMPARE(cleaned.size(), all.size());

        // Junk gone (with what its folders held); every other file byte for byte as written.
        for (const FileItem &item : all)
            QVERIFY2(!QFileInfo::exists(item.path()), qPrintable("still there: " + item.path()));
        for (const QString &relative : kKept) {
            const QString path = point + '/' + relative;
            const bool underJunk = std::any_of(all.cbegin(), all.cend(), [&](const FileItem &item) {
                return path.startsWith(item.path() + '/');
            });
            QFile file(path);
            QVERIFY2(underJunk ? !file.exists() : file.open(QIODevice::ReadOnly) && file.readAll() == contentFor(relative),
                     qPrintable("changed, lost or left: " + relative));
        }

        QVERIFY(fx.unmount(point));
        ProcessRequest fsckRequest;
        fsckRequest.program = fsck;
        fsckRequest.arguments = {QStringLiteral("-n"), *loop};
        fsckRequest.timeout = std::chrono::seconds(60);
        const ProcessResult checked = runProcess(fsckRequest);
        QVERIFY2(checked.succeeded(), (checked.standardOutput + checked.standardError).constData());
    }

    void ordinaryUserEndToEnd_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("forgotten");
        QTest::newRow("FAT32 (fusefat, mounted by the user)") << int(MountFixture::Kind::Fat32) << false;
        QTest::newRow("exFAT (exfat-fuse, mounted by or for the user)") << int(MountFixture::Kind::ExFat) << false;
        QTest::newRow("ext4 (mounted by root, root folder the user's)") << int(MountFixture::Kind::Ext4) << false;
        QTest::newRow("FAT32, forgotten by the kernel between the scan and the clean")
            << int(MountFixture::Kind::Fat32) << true;
        QTest::newRow("exFAT, forgotten by the kernel between the scan and the clean")
            << int(MountFixture::Kind::ExFat) << true;
    }

    // The app as an ordinary user on a volume that user can use: the manager
    // lists it from the real mount table, the FAT steps (the ls look at the
    // root, dot_clean) run on FAT32 and exFAT and not on ext4, nothing fails,
    // what is reported cleaned is gone and every other file is as it was;
    // also when the kernel forgot the stick (and FAT renumbered its items)
    // between the scan and the clean.
    void ordinaryUserEndToEnd()
    {
        QFETCH(int, kind);
        QFETCH(bool, forgotten);
        std::optional<testsupport::ForgetfulKernel> kernel;   // before the stick: what it reads of it is forgotten on demand
        if (forgotten && !kernel.emplace().whyNot().isEmpty())
            QSKIP(qPrintable(kernel->whyNot()));
        const auto fsKind = MountFixture::Kind(kind);
        const bool fat = fsKind != MountFixture::Kind::Ext4;
        const QStringList junk = {"._photo.jpg", "docs/._report.pdf", "docs/deep/._a b c", ".DS_Store", "Thumbs.db",
                                  "__MACOSX"};
        const QStringList kept = {"photo.jpg", "notes.txt", "docs/report.pdf", "docs/deep/keep.txt"};
        if (const QString why = testsupport::whyNotAsNobody(SWEEPBROOK_SCAN_PROBE); !why.isEmpty())
            QSKIP(qPrintable(why));

        // Filled as root; a FAT volume is then mounted again by the user.
        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/USER STICK");
        const auto loop = fx.mountNew(fsKind, point);
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        for (const QString &relative : junk.mid(0, 5) + kept + QStringList{"__MACOSX/sub/x.txt"})   // the folder, made here
            writeFile(point + '/' + relative, contentFor(relative));
        const QByteArray root = QFile::encodeName(point);
        // The user passes the fixture's folders (mountFuseAs opens them too).
        for (const QString &folder : {fx.path(), fx.mountRoot()})
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther));
        if (!fat) {
            QDirIterator all(point, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
            for (QByteArray path = root; !path.isEmpty(); path = all.hasNext() ? QFile::encodeName(all.next()) : "")
                QVERIFY2(::lchown(path.constData(), 65534, 65534) == 0, path.constData());
        }
        const auto filesOf = [](const QStringList &lines, const QStringList &without) {
            QStringList files;   // "name mode uid mtime content": folders' times change as entries go
            for (const QString &line : lines) {
                const QString name = line.section(u' ', 0, -5);
                if (!line.section(u' ', -4, -4).startsWith(u"40")
                    && std::none_of(without.cbegin(), without.cend(),
                                    [&](const QString &j) { return name == j || name.startsWith(j + u'/'); }))
                    files << line;
            }
            return files;
        };
        const QStringList before = filesOf(testsupport::snapshot(root), junk);
        QVERIFY(before.size() >= kept.size());   // fusefat shows the label as a file too
        if (fat) {
            QVERIFY(fx.unmount(point));
            // Where exfat-fuse may not be started by the user itself (fusermount allows it no
            // allow_other), the stick is mounted for the user as a desktop mounts it, with
            // udev telling the type of a device the user cannot read.
            if (!fx.mountFuseAs(65534, fsKind, *loop, point)) {
                if (fsKind != MountFixture::Kind::ExFat || !fx.mountExFatFor(65534, *loop, point))
                    QSKIP(qPrintable("an ordinary user cannot mount this volume here: " + fx.lastError()));
                if (const QString why = m_noNamespace.isEmpty() ? m_daemons.recordFileSystem(*loop) : m_noNamespace;
                    !why.isEmpty())
                    QSKIP(qPrintable(why));
            }
        }

        QStringList forget;
        if (kernel) {
            QVERIFY(kernel->letWrite(65534));
            forget << QFile::decodeName(kernel->reclaimFile()) << QString::fromUtf8(kernel->word());
        }
        const testsupport::ToolRun run = testsupport::runTool(
            testsupport::asNobody() << SWEEPBROOK_SCAN_PROBE << "--clean" << point << SWEEPBROOK_DOT_CLEAN << forget, {});
        QVERIFY2(run.exitCode == 0, run.errors.constData());
        const qsizetype inodes = run.output.indexOf("\ninode\t");
        const QList<QByteArray> numbers = run.output.mid(inodes + 7, run.output.indexOf('\n', inodes + 1) - inodes - 7).split('\t');
        if (kernel && (inodes < 0 || numbers.size() != 2 || numbers.at(0) == numbers.at(1)))
            QSKIP("the kernel kept this stick's inodes when asked to forget them: nothing would be tested");
        QList<FileItem> found;
        QList<FileItem> cleaned;
        QList<FileItem> failed;
        QStringList foundBelow;
        qint64 freed = 0;   // as the clean reports it
        for (const QByteArray &line : run.output.split('\n')) {
            const QByteArray path = line.mid(line.lastIndexOf('\t') + 1);
            if (line.startsWith("cleaned\t"))
                freed += line.split('\t').value(1).toLongLong();
            QList<FileItem> *list = line.startsWith("found\t")     ? &found
                                    : line.startsWith("cleaned\t") ? &cleaned
                                    : line.startsWith("failed\t")  ? &failed
                                                                    : nullptr;
            if (list)
                *list << FileItem::fromNativePath(path, 0);
            if (list == &found)
                foundBelow << QFile::decodeName(path.mid(root.size() + 1));
        }
        foundBelow.sort();
        QStringList wanted = junk;
        wanted.sort();
        QCOMPARE(foundBelow, wanted);
        QCOMPARE(run.output.contains("使用ls命令搜索额外的._文件..."), fat);
        QCOMPARE(run.output.contains("检测到exFAT文件系统和._文件，使用dot_clean命令处理"), fat);
        QStringList why;   // why the clean sent the failed items to the administrator step, and how that ended
        for (const QByteArray &line : run.output.split('\n')) {
            if (line.contains("Failed to delete privileged files")
                || ((line.contains("system user") || line.contains("permission") || line.contains("Cannot read"))
                    && std::any_of(failed.cbegin(), failed.cend(),
                                   [&](const FileItem &f) { return line.endsWith(f.fsPath()); })))
                why << QString::fromUtf8(line);
        }
        QVERIFY2(failed.isEmpty(), qPrintable(why.join(u'\n')));

        // What is on the disk: a FAT volume mounted again by root once the user's daemon let go.
        if (fat) {
            QVERIFY(fx.unmount(point));
            QVERIFY2(fx.mountLoop(fsKind, *loop, point), qPrintable(fx.lastError()));
        }
        VERIFY_COUNTS(cleaned, failed, found);
        QCOMPARE(filesOf(testsupport::snapshot(root), {}), before);
        qint64 junkBytes = 0;   // everything found left the disk: the bytes the junk held
        for (const QString &relative : junk.mid(0, 5) + QStringList{"__MACOSX/sub/x.txt"})
            junkBytes += contentFor(relative).size();
        QCOMPARE(freed, junkBytes);
    }

    void cleanHoldsItsVolume_data()
    {
        QTest::addColumn<QString>("disruption");
        QTest::newRow("unmounted (umount -l)") << QStringLiteral("unmount");
        QTest::newRow("FUSE daemon killed") << QStringLiteral("kill");
        QTest::newRow("another stick mounted at the same path") << QStringLiteral("replace");
    }

    // The stick goes away in the middle of a clean: the clean never goes on
    // in the bare mount-point folder beneath it, nor on another stick mounted
    // at the same path, and what it reports is what the stick holds afterwards.
    void cleanHoldsItsVolume()
    {
        QFETCH(QString, disruption);
        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/STICK");
        const auto loop = fx.mountNew(MountFixture::Kind::Fat32, point);
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        const QStringList tree = junkTree(10, 60);
        writeTree(point, tree, "junk\n");

        Rig rig;
        rig.start(testsupport::realMachineEnvironment());
        const auto device = rig.manager->deviceContaining(point + "/d00");
        QVERIFY(device);
        QList<FileItem> items = rig.scan(*device, {}).value(FileType::temporaryFiles);
        QCOMPARE(items.size(), tree.size());

        // Inside the clean's removal of its 180th item, the stick's daemon is
        // stopped: every call the clean makes into the stick waits while the
        // stick is pulled away and other files are planted at its path, so
        // the clean is bound to go on after that. Then the daemon is killed,
        // or let go again (also on every way out).
        const QByteArray planted = "planted, not junk\n";
        bool plantedMidClean = false;
        QString failure;
        struct stat stick{};
        QVERIFY(::stat(QFile::encodeName(point).constData(), &stick) == 0);
        using Hook = testsupport::VolumeCallHook;
        Hook::arm(Hook::Call::removal, stick.st_dev, 180, [&] {
            const pid_t daemon = MountFixture::fuseDaemon(point);
            if (!MountFixture::stopProcess(daemon)) {
                failure = QStringLiteral("cannot stop the FUSE daemon of ") + point;
                return;
            }
            auto release = qScopeGuard([daemon] { ::kill(daemon, SIGCONT); });
            if (!MountFixture::unmountLazily(point)) {
                failure = QStringLiteral("cannot unmount ") + point;
                return;
            }
            if (disruption == u"replace" && !fx.mountNew(MountFixture::Kind::Fat32, point)) {
                failure = fx.lastError();
                return;
            }
            writeTree(point, tree, planted);
            plantedMidClean = true;
            if (disruption == u"kill" && !MountFixture::killDaemon(daemon))
                failure = QStringLiteral("cannot kill the FUSE daemon of ") + point;
            else if (disruption == u"kill")
                release.dismiss();
        });
        const auto disarm = qScopeGuard([] { Hook::disarm(); });
        const auto [cleaned, failed] = rig.clean(items);
        Hook::disarm();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(plantedMidClean, "the clean ended before its 180th removal: nothing was tested");
        QCOMPARE(cleaned.size() + failed.size(), items.size());

        // Nothing at the mount path was touched.
        for (const QString &relative : tree) {
            QFile file(point + '/' + relative);
            QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == planted,
                     qPrintable("touched at the mount path: " + relative));
        }

        // The stick itself, mounted again once its daemon let go: every
        // record reported cleaned is gone, every one reported failed is there.
        const QString again = fx.mountRoot() + QStringLiteral("/again");
        MountFixture::waitUntilReleased(*loop);
        QVERIFY2(fx.mountFat(*loop, again), qPrintable(fx.lastError()));
        QStringList wrong;
        for (const FileItem &item : cleaned) {
            if (QFileInfo::exists(again + item.path().mid(point.size())))
                wrong << "reported cleaned, still on the stick: " + item.path();
        }
        // (A daemon killed in the middle of a removal may have done it without
        // saying so: that one is reported failed though gone, never the other way.)
        for (const FileItem &item : failed) {
            if (disruption != u"kill" && !QFileInfo::exists(again + item.path().mid(point.size())))
                wrong << "reported failed, gone from the stick: " + item.path();
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 5).join(u'\n') + QStringLiteral(" (%1 in all)").arg(wrong.size())));
        if (disruption == u"kill")
            QVERIFY2(!failed.isEmpty(), "nothing failed although the stick's daemon was killed");
    }

    // The administrator tool of a clean the clean itself ends, on a FAT32
    // stick. Given up (its volume silent for the time limit) while the
    // tool's answers wait unread, the thread that reads them held as a
    // machine under load can hold it: what the tool answered removed counts
    // all the same, and only the rest fails. Stopped (the window closing)
    // while the tool waits on the stick's stopped daemon before its first
    // answer: the tool ends the step it is in and stops (SIGTERM, status 3),
    // and the items it did not get to are told as not reached, not as left
    // by a tool someone else stopped.
    void endedWithTheClean_data()
    {
        QTest::addColumn<bool>("givenUp");
        QTest::newRow("given up, its answers unread") << true;
        QTest::newRow("stopped inside an item") << false;
    }

    void endedWithTheClean()
    {
        QFETCH(bool, givenUp);
        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/HELD");
        if (!fx.mountNew(MountFixture::Kind::Fat32, point))
            QSKIP(qPrintable(fx.lastError()));
        writeTree(point, junkTree(2, 40), "junk\n");
        Rig rig;
        rig.start(testsupport::realMachineEnvironment());
        const auto device = rig.manager->deviceContaining(point + "/d00");
        QVERIFY(device);
        const QList<FileItem> items = rig.scan(*device, {}).value(FileType::temporaryFiles);
        QCOMPARE(items.size(), 80);

        // Judged as an ordinary account, every item needs the administrator;
        // the tool (we are root) waits at its start until it is let go.
        SystemCleanHelper::ProbeEnvironment environment;
        environment.isRoot = [] { return true; };
        environment.adminTool = testsupport::stoppedAtStart(QStringLiteral(SWEEPBROOK_ADMIN_CLEAN));
        environment.effectiveUid = [] { return uid_t(1000); };
        SystemCleanHelper helper(rig.scheduler, environment);
        SystemCleanHelper::setShared(&helper);
        const auto restore = qScopeGuard([] { SystemCleanHelper::setShared(nullptr); });
        std::optional<std::pair<QList<FileItem>, QList<FileItem>>> outcome;
        rig.manager->cleanFiles(items, [&](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
            outcome = std::make_pair(cleaned, failed);
        });
        pid_t tool = 0;
        QVERIFY(QTest::qWaitFor([&] { rig.scheduler.runDue(); return (tool = testsupport::stoppedChild()) > 0; }, 20000));
        const QByteArray proc = "/proc/" + QByteArray::number(tool);
        if (givenUp) {
            testsupport::HeldReader reader(tool);
            QVERIFY(reader.isHeld());
            ::kill(tool, SIGCONT);
            QVERIFY(QTest::qWaitFor([&] { return testsupport::readFile(proc + "/stat").contains(") Z "); },
                                    20000));   // it answered for every item
            rig.scheduler.advance(rig.manager->environment().volumeTimeout + std::chrono::seconds(1));
            QVERIFY(rig.manager->leavesWorkBehind());   // given up
        } else {
            const pid_t daemon = MountFixture::fuseDaemon(point);
            const auto resume = qScopeGuard([daemon] { ::kill(daemon, SIGCONT); });
            QVERIFY(daemon > 0 && ::kill(daemon, SIGSTOP) == 0);
            ::kill(tool, SIGCONT);
            const auto state = [&] { return testsupport::readFile(proc + "/stat").split(')').value(1).mid(1, 1); };
            QVERIFY(QTest::qWaitFor([&] { return state() == "S" || state() == "D"; }, 20000));   // waiting on the stick
            rig.manager->stopWork();
            QVERIFY(QTest::qWaitFor([&] {   // SIGTERM, pending while the tool waits on the daemon
                const QByteArray status = testsupport::readFile(proc + "/status");
                const auto pending = [&](const char *field) {
                    const qsizetype at = status.indexOf(field);
                    return at >= 0 && (status.mid(at + 8, 16).trimmed().toULongLong(nullptr, 16) & (1u << (SIGTERM - 1)));
                };
                return pending("SigPnd:\t") || pending("ShdPnd:\t");
            }, 20000));
            ::kill(daemon, SIGCONT);
        }
        QVERIFY(QTest::qWaitFor([&] { rig.scheduler.advance(std::chrono::milliseconds(250)); return outcome.has_value(); },
                                20000));
        VERIFY_COUNTS(outcome->first, outcome->second, items);
        if (givenUp) {
            QCOMPARE(outcome->first.size(), items.size());
        } else {
            QVERIFY2(outcome->first.size() <= 1, qPrintable(QString::number(outcome->first.size())));
            for (const FileItem &item : std::as_const(outcome->second))
                QCOMPARE(int(item.failure), EINTR);
        }
        rig.settle();
    }

    // A FAT stick mounted by hand at a Latin-1 name: listed, scanned (the "._"
    // search of find and ls included), cleaned and ejected through its path's
    // bytes; shown as people read the name.
    void nonUtf8MountPointEndToEnd()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 64, QStringLiteral("CAFE"));
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        QVERIFY2(loop, qPrintable(fx.lastError()));
        const QByteArray point = QFile::encodeName(fx.mountRoot()) + "/caf\xe9";
        QCOMPARE(::mkdir(point.constData(), 0755), 0);
        const auto mounted = [&] {
            const QList<MountEntry> mounts = readMountInfo();
            return std::any_of(mounts.cbegin(), mounts.cend(),
                               [&](const MountEntry &m) { return m.mountPointBytes == point; });
        };
        ProcessRequest fusefat;
        fusefat.program = MountFixture::tool(QStringLiteral("fusefat"));
        fusefat.argumentBytes = {"-o", "rw+,fsname=" + loop->toUtf8() + ",subtype=vfat", loop->toUtf8(), point};
        fusefat.timeout = std::chrono::seconds(30);
        QVERIFY(runProcess(fusefat).succeeded());
        const auto cleanup = qScopeGuard([&] {
            if (!mounted())
                return;
            ProcessRequest umount;
            umount.program = MountFixture::tool(QStringLiteral("umount"));
            umount.argumentBytes = {"-l", point};
            runProcess(umount);
            MountFixture::waitUntilReleased(*loop);
        });
        for (int i = 0; i < 50 && !mounted(); ++i)
            QThread::msleep(100);
        QVERIFY(mounted());

        // fusefat takes ASCII names only; names that are not UTF-8 inside a volume are the scan's own tests.
        QCOMPARE(::mkdir(point + "/docs", 0755), 0);
        for (const QByteArray relative : {".DS_Store", "._photo.jpg", "docs/._cv.doc", "docs/Thumbs.db", "photo.jpg",
                                          "docs/cv.doc"}) {
            QFile file;   // by descriptor: QFile would take the path as text
            const int fd = ::open(point + '/' + relative, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            QVERIFY(file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) && file.write(relative) > 0);
        }
        const QList<QByteArray> kept = {"photo.jpg", "docs/cv.doc"};

        Rig rig;
        rig.start(testsupport::realMachineEnvironment());
        const std::optional<LocalUSBDevice> device = rig.manager->deviceContaining(point + "/photo.jpg");
        QVERIFY(device);
        QCOMPARE(device->fsPath(), point);
        QCOMPARE(device->path, fx.mountRoot() + QStringLiteral("/caf\u00e9"));

        const ScanResult result = rig.scan(*device, {});
        QList<FileItem> all;
        QStringList shown;
        for (const QList<FileItem> &items : result) {
            all += items;
            for (const FileItem &item : items)
                shown << item.path().mid(device->path.size() + 1);
        }
        shown.sort();
        QCOMPARE(shown, (QStringList{".DS_Store", "._photo.jpg", "docs/._cv.doc", "docs/Thumbs.db"}));

        const auto [cleaned, failed] = rig.clean(all);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.isEmpty() ? QString() : failed.first().path()));
        VERIFY_COUNTS(cleaned, failed, all);
        for (const QByteArray &relative : kept)
            QVERIFY2(::access((point + '/' + relative).constData(), F_OK) == 0, relative.constData());

        std::optional<bool> ejected;
        QString reason;
        rig.manager->ejectDevice(*device, [&](bool done, const QList<BlockingProcess> &, const QString &why) {
            ejected = done;
            reason = why;
        });
        QVERIFY(rig.scheduler.settle(std::chrono::seconds(60)));
        QVERIFY2(ejected.value_or(false), qPrintable(reason));
        QVERIFY(!mounted());
    }

    // A clean's diagnostics go out as they are made: what it holds while it
    // runs grows with its items, never with their lines (each with a path,
    // here of about 2 KB). Measured as the growth of the process's peak
    // memory over the clean (under a sanitizer, of what its heap holds: see
    // MemoryBudget.h), against the bytes its lines took.
    void memoryDoesNotGrowWithTheLines()
    {
        QFile peakReset(QStringLiteral("/proc/self/clear_refs"));
        if (!peakReset.open(QIODevice::WriteOnly))
            QSKIP("the peak memory of this process cannot be reset here (/proc/self/clear_refs)");
        const auto statusKB = [](const char *field) {
            QFile status(QStringLiteral("/proc/self/status"));
            const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
            const qsizetype at = text.indexOf(field);
            return at < 0 ? -1 : text.mid(at + qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
        };
        FakeMachine machine;
        const QString point = machine.mountPoint("LONG");
        machine.addStick("8:17", "sdb1", point, "LONG", {});
        QStringList tree;
        for (int top = 0; top < 10; ++top) {
            QString folder = QStringLiteral("%1").arg(top) + QString(239, u'd');
            for (int level = 1; level < 8; ++level)
                folder += u'/' + QString(240, u'e');
            for (int f = 0; f < 200; ++f)
                tree << folder + QStringLiteral("/%1").arg(f, 3, 10, QLatin1Char('0')) + QString(190, u'f') + ".tmp";
        }
        writeTree(point, tree, {});

        Rig rig;
        rig.start(machine.environment());
        const std::optional<LocalUSBDevice> device = rig.manager->deviceContaining(point + "/x");
        QVERIFY(device);
        const QList<FileItem> items = rig.scan(*device, {}).value(FileType::temporaryFiles);
        QCOMPARE(items.size(), tree.size());

        std::pair<QList<FileItem>, QList<FileItem>> outcome;
        qint64 peakGrowth = 0;
        qint64 logged = 0;
        {
            testsupport::StdoutCapture printed;
            QVERIFY(peakReset.write("5") == 1 && peakReset.flush());
            const qint64 before = statusKB("VmRSS:");
            const testsupport::memory::HeapPeak heap;
            outcome = rig.clean(items);
            peakGrowth = testsupport::memory::sanitized ? heap.growth() : (statusKB("VmHWM:") - before) * 1024;
            logged = printed.bytes().size();
        }
        VERIFY_COUNTS(outcome.first, outcome.second, items);
        QCOMPARE(outcome.first.size(), items.size());
        QVERIFY2(logged > 5 * items.size() * 2000, qPrintable(QString::number(logged)));
        QVERIFY2(peakGrowth < logged / 10,
                 qPrintable(QStringLiteral("the clean's peak grew by %1 bytes beside %2 bytes of lines").arg(peakGrowth).arg(logged)));
    }

    // "/m/USB2" extends "/m/USB": a clean of USB2 uses USB2, and a record on
    // USB handed along with it fails untouched.
    void cleanPicksTheVolumeByWholeComponents()
    {
        FakeMachine machine;
        const QString usb = machine.mountPoint("USB");
        const QString usb2 = machine.mountPoint("USB2");
        machine.addStick("8:17", "sdb1", usb, "USB", {});
        machine.addStick("8:33", "sdc1", usb2, "USB2", {});
        writeFile(usb + "/.DS_Store", "usb");
        writeFile(usb2 + "/.DS_Store", "usb2");
        writeFile(usb2 + "/._a", "usb2");

        Rig rig;
        rig.start(machine.environment());
        QCOMPARE(rig.manager->connectedDevices().size(), 2);
        QCOMPARE(rig.manager->deviceContaining(usb2 + "/x")->path, usb2);
        QCOMPARE(rig.manager->deviceContaining(usb + "/x")->path, usb);
        QVERIFY(!rig.manager->deviceContaining(machine.dir.path() + "/mnt/US"));

        const FileItem onUsb2 = testsupport::scannedItem(QFile::encodeName(usb2 + "/.DS_Store"));
        const FileItem appleDouble = testsupport::scannedItem(QFile::encodeName(usb2 + "/._a"));
        const FileItem onUsb = testsupport::scannedItem(QFile::encodeName(usb + "/.DS_Store"));
        const auto [cleaned, failed] = rig.clean({onUsb2, appleDouble, onUsb});
        QCOMPARE(cleaned.size(), 2);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().path(), onUsb.path());
        QVERIFY(!QFileInfo::exists(onUsb2.path()) && !QFileInfo::exists(appleDouble.path()));
        QVERIFY(QFileInfo::exists(onUsb.path()));

        // Nothing to clean: answered at once, before cleanFiles returns.
        bool answered = false;
        rig.manager->cleanFiles({}, [&](const QList<FileItem> &c, const QList<FileItem> &f) {
            answered = c.isEmpty() && f.isEmpty();
        });
        QVERIFY(answered);

        // Records on no connected volume are never deleted.
        QTemporaryDir elsewhere;
        writeFile(elsewhere.path() + "/.DS_Store", "keep");
        const auto [none, refused] = rig.clean({testsupport::scannedItem(QFile::encodeName(elsewhere.path() + "/.DS_Store"))});
        QVERIFY(none.isEmpty());
        QCOMPARE(refused.size(), 1);
        QVERIFY(QFileInfo::exists(elsewhere.path() + "/.DS_Store"));
    }

    // A clean given up (its volume stopped answering) ends the tools it runs
    // as it is given up, whatever the thread that waits for them is doing: a
    // tool that went on once the volume answered again removed items that the
    // clean, ended already, never counted.
    void givingUpEndsTheToolsAtOnce()
    {
        VolumeWork work;
        ProcessRequest request;
        request.program = findExecutable(QStringLiteral("sh"));
        request.arguments = {QStringLiteral("-c"), QStringLiteral("exec sleep 60")};
        work.watch(request);
        std::atomic<int> child = -1;   // a pidfd of the tool, readable once it has ended
        const auto started = request.onStarted;
        request.onStarted = [&](int pidfd) {
            child = ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
            started(pidfd);
        };
        // The waiting thread's own look holds until the tool has ended (10 s at most).
        std::atomic<bool> endedFirst = false;
        const auto look = request.control;
        request.control = [&] {
            pollfd ended{child, POLLIN, 0};
            if (work.isGivenUp())
                endedFirst = ::poll(&ended, 1, 10000) == 1;
            return look();
        };
        ProcessResult result;
        std::thread waiting([&] { result = runProcess(request); });
        QTRY_VERIFY_WITH_TIMEOUT(child >= 0, testsupport::kPatience);
        QVERIFY(work.giveUp());
        waiting.join();
        ::close(child);
        QVERIFY(result.givenUp);
        QVERIFY(endedFirst);
    }
};

SWEEPBROOK_TEST_MAIN(TestClean)
#include "test_clean.moc"
