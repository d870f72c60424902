// The pre-search runs beside the walk and the two meet at the end: the
// result and every diagnostic line must be those of the pre-search followed
// by the walk, whatever find does.
#include "TestMain.h"

#include "cleaning/VolumeScanner.h"
#include "cleaning/VolumeWork.h"
#include "platform/LinesInOrder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <memory>
#include <thread>

#include <unistd.h>

#include "BytePaths.h"
#include "MountFixture.h"
#include "StdoutCapture.h"

using testsupport::StdoutCapture;
using testsupport::writeFile;

namespace {

// Every field a caller sees, in the result's order.
QStringList described(const ScanResult &result)
{
    QStringList lines;
    for (auto it = result.cbegin(); it != result.cend(); ++it) {
        for (const FileItem &item : it.value())
            lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(FileTypes::rawValue(it.key()), QString::fromLatin1(item.fsPath().toHex()))
                         .arg(item.size)
                         .arg(int(item.kind))
                         .arg(item.device)
                         .arg(item.inode);
    }
    return lines;
}

struct Run
{
    ScanResult result;
    QByteArray log;
};

Run oneAfterTheOther(const VolumeScanner::Request &request)
{
    StdoutCapture capture;
    VolumeScanner scanner(request);
    ScanResult result;
    scanner.preSearch(result);
    result = scanner.walk(std::move(result));
    return Run{result, capture.bytes()};
}

Run together(const VolumeScanner::Request &request)
{
    StdoutCapture capture;
    ScanResult result = VolumeScanner(request).run();
    return Run{result, capture.bytes()};
}

// A file with its folders.
bool place(const QByteArray &path, const QByteArray &content)
{
    return QDir().mkpath(QFile::decodeName(path.left(path.lastIndexOf('/')))) && writeFile(path, content);
}

void makeScript(const QString &path, const QByteArray &body)
{
    writeFile(QFile::encodeName(path), "#!/bin/sh\n" + body, 0755);
}

// Where two runs part: the first line that differs, or nothing.
QString difference(const Run &run, const Run &expected)
{
    if (run.log == expected.log)
        return {};
    const QList<QByteArray> got = run.log.split('\n'), want = expected.log.split('\n');
    qsizetype at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    return QStringLiteral("line %1 is \"%2\", not \"%3\"")
        .arg(at + 1)
        .arg(QString::fromUtf8(got.value(at)), QString::fromUtf8(want.value(at)));
}

bool processGone(const QString &pidFile)
{
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const pid_t pid = pid_t(file.readAll().trimmed().toInt());
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

class TestScanMeeting : public QObject
{
    Q_OBJECT

private slots:
    void sameAsOneAfterTheOther()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/stick";
        const QByteArray rootBytes = QFile::encodeName(root);
        // "._" files at the root and deep, among other temporary files (so a
        // "._" file find missed must land in its place), in "__MACOSX" and in
        // a trash folder holding a kept name; a "._" folder and link; a name
        // that is not UTF-8.
        for (const char *path : {"._top", "._report.docx", "a.tmp", "docs/._c.log", "docs/b.tmp", "docs/deep/x/._y",
                                 "docs/deep/x/z.tmp", "docs/deep/._report.docx", "__MACOSX/._a", "__MACOSX/inner/x.txt",
                                 ".Trashes/1000/keep.txt", ".Trashes/1000/._old.doc", ".Trashes/501/a.jpg",
                                 "._dir/._inside", "zz/._last", "zz/last.tmp"})
            QVERIFY(place(rootBytes + '/' + path, QByteArray(int(qstrlen(path)), 'x')));
        QVERIFY(place(rootBytes + "/docs/._caf\xe9", "x"));
        QVERIFY(QFile::link("._top", root + "/._link"));

        const QString tools = dir.path() + "/tools";
        QVERIFY(QDir().mkpath(tools));
        const QString pidFile = tools + "/pid";
        // find that misses all but the root's hits; one that is slow; one
        // killed after printing part of its output; one that cannot start.
        makeScript(tools + "/root-only-find", "exec find \"$1\" -maxdepth 1 -name '._*' -type f -print0\n");
        makeScript(tools + "/slow-find", "sleep 0.3\nexec find \"$@\"\n");
        makeScript(tools + "/killed-find",
                   "echo $$ > '" + QFile::encodeName(pidFile) + "'\nprintf '%s\\0' \"$1/docs/._c.log\"\nkill -9 $$\n");

        struct Row
        {
            const char *what;
            QString find;
            bool isFAT;
            QStringList excluded;
        };
        const QList<Row> rows{
            {"find", "find", false, {}},
            {"find on FAT (the ls look)", "find", true, {}},
            {"excluded names", "find", true, {"._report.docx", "keep.txt"}},
            {"find that misses hits", tools + "/root-only-find", false, {}},
            {"slow find", tools + "/slow-find", true, {"keep.txt"}},
            {"killed find", tools + "/killed-find", false, {}},
            {"find that cannot start (the fallback)", tools + "/no-such-find", true, {}},
        };
        for (const Row &row : rows) {
            VolumeScanner::Request request;
            request.root = rootBytes;
            request.fileTypes = FileTypes::allTypes();
            request.excludedPatterns = row.excluded;
            request.isFAT = row.isFAT;
            request.tools.find = row.find;
            const Run expected = oneAfterTheOther(request);
            const Run run = together(request);
            QVERIFY2(!expected.result.value(FileType::temporaryFiles).isEmpty(), row.what);
            QCOMPARE(described(run.result), described(expected.result));
            if (const QString differs = difference(run, expected); !differs.isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1: %2").arg(row.what, differs)));
        }
        QVERIFY(processGone(pidFile));
    }

    // On a volume of many "._" files the lines are made in pieces on
    // threads of their own, and they are those of one after the other all
    // the same, however many threads: also where find missed a folder (the
    // "._" files the walk met there are looked at in their turn) and where
    // the matcher prints (then every line is made in turn). find's lines
    // made in pieces are those made one by one, with the same hits. The
    // same on a FAT32 stick through fusefat, whose looks are round trips to
    // its daemon.
    void manyLinesInPieces()
    {
        QTemporaryDir dir;
        const QByteArray tree = QFile::encodeName(dir.path() + "/stick");
        // More "._" files than a piece holds of find's fields (4,096) or of
        // the walk's events (2,048), and now and then a "__MACOSX" folder,
        // whose line the walk holds as text among them.
        for (int folder = 0; folder < 60; ++folder) {
            const QByteArray path = tree + "/d" + QByteArray::number(folder);
            if (folder % 7 == 2)
                QVERIFY(place(path + "/__MACOSX/._inside", "m"));
            for (int file = 0; file < 120; ++file) {
                QVERIFY(place(path + "/._f" + QByteArray::number(file), QByteArray(file % 5, 'x')));
                if (file % 10 == 0)
                    QVERIFY(place(path + "/x" + QByteArray::number(file) + ".tmp", "t"));
            }
        }
        MountFixture fixture;
        const QString stick = fixture.mountRoot() + "/FAT32";
        const bool onFat = ::geteuid() == 0 && fixture.mountNewFat32With(dir.path() + "/stick", stick);
        if (!onFat)
            qInfo("Not on FAT32 through fusefat: %s", qPrintable(::geteuid() == 0 ? fixture.lastError() : "mounting needs root"));
        const QString missingFind = dir.path() + "/missing-find";
        makeScript(missingFind, "exec find \"$1\" -xdev -path \"$1/d17\" -prune -o -name '._*' -type f -print0\n");
        struct Row
        {
            const char *what;
            QString find;
            int helpers;
            QStringList excluded;
            bool fat = false;
        };
        const QList<Row> rows{
            {"three helpers", "find", 3, {}},
            {"no helper", "find", 0, {}},
            {"find that misses a folder", missingFind, 3, {}},
            {"excluded names", "find", 3, {"._f7"}},
            {"three helpers, FAT32 through fusefat", "find", 3, {}, true},
        };
        for (const Row &row : rows) {
            if (row.fat && !onFat)
                continue;
            const QByteArray root = row.fat ? QFile::encodeName(stick) : tree;
            linesinorder::setHelperCount(row.helpers);
            VolumeScanner::Request request;
            request.root = root;
            request.fileTypes = FileTypes::allTypes();
            request.excludedPatterns = row.excluded;
            request.tools.find = row.find;
            const Run expected = oneAfterTheOther(request);
            const Run run = together(request);
            QVERIFY2(expected.result.value(FileType::temporaryFiles).size() > 6000, row.what);
            QCOMPARE(described(run.result), described(expected.result));
            if (const QString differs = difference(run, expected); !differs.isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1: %2").arg(row.what, differs)));

            Run inOrder, inPieces;
            QList<QByteArray> hitsInOrder, hitsInPieces;
            for (const bool onHitLogs : {true, false}) {
                QList<QByteArray> &hits = onHitLogs ? hitsInOrder : hitsInPieces;
                PathIndex held(PathIndex::Threads::one);
                VolumeWork work;
                auto tools = request.tools;
                tools.work = &work;
                testsupport::StdoutCapture capture;
                AppleDoubleSearch::findAppleDoubleFilesWithFind(
                    root, tools,
                    [&](QByteArrayView path, const pathhandles::ItemLook &, PathArena::Node) { hits << path.toByteArray(); },
                    &held, onHitLogs);
                (onHitLogs ? inOrder : inPieces).log = capture.bytes();
                // Each look at a hit is progress, as each field read is: a
                // slow volume is not given up while its hits are looked at.
                QVERIFY2(work.beats() >= quint64(2 * hits.size()), row.what);
            }
            QCOMPARE(hitsInPieces, hitsInOrder);
            if (const QString differs = difference(inPieces, inOrder); !differs.isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1, find's lines: %2").arg(row.what, differs)));
        }
        linesinorder::setHelperCount(-1);
    }

    // A stop while find and the walk both run ends the scan without waiting
    // for find, leaves no child behind and, as a stop during the pre-search
    // would, prints nothing of the walk.
    void stopWhileBothRun()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/stick";
        for (int i = 0; i < 200; ++i)
            QVERIFY(place(QFile::encodeName(QStringLiteral("%1/d%2/._f").arg(root).arg(i % 20)) + QByteArray::number(i), "x"));
        const QString pidFile = dir.path() + "/pid";
        makeScript(dir.path() + "/hanging-find", "echo $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 60\n");

        auto work = std::make_shared<VolumeWork>();
        VolumeScanner::Request request;
        request.root = QFile::encodeName(root);
        request.fileTypes = FileTypes::allTypes();
        request.tools.find = dir.path() + "/hanging-find";
        request.tools.findTimeout = std::chrono::minutes(5);
        request.work = work;
        std::thread stopper([&] {
            while (!QFile::exists(pidFile))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            work->requestStop();
        });
        StdoutCapture capture;
        VolumeScanner scanner(request);
        const ScanOutcome outcome = scanner.outcome(scanner.run());
        const QStringList lines = capture.lines();
        stopper.join();
        QCOMPARE(outcome.end, ScanOutcome::End::stopped);
        QVERIFY(outcome.found.isEmpty());
        QVERIFY(lines.contains("find命令随扫描一同结束"));
        QVERIFY(!lines.contains("开始扫描以估算文件数量..."));
        QVERIFY(processGone(pidFile));
    }
};

SWEEPBROOK_TEST_MAIN(TestScanMeeting)
#include "test_scan_meeting.moc"
