// Our administrator tool (sweepbrook-admin-clean), run as root on requests
// that any process of the user could hand it: volumes that are not mounted
// removable volumes, paths through links, items that are not junk or not
// plain files and folders, requests too large to read. Each is refused or
// answered "failed", and nothing outside the items it may remove changes:
// trees outside are compared byte for byte before and after.

#include "cleaning/CleanRequest.h"
#include "cleaning/VolumeScanner.h"
#include "BytePaths.h"
#include "DiskChecks.h"
#include "ForgetfulKernel.h"
#include "MemoryBudget.h"
#include "MountFixture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>

#include <optional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace testsupport;
using Items = QList<FileItem>;

namespace {

const QString kTool = QStringLiteral(SWEEPBROOK_ADMIN_CLEAN);

// As through pkexec with PKEXEC_UID set to `pkexecUid` (nothing: run directly by root).
ToolRun runAdmin(const CleanRequest &request, const std::optional<QString> &pkexecUid)
{
    return runTool({kTool}, request.encode(), [&pkexecUid](ProcessRequest &process) {
        if (pkexecUid)
            process.environment.insert(QStringLiteral("PKEXEC_UID"), *pkexecUid);
    });
}

// As through pkexec for the account `requester` (root: run directly).
ToolRun runAdmin(const CleanRequest &request, uid_t requester = 0)
{
    return runAdmin(request, requester == 0 ? std::nullopt : std::optional(QString::number(requester)));
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
        // The files the scan met outside: their folders, then the files packed.
        request.scannedFolders.addFolder("");
        request.scannedFolders.addFolder("DCIM/100CANON");
        request.scannedFolders.files = {ScannedFolders::fileRef("IMG_0001.JPG", 1), ScannedFolders::fileRef("a", 0),
                                        ScannedFolders::fileRef("IMG_0002.JPG", 1), ScannedFolders::fileRef("日誌", 0)};
        const QByteArray good = request.encode();
        const std::optional<CleanRequest> decoded = CleanRequest::decode(good);
        QVERIFY(decoded && decoded->customExtensions == request.customExtensions && decoded->items.size() == 2
                && decoded->items.at(1).relative == ".Trashes" && decoded->items.at(1).kind == ItemKind::folder);
        QVERIFY(decoded->scannedFolders.folderCount() == 2
                && QByteArrayView(decoded->scannedFolders.folder(1)) == "DCIM/100CANON");
        std::vector<quint64> files = request.scannedFolders.files;
        std::sort(files.begin(), files.end());
        QCOMPARE(decoded->scannedFolders.files, files);
        CleanRequest stray = request;   // a file in a folder the request does not name
        stray.scannedFolders.files.push_back(ScannedFolders::fileRef("b", 2));
        const qsizetype keysAt = good.lastIndexOf('\0', good.size() - 2) + 1;
        const qsizetype countAt = good.lastIndexOf('\0', keysAt - 2) + 1;
        const QByteArray keys = good.sliced(keysAt).chopped(1);
        const auto withKeys = [&](const QByteArray &count, const QByteArray &packed) {
            return good.left(countAt) + count + '\0' + packed + '\0';
        };

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
            {QByteArray(good).replace("request 4", "request 3"), "not a clean request"},
            {withKeys("3", keys), "files are malformed"},                      // one key more than the count
            {withKeys("4", '*' + keys.sliced(1)), "files are malformed"},      // not base64
            {withKeys("4", keys.chopped(4) + "===="), "files are malformed"},  // padding in place of a key's bytes
            {withKeys("4000001", keys), "file count"},
        };
        // One name, one look: a name asked again with other inodes is refused whole.
        CleanRequest twice = request;
        twice.items.append({"a/._b", ItemKind::file, 2049, 99});
        CleanRequest longExtension = request;
        longExtension.customExtensions = {QString(256, u'x')};
        const std::pair<QByteArray, const char *> refused[] = {{twice.encode(), "named before"},
                                                               {longExtension.encode(), "longer than 255"},
                                                               {stray.encode(), "files are malformed"}};
        for (const auto &[bytes, why] : refused) {
            QString error;
            QVERIFY2(!CleanRequest::decode(bytes, &error) && error.contains(QLatin1String(why)), qPrintable(error));
        }
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
        QVERIFY2(peak <= std::max(before, long(testsupport::memory::residentBudget(100 * 1024))),
                 qPrintable(QStringLiteral("%1 KiB").arg(peak)));
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.errors.contains("item count"), run.errors.constData());

        // On a volume that takes a name in any case (exFAT through exfat-fuse,
        // which numbers each spelling's node anew), 64 spellings of one path,
        // the one looked at last with its right inode: the file is compared
        // with the scan once, under the first, and stays as it was.
        MountFixture fixture;
        const QString point = fixture.mountRoot() + QStringLiteral("/EXFAT");
        if (!fixture.mountNew(MountFixture::Kind::ExFat, point))
            QSKIP(qPrintable(fixture.lastError()));
        const QByteArray stick = QFile::encodeName(point);
        QVERIFY(makeTree(stick, {"Documents/", "Documents/thesis.pdf"}));
        QByteArrayList spellings;
        for (int mask = 0; mask < 64; ++mask) {
            QByteArray path = "Documents/thesis.pdf";
            for (int bit = 0; bit < 6; ++bit)
                path[bit] = char(mask & (1 << bit) ? path[bit] ^ 0x20 : path[bit]);
            spellings << path;
        }
        CleanRequest spelled = requestFor(stick, scannedItems(spellings, stick));
        spelled.customExtensions = {QStringLiteral("pdf")};
        const QByteArray last = *std::max_element(spellings.cbegin(), spellings.cend());   // folders go in byte order
        for (CleanRequest::Item &item : spelled.items) {
            item.inode += item.relative == last ? 0 : 1000;   // told apart where numbers last
            item.size += item.relative == last ? 0 : 1000;    // and where they are renewed
        }
        const QStringList stickBefore = snapshot(stick);
        const ToolRun guessed = runAdmin(spelled);
        QVERIFY2(guessed.exitCode == 1 && guessed.answers.values().count(ESTALE) == 1
                     && guessed.answers.values().count(EINVAL) == 63 && guessed.errors.count("named before") == 63,
                 guessed.errors.constData());
        QCOMPARE(snapshot(stick), stickBefore);
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
                                "docs/.Spotlight-V100/", "docs/.Spotlight-V100/store", "Cache.tmp -> " + outside / "canary",
                                "etc/x.tmp", "docs/toetc -> ../etc"}));
        // A device node and a fifo with junk names, on a volume mounted without nodev.
        QVERIFY(::mknod(root + "/.DS_Store", S_IFCHR | 0666, ::makedev(1, 3)) == 0 && ::mkfifo(root + "/Thumbs.db", 0666) == 0);
        // Junk names that are second names of the user's files: never changed through them.
        QVERIFY(writeFile(root + "/docs/secret", "mine", 0600) && ::link(root + "/docs/secret", root + "/._secret") == 0
                && ::link(root + "/docs/secret", root + "/docs/._again") == 0);
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
            // What cannot be confirmed answers alike, gone or another item,
            // and no trash placeholder is made where none was removed.
            {"docs/gone.tmp", ESTALE}, {"docs/other.tmp", ESTALE}, {"docs/.Trashes", ESTALE},
            // One file, one look: its other name, with its right inode, is no second guess.
            {"docs/._again", ESTALE},
            // A file or a link on the way answers as a folder missing does.
            {"docs/keep.txt/x.tmp", ESTALE}, {"docs/toetc/x.tmp", ESTALE}, {"nothere/x.tmp", ESTALE},
        };
        QByteArrayList paths;
        for (const auto &entry : expected)
            paths << entry.first;
        CleanRequest request = requestFor(root, scannedItems(paths, root));
        request.customExtensions = {QStringLiteral("docx")};
        request.items[7].inode = 0;   // "Desktop DB"
        QVERIFY(writeFile(root + "/docs/other.tmp", "another file"));
        request.items[15].kind = ItemKind::folder;   // "docs/.Trashes", gone since the scan
        const QStringList outsideBefore = snapshot(outside.path());
        const QStringList docsBefore = snapshot(root + "/docs").filter(QRegularExpression(QStringLiteral("^(keep|secret|private)")));
        const QStringList keptBefore = snapshot(root + "/etc") + snapshot(root + "/notes.docx");

        const ToolRun run = runAdmin(request);
        QCOMPARE(run.exitCode, 1);
        for (qsizetype i = 0; i < request.items.size(); ++i)
            QVERIFY2(run.answers.value(i, -1) == expected[i].second,
                     qPrintable(expected[i].first + " answered " + QByteArray::number(run.answers.value(i, -1)) + '\n' + run.errors));
        QVERIFY(run.errors.contains("Refused (not junk"));
        const QList<qsizetype> absent = {13, 15, 17, 19};
        for (qsizetype i = 0; i < request.items.size(); ++i)
            QCOMPARE(exists(root + '/' + expected[i].first), expected[i].second != 0 && !absent.contains(i));
        QCOMPARE(run.errors.count("Skipped (gone, or no longer what the scan found)"), 7);
        for (const qsizetype i : {17, 18, 19})
            QVERIFY(run.errors.contains("Skipped (gone, or no longer what the scan found): " + root + '/' + expected[i].first + '\n'));
        QCOMPARE(modeOf(root + "/.DS_Store") & S_IFMT, mode_t(S_IFCHR));
        QCOMPARE(modeOf(root + "/Thumbs.db") & S_IFMT, mode_t(S_IFIFO));
        QCOMPARE(snapshot(root + "/docs").filter(QRegularExpression(QStringLiteral("^(keep|secret|private)"))), docsBefore);
        QCOMPARE(flagsOf(root + "/docs/secret") & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL);
        QCOMPARE(snapshot(root + "/etc") + snapshot(root + "/notes.docx"), keptBefore);
        QCOMPARE(snapshot(outside.path()), outsideBefore);
    }

    // Root acts only on removable hardware. A loop image on the machine's
    // own disk counts only when the requesting account owns it and it is
    // mounted for that account: another account's home on a loop image, a
    // shared volume where the account renamed another's folder ".Trashes",
    // the account's own image mounted elsewhere, and the account's own FUSE
    // mount naming a loop device whose file is gone are refused whole, every
    // file as it was (an immutable one too); the account's image under
    // /media/<name> is cleaned. Removable hardware too must be mounted for
    // the account (a USB stick here: a loop device whose sysfs "removable"
    // reads 1 in this test's mount namespace): another account's stick under
    // its own media folder, a home on a stick, and another account's image
    // lying on a stick are refused; a stick under the account's media folder
    // is cleaned. A PKEXEC_UID that is no uid is refused, not taken for root.
    void removableHardwareOnly()
    {
        // (In the test's own mount namespace: the tmpfs over /media and the
        // fuse.conf bound over the system's stay in it.)
        MountFixture fixture;
        if (const QString why = MountFixture::whyUnavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        Sandbox conf;
        QVERIFY(fixture.mountWith({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")},
                                  QStringLiteral("/media"))
                && writeFile(conf / "fuse.conf", "user_allow_other\n", 0644)
                && QProcess::execute(MountFixture::tool(QStringLiteral("mount")),
                                     {QStringLiteral("--bind"), QFile::decodeName(conf / "fuse.conf"), QStringLiteral("/etc/fuse.conf")}) == 0);
        const auto restore = qScopeGuard([] { ::umount2("/etc/fuse.conf", MNT_DETACH); });
        QVERIFY(::chmod(QFile::encodeName(fixture.path()), 0755) == 0);
        const QString home = fixture.mountRoot() + QStringLiteral("/home/victim");
        QVERIFY(QDir().mkpath(QStringLiteral("/media/victim")) && ::chown("/media/victim", 1001, 1001) == 0
                && ::chmod("/media/victim", 0700) == 0 && writeFile(conf / "removable", "1\n", 0644));
        QStringList sticks;   // the sysfs flags bound over
        const auto asStick = [&](const QString &loop) {
            sticks << QStringLiteral("/sys/block/%1/removable").arg(QFileInfo(loop).fileName());
            return ::mount(conf / "removable", QFile::encodeName(sticks.last()).constData(), nullptr, MS_BIND, nullptr) == 0;
        };
        const auto unbind = qScopeGuard([&] {
            for (const QString &flag : std::as_const(sticks))
                ::umount2(QFile::encodeName(flag).constData(), MNT_DETACH);
        });
        enum class Disk { fixed, stick, imageOnStick };
        struct Row
        {
            const char *name; uid_t owner; QString point; bool fuse; bool cleaned; bool shared = false;
            Disk disk = Disk::fixed; const char *refusal = "is not on removable hardware";
        };
        const char *notMounted = "is not mounted for the requesting account";
        const Row rows[] = {
            {"another account's home on a loop image", 1001, home, false, false},
            {"another account's folder renamed .Trashes", 0, fixture.mountRoot() + QStringLiteral("/shared"), false, false, true},
            {"the account's image mounted elsewhere", 65534, fixture.mountRoot() + QStringLiteral("/elsewhere"), false, false},
            {"the account's FUSE mount naming a loop device whose file is gone", 65534, fixture.mountRoot() + QStringLiteral("/fuse"), true, false},
            {"the account's image under its media folder", 65534, QStringLiteral("/media/nobody/STICK"), false, true},
            {"another account's stick under its media folder", 1001, QStringLiteral("/media/victim/STICK"), false, false, false,
             Disk::stick, notMounted},
            {"another account's home on a stick", 1001, home, false, false, false, Disk::stick, notMounted},
            {"another account's image on a stick, under the account's media folder", 1001, QStringLiteral("/media/nobody/IMAGE"),
             false, false, false, Disk::imageOnStick, "holds a file of another account"},
            {"a stick under the account's media folder", 65534, QStringLiteral("/media/nobody/USB"), false, true, false, Disk::stick},
        };
        for (const Row &row : rows) {
            const std::optional<QString> image =
                fixture.makeImage(row.fuse ? MountFixture::Kind::Fat32 : MountFixture::Kind::Ext4, 32, QStringLiteral("HOME"));
            QVERIFY(image && ::chown(QFile::encodeName(*image), row.owner, row.owner) == 0);
            if (row.fuse) {
                // Mounted by the account itself, naming a loop device that holds
                // no file the tool can confirm: the test's own, its file removed
                // (a number it freed could be given to a test alongside).
                const QString gone = fixture.path() + QStringLiteral("/gone.img");
                QVERIFY(writeFile(QFile::encodeName(gone), QByteArray(4096, '\0'), 0600));
                const QString held = fixture.attachLoop(gone).value_or(QString());
                QVERIFY(!held.isEmpty() && QFile::remove(gone) && fixture.holdsOurs(held));
                QVERIFY(QDir().mkpath(row.point) && ::chown(QFile::encodeName(row.point), row.owner, row.owner) == 0);
                QVERIFY(QProcess::execute(asNobody().first(), asNobody().mid(1) + QStringList{
                            MountFixture::tool(QStringLiteral("fusefat")), QStringLiteral("-o"),
                            QStringLiteral("rw+,allow_other,fsname=%1,subtype=vfat").arg(held), *image, row.point}) == 0);
            }
            // The image on a stick of its own: that stick goes once the image's loop device is detached.
            const QString outer = fixture.mountRoot() + QStringLiteral("/outer");
            QString file = row.fuse ? QString() : *image;
            std::optional<QString> loop;
            const auto outerGone = qScopeGuard([&] {
                if (row.disk == Disk::imageOnStick && loop && fixture.unmount(row.point) && fixture.detachLoop(*loop))
                    fixture.unmount(outer);
            });
            if (row.disk == Disk::imageOnStick) {
                const std::optional<QString> stickImage = fixture.makeImage(MountFixture::Kind::Ext4, 64, QStringLiteral("OUTER"));
                const std::optional<QString> outerLoop = stickImage ? fixture.attachLoop(*stickImage) : std::nullopt;
                file = outer + QStringLiteral("/home.img");
                QVERIFY(outerLoop && asStick(*outerLoop) && fixture.mountExt4(*outerLoop, outer) && QFile::copy(*image, file)
                        && ::chown(QFile::encodeName(file), row.owner, row.owner) == 0);
            }
            if (!row.fuse) {
                loop = fixture.attachLoop(file);
                QVERIFY(loop && (row.disk != Disk::stick || asStick(*loop)) && fixture.mountExt4(*loop, row.point));
            }
            const auto unmount = qScopeGuard([&] { fixture.unmount(row.point); });
            const QByteArray root = QFile::encodeName(row.point);
            // (fusefat keeps no modes: its files are named only)
            QVERIFY(row.fuse || makeTree(root, {".bashrc", "thesis.pdf", "Thumbs.db", "workspace/", "workspace/.metadata"}));
            const bool immutable = !row.fuse && setFlags(root + "/thesis.pdf", FS_IMMUTABLE_FL);
            const auto mutableAgain = qScopeGuard([&] { setFlags(root + "/thesis.pdf", 0); });
            if (row.point == home)
                QVERIFY(::chown(root, row.owner, row.owner) == 0 && ::chmod(root, 0700) == 0);
            if (row.shared) {
                QVERIFY(makeTree(root, {".Trashes/", ".Trashes/thesis/", ".Trashes/thesis/chapter1"})
                        && ::chown(root + "/.Trashes/thesis", 1001, 1001) == 0 && ::chmod(root, 0777) == 0);
            }
            CleanRequest request = requestFor(root, scannedItems(row.shared ? QByteArrayList{".Trashes"}
                                                                            : QByteArrayList{".bashrc", "thesis.pdf", "Thumbs.db"}, root));
            request.customExtensions = {QStringLiteral("bashrc"), QStringLiteral("pdf")};
            const QStringList before = snapshot(root);

            const ToolRun run = runAdmin(request, 65534);
            if (row.cleaned) {
                QVERIFY2(run.exitCode == 0 && run.answers.size() == 3, run.errors.constData());
                QCOMPARE(snapshot(root).filter(QRegularExpression(QStringLiteral("^(\\.bashrc|thesis|Thumbs)"))), QStringList());
                QVERIFY(!immutable || !exists(root + "/thesis.pdf"));
            } else {
                QVERIFY2(run.exitCode == 2 && run.answers.isEmpty() && run.errors.contains(row.refusal),
                         qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(row.name), QString::fromUtf8(run.errors))));
                QCOMPARE(snapshot(root), before);
            }
        }

        const QByteArray own = fixture.mountReachable(MountFixture::Kind::Ext4, QStringLiteral("root's"));
        QVERIFY(!own.isEmpty() && makeTree(own, {"Thumbs.db"}));
        const CleanRequest request = requestFor(own, scannedItems({"Thumbs.db"}, own));
        for (const QString &uid : {QStringLiteral("65534x"), QStringLiteral(""), QStringLiteral("-1"), QStringLiteral("4294967295"),
                                   QStringLiteral(" 0")}) {
            const ToolRun run = runAdmin(request, uid);
            QVERIFY2(run.exitCode == 2 && run.errors.contains("is not an account's uid") && exists(own + "/Thumbs.db"),
                     qPrintable(uid + QStringLiteral(": ") + QString::fromUtf8(run.errors)));
        }
    }

    void aliasedFolder_data()
    {
        using Alias = MountFixture::Alias;
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("alias");
        QTest::addColumn<bool>("photoAfterScan");
        QTest::addColumn<bool>("forgotten");
        const int fat = int(MountFixture::Kind::Fat32);
        QTest::newRow("FAT32: a cross-linked cluster, told by the scan") << fat << int(Alias::wholeFolder) << false << false;
        QTest::newRow("ext4: a directory hard link, told by its \"..\"") << int(MountFixture::Kind::Ext4)
                                                                       << int(Alias::wholeFolder) << false << false;
        QTest::newRow("FAT32: cross-linked into the middle of a chain") << fat << int(Alias::chainMiddle) << false << false;
        QTest::newRow("FAT32: its folders gained a photo after the scan") << fat << int(Alias::wholeFolder) << true << false;
        QTest::newRow("FAT32: the stick forgotten by the kernel after the scan")
            << fat << int(Alias::wholeFolder) << false << true;
    }

    // The tool leaves a trash folder that holds an alias of DCIM whole: on
    // FAT by what the request carries of the scan, on ext4 by the alias's
    // own "..", with no scan at all.
    void aliasedFolder()
    {
        QFETCH(int, kind);
        QFETCH(int, alias);
        QFETCH(bool, photoAfterScan);
        QFETCH(bool, forgotten);
        std::optional<ForgetfulKernel> kernel;   // before the stick: what it reads of it is forgotten on demand
        if (forgotten && !kernel.emplace().whyNot().isEmpty())
            QSKIP(qPrintable(kernel->whyNot()));
        MountFixture fixture;
        const QString point = fixture.mountRoot() + QStringLiteral("/ALIAS");
        if (!fixture.mountNewWithAlias(MountFixture::Kind(kind), point, MountFixture::Alias(alias)))
            QSKIP(qPrintable(fixture.lastError()));
        const QByteArray root = QFile::encodeName(point);
        CleanRequest request = requestFor(root, scannedItems({".Trashes"}, root));
        if (kind == int(MountFixture::Kind::Fat32)) {
            VolumeScanner scanner(VolumeScanner::Request{root, {FileType::trash}, {}, {}, true, {}, nullptr});
            request.scannedFolders = *scanner.outcome(scanner.run()).folders;
        }
        // Every number the scan saw is another now: the alias is told by what the folders list.
        QVERIFY(!kernel || kernel->forget());
        if (kernel && scannedItem(root + "/.Trashes").inode == request.items.value(0).inode)
            QSKIP("the kernel kept this stick's inodes when asked to forget them: nothing would be tested");
        for (const char *folder : {"/DCIM/", "/DCIM/SUB/"}) {   // no folder the alias shows lists as at the scan
            QFile added(point + QLatin1String(folder) + QStringLiteral("NEW.JPG"));
            QVERIFY(!photoAfterScan || (added.open(QIODevice::WriteOnly) && added.write("a new photo") == 11));
        }
        const QStringList dcimBefore = snapshot(root + "/DCIM");
        const ToolRun run = runAdmin(request);
        QVERIFY2(run.exitCode == 1 && run.answers.value(0) == EUCLEAN, run.errors.constData());
        QVERIFY(run.errors.contains("shares its contents with another folder"));
        QCOMPARE(snapshot(root + "/DCIM"), dcimBefore);
    }

    void forgottenBetweenScanAndClean_data() { ForgottenStick::rows(); }

    // FAT and exFAT hand an item a new inode number each time the kernel
    // reads it in again. With the stick forgotten between the scan and the
    // tool's run, the tool removes every item that stayed as the scan found
    // it, through chains deeper than the handles it keeps, and refuses the
    // file grown, the file whose time moved, the file that became a folder
    // and the trash folder that became a file.
    void forgottenBetweenScanAndClean()
    {
        QFETCH(int, kind);
        ForgottenStick stick;
        MAKE_FORGOTTEN_STICK(stick, MountFixture::Kind(kind));
        const QByteArray &root = stick.root;
        const JunkSinceTheScan &junk = stick.junk;
        const Items &items = stick.items;

        const ToolRun run = runAdmin(requestFor(root, items));
        QList<int> errors;
        for (qsizetype i = 0; i < items.size(); ++i) {
            errors << run.answers.value(i, -1);
            QVERIFY2(errors.last() == (junk.changed.contains(junk.items.at(i)) ? ESTALE : 0),
                     qPrintable(QString::fromUtf8(junk.items.at(i) + ": " + run.errors.right(2000))));
        }
        VERIFY_COUNTS(items, errors);
        for (const QByteArray &file : std::as_const(junk.kept))
            QCOMPARE(readFile(root + '/' + file), file);
    }

    // On ext4, through the kernel or FUSE, the files a request says the scan
    // met outside are never looked for: a folder the account may not read
    // would otherwise tell, by the trash left whole, whether it holds a file
    // of a chosen name, size and time.
    void filesOutsideOnlyOnFat_data()
    {
        QTest::addColumn<bool>("fuse");
        QTest::newRow("ext4") << false;
        QTest::newRow("ext4 through fuse2fs, which keeps owners") << true;
    }

    void filesOutsideOnlyOnFat()
    {
        QFETCH(bool, fuse);
        MountFixture fixture;
        const QString point = fixture.mountRoot() + QStringLiteral("/EXT4");
        if (fuse && MountFixture::tool(QStringLiteral("fuse2fs")).isEmpty())
            QSKIP("fuse2fs (package fuse2fs) is not installed");
        const std::optional<QString> image = fuse ? fixture.makeImage(MountFixture::Kind::Ext4, 32, "STICK") : std::nullopt;
        const std::optional<QString> loop = image ? fixture.attachLoop(*image) : std::nullopt;
        if (fuse ? !(loop && fixture.mountExt4Fuse(*loop, point)) : !fixture.mountNew(MountFixture::Kind::Ext4, point))
            QSKIP(qPrintable(fixture.lastError()));
        const QByteArray root = QFile::encodeName(point);
        QVERIFY(makeTree(root, {".Trashes/", "private/"}) && writeFile(root + "/.Trashes/guess.pdf", "12345")
                && writeFile(root + "/private/guess.pdf", "12345", 0600) && ::chmod(root + "/private", 0700) == 0);
        struct stat st;
        QVERIFY(::stat(root + "/.Trashes/guess.pdf", &st) == 0);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, root + "/private/guess.pdf", times, 0) == 0);
        CleanRequest request = requestFor(root, scannedItems({".Trashes"}, root));
        request.scannedFolders.device = request.device;
        request.scannedFolders.addFolder("private");
        request.scannedFolders.files = {ScannedFolders::fileRef("guess.pdf", 0)};
        const ToolRun run = runAdmin(request);
        QVERIFY2(run.exitCode == 0 && run.answers.value(0) == 0, run.errors.constData());
        QVERIFY(!QFileInfo::exists(point + QStringLiteral("/.Trashes/guess.pdf")));
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
