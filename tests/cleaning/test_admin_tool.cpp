// Our administrator tool (sweepbrook-admin-clean), run as root on requests
// that any process of the user could hand it: volumes that are not mounted
// removable volumes, paths through links, items that are not junk or not
// plain files and folders, requests too large to read. Each is refused or
// answered "failed", and nothing outside the items it may remove changes:
// trees outside are compared byte for byte before and after.

#include "cleaning/CleanRequest.h"
#include "BytePaths.h"
#include "DiskChecks.h"
#include "MountFixture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace testsupport;
using Items = QList<FileItem>;

namespace {

const QString kTool = QStringLiteral(SWEEPBROOK_ADMIN_CLEAN);

ToolRun runAdmin(const CleanRequest &request)
{
    return runTool({kTool}, request.encode());
}

int flagsOf(const QByteArray &path)
{
    const pathhandles::Handle fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int flags = -1;
    return fd.get() >= 0 && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

bool setFlags(const QByteArray &path, int flags)
{
    const pathhandles::Handle fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0 && ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// The largest resident size of any child this process has waited for, in KiB.
long childrenPeakKiB()
{
    struct rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

} // namespace

class TestAdminTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(kTool).isExecutable());
        if (::geteuid() != 0)
            QSKIP("the administrator tool is tested as root");
    }

    // A request is refused whole, before anything is allocated for its items,
    // when its counts do not fit its bytes or its limits.
    void requestLimits()
    {
        CleanRequest request;
        request.root = "/media/stick";
        request.device = 2049;
        request.rootInode = 7;
        request.customExtensions = {QStringLiteral("日志")};
        request.items = {{"a/._b", ItemKind::file, 2049, 12}, {".Trashes", ItemKind::folder, 2049, 13}};
        const QByteArray good = request.encode();
        const std::optional<CleanRequest> decoded = CleanRequest::decode(good);
        QVERIFY(decoded && decoded->customExtensions == request.customExtensions && decoded->items.size() == 2
                && decoded->items.at(1).relative == ".Trashes" && decoded->items.at(1).kind == ItemKind::folder);

        const auto withCount = [&](const QByteArray &count) {
            QByteArray bytes = good;
            const QByteArray items = QByteArray("\0002\0", 3);
            return bytes.replace(bytes.indexOf(items), items.size(), '\0' + count + '\0');
        };
        const std::pair<QByteArray, const char *> malformed[] = {
            {withCount("3"), "malformed"},                        // one item short
            {withCount("4611686018427387904"), "item count"},     // 2^62: would wrap a product
            {withCount("500001"), "item count"},                  // above the limit
            {good + QByteArray("x\0f\0001\0001\0", 8), "more fields"},
            {good.chopped(1), "NUL"},
            {QByteArray(good).replace("request 2", "request 1"), "not a clean request"},
        };
        for (const auto &[bytes, why] : malformed) {
            QString error;
            QVERIFY2(!CleanRequest::decode(bytes, &error) && error.contains(QLatin1String(why)), qPrintable(error));
        }

        // 16 MB of tiny items: refused by its count, the tool staying small.
        QByteArray flood = request.encode().left(good.indexOf(QByteArray("\0002\0", 3)) + 1) + "1600000";
        flood += '\0';
        for (int i = 0; i < 1'600'000; ++i)
            flood += QByteArray("x\0f\0001\0001\0", 8);
        const long before = childrenPeakKiB();
        const ToolRun run = runTool({kTool}, flood);
        const long peak = childrenPeakKiB();
        QVERIFY2(peak <= std::max(before, 100L * 1024), qPrintable(QStringLiteral("%1 KiB").arg(peak)));
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.errors.contains("item count"), run.errors.constData());
    }

    // Roots that are no mounted removable volume, or are reached through a
    // link: refused whole, and nothing anywhere changes.
    void refusedRoots()
    {
        MountFixture fixture;
        const QByteArray volume = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (volume.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        Sandbox box;
        const QString tmpfs = fixture.mountRoot() + QStringLiteral("/tmpfs");
        QVERIFY(fixture.mountWith({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")}, tmpfs));
        const QByteArray memory = QFile::encodeName(tmpfs);
        QVERIFY(makeTree(box.path(), {"plain/", "plain/etc/", "plain/etc/passwd", "plain/Thumbs.db",
                                      "link -> " + volume}));
        QVERIFY(makeTree(volume, {"Thumbs.db", "sub/", "sub/Thumbs.db"}) && makeTree(memory, {"Thumbs.db"}));
        const FileItem top = scannedItem(volume);

        enum class Inode { asItIs, none, another };
        struct Row { const char *name; QByteArray root; QByteArrayList items; Inode inode = Inode::asItIs; };
        const QByteArray plain = box / "plain";
        const Row rows[] = {
            {"a plain folder", plain, {"etc/passwd", "Thumbs.db"}},
            {"the system's root", "/", {box.path().mid(1) + "/plain/Thumbs.db", box.path().mid(1) + "/plain/etc/passwd"}},
            {"a system folder", "/etc", {"sweepbrook-no-such-item.tmp"}},
            {"a tmpfs", memory, {"Thumbs.db"}},
            {"through /proc/self/root", "/proc/self/root" + volume, {"Thumbs.db"}},
            {"a link to the volume", box / "link", {"Thumbs.db"}},
            {"a dotted path", volume + "/../" + volume.mid(volume.lastIndexOf('/') + 1), {"Thumbs.db"}},
            {"a folder inside the volume", volume + "/sub", {"Thumbs.db"}},
            {"no root inode", volume, {"Thumbs.db"}, Inode::none},
            {"another root inode", volume, {"Thumbs.db"}, Inode::another},
        };
        const QStringList boxBefore = snapshot(box.path());
        const QStringList volumeBefore = snapshot(volume);
        const QStringList memoryBefore = snapshot(memory);
        for (const Row &row : rows) {
            // What the root names in the end (the volume, for the links to it).
            const QByteArray real = row.root.startsWith("/proc/self/root") || row.root == box / "link" ? volume : row.root;
            const FileItem here = scannedItem(real);
            CleanRequest request;
            request.root = row.root;
            request.device = here.device;
            request.rootInode = row.inode == Inode::none ? 0 : here.inode + (row.inode == Inode::another ? 1 : 0);
            for (const QByteArray &relative : row.items) {
                const FileItem item = scannedItem((real == "/" ? QByteArray() : real) + '/' + relative);
                request.items.append({relative, ItemKind::file, item.device ? item.device : here.device,
                                      item.inode ? item.inode : 1});
            }
            const ToolRun run = runAdmin(request);
            QVERIFY2(run.exitCode == 2 && run.answers.isEmpty() && run.errors.contains("refused"),
                     qPrintable(QStringLiteral("%1: exit %2, %3").arg(row.name).arg(run.exitCode).arg(QString::fromUtf8(run.errors))));
        }
        QCOMPARE(snapshot(box.path()), boxBefore);
        QCOMPARE(snapshot(volume), volumeBefore);
        QCOMPARE(snapshot(memory), memoryBefore);
    }

    // On a mounted removable volume, items that are not junk, that are
    // nothing to open, or that have another name: answered "failed", left
    // exactly as they were; junk beside them goes.
    void refusedItems()
    {
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        Sandbox outside;
        QVERIFY(writeFile(outside / "canary", "precious", 0600));
        QVERIFY(makeTree(root, {"etc/", "etc/passwd", "docs/", "docs/keep.txt", "notes.docx/", "notes.docx/chapter.txt",
                                "report.docx", ".VolumeIcon.icns", "Desktop DB", ".Trashes/", ".Trashes/501/",
                                ".Trashes/501/report.txt", "__MACOSX/", "__MACOSX/photos/", "__MACOSX/photos/img.jpg",
                                "docs/.Spotlight-V100/", "docs/.Spotlight-V100/store", "Cache.tmp -> " + outside / "canary"}));
        // A device node and a fifo with junk names, on a volume mounted without nodev.
        QVERIFY(::mknod(root + "/.DS_Store", S_IFCHR | 0666, ::makedev(1, 3)) == 0 && ::mkfifo(root + "/Thumbs.db", 0666) == 0);
        // Junk names that are second names of the user's files: never changed through them.
        QVERIFY(writeFile(root + "/docs/secret", "mine", 0600) && ::link(root + "/docs/secret", root + "/._secret") == 0);
        if (!setFlags(root + "/docs/secret", FS_IMMUTABLE_FL))
            QSKIP("the test volume keeps no immutable flag");
        QVERIFY(writeFile(root + "/docs/private", "mine too", 0600)
                && ::link(root + "/docs/private", root + "/docs/.metadata_never_index") == 0);
        const auto cleanUp = qScopeGuard([&] { setFlags(root + "/docs/secret", 0); });

        const std::pair<QByteArray, int> expected[] = {
            {"etc/passwd", EPERM},      {"docs/keep.txt", EPERM},      {"notes.docx", EPERM},
            {".VolumeIcon.icns", EPERM}, {".DS_Store", EPERM},         {"Thumbs.db", EPERM},
            {"._secret", EMLINK},       {"Desktop DB", EINVAL},        {"report.docx", 0},
            {".Trashes/501/report.txt", 0}, {"__MACOSX/photos/img.jpg", 0}, {"docs/.Spotlight-V100", 0},
            {"Cache.tmp", 0},
        };
        QByteArrayList paths;
        for (const auto &entry : expected)
            paths << entry.first;
        CleanRequest request = requestFor(root, scannedItems(paths, root));
        request.customExtensions = {QStringLiteral("docx")};
        request.items[7].inode = 0;   // "Desktop DB"
        const QStringList outsideBefore = snapshot(outside.path());
        const QStringList docsBefore = snapshot(root + "/docs").filter(QRegularExpression(QStringLiteral("^(keep|secret|private)")));
        const QStringList keptBefore = snapshot(root + "/etc") + snapshot(root + "/notes.docx");

        const ToolRun run = runAdmin(request);
        QCOMPARE(run.exitCode, 1);
        for (qsizetype i = 0; i < request.items.size(); ++i)
            QVERIFY2(run.answers.value(i, -1) == expected[i].second,
                     qPrintable(expected[i].first + " answered " + QByteArray::number(run.answers.value(i, -1)) + '\n' + run.errors));
        QVERIFY(run.errors.contains("Refused (not junk"));
        for (qsizetype i = 0; i < request.items.size(); ++i)
            QCOMPARE(exists(root + '/' + expected[i].first), expected[i].second != 0);
        QCOMPARE(modeOf(root + "/.DS_Store") & S_IFMT, mode_t(S_IFCHR));
        QCOMPARE(modeOf(root + "/Thumbs.db") & S_IFMT, mode_t(S_IFIFO));
        QCOMPARE(snapshot(root + "/docs").filter(QRegularExpression(QStringLiteral("^(keep|secret|private)"))), docsBefore);
        QCOMPARE(flagsOf(root + "/docs/secret") & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL);
        QCOMPARE(snapshot(root + "/etc") + snapshot(root + "/notes.docx"), keptBefore);
        QCOMPARE(snapshot(outside.path()), outsideBefore);
    }

    // A folder on the volume's mount path that the user may write: the user
    // swaps it for a link into a mount namespace of its own, where the same
    // volume is mounted with a root-only file of the system over the marker
    // the tool makes. The tool never goes there, and the file stays as it was.
    void mountPathRedirect()
    {
        if (findExecutable(QStringLiteral("setpriv")).isEmpty() || findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("setpriv and unshare (util-linux) are needed");
        Sandbox box;   // outlives the stick mounted inside it
        MountFixture fixture;
        const QByteArray home = box / "home";
        const QByteArray system = box / "system";
        QVERIFY(::chmod(box.path(), 0755) == 0 && makeDir(home) && ::chown(home, 65534, 65534) == 0 && makeDir(system)
                && writeFile(system + "/shadow", "root:secret", 0600) && makeDir(home + "/mnt")
                && ::chown(home + "/mnt", 65534, 65534) == 0);
        const QString point = QFile::decodeName(home + "/mnt/stick");
        if (!fixture.mountNew(MountFixture::Kind::Ext4, point))
            QSKIP(qPrintable(fixture.lastError()));
        const QByteArray stick = QFile::encodeName(point);
        // The user's own stick (its root is theirs), with a Spotlight index another computer's root left.
        QVERIFY(::chown(stick, 65534, 65534) == 0 && makeTree(stick, {".Spotlight-V100/", ".Spotlight-V100/store"})
                && writeFile(stick + "/.metadata_never_index", "", 0644)
                && ::chown(stick + "/.metadata_never_index", 65534, 65534) == 0);
        const CleanRequest request = requestFor(stick, scannedItems({".Spotlight-V100"}, stick));
        const QStringList systemBefore = snapshot(system);

        // In its own namespace the user mounts the stick again, the system's
        // file over the marker, then swaps its folder for a link to that view.
        const QByteArray view = home + "/view";
        const QByteArray script = "set -e\nmkdir -p '" + view + "/stick'\nmount --bind '" + stick + "' '" + view + "/stick'\n"
                                  "mount --bind '" + system + "/shadow' '" + view + "/stick/.metadata_never_index'\n"
                                  "mv '" + home + "/mnt' '" + home + "/mnt.old'\n"
                                  "ln -s /proc/$$/root" + view + " '" + home + "/mnt'\necho ready\nexec sleep 60\n";
        QStringList command = asNobody() << findExecutable(QStringLiteral("unshare")) << QStringLiteral("-Urm")
                                         << QStringLiteral("sh") << QStringLiteral("-c") << QString::fromUtf8(script);
        QProcess attacker;
        attacker.start(command.takeFirst(), command);
        const auto putBack = qScopeGuard([&] {
            attacker.kill();
            attacker.waitForFinished();
            ::unlink(home + "/mnt");
            ::rename(home + "/mnt.old", home + "/mnt");
        });
        if (!attacker.waitForReadyRead(10000) || !attacker.readAll().startsWith("ready"))
            QSKIP(qPrintable("the account cannot make a mount namespace of its own here: " + attacker.readAllStandardError()));
        QVERIFY(S_ISLNK(modeOf(home + "/mnt")));

        const ToolRun run = runAdmin(request);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.errors.contains("without following links"), run.errors.constData());
        QCOMPARE(snapshot(system), systemBefore);
        QVERIFY(exists(home + "/mnt.old/stick/.Spotlight-V100"));
    }
};

SWEEPBROOK_TEST_MAIN(TestAdminTool)
#include "test_admin_tool.moc"
