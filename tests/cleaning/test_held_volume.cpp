// Removal through a held volume (HeldVolume, SafeRemove), our dot_clean tool
// and the checks around it: on temporary folders, on real ext4, FAT32 and
// exFAT volumes that are unmounted, replaced or lose their FUSE daemon while
// held, and as an unprivileged user. Every count is compared with the disk.

#include "BytePaths.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include "cleaning/CleanRequest.h"
#include "cleaning/DotClean.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"
#include "platform/ProcessRunner.h"

#include <QDebug>
#include <QDir>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <functional>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// The inode handed over for an item that is not there (it is never looked at).
constexpr quint64 kAbsentInode = 1;

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// Holds `root` as a clean does, with its device and inode as they are now.
std::unique_ptr<HeldVolume> hold(const QByteArray &root)
{
    const FileItem top = scannedItem(root);
    return HeldVolume::open(root, top.device, top.inode);
}

// Is anything at `relative` below the folder `base`? Looked up name by name
// over handles without following links (so past PATH_MAX too), apart from
// the code under test.
bool present(const QByteArray &base, const QByteArray &relative, struct stat *found = nullptr)
{
    int fd = ::open(base.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const QList<QByteArray> names = relative.split('/');
    for (qsizetype i = 0; i + 1 < names.size() && fd >= 0; ++i) {
        const int child = ::openat(fd, names.at(i).constData(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = child;
    }
    struct stat st;
    const bool there = fd >= 0 && ::fstatat(fd, names.last().constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (fd >= 0)
        ::close(fd);
    if (there && found)
        *found = st;
    return there;
}

// scannedItem() for paths too long for lstat.
FileItem scannedDeep(const QByteArray &base, const QByteArray &relative)
{
    FileItem item = FileItem::fromNativePath(base + '/' + relative, 0);
    struct stat st;
    if (present(base, relative, &st)) {
        item.kind = S_ISDIR(st.st_mode) ? ItemKind::folder : S_ISLNK(st.st_mode) ? ItemKind::link : ItemKind::file;
        item.device = quint64(st.st_dev);
        item.inode = quint64(st.st_ino);
    }
    return item;
}

bool removeFile(const QByteArray &path) { return ::unlink(path.constData()) == 0; }

// What stands at a held root now, whatever its path shows.
QByteArray heldPath(const HeldVolume &volume)
{
    return "/proc/self/fd/" + QByteArray::number(volume.rootFd());
}

QList<FileItem> scannedBelow(const QByteArray &root, const QByteArrayList &relatives)
{
    QList<FileItem> items;
    for (const QByteArray &relative : relatives)
        items << scannedItem(root + '/' + relative);
    return items;
}

// removeScanned's errno per item (0: removed).
QList<int> removeEach(HeldVolume &volume, const QList<FileItem> &items)
{
    QList<int> errors;
    for (const FileItem &item : items) {
        const QByteArray relative = volume.relativePath(item.fsPath()).value_or(QByteArray());
        const SafeRemove::Outcome outcome = SafeRemove::removeScanned(volume, relative, item);
        if (outcome.error != 0 && outcome.message.isEmpty())
            errors << -1;   // a failure must say why
        else
            errors << outcome.error;
    }
    return errors;
}

// A request for our tools, items as a scan would record them now (one that
// is not there as a file that was).
CleanRequest requestFor(const QByteArray &root, const QByteArrayList &relatives, const QByteArray &rootField = ".")
{
    const FileItem top = scannedItem(root);
    CleanRequest request{rootField, top.device, top.inode, {}};
    for (const QByteArray &relative : relatives) {
        const FileItem item = scannedItem(root + '/' + relative);
        request.items.append(item.hasIdentity() ? CleanRequest::Item{relative, item.kind, item.device, item.inode}
                                                : CleanRequest::Item{relative, ItemKind::file, top.device, kAbsentInode});
    }
    return request;
}

// Replaces the file at `path` by another one of the same name (a new inode:
// made before the old one goes).
bool replaceFile(const QByteArray &path, const QByteArray &content)
{
    return writeFile(path + ".new", content) && ::rename((path + ".new").constData(), path.constData()) == 0;
}

bool moveAside(const QByteArray &from, const QByteArray &to) { return ::rename(from.constData(), to.constData()) == 0; }

// Runs `call` with what it prints captured into *lines. Nothing is asserted
// while capturing: the test's own report goes to standard output too.
template <typename Call>
auto quietly(Call call, QStringList *lines = nullptr)
{
    StdoutCapture capture;
    auto result = call();
    const QStringList captured = capture.lines();
    if (lines)
        *lines = captured;
    return result;
}

// The FUSE daemon serving `mountPoint`: the process started with it as an argument.
pid_t fuseDaemon(const QString &mountPoint)
{
    const QByteArray point = QFile::encodeName(mountPoint);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        QFile cmdline(QStringLiteral("/proc/") + entry + QStringLiteral("/cmdline"));
        if (ok && pid != ::getpid() && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').contains(point))
            return pid;
    }
    return 0;
}

// Waits (up to 10 s) until every thread of the process has ended, so its
// handles are closed: it is gone, or only its zombie leader is left.
bool waitUntilDead(pid_t pid)
{
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

const char *kindName(MountFixture::Kind kind)
{
    return kind == MountFixture::Kind::Fat32 ? "FAT32" : kind == MountFixture::Kind::ExFat ? "exFAT" : "ext4";
}

std::optional<QString> mountAt(MountFixture &fx, MountFixture::Kind kind, const QString &loop, const QString &point)
{
    return kind == MountFixture::Kind::Fat32   ? fx.mountFat(loop, point)
           : kind == MountFixture::Kind::ExFat ? fx.mountExfat(loop, point)
                                               : fx.mountExt4(loop, point);
}

// A new volume of `kind` mounted at `point`; its loop device.
std::optional<QString> newVolume(MountFixture &fx, MountFixture::Kind kind, const QString &point)
{
    const auto image = fx.makeImage(kind, 64, QStringLiteral("STICK"));
    const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
    return loop && mountAt(fx, kind, *loop, point) ? loop : std::nullopt;
}

bool unmountLazily(const QString &point)
{
    ProcessRequest request;
    request.program = MountFixture::tool(QStringLiteral("umount"));
    request.arguments = {QStringLiteral("-l"), point};
    request.timeout = std::chrono::seconds(20);
    return runProcess(request).succeeded();
}

// The stick's tree: AppleDouble files, a file, and a folder with contents.
const QByteArrayList kStickFiles = {"._top", "d/._a", "d/x.tmp", "junk/inner/y", "keep.txt"};
const QByteArrayList kStickAppleDouble = {"._top", "d/._a"};
const QByteArrayList kStickOthers = {"d/x.tmp", "junk"};

bool makeStickTree(const QByteArray &root, const QByteArray &content)
{
    bool ok = true;
    for (const char *folder : {"d", "junk", "junk/inner"})
        ok = ok && (makeDir(root + '/' + folder) || errno == EEXIST);
    for (const QByteArray &file : kStickFiles) {
        QFile out(QFile::decodeName(root + '/' + file));   // FAT has no modes to set
        ok = ok && out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(content) == content.size();
    }
    return ok;
}

} // namespace

class TestHeldVolume : public QObject
{
    Q_OBJECT

private slots:
    void relativePathByWholeComponents()
    {
        const std::tuple<const char *, const char *, const char *> rows[] = {
            {"/m/USB", "/m/USB/x", "x"},          {"/m/USB", "/m/USB/a/._b", "a/._b"}, {"/m/USB/", "/m/USB/x", "x"},
            {"/m/USB", "/m/USB2/x", nullptr},     {"/m/USB", "/m/USB", nullptr},      {"/m/USB", "/m/USB/", nullptr},
            {"/m/USB", "/m/USB/x/", nullptr},     {"/m/USB", "/m/USB//x", nullptr},   {"/m/USB", "/m/USB/../etc", nullptr},
            {"/m/USB", "/m/USB/a/../../x", nullptr}, {"/m/USB", "/m/USB/./x", nullptr}, {"/", "/x", "x"},
            {".", "sub/._a", "sub/._a"},          {".", "./sub/._a", "sub/._a"},      {".", "../x", nullptr},
            {".", "/etc/x", nullptr},             {".", ".", nullptr},                {"", "/x", nullptr},
        };
        for (const auto &[root, path, relative] : rows) {
            const std::optional<QByteArray> found = HeldVolume::relativePath(root, path);
            QVERIFY2(found == (relative ? std::optional<QByteArray>(relative) : std::nullopt), path);
            QCOMPARE(SafeRemove::isInside(root, path), relative != nullptr);
        }
    }

    // A clean holds only the root it scanned: same device, same root folder.
    void openRefusesAnotherRoot()
    {
        Sandbox box;
        QVERIFY(makeDir(box / "sub") && makeLink("sub", box / "link") && makeDir(box / "bindpoint"));
        const FileItem top = scannedItem(box.path());
        const quint64 subInode = scannedItem(box / "sub").inode;
        const std::tuple<const char *, QByteArray, quint64, quint64, int> rows[] = {
            {"the scanned root", box.path(), top.device, top.inode, 0},
            {"inode not known", box.path() + '/', top.device, 0, 0},
            {"another device", box.path(), top.device + 1, top.inode, ESTALE},
            {"another root folder", box / "sub", top.device, top.inode, ESTALE},
            {"a link to it", box / "link", top.device, subInode, ENOTDIR},
            {"missing", box / "missing", top.device, 0, ENOENT},
            {"no root", "", top.device, 0, EINVAL},
        };
        for (const auto &[name, root, device, inode, expected] : rows) {
            int error = 0;
            QString why;
            const std::unique_ptr<HeldVolume> volume = HeldVolume::open(root, device, inode, &why, &error);
            QVERIFY2(bool(volume) == (expected == 0) && (volume || error == expected) && (volume || !why.isEmpty()),
                     qPrintable(QStringLiteral("%1: errno %2, %3").arg(name).arg(error).arg(why)));
        }

        // Another folder of the same file system mounted at the root's path.
        if (geteuid() != 0)
            QSKIP("bind mounts need root");
        const FileItem bindpoint = scannedItem(box / "bindpoint");
        MountFixture fx;
        QVERIFY2(fx.mountWith({QStringLiteral("--bind"), QFile::decodeName(box / "sub")}, QFile::decodeName(box / "bindpoint")),
                 qPrintable(fx.lastError()));
        int error = 0;
        QVERIFY(!HeldVolume::open(box / "bindpoint", bindpoint.device, bindpoint.inode, nullptr, &error));
        QCOMPARE(error, ESTALE);
    }

    // Only the item the scan saw is removed, and the count says what the disk shows.
    void removeScannedOnlyTheScannedItem()
    {
        using Change = std::function<bool(const QByteArray &box, FileItem &item)>;
        struct Row
        {
            const char *name;
            QByteArray item;
            Change change;
            QList<int> errors;   // the outcomes allowed
            QByteArrayList kept, gone;
        };
        const Change none = [](const QByteArray &, FileItem &) { return true; };
        const QList<Row> rows = {
            {"file removed", "d/x.tmp", none, {0}, {"d"}, {"d/x.tmp"}},
            {"gone already", "d/x.tmp", [](const QByteArray &box, FileItem &) { return removeFile(box + "/d/x.tmp"); },
             {0}, {"d"}, {}},
            {"its folder gone", "d/x.tmp",
             [](const QByteArray &box, FileItem &) { return removeFile(box + "/d/x.tmp") && ::rmdir((box + "/d").constData()) == 0; },
             {0}, {}, {}},
            {"folder with links and undecodable names", "folder", none, {0}, {"real/victim"}, {"folder"}},
            {"link to a folder outside", "out", none, {0}, {}, {"out"}},
            {"link to a file", "fileLink", none, {0}, {}, {"fileLink"}},
            {"through a link to a folder", "viaLink/victim", none, {ENOTDIR, ELOOP}, {"real/victim", "viaLink"}, {}},
            {"a folder on the way became a file", "d/x.tmp",
             [](const QByteArray &box, FileItem &) { return moveAside(box + "/d", box + "/d.old") && writeFile(box + "/d"); },
             {ENOTDIR}, {"d", "d.old/x.tmp"}, {}},
            {"file became a folder", "report.tmp",
             [](const QByteArray &box, FileItem &) {
                 return moveAside(box + "/report.tmp", box + "/moved") && makeDir(box + "/report.tmp")
                        && writeFile(box + "/report.tmp/thesis.docx", "thesis");
             },
             {ESTALE}, {"report.tmp/thesis.docx", "moved"}, {}},
            {"file became a link", "report.tmp",
             [](const QByteArray &box, FileItem &) {
                 return removeFile(box + "/report.tmp") && makeLink("d/x.tmp", box + "/report.tmp");
             },
             {ESTALE}, {"report.tmp", "d/x.tmp"}, {}},
            {"file replaced by another of its name", "report.tmp",
             [](const QByteArray &box, FileItem &) { return replaceFile(box + "/report.tmp", "new"); }, {ESTALE},
             {"report.tmp"}, {}},
            {"folder became a file", "cache",
             [](const QByteArray &box, FileItem &) { return moveAside(box + "/cache", box + "/cache.old") && writeFile(box + "/cache"); },
             {ESTALE}, {"cache", "cache.old/x"}, {}},
            {"folder replaced by another", "cache",
             [](const QByteArray &box, FileItem &) {
                 return moveAside(box + "/cache", box + "/cache.old") && makeDir(box + "/cache") && writeFile(box + "/cache/y");
             },
             {ESTALE}, {"cache/y", "cache.old/x"}, {}},
            {"link retargeted", "fileLink",
             [](const QByteArray &box, FileItem &) {
                 return makeLink("d", box + "/fileLink.new") && moveAside(box + "/fileLink.new", box + "/fileLink");
             },
             {ESTALE}, {"fileLink"}, {}},
            {"never examined", "d/x.tmp", [](const QByteArray &, FileItem &item) {
                 item.kind = ItemKind::unknown;
                 return true;
             },
             {ESTALE}, {"d/x.tmp"}, {}},
            {"scanned on another device", "d/x.tmp", [](const QByteArray &, FileItem &item) {
                 ++item.device;
                 return true;
             },
             {ESTALE}, {"d/x.tmp"}, {}},
        };
        for (const Row &row : rows) {
            Sandbox box;
            Sandbox outside;
            QVERIFY(writeFile(outside / "canary", "keep me") && makeDir(outside / "inner") && writeFile(outside / "inner/file", "keep"));
            QVERIFY(makeDir(box / "d") && writeFile(box / "d/x.tmp") && writeFile(box / "report.tmp"));
            QVERIFY(makeDir(box / "cache") && writeFile(box / "cache/x") && makeDir(box / "real") && writeFile(box / "real/victim"));
            QVERIFY(makeLink("real", box / "viaLink") && makeLink(outside.path(), box / "out"));
            QVERIFY(makeLink(outside / "canary", box / "fileLink"));
            QVERIFY(makeDir(box / "folder") && makeDir(box / "folder/sub") && makeDir(box / "folder/bad\xff"));
            QVERIFY(writeFile(box / "folder/sub/\xff\xfe") && writeFile(box / "folder/bad\xff/y"));
            QVERIFY(makeLink(outside.path(), box / "folder/ln") && makeLink(outside / "canary", box / "folder/sub/ln2"));

            const std::unique_ptr<HeldVolume> volume = hold(box.path());
            QVERIFY(volume);
            FileItem item = scannedItem(box / row.item);
            QVERIFY2(row.change(box.path(), item), row.name);
            const QList<int> errors = removeEach(*volume, {item});
            QVERIFY2(row.errors.contains(errors.first()), qPrintable(QStringLiteral("%1: %2").arg(row.name).arg(errors.first())));
            QVERIFY2(errors.first() != 0 || !present(box.path(), row.item), row.name);   // removed means gone
            for (const QByteArray &path : row.kept)
                QVERIFY2(present(box.path(), path), (row.name + (": " + path)).constData());
            for (const QByteArray &path : row.gone)
                QVERIFY2(!present(box.path(), path), (row.name + (": " + path)).constData());
            QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
            QCOMPARE(readFile(outside / "inner/file"), QByteArray("keep"));
        }
    }

    void mountsAreNeitherEnteredNorRemoved()
    {
        if (geteuid() != 0)
            QSKIP("mounting needs root");
        Sandbox box;
        QVERIFY(makeDir(box / "holder") && makeDir(box / "holder/mnt") && writeFile(box / "holder/beside"));
        QVERIFY(makeDir(box / "src") && writeFile(box / "src/x") && makeDir(box / "bind"));
        MountFixture fx;   // unmounts (lazily if busy) before the box goes
        const QStringList tmpfs = {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")};
        if (!fx.mountWith(tmpfs, QFile::decodeName(box / "holder/mnt")))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") + fx.lastError()));
        QVERIFY(writeFile(box / "holder/mnt/inside", "mounted"));
        // A bind mount from the same device: st_dev alone cannot tell it.
        QVERIFY2(fx.mountWith({QStringLiteral("--bind"), QFile::decodeName(box / "src")}, QFile::decodeName(box / "bind")),
                 qPrintable(fx.lastError()));

        const std::unique_ptr<HeldVolume> volume = hold(box.path());
        QVERIFY(volume);
        const QList<FileItem> items = scannedBelow(box.path(), {"holder/mnt", "holder", "bind", "holder/mnt/inside", "bind/x"});
        QCOMPARE(removeEach(*volume, items), QList<int>(items.size(), EXDEV));
        QCOMPARE(readFile(box / "holder/mnt/inside"), QByteArray("mounted"));
        QVERIFY(exists(box / "src/x"));
    }

    // Past PATH_MAX and 3000 folders deep: removed through the held root,
    // counted exactly, with a bounded number of handles.
    void pathsPastPathMaxAndDeepTrees()
    {
        Sandbox box;
        const QByteArray longName(200, 'L');
        QVERIFY(makeDir(box / "long") && makeChain(box / "long", longName, 40, "leaf"));
        QVERIFY(makeDir(box / "deep") && makeChain(box / "deep", "d", 3000, "bottom"));
        const QByteArray leaf = "long" + ('/' + longName).repeated(40) + "/leaf";
        const FileItem leafItem = scannedDeep(box.path(), leaf);
        QVERIFY(leaf.size() > PATH_MAX && leafItem.hasIdentity());

        const int before = openDescriptors();
        std::unique_ptr<HeldVolume> volume = hold(box.path());
        QVERIFY(volume);
        const QList<FileItem> items = {leafItem, leafItem, scannedItem(box / "long"), scannedItem(box / "deep")};
        QCOMPARE(removeEach(*volume, items), QList<int>(items.size(), 0));
        QVERIFY(!present(box.path(), "long") && !present(box.path(), "deep"));
        volume.reset();
        QCOMPARE(openDescriptors(), before);
    }

    // The folders on the way are kept open from item to item: whatever the
    // order, across siblings and more than 32 levels down (where handles
    // are closed and opened again), every item is reached at its own path.
    void folderHandlesFollowTheItems()
    {
        Sandbox box;
        QByteArrayList files;
        for (const char *top : {"s0", "s1", "s2"}) {
            QVERIFY(makeDir(box / top) && makeDir(box / top + "/n"));
            files << QByteArray(top) + "/._f" << QByteArray(top) + "/n/._f";
        }
        QByteArray folder = "deep";
        for (int level = 0; level < 100; ++level, folder += "/c") {
            QVERIFY(makeDir(box / folder));
            files << folder + "/._f";   // one name everywhere: a wrong folder would not go unnoticed
        }
        for (const QByteArray &file : std::as_const(files))
            QVERIFY(writeFile(box / file, file));
        std::shuffle(files.begin(), files.end(), std::mt19937(7));

        const int before = openDescriptors();
        std::unique_ptr<HeldVolume> volume = hold(box.path());
        QVERIFY(volume);
        // Every other item goes; the rest must still be found where they are.
        QList<FileItem> removed;
        for (qsizetype i = 0; i < files.size(); i += 2)
            removed << scannedItem(box / files.at(i));
        QVERIFY(std::all_of(removed.cbegin(), removed.cend(), [](const FileItem &item) { return item.hasIdentity(); }));
        QCOMPARE(removeEach(*volume, removed), QList<int>(removed.size(), 0));
        for (qsizetype i = 0; i < files.size(); ++i) {
            QCOMPARE(volume->look(files.at(i)).error, i % 2 ? 0 : ENOENT);
            QCOMPARE(present(box.path(), files.at(i)), i % 2 == 1);
            if (i % 2)
                QCOMPARE(readFile(box / files.at(i)), files.at(i));
        }
        // At the bottom the volume keeps the shallow folders and the last one open, not all 100.
        QCOMPARE(volume->look("deep" + QByteArray("/c").repeated(99) + "/._f").error, 0);
        QVERIFY2(openDescriptors() - before < 40, qPrintable(QString::number(openDescriptors() - before)));
        volume.reset();
        QCOMPARE(openDescriptors(), before);
    }

    // A folder on the way is renamed and a link to outside takes its name
    // between two items: nothing outside is touched, and what the counts say
    // is what the moved folder holds.
    void folderSwappedForALinkMidSequence()
    {
        Sandbox box;
        Sandbox outside;
        const QByteArray chain = "A" + QByteArray("/c").repeated(40);
        const QByteArrayList names = {"A/x1", "A/x2", chain + "/xd", "A" + QByteArray("/c").repeated(36) + "/xm", "A/B/x3", "Z/y", "A/x5"};
        QVERIFY(makeDir(box / "A") && makeDir(box / "A/B") && makeDir(box / "Z") && makeChain(box / "A", "c", 40, "xd"));
        QVERIFY(makeDir(outside / "c") && makeDir(outside / "B"));
        for (const QByteArray &name : names) {
            QVERIFY(present(box.path(), name) || writeFile(box / name, name));
            if (name.startsWith("A/") && name.count('/') <= 2)
                QVERIFY(writeFile(outside / name.mid(2), "outside"));
        }
        const QList<FileItem> items = scannedBelow(box.path(), names);
        std::unique_ptr<HeldVolume> volume = hold(box.path());
        QVERIFY(volume);

        QList<int> errors = removeEach(*volume, items.mid(0, 1));
        QVERIFY(moveAside(box / "A", box / "A.moved") && makeLink(outside.path(), box / "A"));
        errors += removeEach(*volume, items.mid(1));
        QString text;
        QDebug(&text) << errors;
        QVERIFY2(errors.first() == 0 && !errors.contains(ESTALE) && !errors.contains(-1), qPrintable(text));
        QVERIFY2(errors.last() == ENOTDIR || errors.last() == ELOOP, qPrintable(text));   // A looked up again
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QByteArray now = names.at(i).startsWith("A/") ? "A.moved" + names.at(i).mid(1) : names.at(i);
            QVERIFY2(present(box.path(), now) == (errors.at(i) != 0), qPrintable(now + ": " + text));
        }
        for (const char *name : {"x1", "x2", "B/x3", "x5"})
            QCOMPARE(readFile(outside / name), QByteArray("outside"));
        QVERIFY(QDir(QFile::decodeName(outside / "c")).isEmpty());
    }

    // The tool removes only regular "._" files that are still the scanned
    // ones, reached from its working directory without links, and answers
    // per item in agreement with the disk. "@out" stands for a folder
    // outside the volume.
    void dotCleanToolRemovesExactlyWhatItIsHanded()
    {
        enum class Twist { none, byPath, replacedFile, replacedByFolder, otherRoot, otherDevice, notARequest, hugeCount, usage };
        struct Row
        {
            const char *name;
            QByteArrayList items;
            Twist twist;
            int exitCode;
            QList<int> answers;
            QByteArrayList gone;
        };
        const Row rows[] = {
            {"listed files only", {"._a", "sub/._b", "sub/._c\xff", "._missing", "gone/._z"}, Twist::none, 0, {0, 0, 0, 0, 0},
             {"._a", "sub/._b", "sub/._c\xff"}},
            {"working directory by path", {"._a", "sub/._b"}, Twist::byPath, 0, {0, 0}, {"._a", "sub/._b"}},
            {"link", {"._x"}, Twist::none, 1, {EINVAL}, {}},
            {"folder", {"._dir"}, Twist::none, 1, {EINVAL}, {}},
            {"not AppleDouble", {"plain"}, Twist::none, 1, {EINVAL}, {}},
            {"not a regular file", {"._fifo"}, Twist::none, 1, {ESTALE}, {}},
            {"linked parent", {"out/._y"}, Twist::none, 1, {ENOTDIR}, {}},
            {"dot-dot, dot, absolute", {"sub/../._a", "../@outname/._y", "./._a", "@out/._y"}, Twist::none, 1,
             {EINVAL, EINVAL, EINVAL, EINVAL}, {}},
            {"mixed", {"._x", "._a"}, Twist::none, 1, {EINVAL, 0}, {"._a"}},
            {"replaced since the scan", {"._a", "._keep"}, Twist::replacedFile, 1, {ESTALE, 0}, {"._keep"}},
            {"became a folder", {"._a"}, Twist::replacedByFolder, 1, {ESTALE}, {}},
            {"another root folder", {"._a"}, Twist::otherRoot, 2, {}, {}},
            {"another device", {"._a"}, Twist::otherDevice, 2, {}, {}},
            {"not a request", {"._a"}, Twist::notARequest, 2, {}, {}},
            {"item count past the input", {"._a"}, Twist::hugeCount, 2, {}, {}},
            {"usage", {"._a"}, Twist::usage, 2, {}, {}},
        };
        for (const Row &row : rows) {
            Sandbox box;
            Sandbox outside;
            QVERIFY(makeDir(box / "sub") && makeDir(box / "._dir") && writeFile(box / "._dir/f"));
            const QByteArrayList files = {"._a", "sub/._b", "sub/._c\xff", "._keep", "plain", "._x", "._dir/f", "._fifo"};
            for (const QByteArray &name : files.mid(0, 5))
                QVERIFY(writeFile(box / name));
            QVERIFY(writeFile(outside / "canary", "keep me") && writeFile(outside / "._y", "y"));
            QVERIFY(makeLink(outside / "canary", box / "._x") && makeLink(outside.path(), box / "out"));
            QVERIFY(::mkfifo((box / "._fifo").constData(), 0644) == 0);

            QByteArrayList items = row.items;
            for (QByteArray &item : items)
                item.replace("@outname", outside.path().mid(outside.path().lastIndexOf('/') + 1)).replace("@out", outside.path());
            CleanRequest request = requestFor(box.path(), items);
            request.rootInode += row.twist == Twist::otherRoot;
            request.device += row.twist == Twist::otherDevice;
            QByteArray input = request.encode();
            if (row.twist == Twist::notARequest)
                input = QByteArray("._a\0", 4);
            else if (row.twist == Twist::hugeCount)   // four times the count wraps to the zero items that follow
                input = input.left(input.indexOf(QByteArrayView("\0" "1\0" "._a", 6)) + 1) + "4611686018427387904" + '\0';
            if (row.twist == Twist::replacedFile)
                QVERIFY(replaceFile(box / "._a", "new"));
            if (row.twist == Twist::replacedByFolder)
                QVERIFY(moveAside(box / "._a", box / "moved") && makeDir(box / "._a") && writeFile(box / "._a/thesis.docx"));

            const std::unique_ptr<HeldVolume> volume = hold(box.path());
            ProcessRequest run;
            run.program = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
            if (row.twist == Twist::usage)
                run.arguments = {QStringLiteral(".")};
            if (row.twist == Twist::byPath)
                run.workingDirectory = QFile::decodeName(box.path());
            else
                run.workingDirectoryFd = volume->rootFd();
            run.standardInput = input;
            run.timeout = std::chrono::seconds(60);
            const ProcessResult result = runProcess(run);
            const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
            QHash<qsizetype, int> expected;
            for (qsizetype i = 0; i < row.answers.size(); ++i)
                expected.insert(i, row.answers.at(i));
            const qsizetype failures = std::count_if(row.answers.cbegin(), row.answers.cend(), [](int error) { return error != 0; });
            QVERIFY2(result.exitedNormally() && result.exitCode == row.exitCode && answers == expected
                         && result.standardOutput.count('\n') == answers.size()
                         && (row.exitCode == 2 ? !result.standardError.isEmpty() : result.standardError.count('\n') == failures),
                     qPrintable(QStringLiteral("%1: exit %2, %3%4").arg(row.name).arg(result.exitCode)
                                    .arg(QString::fromUtf8(result.standardOutput), QString::fromUtf8(result.standardError))));
            for (auto it = answers.cbegin(); it != answers.cend(); ++it)
                QVERIFY2(it.value() != 0 || !present(box.path(), items.at(it.key())), row.name);
            for (const QByteArray &path : files)
                QVERIFY2(present(box.path(), path) != row.gone.contains(path), (row.name + (": " + path)).constData());
            QVERIFY(exists(outside / "._y"));
            QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
        }
    }

    // runDotClean trusts a failed run only when the held root's listing ran
    // and shows no "._" name, and never hands the tool a path outside the
    // root; an item counts as removed only when nothing is at its path.
    void runDotCleanAndItsChecks()
    {
        Sandbox box;
        Sandbox outside;
        Sandbox stubs;
        QVERIFY(makeDir(box / "sub") && writeFile(box / "._a") && writeFile(box / "sub/._b"));
        QVERIFY(writeFile(outside / "._z", "z") && writeFile(outside / "canary", "keep me"));
        const std::unique_ptr<HeldVolume> volume = hold(box.path());
        QVERIFY(volume);
        const DotClean::Tools tools{QStringLiteral(SWEEPBROOK_DOT_CLEAN)};
        const auto run = [&volume](const DotClean::Tools &with, const QList<FileItem> &items, QStringList *lines = nullptr) {
            return quietly([&] { return DotClean::runDotClean(with, *volume, items); }, lines);
        };
        QStringList lines;
        QVERIFY(writeFile(box / "._unexamined"));
        QVERIFY(run(tools, {scannedItem(box / "._a"), FileItem::fromNativePath(box / "._unexamined", 1),
                            scannedItem(box / "sub/._b"), scannedItem(outside / "._z")}, &lines));
        for (const QByteArray &skipped : {box / "._unexamined", outside / "._z"})
            QVERIFY(lines.contains(QStringLiteral("跳过不在设备内的路径: ") + QFile::decodeName(skipped)));
        QVERIFY(!exists(box / "._a") && !exists(box / "sub/._b") && exists(outside / "._z"));
        QVERIFY(removeFile(box / "._unexamined"));
        // Exit 1, but what remains sits in a subfolder: the root listing passes.
        QVERIFY(makeLink(outside / "canary", box / "sub/._l"));
        QVERIFY(run(tools, {scannedItem(box / "sub/._l")}) && exists(box / "sub/._l"));
        // Exit 1 and the root still lists one (a folder, which the tool refuses).
        QVERIFY(makeDir(box / "._x"));
        QVERIFY(!run(tools, {scannedItem(box / "._x")}));
        DotClean::Tools missing = tools;
        missing.dotClean = QFile::decodeName(stubs / "no-such-tool");
        QVERIFY(!run(missing, {scannedItem(box / "._x")}));
        QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));

        // The listing: it must run, succeed and show no "._" name, also one
        // with a space in it.
        QVERIFY(writeFile(stubs / "fails", "#!/bin/sh\nexit 2\n", 0755) && writeFile(stubs / "empty", "#!/bin/sh\n", 0755));
        const std::tuple<const char *, QByteArray, bool> listings[] = {
            {"a \"._\" folder left", "ls", false},     {"fails", stubs / "fails", false},
            {"missing", stubs / "no-such-ls", false},  {"succeeds, lists nothing", stubs / "empty", true},
        };
        for (const auto &[name, ls, clean] : listings) {
            DotClean::Tools with = tools;
            with.ls = QFile::decodeName(ls);
            QVERIFY2(quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(with, *volume); }) == clean, name);
        }
        QVERIFY(::rmdir((box / "._x").constData()) == 0 && writeFile(box / "._my photo.jpg"));
        QVERIFY(!quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }));
        QVERIFY(removeFile(box / "._my photo.jpg") && makeLink("._target", box / "link to ._target"));
        QVERIFY(quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }));

        // Removed only when the held volume answers ENOENT.
        QVERIFY(makeDir(box / "._x") && writeFile(box / "._bad\xff") && makeLink("nowhere", box / "._dangling"));
        QVERIFY(makeLink(outside.path(), box / "lnk") && writeFile(box / "plain"));
        QList<FileItem> items;
        for (const QByteArray &name : QByteArrayList{"._gone1", "._x", "._bad\xff", "._dangling", "lnk/._z", "plain/._q", "gone/._z"})
            items << FileItem::fromNativePath(box / name, 1);
        items << FileItem::fromNativePath(outside / "._z", 1);
        const auto [removed, remaining] = quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(*volume, items); });
        const auto paths = [](const QList<FileItem> &list) {
            QByteArrayList out;
            for (const FileItem &item : list)
                out << item.fsPath();
            return out;
        };
        QCOMPARE(paths(removed), (QByteArrayList{box / "._gone1", box / "gone/._z"}));
        QCOMPARE(paths(remaining), (QByteArrayList{box / "._x", box / "._bad\xff", box / "._dangling", box / "lnk/._z",
                                                    box / "plain/._q", outside / "._z"}));
    }

    // As an ordinary account: in a folder it may read but not search or
    // write, items stay and count as failed (EACCES); in its own folder they go.
    void unprivilegedRemoval()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make folders another user cannot clean");
        const QString setpriv = findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv is not installed");
        Sandbox box;
        QVERIFY(::chmod(box.path().constData(), 0755) == 0);
        QVERIFY(makeDir(box / "locked", 0744) && writeFile(box / "locked/._a") && makeDir(box / "locked/inner")
                && writeFile(box / "locked/inner/z"));
        QVERIFY(makeDir(box / "denied", 0744) && writeFile(box / "denied/x"));
        QVERIFY(makeDir(box / "own") && writeFile(box / "own/._b") && ::chown((box / "own").constData(), 65534, 65534) == 0);
        const auto probe = [&](const char *mode, const QByteArrayList &relatives) {
            ProcessRequest request;
            request.program = setpriv;
            request.arguments = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                                 QStringLiteral(SWEEPBROOK_HELD_VOLUME_PROBE), QString::fromLatin1(mode)};
            request.standardInput = requestFor(box.path(), relatives, box.path()).encode();
            request.timeout = std::chrono::seconds(60);
            const ProcessResult result = runProcess(request);
            [&] { QVERIFY2(result.succeeded(), result.standardError.constData()); }();
            return result.standardOutput;
        };
        const QHash<qsizetype, int> answers =
            CleanAnswer::parse(probe("remove", {"locked/._a", "locked/inner/z", "denied", "own/._b", "gone/._c"}));
        QCOMPARE(answers, (QHash<qsizetype, int>{{0, EACCES}, {1, EACCES}, {2, EACCES}, {3, 0}, {4, 0}}));
        for (const char *kept : {"locked/._a", "locked/inner/z", "denied/x"})
            QVERIFY2(present(box.path(), kept), kept);
        QVERIFY(!present(box.path(), "own/._b"));

        const QList<QByteArray> checked = probe("check", {"locked/._a", "own/._b", "locked/inner/z"}).split('\n');
        QVERIFY(checked.contains("left 0") && checked.contains("gone 1") && checked.contains("left 2"));
    }

    // The stick is unmounted (umount -l) while held: the clean goes on, on
    // the stick, never in the bare mount-point folder that shows at its path;
    // neither that folder nor another stick mounted there later passes for it.
    void heldVolumeOutlivesItsMountPath()
    {
        for (const MountFixture::Kind kind : {MountFixture::Kind::Ext4, MountFixture::Kind::Fat32}) {
            if (const QString why = MountFixture::whyUnavailable(kind); !why.isEmpty())
                QSKIP(qPrintable(why));
            MountFixture fx;
            const QString point = fx.mountRoot() + QStringLiteral("/STICK");
            if (!newVolume(fx, kind, point))
                QSKIP(qPrintable(fx.lastError()));
            const QByteArray root = QFile::encodeName(point);
            QVERIFY(makeStickTree(root, "stick"));
            const FileItem top = scannedItem(root);
            const QList<FileItem> appleDouble = scannedBelow(root, kStickAppleDouble);
            const QList<FileItem> others = scannedBelow(root, kStickOthers);
            std::unique_ptr<HeldVolume> volume = hold(root);
            QVERIFY(volume);

            QVERIFY(unmountLazily(point) && !MountFixture::isMounted(point));
            int error = 0;
            QVERIFY2(!HeldVolume::open(root, top.device, top.inode, nullptr, &error) && error == ESTALE, kindName(kind));
            QVERIFY(makeStickTree(root, "planted"));   // the same names in the bare folder

            const DotClean::Tools tools{QStringLiteral(SWEEPBROOK_DOT_CLEAN)};
            QVERIFY2(quietly([&] { return DotClean::runDotClean(tools, *volume, appleDouble); }), kindName(kind));
            QVERIFY2(quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }), kindName(kind));
            const auto [removed, remaining] = quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(*volume, appleDouble); });
            QCOMPARE(removed.size(), appleDouble.size());
            const QList<int> errors = removeEach(*volume, others);
            QCOMPARE(errors, QList<int>(others.size(), 0));
            // The stick, seen through the held root: exactly what was counted is gone.
            for (const QByteArray &file : kStickAppleDouble + kStickOthers)
                QVERIFY2(!present(heldPath(*volume), file), file.constData());
            QVERIFY(present(heldPath(*volume), "keep.txt"));
            for (const QByteArray &file : kStickFiles)
                QCOMPARE(readFile(root + '/' + file), QByteArray("planted"));

            // Another stick at the same path (a kernel mount: FUSE wants an empty folder).
            QVERIFY2(newVolume(fx, MountFixture::Kind::Ext4, point), qPrintable(fx.lastError()));
            QVERIFY2(!HeldVolume::open(root, top.device, top.inode, nullptr, &error) && error == ESTALE, kindName(kind));
        }
    }

    // The FUSE daemon of a held FAT32 or exFAT stick dies: every removal
    // fails (ENOTCONN), nothing counts as removed, no listing passes, and
    // the stick, mounted again, still holds every item.
    void killedFuseDaemon()
    {
        for (const MountFixture::Kind kind : {MountFixture::Kind::Fat32, MountFixture::Kind::ExFat}) {
            if (const QString why = MountFixture::whyUnavailable(kind); !why.isEmpty())
                QSKIP(qPrintable(why));
            MountFixture fx;
            const QString point = fx.mountRoot() + QStringLiteral("/STICK");
            const std::optional<QString> loop = newVolume(fx, kind, point);
            if (!loop)
                QSKIP(qPrintable(fx.lastError()));
            const QByteArray root = QFile::encodeName(point);
            QVERIFY(makeStickTree(root, "stick"));
            // On the image before the daemon can die.
            QVERIFY(fx.unmount(point) && mountAt(fx, kind, *loop, point));
            const QList<FileItem> items = scannedBelow(root, kStickAppleDouble + kStickOthers);
            const QList<FileItem> appleDouble = items.mid(0, kStickAppleDouble.size());
            std::unique_ptr<HeldVolume> volume = hold(root);
            QVERIFY(volume);

            const pid_t daemon = fuseDaemon(point);
            QVERIFY2(daemon > 0 && ::kill(daemon, SIGKILL) == 0, kindName(kind));
            QVERIFY(waitUntilDead(daemon));
            QCOMPARE(removeEach(*volume, items), QList<int>(items.size(), ENOTCONN));
            const DotClean::Tools tools{QStringLiteral(SWEEPBROOK_DOT_CLEAN)};
            QVERIFY2(!quietly([&] { return DotClean::runDotClean(tools, *volume, appleDouble); }), kindName(kind));
            QVERIFY2(!quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }), kindName(kind));
            QVERIFY(quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(*volume, appleDouble); }).first.isEmpty());

            volume.reset();
            const QString again = fx.mountRoot() + QStringLiteral("/AGAIN");
            QVERIFY(fx.unmount(point) && mountAt(fx, kind, *loop, again));
            for (const QByteArray &file : kStickFiles)
                QCOMPARE(readFile(QFile::encodeName(again) + '/' + file), QByteArray("stick"));
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestHeldVolume)
#include "test_held_volume.moc"
