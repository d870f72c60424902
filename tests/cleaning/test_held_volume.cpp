// Removal through a held volume (HeldVolume, SafeRemove), our dot_clean tool
// and the checks around it: on temporary folders, on real ext4, FAT32 and
// exFAT volumes that are unmounted, replaced or lose their FUSE daemon while
// held, and as an unprivileged user. Every count is compared with the disk.

#include "BytePaths.h"
#include "DiskChecks.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include "cleaning/CleanRequest.h"
#include "cleaning/DotClean.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"

#include <QDebug>
#include <QDir>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kDotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);

// removeScanned's errno per item (0: removed; -1: a failure that does not say why).
QList<int> removeEach(HeldVolume &volume, const QList<FileItem> &items)
{
    QList<int> errors;
    for (const FileItem &item : items) {
        const SafeRemove::Outcome outcome =
            SafeRemove::removeScanned(volume, volume.relativePath(item.fsPath()).value_or(QByteArray()), item);
        errors << (outcome.error != 0 && outcome.message.isEmpty() ? -1 : outcome.error);
    }
    return errors;
}

bool rename(const QByteArray &from, const QByteArray &to) { return ::rename(from.constData(), to.constData()) == 0; }

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

    // A clean holds only the root it scanned (same device, same root folder),
    // and below it neither enters nor removes a mount.
    void holdsOnlyItsRootAndEntersNoMount()
    {
        Sandbox box;
        QVERIFY(makeTree(box.path(), {"sub/", "sub/x", "link -> sub", "bindpoint/", "holder/", "holder/mnt/", "holder/beside"}));
        const FileItem top = scannedItem(box.path());
        const FileItem bindpoint = scannedItem(box / "bindpoint");
        const std::tuple<const char *, QByteArray, quint64, quint64, int> rows[] = {
            {"the scanned root", box.path(), top.device, top.inode, 0},
            {"inode not known", box.path() + '/', top.device, 0, 0},
            {"another device", box.path(), top.device + 1, top.inode, ESTALE},
            {"another root folder", box / "sub", top.device, top.inode, ESTALE},
            {"a link to it", box / "link", top.device, scannedItem(box / "sub").inode, ENOTDIR},
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

        if (geteuid() != 0)
            QSKIP("mounting needs root");
        MountFixture fx;   // unmounts (lazily if busy) before the box goes
        // A folder of the same file system bound at the root's path (st_dev
        // alone cannot tell it), and a tmpfs below the root.
        QVERIFY2(fx.mountWith({QStringLiteral("--bind"), QFile::decodeName(box / "sub")}, QFile::decodeName(box / "bindpoint")),
                 qPrintable(fx.lastError()));
        int error = 0;
        QVERIFY(!HeldVolume::open(box / "bindpoint", bindpoint.device, bindpoint.inode, nullptr, &error) && error == ESTALE);
        const QStringList tmpfs = {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")};
        if (!fx.mountWith(tmpfs, QFile::decodeName(box / "holder/mnt")))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") + fx.lastError()));
        QVERIFY(writeFile(box / "holder/mnt/inside", "mounted"));
        const std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
        const QList<FileItem> items =
            scannedItems({"holder/mnt", "holder", "bindpoint", "holder/mnt/inside", "bindpoint/x"}, box.path());
        QCOMPARE(removeEach(*volume, items), QList<int>(items.size(), EXDEV));
        QVERIFY(readFile(box / "holder/mnt/inside") == "mounted" && exists(box / "sub/x"));
    }

    // Only the item the scan saw is removed, the folder's links and odd names
    // with it but nothing through them, and the count says what the disk shows.
    void removeScannedOnlyTheScannedItem()
    {
        using Change = std::function<bool(const QByteArray &box, FileItem &item)>;
        // `name` moved aside to "<name>.old", and `made` in its place.
        const auto swap = [](const QByteArray &name, const QByteArrayList &made) -> Change {
            return [=](const QByteArray &box, FileItem &) {
                return rename(box + '/' + name, box + '/' + name + ".old") && makeTree(box, made);
            };
        };
        struct Row { const char *name; QByteArray item; Change change; int error; QByteArrayList kept; };
        const Row rows[] = {
            {"file removed", "d/x.tmp", {}, 0, {"d"}},
            {"gone already", "d/x.tmp", swap("d/x.tmp", {}), 0, {"d/x.tmp.old"}},
            {"its folder gone", "d/x.tmp", swap("d", {}), 0, {"d.old/x.tmp"}},
            {"folder with links and undecodable names", "folder", {}, 0, {"real/victim"}},
            {"a folder on the way became a file", "d/x.tmp", swap("d", {"d"}), ENOTDIR, {"d", "d.old/x.tmp"}},
            {"folder became a file", "cache", swap("cache", {"cache"}), ESTALE, {"cache", "cache.old/x"}},
            {"folder replaced by another", "cache", swap("cache", {"cache/", "cache/y"}), ESTALE, {"cache/y", "cache.old/x"}},
            {"link retargeted", "fileLink", swap("fileLink", {"fileLink -> d"}), ESTALE, {"fileLink"}},
            {"never examined", "d/x.tmp", [](const QByteArray &, FileItem &item) { item.kind = ItemKind::unknown; return true; },
             ESTALE, {"d/x.tmp"}},
            {"scanned on another device", "d/x.tmp", [](const QByteArray &, FileItem &item) { return ++item.device; }, ESTALE,
             {"d/x.tmp"}},
        };
        for (const Row &row : rows) {
            Sandbox box;
            Sandbox outside;
            QVERIFY(makeTree(outside.path(), {"canary", "inner/", "inner/file"}));
            QVERIFY(makeTree(box.path(), {"d/", "d/x.tmp", "cache/", "cache/x", "real/", "real/victim", "folder/", "folder/sub/",
                                          "fileLink -> " + outside / "canary", "folder/bad\xff/", "folder/sub/\xff\xfe",
                                          "folder/bad\xff/y", "folder/ln -> " + outside.path(),
                                          "folder/sub/ln2 -> " + outside / "canary"}));
            const QStringList outsideBefore = snapshot(outside.path());
            const std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
            FileItem item = scannedItem(box / row.item);
            QVERIFY2(!row.change || row.change(box.path(), item), row.name);
            const QList<int> errors = removeEach(*volume, {item});
            const QString disagreement = countsDisagree({item}, errors);
            QVERIFY2(errors.first() == row.error && disagreement.isEmpty(),
                     qPrintable(QStringLiteral("%1: %2 %3").arg(row.name).arg(errors.first()).arg(disagreement)));
            for (const QByteArray &path : row.kept)
                QVERIFY2(exists(box / path), (row.name + (": " + path)).constData());
            QCOMPARE(snapshot(outside.path()), outsideBefore);
        }
    }

    // Past PATH_MAX and 3000 folders deep: removed through the held root,
    // counted exactly. The folders on the way are kept open from item to
    // item: whatever the order, across siblings and more than 32 levels down
    // (where handles are closed and opened again), every item is reached at
    // its own path, with a bounded number of handles.
    void longPathsDeepTreesAndFolderHandles()
    {
        Sandbox box;
        const QByteArray longName(200, 'L');
        QVERIFY(makeDir(box / "long") && makeChain(box / "long", longName, 40, "leaf"));
        QVERIFY(makeDir(box / "deep") && makeChain(box / "deep", "d", 3000, "bottom"));
        const FileItem leaf = scannedItem(box / "long" + ('/' + longName).repeated(40) + "/leaf");
        QVERIFY(leaf.fsPath().size() > PATH_MAX && leaf.hasIdentity());
        QByteArrayList files;
        for (const char *top : {"s0", "s1", "s2"}) {
            QVERIFY(makeTree(box.path(), {top + QByteArray("/"), top + QByteArray("/n/")}));
            files << QByteArray(top) + "/._f" << QByteArray(top) + "/n/._f";
        }
        for (QByteArray folder = "many"; folder.count('/') < 100; folder += "/c") {
            QVERIFY(makeDir(box / folder));
            files << folder + "/._f";   // one name everywhere: a wrong folder would not go unnoticed
        }
        for (const QByteArray &file : std::as_const(files))
            QVERIFY(writeFile(box / file, file));
        std::shuffle(files.begin(), files.end(), std::mt19937(7));

        const int before = openDescriptors();
        std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
        // Every other file goes; the rest must still be found where they are.
        QList<FileItem> removed = {leaf, leaf, scannedItem(box / "long"), scannedItem(box / "deep")};
        for (qsizetype i = 0; i < files.size(); i += 2)
            removed << scannedItem(box / files.at(i));
        const QList<int> errors = removeEach(*volume, removed);
        QCOMPARE(errors, QList<int>(removed.size(), 0));
        VERIFY_COUNTS(removed, errors);
        for (qsizetype i = 0; i < files.size(); ++i) {
            QCOMPARE(volume->look(files.at(i)).error, i % 2 ? 0 : ENOENT);
            if (i % 2)
                QCOMPARE(readFile(box / files.at(i)), files.at(i));
        }
        // At the bottom the volume keeps the shallow folders and the last one open, not all 100.
        QCOMPARE(volume->look("many" + QByteArray("/c").repeated(99) + "/._f").error, 0);
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
        const QByteArrayList names = {"A/x1", "A/x2", "A" + QByteArray("/c").repeated(40) + "/xd",
                                      "A" + QByteArray("/c").repeated(36) + "/xm", "A/B/x3", "Z/y", "A/x5"};
        QVERIFY(makeTree(box.path(), {"A/", "A/B/", "Z/"}) && makeChain(box / "A", "c", 40, "xd"));
        QVERIFY(makeTree(outside.path(), {"c/", "B/", "x1", "x2", "B/x3", "x5"}));
        for (const QByteArray &name : names)
            QVERIFY(exists(box / name) || writeFile(box / name, name));
        const QStringList outsideBefore = snapshot(outside.path());
        const QList<FileItem> items = scannedItems(names, box.path());
        std::unique_ptr<HeldVolume> volume = holdVolume(box.path());

        QList<int> errors = removeEach(*volume, items.mid(0, 1));
        QVERIFY(rename(box / "A", box / "A.moved") && makeLink(outside.path(), box / "A"));
        errors += removeEach(*volume, items.mid(1));
        QString text;
        QDebug(&text) << errors;
        QVERIFY2(errors.first() == 0 && !errors.contains(ESTALE) && !errors.contains(-1), qPrintable(text));
        QVERIFY2(errors.last() == ENOTDIR || errors.last() == ELOOP, qPrintable(text));   // A looked up again
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QByteArray now = names.at(i).startsWith("A/") ? "A.moved" + names.at(i).mid(1) : names.at(i);
            QVERIFY2(exists(box / now) == (errors.at(i) != 0), qPrintable(now + ": " + text));
        }
        QCOMPARE(snapshot(outside.path()), outsideBefore);
    }

    // The tool removes only regular "._" files that are still the scanned
    // ones, reached from its working directory without links, and answers
    // per item in agreement with the disk. "@out" stands for a folder
    // outside the volume.
    void dotCleanToolRemovesExactlyWhatItIsHanded()
    {
        enum class Twist { none, byPath, replacedFile, replacedByFolder, otherRoot, otherDevice, notARequest, hugeCount, usage };
        struct Row { const char *name; QByteArrayList items; Twist twist; int exitCode; QList<int> answers; QByteArrayList gone; };
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
            const QByteArrayList files = {"._a", "sub/._b", "sub/._c\xff", "._keep", "plain", "._x", "._dir/f", "._fifo"};
            QVERIFY(makeTree(box.path(), {"sub/", "._dir/", "._dir/f", "._a", "sub/._b", "sub/._c\xff", "._keep", "plain",
                                          "._x -> " + outside / "canary", "out -> " + outside.path()}));
            QVERIFY(makeTree(outside.path(), {"canary", "._y"}) && ::mkfifo(box / "._fifo", 0644) == 0);
            const QStringList outsideBefore = snapshot(outside.path());

            QByteArrayList names = row.items;
            for (QByteArray &name : names)
                name.replace("@outname", outside.path().mid(outside.path().lastIndexOf('/') + 1)).replace("@out", outside.path());
            CleanRequest request = requestFor(box.path(), scannedItems(names, box.path()), ".");
            request.rootInode += row.twist == Twist::otherRoot;
            request.device += row.twist == Twist::otherDevice;
            QByteArray input = request.encode();
            if (row.twist == Twist::notARequest)
                input = QByteArray("._a\0", 4);
            else if (row.twist == Twist::hugeCount)   // four times the count wraps to the zero items that follow
                input = input.left(input.indexOf(QByteArrayView("\0" "1\0" "._a", 6)) + 1) + "4611686018427387904" + '\0';
            if (row.twist == Twist::replacedFile)
                QVERIFY(rename(box / "._a", box / "moved") && writeFile(box / "._a", "new"));
            if (row.twist == Twist::replacedByFolder)
                QVERIFY(rename(box / "._a", box / "moved") && makeTree(box.path(), {"._a/", "._a/thesis.docx"}));

            const std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
            QStringList command{kDotClean};
            if (row.twist == Twist::usage)
                command << QStringLiteral(".");
            const ToolRun run = runTool(command, input, [&](ProcessRequest &process) {
                if (row.twist == Twist::byPath)
                    process.workingDirectory = QFile::decodeName(box.path());
                else
                    process.workingDirectoryFd = volume->rootFd();
            });
            QHash<qsizetype, int> expected;
            for (qsizetype i = 0; i < row.answers.size(); ++i)
                expected.insert(i, row.answers.at(i));
            const qsizetype failures = row.answers.size() - row.answers.count(0);
            // One answer per item, and besides only the line that says the tool runs.
            const qsizetype lines = run.output.count('\n') - run.output.count("working\n");
            QVERIFY2(run.exitCode == row.exitCode && run.answers == expected && lines == run.answers.size()
                         && (row.exitCode == 2 ? !run.errors.isEmpty() : run.errors.count('\n') == failures),
                     qPrintable(QStringLiteral("%1: exit %2, %3%4").arg(row.name).arg(run.exitCode)
                                    .arg(QString::fromUtf8(run.output), QString::fromUtf8(run.errors))));
            for (auto it = run.answers.cbegin(); it != run.answers.cend(); ++it)
                QVERIFY2(it.value() != 0 || !exists(box / names.at(it.key())), row.name);
            for (const QByteArray &path : files)
                QVERIFY2(exists(box / path) != row.gone.contains(path), (row.name + (": " + path)).constData());
            QCOMPARE(snapshot(outside.path()), outsideBefore);
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
        QVERIFY(makeTree(box.path(), {"sub/", "._a", "sub/._b", "._unexamined"}) && makeTree(outside.path(), {"._z", "canary"}));
        const std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
        const DotClean::Tools tools{kDotClean};
        const auto run = [&volume](const DotClean::Tools &with, const QList<FileItem> &items) {
            return quietly([&] { return DotClean::runDotClean(with, *volume, items).ok; });
        };
        QVERIFY(run(tools, {scannedItem(box / "._a"), FileItem::fromNativePath(box / "._unexamined", 1),
                            scannedItem(box / "sub/._b"), scannedItem(outside / "._z")}));
        QVERIFY(!exists(box / "._a") && !exists(box / "sub/._b") && exists(outside / "._z"));
        QVERIFY(::unlink(box / "._unexamined") == 0);
        // Exit 1, but what remains sits in a subfolder: the root listing passes.
        QVERIFY(makeLink(outside / "canary", box / "sub/._l"));
        QVERIFY(run(tools, {scannedItem(box / "sub/._l")}) && exists(box / "sub/._l"));
        // Exit 1 and the root still lists one (a folder, which the tool refuses).
        QVERIFY(makeDir(box / "._x"));
        QVERIFY(!run(tools, {scannedItem(box / "._x")}));
        DotClean::Tools missing = tools;
        missing.dotClean = QFile::decodeName(stubs / "no-such-tool");
        QVERIFY(!run(missing, {scannedItem(box / "._x")}));
        // Each "removed" the tool answered counts whatever its exit status (its
        // volume may have died half-way), unless the item is plainly still there.
        QVERIFY(writeFile(stubs / "answers", "#!/bin/sh\ncat >/dev/null\nprintf 'removed 0\\nremoved 1\\nfailed 2 5\\n'\nexit 1\n",
                          0755));
        QVERIFY(writeFile(box / "._gone") && writeFile(box / "._kept") && writeFile(box / "._left"));
        const QList<FileItem> answered = scannedItems({"._gone", "._kept", "._left"}, box.path());
        QVERIFY(::unlink(box / "._gone") == 0);
        DotClean::Tools answering = tools;
        answering.dotClean = QFile::decodeName(stubs / "answers");
        const DotClean::Run partial = quietly([&] { return DotClean::runDotClean(answering, *volume, answered); });
        QVERIFY(!partial.ok);
        QCOMPARE(pathsOf(partial.removed), QByteArrayList{box / "._gone"});
        QVERIFY(::unlink(box / "._kept") == 0 && ::unlink(box / "._left") == 0);
        QCOMPARE(readFile(outside / "canary"), QByteArray("canary"));

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
        QVERIFY(::rmdir(box / "._x") == 0 && writeFile(box / "._my photo.jpg"));
        QVERIFY(!quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }));
        QVERIFY(::unlink(box / "._my photo.jpg") == 0 && makeLink("._target", box / "link to ._target"));
        QVERIFY(quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }));

        // Removed only when the held volume answers ENOENT.
        QVERIFY(makeTree(box.path(), {"._x/", "._bad\xff", "._dangling -> nowhere", "lnk -> " + outside.path(), "plain"}));
        QList<FileItem> items;
        for (const QByteArray name : {"._gone1", "._x", "._bad\xff", "._dangling", "lnk/._z", "plain/._q", "gone/._z"})
            items << FileItem::fromNativePath(box / name, 1);
        items << FileItem::fromNativePath(outside / "._z", 1);
        const auto [removed, remaining] = quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(*volume, items); });
        QCOMPARE(pathsOf(removed), (QByteArrayList{box / "._gone1", box / "gone/._z"}));
        QCOMPARE(pathsOf(remaining), pathsOf(items.mid(1, 5) + items.mid(7)));
    }

    // As an ordinary account: in a folder it may read but not search or
    // write, items stay and count as failed (EACCES); in its own folder they go.
    void unprivilegedRemoval()
    {
        const QString probe = QStringLiteral(SWEEPBROOK_CLEAN_PROBE);
        if (const QString why = whyNotAsNobody(probe); !why.isEmpty())
            QSKIP(qPrintable(why));
        Sandbox box;
        QVERIFY(makeTree(box.path(), {"locked/", "locked/._a", "locked/inner/", "locked/inner/z", "denied/", "denied/x", "own/",
                                      "own/._b"}));
        for (const char *folder : {"locked", "denied"})
            QVERIFY(::chmod(box / folder, 0744) == 0);
        QVERIFY(::chmod(box.path(), 0755) == 0 && ::chown(box / "own", 65534, 65534) == 0);
        const auto answers = [&](const char *mode, const QByteArrayList &names) {
            return runTool(asNobody() << probe << QString::fromLatin1(mode),
                           requestFor(box.path(), scannedItems(names, box.path())).encode()).answers;
        };
        QCOMPARE(answers("remove", {"locked/._a", "locked/inner/z", "denied", "own/._b", "gone/._c"}),
                 (QHash<qsizetype, int>{{0, EACCES}, {1, EACCES}, {2, EACCES}, {3, 0}, {4, 0}}));
        for (const char *path : {"locked/._a", "locked/inner/z", "denied/x", "own/._b"})
            QVERIFY2(exists(box / path) == (path[0] != 'o'), path);
        QCOMPARE(answers("check", {"locked/._a", "own/._b", "locked/inner/z"}),
                 (QHash<qsizetype, int>{{0, -1}, {1, 0}, {2, -1}}));
    }

    // The stick is unmounted (umount -l) while held: the clean goes on, on
    // the stick, never in the bare mount-point folder that shows at its path;
    // neither that folder nor another stick mounted there later passes for
    // it. Or the FUSE daemon of a FAT32 or exFAT stick dies: every removal
    // fails (ENOTCONN), nothing counts as removed, no listing passes, and the
    // stick, mounted again, still holds every item.
    void heldVolumeLosesItsMount()
    {
        using Kind = MountFixture::Kind;
        for (const auto &[kind, killed] :
             {std::pair{Kind::Ext4, false}, {Kind::Fat32, false}, {Kind::Fat32, true}, {Kind::ExFat, true}}) {
            MountFixture fx;
            const QString point = fx.mountRoot() + QStringLiteral("/STICK");
            const std::optional<QString> loop = fx.mountNew(kind, point);
            if (!loop)
                QSKIP(qPrintable(fx.lastError()));
            const QByteArray root = QFile::encodeName(point);
            QVERIFY(makeStickTree(root, "stick"));
            if (killed)   // on the image before the daemon can die
                QVERIFY(fx.unmount(point) && fx.mountLoop(kind, *loop, point));
            const FileItem top = scannedItem(root);
            const QList<FileItem> appleDouble = scannedItems(kStickAppleDouble, root);
            const QList<FileItem> others = scannedItems(kStickOthers, root);
            std::unique_ptr<HeldVolume> volume = holdVolume(root);
            QVERIFY(volume);

            int error = 0;
            if (killed) {
                QVERIFY(MountFixture::killDaemon(MountFixture::fuseDaemon(point)));
            } else {
                QVERIFY(MountFixture::unmountLazily(point) && !MountFixture::isMounted(point));
                QVERIFY(!HeldVolume::open(root, top.device, top.inode, nullptr, &error) && error == ESTALE);
                QVERIFY(makeStickTree(root, "planted"));   // the same names in the bare folder
            }
            const DotClean::Tools tools{kDotClean};
            QCOMPARE(removeEach(*volume, others), QList<int>(others.size(), killed ? ENOTCONN : 0));
            QCOMPARE(quietly([&] { return DotClean::runDotClean(tools, *volume, appleDouble).ok; }), !killed);
            QCOMPARE(quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(tools, *volume); }), !killed);
            const auto removed = quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(*volume, appleDouble); }).first;
            QCOMPARE(removed.size(), killed ? 0 : appleDouble.size());

            if (killed) {
                volume.reset();
                const QString again = fx.mountRoot() + QStringLiteral("/AGAIN");
                QVERIFY(fx.unmount(point) && fx.mountLoop(kind, *loop, again));
                for (const QByteArray &file : kStickFiles)
                    QCOMPARE(readFile(QFile::encodeName(again) + '/' + file), QByteArray("stick"));
                continue;
            }
            // The stick, seen through the held root: exactly what was counted is gone.
            for (const QByteArray &file : kStickAppleDouble + kStickOthers + QByteArrayList{"keep.txt"})
                QCOMPARE(lookBelow(volume->rootFd(), file) == 0, file == "keep.txt");
            for (const QByteArray &file : kStickFiles)
                QCOMPARE(readFile(root + '/' + file), QByteArray("planted"));
            // Another stick at the same path (a kernel mount: FUSE wants an empty folder).
            QVERIFY2(fx.mountNew(Kind::Ext4, point), qPrintable(fx.lastError()));
            QVERIFY(!HeldVolume::open(root, top.device, top.inode, nullptr, &error) && error == ESTALE);
        }
    }

    // Its user takes a folder back out of the trash while the clean empties
    // the trash (the clean pauses for it after its 100th entry): nothing more
    // goes, from the folder moved or from the rest of the trash, and the
    // trash fails as no longer what the scan found, its count agreeing with
    // the disk. fusefat loses what a folder it renames holds, so there the
    // number of entries removed is what tells.
    void folderMovedOutWhileEmptied()
    {
        using Kind = MountFixture::Kind;
        for (const Kind kind : {Kind::Ext4, Kind::Fat32, Kind::ExFat}) {
            // The tree is written before the stick is mounted where fusefat would take seconds.
            const auto fill = [](const QByteArray &base) {
                QByteArrayList tree = {".Trashes/", ".Trashes/restore-me/", ".Trashes/restore-me/album/", "Documents/",
                                       ".Trashes/restore-me/album/photo.jpg"};
                for (int i = 0; i < 300; ++i)
                    tree << ".Trashes/restore-me/page" + QByteArray::number(i);
                return makeTree(base, tree);
            };
            MountFixture fx;
            const QString point = fx.mountRoot() + QStringLiteral("/STICK");
            QTemporaryDir staging;
            const bool filled = kind == Kind::Fat32 ? fill(QFile::encodeName(staging.path()))
                                                          && fx.mountNewFat32With(staging.path(), point)
                                                    : fx.mountNew(kind, point) && fill(QFile::encodeName(point));
            if (!filled)
                QSKIP(qPrintable(fx.lastError()));
            const QByteArray root = QFile::encodeName(point);
            const FileItem trash = scannedItem(root + "/.Trashes");
            const std::unique_ptr<HeldVolume> volume = holdVolume(root);

            int removed = 0;
            QStringList movedBefore;
            SafeRemove::Options options;
            options.onEntry = [&] {
                if (++removed != 100)
                    return;
                QVERIFY(rename(root + "/.Trashes/restore-me", root + "/Documents/restored"));
                movedBefore = snapshot(root + "/Documents/restored");
            };
            const SafeRemove::Outcome outcome = SafeRemove::removeScanned(*volume, ".Trashes", trash, options);
            QVERIFY2(outcome.error == ESTALE && outcome.message.contains(QStringLiteral("restore-me\" was moved")),
                     qPrintable(QStringLiteral("%1: %2").arg(outcome.error).arg(outcome.message)));
            QCOMPARE(removed, 100);
            QCOMPARE(snapshot(root + "/Documents/restored"), movedBefore);
            VERIFY_COUNTS({trash}, {outcome.error});
        }

        // Its pages 30 folders of 200-byte names further down (past
        // PATH_MAX): the folder they are removed from has not moved within
        // the one above, and the way down to it is looked at every 256th
        // removal, so the clean stops there, the rest of the pages kept.
        Sandbox box;
        const QByteArrayList deep(30, QByteArray(200, 'L'));
        QVERIFY(makeTree(box.path(), {".Trashes/", ".Trashes/restore-me/", "Documents/"}));
        for (int i = 0; i < 300; ++i)
            QVERIFY(makeChain(box / ".Trashes/restore-me", deep, "page" + QByteArray::number(i)));
        const FileItem trash = scannedItem(box / ".Trashes");
        const std::unique_ptr<HeldVolume> volume = holdVolume(box.path());
        int removed = 0;
        SafeRemove::Options options;
        options.onEntry = [&] {
            if (++removed == 100)
                QVERIFY(rename(box / ".Trashes/restore-me", box / "Documents/restored"));
        };
        const SafeRemove::Outcome outcome = SafeRemove::removeScanned(*volume, ".Trashes", trash, options);
        QVERIFY2(outcome.error == ESTALE && outcome.message.contains(QStringLiteral("was moved or replaced")),
                 qPrintable(QStringLiteral("%1: %2").arg(outcome.error).arg(outcome.message)));
        QCOMPARE(removed, 256);
        const QStringList left = snapshot(box / "Documents/restored");
        QCOMPARE(left.filter(QStringLiteral("/page")).size(), 300 - 256);
        QCOMPARE(left.size(), deep.size() + 300 - 256);
        VERIFY_COUNTS({trash}, {outcome.error});
    }

    // Asked to stop (SIGTERM) half-way through 1,500 files on a FAT32
    // stick, the tool stops between two items: it has answered each item as
    // soon as it was done, exits saying it stopped, and the disk agrees with
    // every answer: the answered are gone, the others untouched.
    void dotCleanStopsBetweenItems()
    {
        MountFixture fx;
        QTemporaryDir staging;
        QByteArrayList names;
        for (int i = 0; i < 1500; ++i) {
            names << QByteArray("d") + QByteArray::number(i / 100) + "/._f" + QByteArray::number(i);
            QVERIFY(QDir().mkpath(staging.path() + QStringLiteral("/d%1").arg(i / 100)));
            QVERIFY(writeFile(QFile::encodeName(staging.path()) + '/' + names.last(), "ad"));
        }
        const QString point = fx.mountRoot() + QStringLiteral("/STOP");
        if (!fx.mountNewFat32With(staging.path(), point))
            QSKIP(qPrintable(fx.lastError()));
        const QByteArray root = QFile::encodeName(point);
        const std::unique_ptr<HeldVolume> volume = holdVolume(root);
        QVERIFY(volume);

        bool answered = false;
        const ToolRun run = runTool({kDotClean}, requestFor(root, scannedItems(names, root), ".").encode(),
                                    [&](ProcessRequest &process) {
                                        process.workingDirectoryFd = volume->rootFd();
                                        process.onOutput = [&](const QByteArray &piece, bool error) {
                                            answered = answered || (!error && piece.contains("removed"));
                                        };
                                        process.control = [&] {
                                            return answered ? ProcessRequest::Control::stop
                                                            : ProcessRequest::Control::carryOn;
                                        };
                                    });
        QCOMPARE(run.exitCode, int(CleanAnswer::stopped));
        QVERIFY2(!run.answers.isEmpty() && run.answers.size() < names.size(), qPrintable(QString::number(run.answers.size())));
        for (qsizetype i = 0; i < names.size(); ++i) {
            const bool gone = !exists(root + '/' + names.at(i));
            QVERIFY2(gone == (run.answers.value(i, -1) == 0), names.at(i).constData());
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestHeldVolume)
#include "test_held_volume.moc"
