// The clean's way folder by folder (SystemCleanHelper's batch over a held
// volume): items of many folders in any order, folders that change between
// two of their items, folders removed whole before the items inside them,
// paths past PATH_MAX, and sticks whose inodes the kernel forgets while the
// clean runs. Every count is compared with the disk.

#include "BytePaths.h"
#include "DiskChecks.h"
#include "ForgetfulKernel.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include "cleaning/HeldVolume.h"
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <random>
#include <tuple>

#include <malloc.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace testsupport;

namespace {

using Items = QList<FileItem>;

struct Outcome
{
    Items deleted;
    Items failed;
};

// Everything judged as ourselves: nothing needs the administrator.
SystemCleanHelper::ProbeEnvironment ourselves()
{
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [] { return false; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.effectiveUid = [] { return ::geteuid(); };
    environment.hasEnvironmentVariable = [](const char *) { return false; };
    return environment;
}

Outcome clean(const std::shared_ptr<HeldVolume> &volume, const Items &items)
{
    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, ourselves());
    Outcome outcome;
    bool done = false;
    helper.batchClean(volume, items, std::nullopt, {}, [&](const Items &d, const Items &f) {
        outcome = {d, f};
        done = true;
    });
    scheduler.settle();
    [&] { QVERIFY(done); }();
    return outcome;
}

bool rename(const QByteArray &from, const QByteArray &to) { return ::rename(from.constData(), to.constData()) == 0; }

// While set, the kernel is made to forget what nothing holds on this device
// from inside the clean: after each removal and each folder let go.
std::atomic<const ForgetfulKernel *> g_forgetting{nullptr};
std::atomic<dev_t> g_forgottenDevice{0};

} // namespace

// Every removal and every handle the clean lets go comes through these.
extern "C" int unlinkat(int folder, const char *name, int flags) noexcept
{
    const int result = int(::syscall(SYS_unlinkat, folder, name, flags));
    const int error = errno;
    if (const ForgetfulKernel *kernel = g_forgetting.load())
        kernel->forget();
    errno = error;
    return result;
}

extern "C" int close(int fd) noexcept
{
    const ForgetfulKernel *kernel = g_forgetting.load();
    struct stat st{};
    const bool stickFolder = kernel && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == g_forgottenDevice;
    const int result = int(::syscall(SYS_close, fd));
    const int error = errno;
    if (stickFolder)
        kernel->forget();
    errno = error;
    return result;
}

class TestCleanByFolder : public QObject
{
    Q_OBJECT

private slots:
    // A folder's items come together, in their own order, and a folder
    // comes before the ones inside it, whatever bytes its siblings' names hold.
    void groupsByFolderInWalkOrder()
    {
        const QList<QByteArray> paths = {"a/b/x", "a-b/y", "a/z", "top", "a.b/w", "a/b/c/v", "a/q", "a/b/u", "b", "a/b/c/t"};
        const QList<qsizetype> order = byFolder(paths);
        QList<QByteArray> sorted;
        for (const qsizetype i : order)
            sorted << paths.at(i);
        const QList<QByteArray> expected = {"top", "b", "a/z", "a/q", "a/b/x", "a/b/u", "a/b/c/v", "a/b/c/t", "a-b/y", "a.b/w"};
        QCOMPARE(sorted, expected);
    }

    // Items of many folders, shuffled, with folders whose names sort around
    // a slash: every item is removed at its own path, the results keep the
    // caller's order and what is not listed stays.
    void itemsOfManyFoldersInAnyOrder()
    {
        Sandbox box;
        QByteArrayList files;
        for (const char *top : {"a", "a-b", "a.b", "a0"}) {
            for (QByteArray folder(top); folder.count('/') < 4; folder += "/s") {
                QVERIFY(makeDir(box / folder) && makeDir(box / (folder + "-x")));
                files << folder + "/f.tmp" << folder + "/g.tmp" << folder + "-x/f.tmp";
            }
        }
        for (const QByteArray &file : std::as_const(files))
            QVERIFY(writeFile(box / file, file) && writeFile(box / (file + ".keep"), file));
        std::shuffle(files.begin(), files.end(), std::mt19937(11));

        const Items items = scannedItems(files, box.path());
        const Outcome outcome = clean(holdVolume(box.path()), items);
        QCOMPARE(outcome.deleted.size(), items.size());
        for (qsizetype i = 0; i < items.size(); ++i)
            QCOMPARE(outcome.deleted.at(i).fsPath(), items.at(i).fsPath());
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        for (const QByteArray &file : std::as_const(files))
            QCOMPARE(readFile(box / (file + ".keep")), file);
    }

    // Whatever bytes a name holds, the clean's lines are those its text
    // gives: its path as people read file names in its own lines, as the
    // diagnostics read paths in the look at it, control characters escaped;
    // and each item removed counts once, however often told.
    void linesReadEveryName()
    {
        Sandbox box;
        const QByteArrayList names = {"plain.tmp", "caf\xe9.tmp", "c1\x85 gap\x81.tmp", "line\nbreak.tmp",
                                      "sep\xe2\x80\xa8.tmp", "\xe7\x85\xa7.tmp", "sub\xe9/x.tmp", "gone\xe9.tmp"};
        QVERIFY(makeDir(box / "sub\xe9"));
        for (const QByteArray &name : names)
            QVERIFY(writeFile(box / name));
        const Items items = scannedItems(names, box.path());
        QVERIFY(::unlink(box / "gone\xe9.tmp") == 0);   // gone since the scan: it counts as removed
        const std::shared_ptr<HeldVolume> volume = holdVolume(box.path());
        auto work = std::make_shared<VolumeWork>();
        volume->setWork(work);

        testsupport::StdoutCapture printed;
        const Outcome outcome = clean(volume, items);
        const QByteArray lines = printed.bytes();
        QCOMPARE(outcome.deleted.size(), items.size());

        QList<QByteArray> relatives;
        for (const QByteArray &name : names)
            relatives << name;
        const passwd *account = ::getpwuid(::geteuid());
        const QString owner = account ? QString::fromLocal8Bit(account->pw_name) : QString::number(::geteuid());
        testsupport::StdoutCapture expected;
        logLine(QStringLiteral("SystemCleanHelper: Starting batch clean for %1 files (after protection filter)").arg(items.size()));
        logLine(QStringLiteral("SystemCleanHelper: File system type: unknown"));
        for (const FileItem &item : items)
            logLine(QStringLiteral("SystemCleanHelper: Processing file: ") + item.path());
        for (const qsizetype i : byFolder(relatives)) {
            const QString text = pathText(items.at(i).fsPath());
            logLine(names.at(i).startsWith("gone") ? QStringLiteral("SystemCleanHelper: File does not exist: ") + text
                                                   : QStringLiteral("SystemCleanHelper: File ") + text
                                                         + QStringLiteral(" - Owner: ") + owner);
            logLine(QStringLiteral("SystemCleanHelper: File is regular: ") + items.at(i).path());
        }
        logLine(QStringLiteral("SystemCleanHelper: %1 regular files, 0 privileged files").arg(items.size()));
        for (const qsizetype i : byFolder(relatives))
            logLine(QStringLiteral("SystemCleanHelper: Deleted regular file: ") + items.at(i).path());
        logLine(QStringLiteral("SystemCleanHelper: No privileged files to delete"));
        logLine(QStringLiteral("SystemCleanHelper: Batch clean completed - Deleted: %1, Failed: 0").arg(items.size()));
        QCOMPARE(lines, expected.bytes());

        QCOMPARE(work->removedSoFar().size(), items.size());

        // One scan's items share an arena; the same path in another arena is the same item.
        PathIndex index;
        const FileItem x(index.arena(), index.add(box / "x"));
        const FileItem y(index.arena(), index.add(box / "y"));
        VolumeWork told;
        for (const FileItem &item : {x, y, x, FileItem(index.arena(), index.add(box / "x"))})
            told.removed(item);
        QCOMPARE(told.removedSoFar().size(), 2);
        told.stillPresent(x);
        told.removed(y);
        QCOMPARE(told.removedSoFar().size(), 1);

        // An item of another part of the arena (as the pre-search's) costs
        // its bit, not room for every node number below its own.
        PathIndex searched(index.arena(), PathIndex::Threads::one);
        const FileItem z(index.arena(), searched.add(box / "z"));
        const auto heap = [] { const struct mallinfo2 m = ::mallinfo2(); return m.uordblks + m.hblkhd; };
        VolumeWork apart;
        apart.removed(x);
        const size_t heapBefore = heap();
        apart.removed(z);
        QVERIFY(heap() - heapBefore < 1 << 20);
        QCOMPARE(apart.removedSoFar().size(), 2);
        told.removed(FileItem::fromNativePath(box / "y", 0));
        told.removed(FileItem::fromNativePath(box / "x", 0));
        QCOMPARE(told.removedSoFar().size(), 2);
        told.stillPresent(FileItem::fromNativePath(box / "y", 0));
        told.removed(x);
        QCOMPARE(told.removedSoFar().size(), 1);
        QCOMPARE(told.removedSoFar().first().fsPath(), box / "x");
    }

    // A folder kept from one batch to the next is replaced (by a link to
    // outside, by another folder with the same names, or a folder above it
    // is): its next item is refused, and nothing outside, nor the moved
    // folder's item, is touched.
    void folderReplacedBetweenTwoOfItsItems_data()
    {
        QTest::addColumn<QByteArray>("folder");   // the one replaced
        QTest::addColumn<bool>("byLink");
        QTest::newRow("folder by a link") << QByteArray("A/B") << true;
        QTest::newRow("folder by a folder") << QByteArray("A/B") << false;
        QTest::newRow("one above by a link") << QByteArray("A") << true;
        QTest::newRow("one above by a folder") << QByteArray("A") << false;
    }
    void folderReplacedBetweenTwoOfItsItems()
    {
        QFETCH(QByteArray, folder);
        QFETCH(bool, byLink);
        Sandbox box;
        Sandbox outside;
        // "0" comes before "A": the first batch ends in A/B, and keeps it.
        QVERIFY(makeTree(box.path(), {"A/", "A/B/", "A/B/x1", "A/B/x2", "0/", "0/y"}));
        QVERIFY(makeTree(outside.path(), {"B/", "B/x2", "x2"}));
        const QStringList outsideBefore = snapshot(outside.path());
        const std::shared_ptr<HeldVolume> volume = holdVolume(box.path());
        const Items first = scannedItems({"A/B/x1", "0/y"}, box.path());
        const Items second = scannedItems({"A/B/x2"}, box.path());

        const Outcome one = clean(volume, first);
        QCOMPARE(one.deleted.size(), 2);
        VERIFY_COUNTS(one.deleted, one.failed, first);

        QVERIFY(rename(box / folder, box / (folder + ".moved")));
        if (byLink)
            QVERIFY(makeLink(outside.path() + (folder == "A" ? "" : "/B"), box / folder));
        else
            QVERIFY(makeTree(box.path(), folder == "A" ? QByteArrayList{"A/", "A/B/", "A/B/x2"} : QByteArrayList{"A/B/", "A/B/x2"}));
        const QStringList replacedBefore = snapshot(box.path());

        const Outcome two = clean(volume, second);
        QCOMPARE(two.failed.size(), 1);
        const int why = two.failed.first().failure;
        QVERIFY2(why == ESTALE || why == ENOENT, qPrintable(QString::number(why)));
        QCOMPARE(snapshot(box.path()), replacedBefore);
        QCOMPARE(snapshot(outside.path()), outsideBefore);
        const QByteArray moved = folder == "A" ? "A.moved/B/x2" : "A/B.moved/x2";
        QVERIFY(exists(box / moved));
    }

    // Folders entered from the root never cross a mount: one of the same
    // file system bound inside (st_dev alone cannot tell it) or another one.
    void entersNoMount()
    {
        if (geteuid() != 0)
            QSKIP("mounting needs root");
        Sandbox box;
        QVERIFY(makeTree(box.path(), {"sub/", "sub/x", "bindpoint/", "holder/", "holder/mnt/", "holder/beside"}));
        MountFixture fx;   // unmounts before the box goes
        QVERIFY2(fx.mountWith({QStringLiteral("--bind"), QFile::decodeName(box / "sub")}, QFile::decodeName(box / "bindpoint")),
                 qPrintable(fx.lastError()));
        if (!fx.mountWith({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")},
                          QFile::decodeName(box / "holder/mnt")))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") + fx.lastError()));
        QVERIFY(writeFile(box / "holder/mnt/inside", "mounted"));
        const Items items = scannedItems({"holder/mnt/inside", "bindpoint/x", "holder/beside"}, box.path());
        const Outcome outcome = clean(holdVolume(box.path()), items);
        QCOMPARE(outcome.failed.size(), 2);
        for (const FileItem &item : outcome.failed)
            QCOMPARE(item.failure, EXDEV);
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QVERIFY(readFile(box / "holder/mnt/inside") == "mounted" && exists(box / "sub/x") && !exists(box / "holder/beside"));
    }

    // A folder listed with items inside it, in any order: the folder goes
    // whole, the items inside count as gone with it, nothing else is touched.
    void folderRemovedWholeBeforeItsItems()
    {
        Sandbox box;
        QVERIFY(makeTree(box.path(), {"F/", "F/a", "F/sub/", "F/sub/b", "G/", "G/c", "G/keep", "F2/", "F2/d"}));
        const QByteArrayList listed = {"F/sub/b", "G/c", "F", "F/a", "F2/d", "F/sub"};
        const Items items = scannedItems(listed, box.path());
        const Outcome outcome = clean(holdVolume(box.path()), items);
        QCOMPARE(outcome.deleted.size(), items.size());
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QVERIFY(!exists(box / "F") && exists(box / "G/keep") && exists(box / "F2"));
    }

    // Junk on every level costs a clean as many system calls 100 folders
    // deep as 10 deep: each folder on the way is confirmed once, not again
    // for every folder below it. The same 1,000 items and folders, in 100
    // chains of 10 and in 10 chains of 100, cleaned by the ordinary batch in
    // a child process that strace counts.
    void costPerItemIndependentOfDepth()
    {
        const QString strace = MountFixture::tool(QStringLiteral("strace"));
        if (strace.isEmpty())
            QSKIP("strace is not installed: it counts the clean's system calls");
        qint64 calls[2] = {};
        for (const int depth : {10, 100}) {
            Sandbox box;
            QByteArrayList files;
            for (int chain = 0; chain < 1000 / depth; ++chain) {
                const QByteArray top = "c" + QByteArray::number(chain);
                QVERIFY(makeDir(box / top));
                QByteArrayList levels;
                for (int level = 0; level < depth; ++level) {
                    levels << "L" + QByteArray::number(level);
                    QVERIFY(makeChain(box / top, levels, ".DS_Store") && makeChain(box / top, levels, "Notes.txt"));
                    files << top + '/' + levels.join('/') + "/.DS_Store";
                }
            }
            const QList<FileItem> items = scannedItems(files, box.path());
            const QString counts = QFile::decodeName(box / "counts");
            const ToolRun run = runTool({strace, QStringLiteral("-f"), QStringLiteral("-c"), QStringLiteral("-o"), counts,
                                         QStringLiteral(SWEEPBROOK_CLEAN_PROBE), QStringLiteral("clean"),
                                         QStringLiteral(SWEEPBROOK_ADMIN_CLEAN)},
                                        requestFor(box.path(), items).encode());
            if (run.exitCode != 0 && run.errors.startsWith("strace:"))
                QSKIP(qPrintable(QStringLiteral("strace cannot trace here: ") + QString::fromUtf8(run.errors.left(200))));
            QVERIFY2(run.answers.size() == items.size() && run.answers.keys(0).size() == items.size(),
                     qPrintable(QString::fromUtf8(run.errors.right(2000))));
            for (const QByteArray &file : std::as_const(files))
                QVERIFY(!exists(box / file) && exists(box / file.chopped(9) + "Notes.txt"));
            // The summary's last line: "100.00 <seconds> <usecs/call> <calls> [<errors>] total".
            const QByteArrayList total = readFile(box / "counts").trimmed().split('\n').constLast().simplified().split(' ');
            QVERIFY2(total.size() >= 5 && total.constLast() == "total", total.join(' ').constData());
            calls[depth == 100] = total.at(3).toLongLong();
        }
        QVERIFY2(calls[1] < calls[0] * 5 / 4, qPrintable(QStringLiteral("%1 system calls 10 deep, %2 100 deep")
                                                              .arg(calls[0]).arg(calls[1])));
    }

    void forgottenByTheKernel_data() { ForgottenStick::rows(); }

    // FAT and exFAT hand an item a new inode number each time the kernel
    // reads it in again. Forgotten between the scan and the clean, and again
    // after every removal and every folder let go during it, a stick is still
    // cleaned of all that stayed as the scan found it: through chains deeper
    // than the handles the clean keeps, over one held volume in two passes
    // (the second coming back into the first's deep chain), while what
    // changed since the scan stays.
    void forgottenByTheKernel()
    {
        QFETCH(int, kind);
        ForgottenStick stick;
        MAKE_FORGOTTEN_STICK(stick, MountFixture::Kind(kind));
        const ForgetfulKernel &kernel = stick.kernel;
        const QByteArray &root = stick.root;
        const JunkSinceTheScan &junk = stick.junk;
        const Items &items = stick.items;

        // The first pass ends at the bottom of c0's chain; the second starts
        // on its way down, among folders whose handles were let go.
        QByteArray comeBack = root + "/c0";
        for (int level = 1; level <= 35; ++level)
            comeBack += "/l" + QByteArray::number(level);
        Items first;
        Items second;
        for (const FileItem &item : items)
            (item.fsPath().startsWith(root + "/c1/") || item.fsPath() == comeBack + "/.DS_Store" ? second : first) << item;
        QVERIFY(second.size() == 41 && first.constLast().fsPath().count('/') > second.constFirst().fsPath().count('/'));
        const std::shared_ptr<HeldVolume> volume = holdVolume(root);
        QVERIFY(volume && volume->numbers() == pathhandles::ItemNumbers::renewed);
        g_forgottenDevice = dev_t(volume->device());
        g_forgetting = &kernel;
        const Outcome one = clean(volume, first);
        QVERIFY(kernel.forget());
        const Outcome two = clean(volume, second);
        g_forgetting = nullptr;

        const Items failed = one.failed + two.failed;
        QByteArrayList refused;
        for (const FileItem &item : failed) {
            refused << item.fsPath().mid(root.size() + 1);
            QCOMPARE(item.failure, ESTALE);
        }
        std::sort(refused.begin(), refused.end());
        QByteArrayList changed = junk.changed;
        std::sort(changed.begin(), changed.end());
        QCOMPARE(refused, changed);
        VERIFY_COUNTS(one.deleted + two.deleted, failed, items);
        for (const QByteArray &file : std::as_const(junk.kept))
            QCOMPARE(readFile(root + '/' + file), file);
    }

    // Items past PATH_MAX, at several depths of a long chain and of a chain
    // deeper than the handles kept open, shuffled: each is removed at its own
    // path, with the same name everywhere, and every handle is given back.
    // Branches off the deep chain are reached after the chain below them, so
    // the folders they share with it are reached again through "..".
    void deepPathsBeyondPathMax()
    {
        Sandbox box;
        const QByteArray longName(200, 'L');
        QVERIFY(makeDir(box / "long") && makeChain(box / "long", longName, 40, "leaf"));
        QVERIFY(makeDir(box / "deep") && makeChain(box / "deep", "d", 120, "bottom"));
        QByteArrayList files;
        QByteArrayList kept;
        for (const auto &[top, name, levels, step] : {std::tuple(QByteArray("long"), longName, 40, 5),
                                                      std::tuple(QByteArray("deep"), QByteArray("d"), 120, 7)}) {
            for (int level = 0; level <= levels; level += step) {
                const QByteArray folder = top + ('/' + name).repeated(level);
                files << folder + "/._f";
                kept << folder + "/._g";
                QVERIFY(makeChain(box / top, QByteArrayList(level, name), "._f")
                        && makeChain(box / top, QByteArrayList(level, name), "._g"));
            }
        }
        for (const int level : {40, 90}) {
            const QByteArrayList way = QByteArrayList(level, "d") << "e";
            files << "deep/" + way.join('/') + "/._f";
            kept << "deep/" + way.join('/') + "/._g";
            QVERIFY(makeChain(box / "deep", way, "._f") && makeChain(box / "deep", way, "._g"));
        }
        std::shuffle(files.begin(), files.end(), std::mt19937(5));
        const Items items = scannedItems(files, box.path());
        QVERIFY(std::any_of(items.cbegin(), items.cend(), [](const FileItem &item) { return item.fsPath().size() > PATH_MAX; }));

        const int handles = openDescriptors();
        const Outcome outcome = clean(holdVolume(box.path()), items);
        QCOMPARE(openDescriptors(), handles);
        QCOMPARE(outcome.deleted.size(), items.size());
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        for (const QByteArray &file : std::as_const(kept))
            QVERIFY2(lookAt(box / file) == 0, file.right(40).constData());
    }
};

SWEEPBROOK_TEST_MAIN(TestCleanByFolder)
#include "test_clean_by_folder.moc"
