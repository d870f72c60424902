#include "TestMain.h"

#include "cleaning/AppleDoubleSearch.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeMachine.h"
#include "MountFixture.h"
#include "StdoutCapture.h"

using testsupport::FakeMachine;
using testsupport::StdoutCapture;
using testsupport::writeFile;

namespace {

const char *kUsbPath = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0";

// kind -> sorted paths relative to `root` (absolute when outside it).
using Found = QMap<QString, QStringList>;

Found byKind(const ScanResult &result, const QString &root)
{
    Found found;
    for (auto it = result.cbegin(); it != result.cend(); ++it) {
        QStringList paths;
        for (const FileItem &item : it.value())
            paths << (item.path.startsWith(root + '/') ? item.path.mid(root.size() + 1) : item.path);
        paths.sort();
        found.insert(FileTypes::rawValue(it.key()), paths);
    }
    return found;
}

QList<QByteArray> allPaths(const ScanResult &result)
{
    QList<QByteArray> paths;
    for (const QList<FileItem> &items : result)
        for (const FileItem &item : items)
            paths << item.fsPath();
    return paths;
}

const FileItem *findItem(const ScanResult &result, const QByteArray &path)
{
    for (const QList<FileItem> &items : result)
        for (const FileItem &item : items)
            if (item.fsPath() == path)
                return &item;
    return nullptr;
}

void mkdirs(const QString &root, const QStringList &folders)
{
    for (const QString &folder : folders)
        QDir().mkpath(root + '/' + folder);
}

void touch(const QString &root, const QStringList &files, const QByteArray &contents = "x")
{
    for (const QString &file : files)
        writeFile(root + '/' + file, contents);
}

struct Outcome
{
    bool settled = false;
    int progressCalls = 0;
    double lastProgress = -1;
    int completions = 0;
    ScanResult result;
    QStringList log;

    bool logged(const QString &line) const { return log.contains(line); }
    bool loggedStart(const QString &prefix) const
    {
        return std::any_of(log.cbegin(), log.cend(), [&](const QString &l) { return l.startsWith(prefix); });
    }
};

} // namespace

class TestScan : public QObject
{
    Q_OBJECT

    struct Rig
    {
        FakeMachine machine;
        VirtualScheduler scheduler;
        QTemporaryDir prefsDir;
        Preferences preferences{prefsDir.path() + "/prefs.json"};
        NotificationCenter center;
        USBDeviceManager::Environment env = machine.environment();
        std::unique_ptr<USBDeviceManager> manager;
        int nextMinor = 17;

        // A removable stick mounted at machine.mountPoint(name); its folder.
        QString addStick(const QString &name, const QString &fsType = "vfat")
        {
            const QString disk = QString("sd%1").arg(QChar('b' + (nextMinor - 17) / 16));
            const QString devnum = QString("8:%1").arg(nextMinor);
            nextMinor += 16;
            machine.addPartition(devnum, kUsbPath, disk, disk + "1", true,
                                 "E:ID_BUS=usb\nE:ID_FS_TYPE=" + fsType.toUtf8() + "\n");
            machine.mount(devnum, machine.mountPoint(name), fsType, "/dev/" + disk + "1");
            return machine.mountPoint(name);
        }

        // blkid answers `type` for every device.
        void fakeBlkid(const QString &type)
        {
            env.blkid = machine.dir.path() + "/fake-blkid";
            writeFile(env.blkid, "#!/bin/sh\necho " + type.toUtf8() + "\n");
            QFile::setPermissions(env.blkid, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }

        void start()
        {
            manager = std::make_unique<USBDeviceManager>(env, scheduler, preferences, center);
            scheduler.settle();
        }

        LocalUSBDevice device(const QString &path) const
        {
            for (const LocalUSBDevice &d : manager->connectedDevices())
                if (d.path == path)
                    return d;
            LocalUSBDevice d;   // not in the list (a path that is gone, a plain folder)
            d.id = d.path = path;
            d.name = QFileInfo(path).fileName();
            return d;
        }

        Outcome scan(const LocalUSBDevice &device, const QList<FileType> &kinds = FileTypes::allCases(),
                     std::chrono::seconds limit = std::chrono::seconds(60))
        {
            Outcome out;
            StdoutCapture capture;
            manager->scanDevice(device, kinds, {}, {}, [&](double p) {
                ++out.progressCalls;
                out.lastProgress = p;
            }, [&](const ScanResult &result) {
                ++out.completions;
                out.result = result;
            });
            out.settled = scheduler.settle(limit);
            out.log = capture.lines();
            return out;
        }
    };

    static QString setpriv()
    {
        return findExecutable("setpriv");
    }

private slots:
    void resultByKind()
    {
        Rig rig;
        const QString root = rig.addStick("USB");
        // Mounted below a folder called "__MACOSX": nothing of it is junk for that.
        const QString nested = rig.addStick("__MACOSX/STICK");
        rig.start();

        mkdirs(root, {"__MACOSX/inner", "__MACOSX_old", "docs/sub/__MACOSX", ".Trashes/501", "empty"});
        touch(root, {".DS_Store", ".hidden", "._my file.txt", "Thumbs.db", "__MACOSX/._a", "__MACOSX/inner/x.txt",
                     "__MACOSX_old/keep.txt", "__MACOSX_old/.DS_Store", "docs/a.txt", "docs/b.tmp", "docs/c.log",
                     "docs/._c.log", "docs/sub/__MACOSX/y", ".Trashes/501/photo.jpg"});
        touch(nested, {"keep.txt", "._pair"});

        const QList<FileType> all = FileTypes::allCases();
        const Outcome out = rig.scan(rig.device(root), all);
        QVERIFY(out.settled);
        QCOMPARE(out.completions, 1);
        QCOMPARE(out.progressCalls, 1);
        QCOMPARE(out.lastProgress, 1.0);
        const Found expected = {
            {"dsStore", {".DS_Store", "__MACOSX_old/.DS_Store"}},
            {"thumbsDb", {"Thumbs.db"}},
            {"trash", {".Trashes"}},
            {"systemLogs", {"docs/c.log"}},
            // The walk leaves "__MACOSX" unentered; find's pre-search still sees the "._" file in it.
            {"temporaryFiles",
             {"._my file.txt", "__MACOSX", "__MACOSX/._a", "docs/._c.log", "docs/b.tmp", "docs/sub/__MACOSX"}},
        };
        QCOMPARE(byKind(out.result, root), expected);
        const QList<QByteArray> paths = allPaths(out.result);
        QCOMPARE(QSet<QByteArray>(paths.cbegin(), paths.cend()).size(), paths.size());
        QVERIFY(out.logged("使用系统find命令查找._文件..."));
        QVERIFY(out.logged("通过find命令找到 3 个._文件"));

        const Outcome other = rig.scan(rig.device(nested), all);
        QCOMPARE(byKind(other.result, nested), (Found{{"temporaryFiles", {"._pair"}}}));

        // Without temporaryFiles: no pre-search, "__MACOSX" folders are entered
        // and their contents junk; "._" files are AppleDouble.
        const Outcome narrow = rig.scan(rig.device(root), {FileType::appleDouble, FileType::dsStore});
        QVERIFY(!narrow.logged("使用系统find命令查找._文件..."));
        const Found expectedNarrow = {
            {"dsStore", {".DS_Store", "__MACOSX_old/.DS_Store"}},
            {"appleDouble", {"._my file.txt", "docs/._c.log"}},
            {"temporaryFiles",
             {"__MACOSX", "__MACOSX/._a", "__MACOSX/inner", "__MACOSX/inner/x.txt", "docs/sub/__MACOSX",
              "docs/sub/__MACOSX/y"}},
        };
        QCOMPARE(byKind(narrow.result, root), expectedNarrow);
    }

    void linksAndOddNames()
    {
        Rig rig;
        const QString root = rig.addStick("USB");
        rig.start();
        QTemporaryDir outside;
        touch(outside.path(), {"._canary", "Thumbs.db"});

        mkdirs(root, {"d"});
        QVERIFY(QFile::link("no/such/target", root + "/.DS_Store"));
        QVERIFY(QFile::link(outside.path(), root + "/linked"));   // a folder link: never entered
        const QByteArray rootBytes = QFile::encodeName(root);
        const QByteArray invalid = rootBytes + "/d/._caf\xe9";   // Latin-1, not UTF-8
        QVERIFY(::close(::open(invalid.constData(), O_CREAT | O_WRONLY, 0644)) == 0);
        // A folder whose name ends in a newline, holding a copy of the outside
        // path: split at newlines, find's output would name the outside file.
        const QByteArray trick = rootBytes + "/x\n" + QFile::encodeName(outside.path());
        QVERIFY(QDir().mkpath(QFile::decodeName(trick)));
        QVERIFY(::close(::open((trick + "/._canary").constData(), O_CREAT | O_WRONLY, 0644)) == 0);

        const Outcome out = rig.scan(rig.device(root));
        QCOMPARE(out.completions, 1);

        const FileItem *link = findItem(out.result, rootBytes + "/.DS_Store");
        QVERIFY(link);
        QCOMPARE(link->size, qint64(QByteArray("no/such/target").size()));
        QVERIFY(out.result.value(FileType::dsStore).size() == 1);

        const FileItem *odd = findItem(out.result, invalid);
        QVERIFY(odd);
        QCOMPARE(odd->nativePath, invalid);
        QVERIFY(out.result.value(FileType::temporaryFiles).size() == 2);
        QVERIFY(findItem(out.result, trick + "/._canary"));
        QVERIFY(!out.result.contains(FileType::thumbsDb));   // only behind the folder link
        for (const QByteArray &path : allPaths(out.result))
            QVERIFY2(path.startsWith(rootBytes + '/'), path.constData());

        // The same rules for find's raw output.
        const QByteArray outsideBytes = QFile::encodeName(outside.path());
        touch(root, {"._a", "plain.txt"});
        QDir().mkpath(root + "2");
        touch(root + "2", {"._a"});
        const QByteArray climb = QFile::encodeName(QDir(root).relativeFilePath(outside.path() + "/._canary"));
        QVERIFY(climb.startsWith("../"));
        const QByteArray output = rootBytes + "/._a" + '\0' + outsideBytes + "/._canary" + '\0' + rootBytes + '/'
                                  + climb + '\0' + rootBytes + '\0'
                                  + rootBytes + "/plain.txt" + '\0' + rootBytes + "/._gone" + '\0' + rootBytes
                                  + "2/._a" + '\0' + trick + "/._canary" + '\0';
        QCOMPARE(AppleDoubleSearch::parseFindOutput(rootBytes, output),
                 (QList<QByteArray>{rootBytes + "/._a", trick + "/._canary"}));
    }

    void searchFallbacks()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        mkdirs(root, {"._folder", "sub"});
        touch(root, {"._a", "._with space", "x._b", "sub/._deep"});
        QFile::link("._a", root + "/._link");
        const QList<QByteArray> hits = AppleDoubleSearch::findAppleDoubleFilesWithLs(QFile::encodeName(root), {});
        QCOMPARE(hits, QList<QByteArray>{QFile::encodeName(root + "/._a")});

        // find that cannot start: the in-process search takes over.
        AppleDoubleSearch::Tools broken;
        broken.find = root + "/no-such-find";
        StdoutCapture capture;
        QList<QByteArray> found = AppleDoubleSearch::findAppleDoubleFiles(QFile::encodeName(root), broken);
        const QStringList log = capture.lines();
        std::sort(found.begin(), found.end());
        QCOMPARE(found, (QList<QByteArray>{QFile::encodeName(root + "/._a"), QFile::encodeName(root + "/._with space"),
                                           QFile::encodeName(root + "/sub/._deep")}));
        QVERIFY(log.contains("尝试使用备用方法查找._文件..."));
        QVERIFY(log.contains("备用方法找到 3 个._文件"));

        // find stopped at its limit gives nothing, not even what it printed.
        AppleDoubleSearch::Tools slow;
        slow.find = root + "/slow-find";
        slow.findTimeout = std::chrono::milliseconds(200);
        writeFile(slow.find, "#!/bin/sh\nprintf '%s\\0' \"$1/._a\"\nexec sleep 60\n");
        QFile::setPermissions(slow.find, QFile::ReadOwner | QFile::ExeOwner);
        StdoutCapture slowCapture;
        const std::optional<QList<QByteArray>> none =
            AppleDoubleSearch::findAppleDoubleFilesWithFind(QFile::encodeName(root), slow);
        const QStringList slowLog = slowCapture.lines();
        QVERIFY(none && none->isEmpty());
        QVERIFY(slowLog.contains("find命令执行超时，强制终止"));
        QVERIFY(slowLog.contains("find命令因超时而终止"));
    }

    void devicesAndEarlyEnds()
    {
        Rig rig;
        const QString usb = rig.addStick("USB");
        const QString usb2 = rig.addStick("USB2");
        rig.start();
        USBDeviceManager &m = *rig.manager;
        QCOMPARE(m.connectedDevices().size(), 2);
        QCOMPARE(m.deviceContaining(usb2 + "/a/b")->path, usb2);
        QCOMPARE(m.deviceContaining(usb2)->path, usb2);
        QCOMPARE(m.deviceContaining(usb + "/a")->path, usb);
        QVERIFY(!m.deviceContaining(usb + "3/a"));

        for (const auto &[type, fat] : {std::pair{"vfat", true}, {"ExFAT", true}, {"MSDOS", true},
                                        {"fat32", false}, {"ext4", false}, {"apfs", false}})
            QVERIFY2(USBDeviceManager::isFATType(type) == fat, type);

        // A device whose folder is gone: an empty result, progress once, no logs of the scan.
        const Outcome gone = rig.scan(rig.device(usb + "/missing"));
        QVERIFY(gone.settled);
        QCOMPARE(gone.completions, 1);
        QCOMPARE(gone.progressCalls, 1);
        QCOMPARE(gone.lastProgress, 1.0);
        QVERIFY(gone.result.isEmpty());
        QVERIFY(!gone.loggedStart("警告：无法访问设备"));
    }

    // The FAT flag only changes the ".Spotlight-V100" rule of the root pass and
    // the `ls` look at the root.
    void spotlightOnFat()
    {
        for (const bool fat : {false, true}) {
            Rig rig;
            if (fat)
                rig.fakeBlkid("vfat");
            const QString root = rig.addStick("USB");
            rig.start();
            mkdirs(root, {".Spotlight-V100/Store"});
            touch(root, {".metadata_never_index", "._top"});
            const Outcome out = rig.scan(rig.device(root));
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.logged("设备文件系统类型: vfat, 是否为exFAT/FAT: true"), fat);
            QCOMPARE(out.logged("发现 .Spotlight-V100 但索引已禁用，跳过"), fat);
            QCOMPARE(out.logged("使用ls命令搜索额外的._文件..."), fat);
            // The enumeration has no such rule; "._top" is there once either way.
            QCOMPARE(byKind(out.result, root),
                     (Found{{"spotlight", {".Spotlight-V100", ".metadata_never_index"}}, {"temporaryFiles", {"._top"}}}));
        }
    }

    void realFatVolume()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 64, "STICK");
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const auto mnt = loop ? fx.mountFat(*loop, fx.mountRoot() + "/stick") : std::nullopt;
        if (!mnt)
            QSKIP(qPrintable(fx.lastError()));
        const QString root = *mnt;
        mkdirs(root, {".Spotlight-V100/Store", "docs"});
        touch(root, {".metadata_never_index", "._top", "._two words", "docs/._inner", ".DS_Store"});

        Rig rig;
        rig.env = USBDeviceManager::Environment{};
        rig.env.startMonitoring = false;
        rig.env.useUDisks2 = false;
        rig.start();
        const Outcome out = rig.scan(rig.device(root));
        QCOMPARE(out.completions, 1);
        QVERIFY(out.logged("设备文件系统类型: vfat, 是否为exFAT/FAT: true"));
        QVERIFY(out.logged("发现 .Spotlight-V100 但索引已禁用，跳过"));
        QVERIFY(out.logged("ls命令找到额外._文件: " + root + "/._top"));
        QVERIFY(!out.loggedStart("添加额外发现的._文件到结果: "));   // find had them all
        const Found expected = {
            {"dsStore", {".DS_Store"}},
            {"spotlight", {".Spotlight-V100", ".metadata_never_index"}},
            {"temporaryFiles", {"._top", "._two words", "docs/._inner"}},
        };
        QCOMPARE(byKind(out.result, root), expected);
    }

    void unprivilegedScan()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make files that another user cannot read");
        if (setpriv().isEmpty())
            QSKIP("setpriv is not installed");
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0755) == 0);
        mkdirs(root, {"locked", ".Trashes/501", "zz_after"});
        touch(root, {"locked/.DS_Store", "locked/._x", ".Trashes/501/a", "zz_after/.DS_Store", "rootjunk.tmp"});
        QVERIFY(::chmod(QFile::encodeName(root + "/locked").constData(), 0700) == 0);
        QVERIFY(::chmod(QFile::encodeName(root + "/.Trashes").constData(), 0700) == 0);
        QVERIFY(::chmod(QFile::encodeName(root + "/rootjunk.tmp").constData(), 0600) == 0);

        ProcessRequest request;
        request.program = setpriv();
        request.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", SWEEPBROOK_SCAN_PROBE, root};
        request.timeout = std::chrono::minutes(2);
        const ProcessResult run = runProcess(request);
        QVERIFY2(run.succeeded(), run.standardError.constData());
        const QStringList lines = QString::fromUtf8(run.standardOutput).split('\n');
        QStringList found;
        for (const QString &line : lines)
            if (line.count('\t') == 1 && FileTypes::fromRawValue(line.section('\t', 0, 0)))
                found << line.section('\t', 0, 0) + ' ' + line.section('\t', 1).mid(root.size() + 1);
        found.sort();
        QCOMPARE(found, (QStringList{"dsStore zz_after/.DS_Store", "temporaryFiles rootjunk.tmp", "trash .Trashes"}));
        QVERIFY(lines.contains("扫描错误: Permission denied 于 " + root + "/locked"));
        QVERIFY(lines.contains("权限错误，尝试将该项添加到结果中: " + root + "/locked"));
        QVERIFY(lines.contains("find命令可能部分成功，状态码: 1"));

        // A root this user may not list: the scan ends at once with nothing.
        request.arguments.last() = root + "/locked";
        const ProcessResult locked = runProcess(request);
        QVERIFY2(locked.succeeded(), locked.standardError.constData());
        const QStringList lockedLines = QString::fromUtf8(locked.standardOutput).split('\n');
        QVERIFY(lockedLines.contains("警告：无法访问设备 locked 的内容。可能是权限问题。"));
        QVERIFY(!lockedLines.contains("扫描完成，找到以下垃圾文件:"));
    }

    // The FUSE daemon dies while a scan runs: once as find starts (a stand-in
    // find kills it first), once while the walk may be under way.
    void volumeRemovedDuringScan()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::ExFat); !why.isEmpty())
            QSKIP(qPrintable(why));
        for (const bool duringFind : {true, false}) {
            MountFixture fx;
            const auto image = fx.makeImage(MountFixture::Kind::ExFat, 128, "STICK");
            const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
            const auto mnt = loop ? fx.mountExfat(*loop, fx.mountRoot() + "/stick") : std::nullopt;
            if (!mnt)
                QSKIP(qPrintable(fx.lastError()));
            const QString root = *mnt;
            for (int d = 0; d < 100; ++d) {
                const QString folder = QString("%1/d%2").arg(root).arg(d);
                QDir().mkpath(folder);
                for (int f = 0; f < 200; ++f)
                    writeFile(QString("%1/%2%3").arg(folder, f % 10 == 0 ? "._f" : "f").arg(f), {});
            }
            const qint64 daemon = fuseDaemon(root);
            if (daemon <= 0)
                QSKIP("cannot find the exFAT FUSE daemon");

            Rig rig;
            rig.env = USBDeviceManager::Environment{};
            rig.env.startMonitoring = false;
            rig.env.useUDisks2 = false;
            if (duringFind) {
                rig.env.find = fx.path() + "/find";
                writeFile(rig.env.find, "#!/bin/sh\nkill -9 " + QByteArray::number(daemon) + "\nexec find \"$@\"\n");
                QFile::setPermissions(rig.env.find, QFile::ReadOwner | QFile::ExeOwner);
            }
            rig.start();
            std::thread remover;
            if (!duringFind)
                remover = std::thread([daemon] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    ::kill(pid_t(daemon), SIGKILL);
                });
            const Outcome out = rig.scan(rig.device(root), FileTypes::allCases(), std::chrono::seconds(240));
            if (remover.joinable())
                remover.join();
            QVERIFY(out.settled);
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.progressCalls, 1);
            if (duringFind)
                QVERIFY(out.log.contains("特别检查时出错: Transport endpoint is not connected"));
        }
    }

    // The process serving a FUSE mount at `mountPoint` (one our fixture started).
    static qint64 fuseDaemon(const QString &mountPoint)
    {
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            bool ok = false;
            const qint64 pid = entry.toLongLong(&ok);
            QFile cmdline("/proc/" + entry + "/cmdline");
            if (!ok || !cmdline.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> args = cmdline.readAll().split('\0');
            if (!args.isEmpty() && args.first().contains("exfat") && args.contains(QFile::encodeName(mountPoint)))
                return pid;
        }
        return 0;
    }
};

SWEEPBROOK_TEST_MAIN(TestScan)
#include "test_scan.moc"
