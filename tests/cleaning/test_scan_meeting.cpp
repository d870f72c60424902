// The pre-search runs beside the walk and the two meet at the end: the
// result and every diagnostic line must be those of the pre-search followed
// by the walk, whatever find does.
#include "TestMain.h"

#include "cleaning/VolumeScanner.h"
#include "cleaning/VolumeWork.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <memory>
#include <thread>

#include <unistd.h>

#include "BytePaths.h"
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
            if (run.log != expected.log) {
                const QList<QByteArray> got = run.log.split('\n'), want = expected.log.split('\n');
                qsizetype at = 0;
                while (at < got.size() && at < want.size() && got[at] == want[at])
                    ++at;
                QFAIL(qPrintable(QStringLiteral("%1: line %2 is \"%3\", not \"%4\"")
                                     .arg(row.what)
                                     .arg(at + 1)
                                     .arg(QString::fromUtf8(got.value(at)), QString::fromUtf8(want.value(at)))));
            }
        }
        QVERIFY(processGone(pidFile));
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
