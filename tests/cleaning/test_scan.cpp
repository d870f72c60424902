#include "TestMain.h"

#include "cleaning/AppleDoubleSearch.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include "BytePaths.h"
#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "VolumeCallHook.h"

using testsupport::FakeMachine;
using testsupport::StdoutCapture;
using testsupport::writeFile;

namespace {

// kind -> sorted paths relative to `root` (absolute when outside it). A path
// listed twice shows up twice.
using Found = QMap<QString, QStringList>;

Found byKind(const ScanResult &result, const QString &root)
{
    Found found;
    for (auto it = result.cbegin(); it != result.cend(); ++it) {
        QStringList paths;
        for (const FileItem &item : it.value())
            paths << (item.path().startsWith(root + '/') ? item.path().mid(root.size() + 1) : item.path());
        paths.sort();
        found.insert(FileTypes::rawValue(it.key()), paths);
    }
    return found;
}

// Makes folders (ending in "/") and files below root.
void make(const QString &root, const QStringList &paths)
{
    for (const QString &path : paths) {
        if (path.endsWith(u'/'))
            QDir().mkpath(root + '/' + path);
        else
            writeFile(root + '/' + path, "x");
    }
}

void makeExecutable(const QString &path, const QByteArray &script)
{
    writeFile(QFile::encodeName(path), "#!/bin/sh\n" + script, 0755);
}

struct Outcome
{
    bool settled = false;
    int progressCalls = 0;
    double lastProgress = -1;
    int completions = 0;
    ScanResult result;
    ScanOutcome outcome;
    QStringList log;
};

} // namespace

class TestScan : public QObject
{
    Q_OBJECT

    struct Rig : testsupport::ManagerRig
    {
        FakeMachine machine;
        USBDeviceManager::Environment env = machine.environment();
        int sticks = 0;

        // A removable stick mounted at machine.mountPoint(name); its folder.
        QString addStick(const QString &name)
        {
            const QString part = QString("sd%1").arg(QChar('b' + sticks)) + "1";
            machine.addStick(QString("8:%1").arg(17 + 16 * sticks++), part, machine.mountPoint(name), "STICK", {});
            return machine.mountPoint(name);
        }

        void start()
        {
            StdoutCapture quiet;
            startManager(env);
            scheduler.settle();
        }

        LocalUSBDevice device(const QString &path) const
        {
            for (const LocalUSBDevice &d : manager->connectedDevices())
                if (d.path == path)
                    return d;
            LocalUSBDevice d;   // not in the list (a path that is gone, a real volume)
            d.id = d.path = path;
            d.name = QFileInfo(path).fileName();
            return d;
        }

        Outcome scan(const QString &root, const QList<FileType> &kinds = FileTypes::allCases(),
                     const QStringList &excluded = {}, std::chrono::seconds limit = std::chrono::seconds(60))
        {
            Outcome out;
            StdoutCapture capture;
            manager->scanDevice(device(root), kinds, {}, excluded, [&](double p) {
                ++out.progressCalls;
                out.lastProgress = p;
            }, [&](const ScanOutcome &result) {
                ++out.completions;
                out.result = result.found;
                out.outcome = result;
            });
            out.settled = scheduler.settle(limit);
            out.log = capture.lines();
            return out;
        }
    };

private slots:
    // "__MACOSX" is judged by whole path components below the root, one entry per path.
    void resultByKind()
    {
        Rig rig;
        const QString root = rig.addStick("USB");
        // Mounted below a folder called "__MACOSX": nothing of it is junk for that.
        const QString nested = rig.addStick("__MACOSX/STICK");
        rig.start();

        make(root, {"empty/", ".DS_Store", ".hidden", "._my file.txt", "Thumbs.db", "__MACOSX/._a", "__MACOSX/inner/x.txt",
                    "__MACOSX_old/keep.txt", "__MACOSX_old/.DS_Store", "docs/a.txt", "docs/b.tmp", "docs/c.log",
                    "docs/._c.log", "docs/sub/__MACOSX/y", ".Trashes/501/photo.jpg"});
        make(nested, {"keep.txt", "._pair"});
        // Sizes of their own, whichever pass lists them (the pre-search, a root pass, the walk).
        int length = 0;
        for (const char *file : {"._my file.txt", "__MACOSX/._a", "docs/._c.log", ".DS_Store", "Thumbs.db", "docs/c.log"})
            writeFile(root + '/' + file, QByteArray(100 * ++length, 'j'));

        const Outcome out = rig.scan(root);
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
        // Every file listed carries what the disk says of it.
        for (const QList<FileItem> &items : out.result) {
            for (const FileItem &item : items) {
                struct stat st;
                QVERIFY(::lstat(item.fsPath().constData(), &st) == 0);
                if (!S_ISDIR(st.st_mode))
                    QVERIFY2(item.kind == ItemKind::file && item.size == st.st_size && item.device == quint64(st.st_dev)
                                 && item.inode == quint64(st.st_ino),
                             qPrintable(item.path()));
            }
        }

        QCOMPARE(byKind(rig.scan(nested).result, nested), (Found{{"temporaryFiles", {"._pair"}}}));

        // Without temporaryFiles: no pre-search, "__MACOSX" folders are entered
        // and their contents junk; "._" files are AppleDouble.
        const Outcome narrow = rig.scan(root, {FileType::appleDouble, FileType::dsStore});
        QVERIFY(!narrow.log.contains("使用系统find命令查找._文件..."));
        const Found expectedNarrow = {
            {"dsStore", {".DS_Store", "__MACOSX_old/.DS_Store"}},
            {"appleDouble", {"._my file.txt", "docs/._c.log"}},
            {"temporaryFiles",
             {"__MACOSX", "__MACOSX/._a", "__MACOSX/inner", "__MACOSX/inner/x.txt", "docs/sub/__MACOSX",
              "docs/sub/__MACOSX/y"}},
        };
        QCOMPARE(byKind(narrow.result, root), expectedNarrow);
    }

    // A folder deleted whole that holds a kept name anywhere below is listed
    // piece by piece instead: the kept entries and the folders on the way to
    // them stay out, the rest goes in the largest pieces holding nothing kept,
    // each with its identity. Every row runs at the root and below "docs/".
    void keptInsideWholeFolders()
    {
        struct Row
        {
            const char *what;
            QStringList tree;
            QStringList excluded;
            Found expected;
            QList<FileType> kinds = FileTypes::allCases();
        };
        const QList<Row> rows{
            {"excluded file in __MACOSX",
             {"__MACOSX/._report.docx", "__MACOSX/._other.docx", "__MACOSX/notes.txt", "__MACOSX/inner/x.txt",
              "__MACOSX/inner/._y"},
             {"._report.docx"},
             // "._" files are also found by the pre-search, on their own.
             {{"temporaryFiles", {"__MACOSX/._other.docx", "__MACOSX/inner", "__MACOSX/inner/._y", "__MACOSX/notes.txt"}}}},
            {"deep in __MACOSX",
             {"__MACOSX/a/b/._report.docx", "__MACOSX/a/b/c.txt", "__MACOSX/a/d/e.txt", "__MACOSX/z.txt"},
             {"._report.docx"},
             {{"temporaryFiles", {"__MACOSX/a/b/c.txt", "__MACOSX/a/d", "__MACOSX/z.txt"}}}},
            {"excluded __MACOSX: what it holds is still junk",
             {"__MACOSX/a.txt", "__MACOSX/sub/b.txt"},
             {"__MACOSX"},
             {{"temporaryFiles", {"__MACOSX/a.txt", "__MACOSX/sub"}}}},
            {"excluded files and folder in .Trashes; a trash folder inside holding one",
             {".Trashes/1000/keep.txt", ".Trashes/1000/old.doc", ".Trashes/1000/._old.doc", ".Trashes/501/x.jpg",
              ".Trashes/.DS_Store", ".Trashes/old/$RECYCLE.BIN/keep.txt", ".Trashes/old/$RECYCLE.BIN/junk.txt",
              ".Trashes/old/other.txt", ".Trashes/kept/a.txt", ".Trashes/kept/.DS_Store"},
             {"keep.txt", "kept"},
             // What a kept folder holds is judged by its own name, as anywhere.
             {{"trash",
               {".Trashes/1000/old.doc", ".Trashes/501", ".Trashes/old/$RECYCLE.BIN/junk.txt", ".Trashes/old/other.txt"}},
              {"dsStore", {".Trashes/.DS_Store", ".Trashes/kept/.DS_Store"}},
              {"temporaryFiles", {".Trashes/1000/._old.doc"}}}},
            {"protected name, nothing excluded",
             {"__MACOSX/.VolumeIcon.icns", "__MACOSX/c.txt", ".Trashes/501/.VolumeIcon.icns", ".Trashes/501/a.jpg",
              ".Trashes/b.jpg", ".Trashes/c/d.jpg"},
             {},
             {{"temporaryFiles", {"__MACOSX/c.txt"}}, {"trash", {".Trashes/501/a.jpg", ".Trashes/b.jpg", ".Trashes/c"}}}},
            {"__MACOSX entered without temporary files",
             {"__MACOSX/inner/._report.docx", "__MACOSX/inner/x.txt", "__MACOSX/other.txt"},
             {"._report.docx"},
             {{"temporaryFiles", {"__MACOSX/inner/x.txt", "__MACOSX/other.txt"}}},
             {FileType::appleDouble, FileType::dsStore}},
            {"nothing kept: whole folders stay one item",
             {".Trashes/501/a.jpg", ".Trashes/._x", "__MACOSX/._a", "__MACOSX/sub/y.txt", ".fseventsd/0001"},
             {"*.keep"},
             {{"trash", {".Trashes"}},
              {"temporaryFiles", {".Trashes/._x", "__MACOSX", "__MACOSX/._a"}},
              {"spotlight", {".fseventsd"}}}},
            {"a file listed alone inside a kept folder: the pieces keep their sizes",
             {".Trashes/a.bin", ".Trashes/kept/.DS_Store"},
             {"kept"},
             {{"trash", {".Trashes/a.bin"}}, {"dsStore", {".Trashes/kept/.DS_Store"}}}},
        };

        Rig rig;
        const QString root = rig.addStick("USB");
        rig.start();
        QStringList wrong;
        for (const Row &row : rows) {
            for (const QString &prefix : {QString(), QStringLiteral("docs/")}) {
                QVERIFY(QDir(root).removeRecursively() && QDir().mkpath(root));
                QStringList tree;
                for (const QString &path : row.tree)
                    tree << prefix + path;
                make(root, tree);
                Found expected;
                for (auto it = row.expected.cbegin(); it != row.expected.cend(); ++it) {
                    QStringList paths;
                    for (const QString &path : it.value())
                        paths << prefix + path;
                    paths.sort();
                    expected.insert(it.key(), paths);
                }
                const QString what =
                    row.what + (prefix.isEmpty() ? QStringLiteral(" (at the root): ") : QStringLiteral(" (below docs/): "));
                const Outcome out = rig.scan(root, row.kinds, row.excluded);
                if (const Found found = byKind(out.result, root); out.completions != 1 || found != expected)
                    wrong << what + QDebug::toString(found);
                for (const QList<FileItem> &items : out.result) {
                    for (const FileItem &item : items) {
                        if (!item.hasIdentity())
                            wrong << what + "no identity for " + item.path();
                        struct stat st;
                        if (item.kind == ItemKind::file
                            && (::lstat(item.fsPath().constData(), &st) != 0 || item.size != st.st_size))
                            wrong << what + "wrong size for " + item.path();
                    }
                }
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
    }

    // On a real FAT32 stick: after the clean of everything listed, the kept
    // files are there with their content and nothing listed is.
    void keptEntriesSurviveTheClean()
    {
        MountFixture fx;
        const QString point = fx.mountRoot() + QStringLiteral("/STICK");
        if (!fx.mountNew(MountFixture::Kind::Fat32, point))
            QSKIP(qPrintable(fx.lastError()));
        const QStringList kept{"__MACOSX/._report.docx", "docs/__MACOSX/._report.docx", ".Trashes/1000/keep.txt",
                               "photo.jpg"};
        const QStringList junk{"__MACOSX/._photo.jpg", "__MACOSX/inner/x.txt", "docs/__MACOSX/y.txt",
                               ".Trashes/1000/old.doc", ".Trashes/501/x.jpg"};
        for (const QString &path : kept + junk)
            writeFile(point + '/' + path, "content of " + path.toUtf8());

        testsupport::ManagerRig rig;
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
        {
            StdoutCapture quiet;
            rig.startManager(env);
            rig.settle();
        }
        const std::optional<LocalUSBDevice> device = rig.manager->deviceContaining(point + "/photo.jpg");
        QVERIFY(device && device->path == point);

        ScanResult result;
        std::optional<std::pair<QList<FileItem>, QList<FileItem>>> outcome;
        QList<FileItem> all;
        {
            StdoutCapture quiet;
            rig.manager->scanDevice(*device, FileTypes::allCases(), {}, {"._report.docx", "keep.txt"}, [](double) {},
                                    [&](const ScanOutcome &found) { result = found.found; });
            rig.settle();
            for (const QList<FileItem> &items : std::as_const(result))
                all += items;
            rig.manager->cleanFiles(all, [&](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
                outcome = std::make_pair(cleaned, failed);
            });
            rig.settle();
        }
        for (const QString &path : kept) {
            QFile file(point + '/' + path);
            QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == "content of " + path.toUtf8(),
                     qPrintable("lost or changed: " + path));
        }
        QStringList listed;
        for (const FileItem &item : std::as_const(all))
            listed << item.path().mid(point.size() + 1);
        listed.sort();
        QCOMPARE(listed, (QStringList{".Trashes/1000/old.doc", ".Trashes/501", "__MACOSX/._photo.jpg", "__MACOSX/inner",
                                      "docs/__MACOSX/y.txt"}));
        QVERIFY(outcome);
        QVERIFY2(outcome->second.isEmpty(), qPrintable(outcome->second.value(0).path()));
        for (const FileItem &item : std::as_const(all))
            QVERIFY2(!QFileInfo::exists(item.path()), qPrintable("still there: " + item.path()));
    }

    void linksAndOddNames()
    {
        Rig rig;
        const QString root = rig.addStick("USB");
        rig.start();
        QTemporaryDir outside;
        make(outside.path(), {"._canary", "Thumbs.db"});
        const QByteArray rootBytes = QFile::encodeName(root);
        const QByteArray outsideBytes = QFile::encodeName(outside.path());

        QVERIFY(QFile::link("no/such/target", root + "/.DS_Store"));
        QVERIFY(QFile::link(outside.path(), root + "/linked"));   // a folder link: never entered
        QVERIFY(QDir().mkpath(root + "/d"));
        const QByteArray invalid = rootBytes + "/d/._caf\xe9";   // Latin-1, not UTF-8
        QVERIFY(writeFile(invalid));
        // A folder whose name ends in a newline, holding a copy of the outside
        // path: split at newlines, find's output would name the outside file.
        const QByteArray trick = rootBytes + "/x\n" + outsideBytes;
        QVERIFY(QDir().mkpath(QFile::decodeName(trick)) && writeFile(trick + "/._canary"));

        const Outcome out = rig.scan(root);
        QCOMPARE(out.completions, 1);
        // Nothing behind the folder link (its Thumbs.db), nothing outside the root.
        QCOMPARE(out.result.keys(), (QList<FileType>{FileType::dsStore, FileType::temporaryFiles}));
        QCOMPARE(out.result.value(FileType::dsStore).size(), 1);
        QCOMPARE(out.result.value(FileType::dsStore).first().size, qint64(QByteArray("no/such/target").size()));
        QList<QByteArray> temporary;
        for (const FileItem &item : out.result.value(FileType::temporaryFiles))
            temporary << item.fsPath();
        std::sort(temporary.begin(), temporary.end());
        QCOMPARE(temporary, (QList<QByteArray>{invalid, trick + "/._canary"}));

        // The same rules for find's raw output.
        make(root, {"._a", "plain.txt", "../USB2/._a"});
        const QByteArray climb = QFile::encodeName(QDir(root).relativeFilePath(outside.path() + "/._canary"));
        QVERIFY(climb.startsWith("../"));
        QByteArray output;
        for (const QByteArray &path : {rootBytes + "/._a", outsideBytes + "/._canary", rootBytes + '/' + climb, rootBytes,
                                       rootBytes + "/plain.txt", rootBytes + "/._gone", rootBytes + "2/._a",
                                       trick + "/._canary"})
            output += path + '\0';
        QCOMPARE(AppleDoubleSearch::parseFindOutput(rootBytes, output),
                 (QList<QByteArray>{rootBytes + "/._a", trick + "/._canary"}));
        ::unlink(invalid.constData());   // a name QTemporaryDir cannot remove
    }

    // Paths are held as bytes, once each: two spellings of one reading (Latin-1
    // and UTF-8) are two items, each listed once although the pre-search, the
    // root pass and the walk all meet them; a path past PATH_MAX comes back
    // whole; the items outlive the scan's result, and the clean removes
    // exactly them.
    void resultPathsAreExactBytes()
    {
        Rig rig;
        const QString root = rig.addStick("USB");
        rig.start();
        const QByteArray rootBytes = QFile::encodeName(root);
        const QByteArrayList twins = {"._caf\xe9", "._caf\xc3\xa9", "d/caf\xe9.tmp", "d/caf\xc3\xa9.tmp"};
        QVERIFY(testsupport::makeDir(rootBytes + "/d"));
        for (const QByteArray &name : twins)
            QVERIFY(writeFile(rootBytes + '/' + name, name));
        QVERIFY(writeFile(rootBytes + "/d/keep.jpg"));
        QByteArray deep = rootBytes;
        QByteArrayList chain;
        while (deep.size() <= PATH_MAX) {
            chain << QByteArray(200, 'n');
            deep += '/' + chain.last();
        }
        QVERIFY(testsupport::makeChain(rootBytes, chain, "Thumbs.db") && testsupport::makeChain(rootBytes, chain, "._deep"));

        QList<FileItem> all;
        {
            Outcome out = rig.scan(root);
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.outcome.end, ScanOutcome::End::complete);
            QByteArrayList temporary;
            for (const FileItem &item : out.result.value(FileType::temporaryFiles))
                temporary << item.fsPath();
            // The pre-search's hits in find's order, then the walk's.
            QByteArrayList expected;
            for (const QByteArray &name : twins)
                expected << rootBytes + '/' + name;
            expected << deep + "/._deep";   // found by find, looked at by the walk alone
            QCOMPARE(QSet<QByteArray>(temporary.cbegin(), temporary.cbegin() + 2),
                     QSet<QByteArray>(expected.cbegin(), expected.cbegin() + 2));
            QCOMPARE(QSet<QByteArray>(temporary.cbegin() + 2, temporary.cend()),
                     QSet<QByteArray>(expected.cbegin() + 2, expected.cend()));
            QCOMPARE(temporary.size(), 5);
            QCOMPARE(out.result.value(FileType::thumbsDb).size(), 1);
            QCOMPARE(out.result.value(FileType::thumbsDb).first().fsPath(), deep + "/Thumbs.db");
            // Thumbs.db first (its kind comes first), then the twins.
            for (const QList<FileItem> &items : std::as_const(out.result))
                all += items;
            out = {};   // the result goes; the items copied out stay
        }
        QCOMPARE(all.size(), 6);
        for (const FileItem &item : std::as_const(all)) {
            const QByteArray path = item.fsPath();
            struct stat st;
            QCOMPARE(testsupport::lookAt(path, &st), 0);
            QVERIFY2(pathhandles::isScannedItem(item, st, pathhandles::ItemNumbers::last)
                         && pathhandles::isScannedItem(item, st, pathhandles::ItemNumbers::renewed), path.constData());
            const QByteArrayView name = item.nameBytes();
            QCOMPARE(name, QByteArrayView(path).sliced(path.lastIndexOf('/') + 1));
            QCOMPARE(name.data()[name.size()], '\0');
        }
        // One reading, two files.
        QCOMPARE(all.value(1).path(), all.value(2).path());
        QVERIFY(all.value(1).fsPath() != all.value(2).fsPath());

        std::optional<std::pair<QList<FileItem>, QList<FileItem>>> cleaned;
        rig.manager->cleanFiles(all, [&](const QList<FileItem> &done, const QList<FileItem> &failed) {
            cleaned = std::make_pair(done, failed);
        });
        QVERIFY(rig.scheduler.settle(std::chrono::seconds(60)));
        QVERIFY(cleaned);
        QVERIFY2(cleaned->second.isEmpty(), qPrintable(cleaned->second.value(0).path()));
        QCOMPARE(cleaned->first.size(), all.size());
        for (const FileItem &item : std::as_const(all))
            QCOMPARE(testsupport::lookAt(item.fsPath()), ENOENT);
        QCOMPARE(testsupport::lookAt(rootBytes + "/d/keep.jpg"), 0);
        QCOMPARE(testsupport::lookAt(deep), 0);
        // A tree QTemporaryDir cannot remove.
        if (const auto held = testsupport::holdVolume(rootBytes))
            SafeRemove::removeScanned(*held, chain.first(), testsupport::scannedItem(rootBytes + '/' + chain.first()));
    }

    void searchFallbacks()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        const QByteArray rootBytes = QFile::encodeName(root);
        make(root, {"._folder/", "._a", "._with space", "x._b", "sub/._deep"});
        QFile::link("._a", root + "/._link");
        QCOMPARE(AppleDoubleSearch::findAppleDoubleFilesWithLs(rootBytes, {}), QList<QByteArray>{rootBytes + "/._a"});

        // find that cannot start: the in-process search takes over.
        AppleDoubleSearch::Tools tools;
        tools.find = root + "/no-such-find";
        QList<QByteArray> found;
        {
            StdoutCapture quiet;
            found = AppleDoubleSearch::findAppleDoubleFiles(rootBytes, tools);
        }
        std::sort(found.begin(), found.end());
        QCOMPARE(found, (QList<QByteArray>{rootBytes + "/._a", rootBytes + "/._with space", rootBytes + "/sub/._deep"}));

        // find stopped at its limit gives nothing, not even what it printed.
        tools.find = root + "/slow-find";
        tools.findTimeout = std::chrono::milliseconds(200);
        makeExecutable(tools.find, "printf '%s\\0' \"$1/._a\"\nexec sleep 60\n");
        std::optional<QList<QByteArray>> none;
        {
            StdoutCapture quiet;
            none = AppleDoubleSearch::findAppleDoubleFilesWithFind(rootBytes, tools);
        }
        QVERIFY(none && none->isEmpty());
    }

    // ls's output is read as it comes: a line cut between two pieces, a long
    // output, a link's line naming its target, a name given twice, trailing
    // spaces and a last line without its newline give the hits they would
    // whole; a name already known is not looked at.
    void lsOutputAsItComes()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/stick";
        const QByteArray rootBytes = QFile::encodeName(root);
        make(root, {"._a", "._b", "._c", "._dir/"});
        QVERIFY(QFile::link("._a", root + "/._link"));
        const QByteArray head = "-rw-r--r-- 1 root root 1 Jan  1 00:00 ";
        QByteArray output = "total 12\n";
        for (int i = 0; i < 3000; ++i)
            output += head + "IMG_" + QByteArray::number(i) + "_a_name_long_enough_to_fill_pieces.JPG\n";
        const qsizetype cut = output.size() + head.size() + 1;   // inside the next line's name
        output += head + "._a\n" + "lrwxrwxrwx 1 root root 3 Jan  1 00:00 ._link -> ._a\n" + head + "._a\n" + head
                  + "._b  \n" + "drwxr-xr-x 2 root root 40 Jan  1 00:00 ._dir\n" + head + "._gone\n" + head
                  + "._known\n" + head + "._x/y\n" + head + "._c";
        QVERIFY(writeFile(rootBytes + "-ls.out", output));
        AppleDoubleSearch::Tools tools;
        tools.ls = dir.path() + "/pieces-ls";
        makeExecutable(tools.ls, "out=\"$3-ls.out\"\nhead -c " + QByteArray::number(cut) + " \"$out\"\nsleep 0.1\ntail -c +"
                                     + QByteArray::number(cut + 1) + " \"$out\"\n");
        QList<pathhandles::ItemLook> looks;
        QList<QByteArray> asked;
        QList<QByteArray> hits;
        {
            StdoutCapture quiet;
            hits = AppleDoubleSearch::findAppleDoubleFilesWithLs(rootBytes, tools, &looks, [&](const QByteArray &path) {
                asked << path;
                return path.endsWith("/._known");
            });
        }
        const QByteArrayList names = {"._a", "._b", "._known", "._c"};
        QCOMPARE(hits.size(), names.size());
        QCOMPARE(looks.size(), names.size());
        for (qsizetype i = 0; i < names.size(); ++i) {
            QCOMPARE(hits[i], rootBytes + '/' + names[i]);
            struct stat st;
            if (names[i] == "._known") {
                QCOMPARE(looks[i].kind, ItemKind::unknown);
                continue;
            }
            QCOMPARE(::lstat(hits[i].constData(), &st), 0);
            QCOMPARE(looks[i].inode, quint64(st.st_ino));
        }
        QCOMPARE(asked.count(rootBytes + "/._a"), 1);
    }

    // The FAT flag only changes the ".Spotlight-V100" rule of the root pass and
    // the `ls` look at the root.
    void spotlightOnFat()
    {
        for (const bool fat : {false, true}) {
            Rig rig;
            const QString root = rig.addStick("USB");
            if (!fat) {   // the same stick formatted ext4: the mount table says so
                rig.machine.lines.last().replace(" - vfat ", " - ext4 ");
                rig.machine.writeMountInfo();
            }
            rig.start();
            make(root, {".Spotlight-V100/Store/", ".metadata_never_index", "._top"});
            const Outcome out = rig.scan(root);
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.log.contains("发现 .Spotlight-V100 但索引已禁用，跳过"), fat);
            QCOMPARE(out.log.contains("使用ls命令搜索额外的._文件..."), fat);
            // The enumeration has no such rule; "._top" is there once either way.
            QCOMPARE(byKind(out.result, root),
                     (Found{{"spotlight", {".Spotlight-V100", ".metadata_never_index"}}, {"temporaryFiles", {"._top"}}}));
        }
        for (const auto &[type, fat] : {std::pair{"vfat", true}, {"ExFAT", true}, {"MSDOS", true}, {"fat32", false},
                                        {"ext4", false}})
            QVERIFY2(USBDeviceManager::isFATType(type) == fat, type);
    }

    // As an ordinary account: an unreadable folder is reported and the walk
    // goes on. One inside a trash folder that holds a kept name goes whole,
    // as the trash folder would have.
    void unprivilegedScan()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make files that another user cannot read");
        const QString setpriv = findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv is not installed");
        QTemporaryDir dir;
        const QString root = dir.path();
        make(root, {"locked/.DS_Store", "locked/._x", ".Trashes/501/a", "zz_after/.DS_Store", "rootjunk.tmp",
                    "$RECYCLE.BIN/keep.txt", "$RECYCLE.BIN/b.txt", "$RECYCLE.BIN/S-1-5/c.txt"});
        for (const auto &[path, mode] : {std::pair{"", 0755}, {"/locked", 0700}, {"/.Trashes", 0700}, {"/rootjunk.tmp", 0600},
                                         {"/$RECYCLE.BIN/S-1-5", 0700}})
            QVERIFY(::chmod(QFile::encodeName(root + path).constData(), mode_t(mode)) == 0);

        const auto probe = [&](const QString &scanned) {
            ProcessRequest request;
            request.program = setpriv;
            request.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", SWEEPBROOK_SCAN_PROBE, scanned, "keep.txt"};
            request.timeout = std::chrono::minutes(2);
            const ProcessResult run = runProcess(request);
            [&] { QVERIFY2(run.succeeded(), run.standardError.constData()); }();
            return QString::fromUtf8(run.standardOutput).split('\n');
        };
        const QStringList lines = probe(root);
        QStringList found;
        for (const QString &line : lines)
            if (line.count('\t') == 1 && FileTypes::fromRawValue(line.section('\t', 0, 0)))
                found << line.section('\t', 0, 0) + ' ' + line.section('\t', 1).mid(root.size() + 1);
        found.sort();
        QCOMPARE(found, (QStringList{"dsStore zz_after/.DS_Store", "temporaryFiles rootjunk.tmp", "trash $RECYCLE.BIN/S-1-5",
                                     "trash $RECYCLE.BIN/b.txt", "trash .Trashes"}));
        QVERIFY(lines.contains("扫描错误: Permission denied 于 " + root + "/locked"));
        // The locked folder is counted; the trash folders this user may not
        // read are listed whole, so nothing of them was missed.
        QVERIFY(lines.contains("outcome\tcomplete\t1\t0"));

        // A root this user may not list: the scan ends at once with nothing,
        // cut short (the probe fails unless it completed exactly once).
        const QStringList locked = probe(root + "/locked");
        QVERIFY(locked.contains("警告：无法访问设备 locked 的内容。可能是权限问题。"));
        QVERIFY(!locked.contains("扫描完成，找到以下垃圾文件:"));
        QVERIFY(locked.contains(QStringLiteral("outcome\tcutShort\t0\t%1").arg(EACCES)));
    }

    // A walk that cannot go on half way (here it runs out of file handles) ends
    // cut short, with what it found above the cut: no complete, clean result.
    void walkCutShort()
    {
        const QString prlimit = findExecutable("prlimit");
        if (prlimit.isEmpty())
            QSKIP("prlimit (util-linux) is not installed");
        QTemporaryDir dir;
        QString folder = dir.path();
        for (int depth = 1; depth <= 40; ++depth) {
            folder += QStringLiteral("/d%1").arg(depth);
            writeFile(folder + "/.DS_Store", {});
        }
        ProcessRequest request;
        request.program = prlimit;
        request.arguments = {"--nofile=24:24", SWEEPBROOK_SCAN_PROBE, dir.path()};
        request.timeout = std::chrono::minutes(2);
        const ProcessResult run = runProcess(request);
        QVERIFY2(run.succeeded(), run.standardError.constData());
        const QStringList lines = QString::fromUtf8(run.standardOutput).split('\n');
        QVERIFY2(lines.contains(QStringLiteral("outcome\tcutShort\t0\t%1").arg(EMFILE)), run.standardOutput.constData());
        const qsizetype found = lines.filter(QRegularExpression("^dsStore\t")).size();
        QVERIFY2(found > 0 && found < 40, qPrintable(QString::number(found)));
    }

    // A FAT folder that holds itself (".Trashes/ALIAS" names the cluster of
    // ".Trashes"; fusefat gives every level an inode of its own): the scan
    // ends complete, with that folder reported and not entered. Inside the
    // trash listed whole nothing is missed; scanned for other kinds, it is a
    // folder that was not scanned.
    void folderHoldingItself()
    {
        MountFixture fx;
        const QString root = fx.mountRoot() + "/stick";
        if (!fx.mountNewWithAlias(MountFixture::Kind::Fat32, root, MountFixture::Alias::ownFolder))
            QSKIP(qPrintable(fx.lastError()));
        Rig rig;
        rig.env = testsupport::realMachineEnvironment();
        // find, the pre-search beside the walk, knows no such loop and goes on until its limit.
        rig.env.findTimeout = std::chrono::seconds(2);
        rig.start();
        const QString reported = "扫描错误: " + errorText(ELOOP) + " 于 " + root + "/.Trashes/ALIAS";
        for (const bool trash : {true, false}) {
            const Outcome out = rig.scan(root, trash ? FileTypes::allCases() : QList<FileType>{FileType::dsStore});
            QVERIFY(out.settled);
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.outcome.end, ScanOutcome::End::complete);
            QCOMPARE(out.outcome.unreadableFolders, trash ? 0 : 1);
            QVERIFY2(out.log.contains(reported), qPrintable(out.log.filter("扫描错误").join('\n')));
            QCOMPARE(byKind(out.result, root).value("trash"), trash ? QStringList{".Trashes"} : QStringList());
        }
    }

    // The FUSE daemon dies while a scan runs: once as find starts (a stand-in
    // find kills it first), once inside the walk's third read of a folder.
    void volumeRemovedDuringScan()
    {
        for (const bool duringFind : {true, false}) {
            MountFixture fx;
            const QString root = fx.mountRoot() + "/stick";
            if (!fx.mountNew(MountFixture::Kind::ExFat, root, 128))
                QSKIP(qPrintable(fx.lastError()));
            for (int d = 0; d < 100; ++d) {
                for (int f = 0; f < 200; ++f)
                    writeFile(QString("%1/d%2/%3%4").arg(root).arg(d).arg(f % 10 == 0 ? "._f" : "f").arg(f), {});
            }
            const pid_t daemon = MountFixture::fuseDaemon(root);
            if (daemon <= 0)
                QSKIP("cannot find the exFAT FUSE daemon");

            Rig rig;
            rig.env = testsupport::realMachineEnvironment();
            if (duringFind) {
                rig.env.find = fx.path() + "/find";
                makeExecutable(rig.env.find, "kill -9 " + QByteArray::number(daemon) + "\nexec find \"$@\"\n");
            }
            rig.start();
            // (A thread that killed it 20 ms into the scan came after a scan
            // of 0.1 s had ended, on a loaded machine.)
            using Hook = testsupport::VolumeCallHook;
            struct stat stick{};
            QVERIFY(::stat(QFile::encodeName(root).constData(), &stick) == 0);
            bool killed = false;
            if (!duringFind)
                Hook::arm(Hook::Call::listing, stick.st_dev, 3, [&] { killed = MountFixture::killDaemon(daemon); });
            const auto disarm = qScopeGuard([] { Hook::disarm(); });
            const Outcome out = rig.scan(root, FileTypes::allCases(), {}, std::chrono::seconds(240));
            Hook::disarm();
            QVERIFY(duringFind || killed);
            QVERIFY(out.settled);
            QCOMPARE(out.completions, 1);
            QCOMPARE(out.progressCalls, 1);
            // No clean stick: the volume is reported gone, whatever the walk found.
            QCOMPARE(out.outcome.end, ScanOutcome::End::volumeGone);
            // The walk runs beside find: it may have read the root before the daemon went.
            if (duringFind) {   // the volume was recognised, then gone while find ran
                QVERIFY(out.log.contains("设备文件系统类型: exfat, 是否为exFAT/FAT: true"));
                QVERIFY(out.log.contains("扫描期间设备已移除: " + root));
            }
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestScan)
#include "test_scan.moc"
