#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include "cleaning/DotClean.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/VolumeWalker.h"
#include "platform/ProcessRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::StdoutCapture;

namespace {

// A temporary folder that is removed through SafeRemove, so trees deeper
// than PATH_MAX go away too.
class Sandbox
{
public:
    Sandbox() { m_dir.setAutoRemove(false); }
    ~Sandbox()
    {
        if (m_dir.isValid())
            SafeRemove::removeItem(QFile::encodeName(QFileInfo(m_dir.path()).absolutePath()), path());
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;
    QByteArray path() const { return QFile::encodeName(m_dir.path()); }
    QByteArray operator/(const QByteArray &relative) const { return path() + '/' + relative; }

private:
    QTemporaryDir m_dir;
};

bool makeDir(const QByteArray &path)
{
    return ::mkdir(path.constData(), 0755) == 0;
}

bool writeFile(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    return ::close(fd) == 0 && ok;
}

bool makeLink(const QByteArray &target, const QByteArray &path)
{
    return ::symlink(target.constData(), path.constData()) == 0;
}

QByteArray readFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool present(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

// `levels` nested folders named `name` below `base`, and a file `leaf`
// (holding its own name) at the bottom. Built over handles: paths this
// long cannot be passed to mkdir.
bool makeChain(const QByteArray &base, const QByteArray &name, int levels, const QByteArray &leaf)
{
    int fd = ::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        const int child = ::mkdirat(fd, name.constData(), 0755) == 0
                              ? ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : -1;
        ::close(fd);
        fd = child;
    }
    if (fd < 0)
        return false;
    const int file = ::openat(fd, leaf.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool ok = file >= 0 && ::write(file, leaf.constData(), size_t(leaf.size())) == leaf.size();
    if (file >= 0)
        ::close(file);
    ::close(fd);
    return ok;
}

QByteArrayList sorted(QByteArrayList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

// Paths as the tool reads them: each ended by a NUL byte.
QByteArray nulList(const QByteArrayList &paths)
{
    QByteArray bytes;
    for (const QByteArray &path : paths)
        bytes += path + '\0';
    return bytes;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

struct Seen
{
    bool isDirectory = false;
    bool isRegularFile = false;
    bool isSymlink = false;
    int depth = 0;
    quint32 inheritedFlags = 0;
    qint64 size = -1;
};

struct Walked
{
    bool ok = false;
    QMap<QByteArray, Seen> entries;   // by path relative to the root
    QList<WalkError> errors;
};

Walked walkTree(const QByteArray &root, const std::function<WalkDecision(const WalkEntry &)> &decide = {})
{
    Walked walked;
    walked.ok = VolumeWalker::walk(
        root,
        [&](const WalkEntry &entry) {
            const Seen seen{entry.isDirectory, entry.isRegularFile, entry.isSymlink, entry.depth, entry.inheritedFlags,
                            entry.size()};
            walked.entries.insert(entry.path().mid(root.size() + 1), seen);
            return decide ? decide(entry) : WalkDecision{};
        },
        [&](const WalkError &error) { walked.errors.append(error); });
    return walked;
}

// Mounts for the test's lifetime; unmounted (lazily if busy) when it ends.
class ScopedMounts
{
public:
    ~ScopedMounts()
    {
        for (qsizetype i = m_points.size() - 1; i >= 0; --i) {
            if (!run({QStringLiteral("umount"), m_points.at(i)}))
                run({QStringLiteral("umount"), QStringLiteral("-l"), m_points.at(i)});
        }
    }
    bool mount(const QStringList &arguments, const QByteArray &point)
    {
        if (!run(QStringList{QStringLiteral("mount")} << arguments << QFile::decodeName(point)))
            return false;
        m_points << QFile::decodeName(point);
        return true;
    }
    QString error() const { return m_error; }

private:
    bool run(const QStringList &command)
    {
        ProcessRequest request;
        request.program = command.first();
        request.arguments = command.mid(1);
        request.timeout = std::chrono::seconds(30);
        const ProcessResult result = runProcess(request);
        m_error = QString::fromLocal8Bit(result.standardError).trimmed();
        return result.succeeded();
    }
    QStringList m_points;
    QString m_error;
};

ProcessResult runTool(const QByteArray &root, const QByteArray &input, const QStringList &arguments = {})
{
    ProcessRequest request;
    request.program = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
    request.arguments = arguments;
    request.workingDirectory = QFile::decodeName(root);
    request.standardInput = input;
    request.timeout = std::chrono::seconds(60);
    return runProcess(request);
}

DotClean::Tools tools()
{
    DotClean::Tools t;
    t.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
    return t;
}

} // namespace

class TestVolumeWalker : public QObject
{
    Q_OBJECT

private slots:
    void walkReportsEverythingAndFollowsNoLink()
    {
        Sandbox box;
        const QByteArray longName(255, 'n');
        const QByteArray badName("bad\xff\xfe");
        QVERIFY(writeFile(box / ".hidden", "hello"));
        QVERIFY(makeDir(box / "dir") && makeDir(box / "dir/sub") && makeDir(box / "skip") && makeDir(box / "loopA"));
        QVERIFY(writeFile(box / "dir/.DS_Store", "x") && writeFile(box / "dir/sub/deep", "x"));
        QVERIFY(writeFile(box / "dir/" + longName, "x") && writeFile(box / badName, "x"));
        QVERIFY(writeFile(box / "skip/inside", "x"));
        QVERIFY(makeLink("dir", box / "linkToDir") && makeLink("selfLoop", box / "selfLoop"));
        QVERIFY(makeLink("..", box / "loopA/back"));

        const Walked walked = walkTree(box.path(), [](const WalkEntry &entry) {
            if (entry.name == "dir")
                return WalkDecision{true, 7};
            return WalkDecision{entry.name != "skip", 0};
        });
        QVERIFY(walked.ok);
        QVERIFY(walked.errors.isEmpty());
        const QByteArrayList expected = {".hidden", "dir", "dir/.DS_Store", "dir/sub", "dir/sub/deep",
                                         "dir/" + longName, "skip", "linkToDir", "selfLoop", "loopA",
                                         "loopA/back", badName};
        QCOMPARE(walked.entries.keys(), sorted(expected));

        const Seen link = walked.entries.value("linkToDir");
        QVERIFY(link.isSymlink && !link.isDirectory && !link.isRegularFile);
        QCOMPARE(link.size, qint64(3));   // the link itself: "dir"
        QVERIFY(walked.entries.value("dir").isDirectory);
        QVERIFY(walked.entries.value(".hidden").isRegularFile);
        QCOMPARE(walked.entries.value(".hidden").size, qint64(5));
        QCOMPARE(walked.entries.value("dir/sub/deep").depth, 3);
        QCOMPARE(walked.entries.value("dir/.DS_Store").inheritedFlags, 7u);
        QCOMPARE(walked.entries.value("dir/sub/deep").inheritedFlags, 0u);
        QVERIFY(walked.entries.value(badName).isRegularFile);

        // The helpers share the same no-follow view.
        const auto listed = VolumeWalker::listDirectory(box.path());
        QVERIFY(listed);
        QCOMPARE(listed->size(), 7);
        for (const VolumeWalker::DirEntry &entry : *listed) {
            if (entry.name == "linkToDir")
                QVERIFY(entry.isSymlink && !entry.isDirectory && entry.size == 3);
        }
        QVERIFY(!VolumeWalker::listDirectory(box / "linkToDir"));
        QCOMPARE(VolumeWalker::itemSize(box / "selfLoop").value_or(-1), qint64(8));
        QVERIFY(VolumeWalker::exists(box / "selfLoop"));
        QVERIFY(!VolumeWalker::exists(box / "missing"));
        int error = 0;
        QVERIFY(!VolumeWalker::walk(box / "missing", [](const WalkEntry &) { return WalkDecision{}; },
                                    [](const WalkError &) {}, &error));
        QCOMPARE(error, ENOENT);
    }

    void walkGoesOnAfterFolderErrors()
    {
        // A folder that disappears before it is entered.
        {
            Sandbox box;
            QVERIFY(makeDir(box / "gone") && writeFile(box / "keep", "x"));
            const Walked walked = walkTree(box.path(), [&](const WalkEntry &entry) {
                if (entry.name == "gone")
                    ::rmdir(entry.path().constData());
                return WalkDecision{};
            });
            QCOMPARE(walked.errors.size(), 1);
            QCOMPARE(walked.errors.first().path, box / "gone");
            QCOMPARE(walked.errors.first().name, QByteArray("gone"));
            QCOMPARE(walked.errors.first().errorNumber, ENOENT);
            QCOMPARE(walked.errors.first().depth, 1);
            QVERIFY(walked.entries.contains("keep"));
        }
        // An ancestor replaced while the walk is far below it, past the
        // handles it keeps open: what is now at its path is another folder.
        {
            Sandbox box;
            QVERIFY(makeDir(box / "A") && writeFile(box / "A/after", "x") && writeFile(box / "B", "x"));
            QVERIFY(makeChain(box / "A", "d", 100, "leaf"));
            const Walked walked = walkTree(box.path(), [&](const WalkEntry &entry) {
                if (entry.name == "leaf") {
                    ::rename((box / "A/d").constData(), (box / "moved").constData());
                    makeDir(box / "A/d");
                }
                return WalkDecision{};
            });
            QVERIFY(!walked.errors.isEmpty());
            for (const WalkError &error : walked.errors) {
                QCOMPARE(error.errorNumber, ESTALE);
                QVERIFY(error.path.startsWith(box / "A/d"));
            }
            QVERIFY(walked.entries.contains("A/after"));
            QVERIFY(walked.entries.contains("B"));
            QVERIFY(walked.entries.contains("A/d"));
        }
    }

    void longPathsAndDeepTreesWithBoundedHandles()
    {
        Sandbox box;
        const QByteArray longName(200, 'L');
        QVERIFY(makeDir(box / "long") && makeChain(box / "long", longName, 40, "leaf"));
        QVERIFY(makeDir(box / "deep") && makeChain(box / "deep", "d", 3000, "bottom"));
        QByteArray leafPath = box / "long";
        for (int i = 0; i < 40; ++i)
            leafPath += '/' + longName;
        leafPath += "/leaf";
        QVERIFY(leafPath.size() > PATH_MAX);

        const int before = openDescriptors();
        int most = 0;
        QByteArray reportedLeaf;
        qint64 leafSize = -1;
        int bottomDepth = 0;
        int count = 0;
        const bool ok = VolumeWalker::walk(
            box.path(),
            [&](const WalkEntry &entry) {
                ++count;
                if (entry.name == "leaf") {
                    reportedLeaf = entry.path();
                    leafSize = entry.size();
                } else if (entry.name == "bottom") {
                    bottomDepth = entry.depth;
                    most = openDescriptors();
                }
                return WalkDecision{};
            },
            [](const WalkError &error) { QFAIL(qPrintable(QStringLiteral("walk error %1").arg(error.errorNumber))); });
        QVERIFY(ok);
        QCOMPARE(count, 1 + 40 + 1 + 1 + 3000 + 1);
        QCOMPARE(reportedLeaf, leafPath);
        QCOMPARE(leafSize, qint64(4));
        QCOMPARE(bottomDepth, 3002);
        QVERIFY2(most - before < 80, qPrintable(QStringLiteral("%1 handles open at depth 3000").arg(most - before)));
        QCOMPARE(openDescriptors(), before);

        QString error;
        QVERIFY2(SafeRemove::removeItem(box.path(), leafPath, &error), qPrintable(error));
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "long", &error), qPrintable(error));
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "deep", &error), qPrintable(error));
        QVERIFY(!present(box / "long") && !present(box / "deep"));
        QCOMPARE(openDescriptors(), before);
    }

    void isInsideByWholeComponents_data()
    {
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("inside");
        QTest::newRow("child") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/x") << true;
        QTest::newRow("nested") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/a/._b") << true;
        QTest::newRow("longer sibling") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB2/x") << false;
        QTest::newRow("root with slash") << QByteArray("/media/u/USB/") << QByteArray("/media/u/USB/x") << true;
        QTest::newRow("root itself") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB") << false;
        QTest::newRow("root itself, slash") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/") << false;
        QTest::newRow("trailing slash") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/x/") << false;
        QTest::newRow("double slash") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB//x") << false;
        QTest::newRow("dot-dot out") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/../etc") << false;
        QTest::newRow("dot-dot deep") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/a/../../x") << false;
        QTest::newRow("dot") << QByteArray("/media/u/USB") << QByteArray("/media/u/USB/./x") << false;
        QTest::newRow("filesystem root") << QByteArray("/") << QByteArray("/x") << true;
        QTest::newRow("working dir") << QByteArray(".") << QByteArray("sub/._a") << true;
        QTest::newRow("working dir, ./") << QByteArray(".") << QByteArray("./sub/._a") << true;
        QTest::newRow("working dir, ..") << QByteArray(".") << QByteArray("../x") << false;
        QTest::newRow("working dir, absolute") << QByteArray(".") << QByteArray("/etc/x") << false;
        QTest::newRow("working dir itself") << QByteArray(".") << QByteArray(".") << false;
        QTest::newRow("empty root") << QByteArray() << QByteArray("/x") << false;
    }

    void isInsideByWholeComponents()
    {
        QFETCH(QByteArray, root);
        QFETCH(QByteArray, path);
        QFETCH(bool, inside);
        QCOMPARE(SafeRemove::isInside(root, path), inside);
    }

    void removeItemStaysInsideTheVolume()
    {
        Sandbox box;
        Sandbox outside;
        QVERIFY(writeFile(outside / "canary", "keep me") && makeDir(outside / "inner"));
        QVERIFY(writeFile(outside / "inner/file", "keep me too"));
        QVERIFY(makeDir(box / "real") && writeFile(box / "real/victim", "x"));
        QVERIFY(makeLink("real", box / "viaLink") && makeLink(outside.path(), box / "out"));
        QVERIFY(makeLink(outside / "canary", box / "fileLink"));
        QVERIFY(makeDir(box / "folder") && makeDir(box / "folder/sub") && makeDir(box / "folder/bad\xff"));
        QVERIFY(writeFile(box / "folder/x", "x") && writeFile(box / "folder/sub/\xff\xfe", "x"));
        QVERIFY(writeFile(box / "folder/bad\xff/y", "y"));
        QVERIFY(makeLink(outside.path(), box / "folder/ln") && makeLink(outside / "canary", box / "folder/sub/ln2"));
        QVERIFY(writeFile(box / "\xff._bad", "x"));

        QString error;
        int number = 0;
        // Through a link to a folder inside or outside the volume: refused.
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "viaLink/victim", &error, &number));
        QVERIFY(number == ENOTDIR || number == ELOOP);
        QVERIFY(!error.isEmpty());
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "out/inner", &error));
        QVERIFY(!SafeRemove::openParent(box.path(), box / "out/inner/file"));
        // A path outside the root: refused.
        QVERIFY(!SafeRemove::removeItem(box.path(), outside / "canary", &error, &number));
        QCOMPARE(number, EINVAL);
        // Links go, their targets stay.
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "fileLink", &error), qPrintable(error));
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "out", &error), qPrintable(error));
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "folder", &error), qPrintable(error));
        QVERIFY2(SafeRemove::removeItem(box.path(), box / "\xff._bad", &error), qPrintable(error));
        QVERIFY(!present(box / "fileLink") && !present(box / "out") && !present(box / "folder"));
        QVERIFY(!present(box / "\xff._bad"));
        QVERIFY(present(box / "real/victim"));
        QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
        QCOMPARE(readFile(outside / "inner/file"), QByteArray("keep me too"));
        // Already gone.
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "folder", &error, &number));
        QCOMPARE(number, ENOENT);
        QVERIFY(!error.isEmpty());
    }

    void mountPointsAreNeitherEnteredNorRemoved()
    {
        if (geteuid() != 0)
            QSKIP("mounting needs root");
        Sandbox box;
        QVERIFY(makeDir(box / "holder") && makeDir(box / "holder/mnt") && writeFile(box / "holder/beside", "x"));
        QVERIFY(makeDir(box / "src") && writeFile(box / "src/x", "x") && makeDir(box / "bind"));
        ScopedMounts mounts;
        if (!mounts.mount({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")}, box / "holder/mnt"))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") + mounts.error()));
        QVERIFY(writeFile(box / "holder/mnt/inside", "mounted"));
        // A bind mount from the same device: st_dev alone cannot tell it.
        QVERIFY2(mounts.mount({QStringLiteral("--bind"), QFile::decodeName(box / "src")}, box / "bind"),
                 qPrintable(mounts.error()));

        const Walked walked = walkTree(box.path());
        QVERIFY(walked.errors.isEmpty());
        QVERIFY(walked.entries.value("holder/mnt").isDirectory);
        QVERIFY(walked.entries.value("bind").isDirectory);
        QVERIFY(walked.entries.contains("src/x"));
        QVERIFY(!walked.entries.contains("holder/mnt/inside"));
        QVERIFY(!walked.entries.contains("bind/x"));

        QString error;
        int number = 0;
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "holder/mnt", &error, &number));
        QCOMPARE(number, EXDEV);
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "holder", &error, &number));
        QCOMPARE(number, EXDEV);
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "bind", &error, &number));
        QCOMPARE(number, EXDEV);
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "holder/mnt/inside", &error, &number));
        QCOMPARE(number, EXDEV);
        QCOMPARE(readFile(box / "holder/mnt/inside"), QByteArray("mounted"));
        QVERIFY(present(box / "src/x"));
    }

    void dotCleanToolRemovesExactlyWhatItIsHanded_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("failureLines");
        QTest::addColumn<QByteArrayList>("gone");
        QTest::addColumn<QByteArrayList>("kept");
        const QByteArrayList all = {"._a", "sub/._b", "sub/._c\xff", "._keep", "._x", "._dir/f", "plain", "@out/._y",
                                    "@out/canary"};
        const auto without = [&](const QByteArrayList &gone) {
            QByteArrayList kept;
            for (const QByteArray &p : all) {
                if (!gone.contains(p))
                    kept << p;
            }
            return kept;
        };
        const QByteArrayList listed = {"._a", "sub/._b", "sub/._c\xff"};
        QTest::newRow("listed files only") << nulList({"._a", "sub/._b", "sub/._c\xff", "._missing", "gone/._z"})
                                           << QStringList() << 0 << 0 << listed << without(listed);
        QTest::newRow("no end separator") << QByteArray("._a") << QStringList() << 0 << 0 << QByteArrayList{"._a"}
                                          << without({"._a"});
        QTest::newRow("link") << nulList({"._x"}) << QStringList() << 1 << 1 << QByteArrayList() << all;
        QTest::newRow("folder") << nulList({"._dir"}) << QStringList() << 1 << 1 << QByteArrayList() << all;
        QTest::newRow("not AppleDouble") << nulList({"plain"}) << QStringList() << 1 << 1 << QByteArrayList() << all;
        QTest::newRow("linked parent") << nulList({"out/._y"}) << QStringList() << 1 << 1 << QByteArrayList() << all;
        QTest::newRow("dot-dot") << nulList({"sub/../._a", "../@outname/._y", "./._a"}) << QStringList() << 1 << 3
                                 << QByteArrayList() << all;
        QTest::newRow("absolute") << nulList({"@out/._y"}) << QStringList() << 1 << 1 << QByteArrayList() << all;
        QTest::newRow("mixed") << nulList({"._x", "._a"}) << QStringList() << 1 << 1 << QByteArrayList{"._a"}
                               << without({"._a"});
        QTest::newRow("usage") << nulList({"._a"}) << QStringList{QStringLiteral(".")} << 2 << -1 << QByteArrayList()
                               << all;
    }

    void dotCleanToolRemovesExactlyWhatItIsHanded()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(int, failureLines);
        QFETCH(QByteArrayList, gone);
        QFETCH(QByteArrayList, kept);
        Sandbox box;
        Sandbox outside;
        QVERIFY(makeDir(box / "sub") && makeDir(box / "._dir") && writeFile(box / "._dir/f", "f"));
        for (const char *name : {"._a", "sub/._b", "sub/._c\xff", "._keep", "plain"})
            QVERIFY(writeFile(box / name, "x"));
        QVERIFY(writeFile(outside / "canary", "keep me") && writeFile(outside / "._y", "y"));
        QVERIFY(makeLink(outside / "canary", box / "._x") && makeLink(outside.path(), box / "out"));
        const auto resolve = [&](QByteArray path) {
            path.replace("@out", outside.path());
            return path.startsWith('/') ? path : box / path;
        };

        input.replace("@outname", QFileInfo(QFile::decodeName(outside.path())).fileName().toUtf8());
        input.replace("@out", outside.path());
        const ProcessResult result = runTool(box.path(), input, arguments);
        QVERIFY(result.exitedNormally());
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.standardOutput, QByteArray());
        if (failureLines >= 0)   // one line per path that is not gone
            QCOMPARE(int(result.standardError.count('\n')), failureLines);
        for (const QByteArray &path : gone)
            QVERIFY2(!present(resolve(path)), path.constData());
        for (const QByteArray &path : kept)
            QVERIFY2(present(resolve(path)), path.constData());
        QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
    }

    void runDotCleanOutcomes()
    {
        Sandbox box;
        Sandbox outside;
        QVERIFY(makeDir(box / "sub") && writeFile(box / "._a", "x") && writeFile(box / "sub/._b", "x"));
        QVERIFY(writeFile(outside / "._z", "z") && writeFile(outside / "canary", "keep me"));

        {   // Exit 0; a path outside the root is never handed over.
            StdoutCapture capture;
            QVERIFY(DotClean::runDotClean(tools(), box.path(), {box / "._a", box / "sub/._b", outside / "._z"}));
            const QStringList lines = capture.lines();
            QCOMPARE(lines.first(), QStringLiteral("使用dot_clean命令处理exFAT设备上的._文件: ") + QFile::decodeName(box.path()));
            QVERIFY(lines.contains(QStringLiteral("跳过不在设备内的路径: ") + QFile::decodeName(outside / "._z")));
            QCOMPARE(lines.last(), QStringLiteral("dot_clean命令执行成功，状态码: 0"));
            QVERIFY(!present(box / "._a") && !present(box / "sub/._b") && present(outside / "._z"));
        }
        {   // Exit 1, but what remains sits in a subfolder: the root listing passes.
            QVERIFY(makeLink(outside / "canary", box / "sub/._l"));
            StdoutCapture capture;
            QVERIFY(DotClean::runDotClean(tools(), box.path(), {box / "sub/._l"}));
            const QStringList lines = capture.lines();
            QVERIFY(lines.filter(QStringLiteral("dot_clean命令错误输出: ")).size() == 1);
            QVERIFY(lines.contains(QStringLiteral("._文件清理状态: 成功")));
            QCOMPARE(lines.last(), QStringLiteral("dot_clean命令执行成功，状态码: 1"));
            QVERIFY(present(box / "sub/._l"));
        }
        {   // Exit 1 and the root still lists one (a folder, which the tool refuses).
            QVERIFY(makeDir(box / "._x"));
            StdoutCapture capture;
            QVERIFY(!DotClean::runDotClean(tools(), box.path(), {box / "._x"}));
            const QStringList lines = capture.lines();
            QVERIFY(lines.contains(QStringLiteral("发现仍存在的._文件: ._x")));
            QVERIFY(lines.contains(QStringLiteral("._文件清理状态: 失败，还有1个文件未清理")));
            QCOMPARE(lines.last(), QStringLiteral("dot_clean命令执行失败，状态码: 1"));
        }
        {   // The tool cannot be started.
            DotClean::Tools missing = tools();
            missing.dotClean = QFile::decodeName(box / "no-such-tool");
            StdoutCapture capture;
            QVERIFY(!DotClean::runDotClean(missing, box.path(), {box / "._x"}));
            QVERIFY(capture.lines().last().startsWith(QStringLiteral("启动dot_clean命令失败: ")));
        }
        QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
    }

    void rootListingAndPerItemChecks()
    {
        Sandbox box;
        for (const char *name : {"._one", "._two", "._three four", "plain"})
            QVERIFY(writeFile(box / name, "x"));
        {
            StdoutCapture capture;
            QVERIFY(!DotClean::verifyAppleDoubleFilesCleaned(tools(), box.path()));
            QCOMPARE(capture.lines(),
                     QStringList({QStringLiteral("检查._文件是否已被清理: ") + QFile::decodeName(box.path()),
                                  QStringLiteral("发现仍存在的._文件: ._one"), QStringLiteral("发现仍存在的._文件: ._two"),
                                  QStringLiteral("._文件清理状态: 失败，还有2个文件未清理")}));
        }
        {
            DotClean::Tools missing = tools();
            missing.ls = QFile::decodeName(box / "no-such-ls");
            StdoutCapture capture;
            QVERIFY(!DotClean::verifyAppleDoubleFilesCleaned(missing, box.path()));
            QVERIFY(capture.lines().last().startsWith(QStringLiteral("检查._文件清理状态失败: ")));
        }

        QVERIFY(writeFile(box / "._bad\xff", "x") && makeLink("nowhere", box / "._dangling"));
        const QList<FileItem> items = {FileItem::fromNativePath(box / "._gone1", 1), FileItem::fromNativePath(box / "._one", 1),
                                       FileItem::fromNativePath(box / "._bad\xff", 1),
                                       FileItem::fromNativePath(box / "._dangling", 1),
                                       FileItem::fromNativePath(box / "._gone2", 1)};
        StdoutCapture capture;
        const auto [removed, remaining] = DotClean::checkAppleDoubleItemsRemoved(items);
        QCOMPARE(removed.size(), 2);
        QCOMPARE(removed.at(0).path, items.at(0).path);
        QCOMPARE(removed.at(1).path, items.at(4).path);
        QCOMPARE(remaining.size(), 3);
        QCOMPARE(remaining.at(0).path, items.at(1).path);
        QCOMPARE(remaining.at(1).fsPath(), box / "._bad\xff");
        QCOMPARE(remaining.at(2).path, items.at(3).path);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0), QStringLiteral("._文件已被成功清理: ") + items.at(0).path);
        QCOMPARE(lines.at(1), QStringLiteral("._文件清理失败，仍然存在: ") + items.at(1).path);
        QVERIFY(DotClean::checkAppleDoubleItemsRemoved({}).first.isEmpty());
    }

    void fatVolumeWithoutEntryTypes()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 64, QStringLiteral("STICK"));
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const auto mounted = loop ? fx.mountFat(*loop, fx.mountRoot() + QStringLiteral("/stick")) : std::nullopt;
        if (!mounted)
            QSKIP(qPrintable(fx.lastError()));
        const QByteArray root = QFile::encodeName(*mounted);
        QVERIFY(makeDir(root + "/dir") && writeFile(root + "/._a", "ab") && writeFile(root + "/dir/._b", "b"));
        QVERIFY(writeFile(root + "/dir/keep.txt", "k"));

        const Walked walked = walkTree(root);
        QVERIFY(walked.errors.isEmpty());
        // fusefat also lists the volume label as an entry of the root.
        for (const char *path : {"._a", "dir/._b", "dir/keep.txt"})
            QVERIFY2(walked.entries.value(path).isRegularFile, path);
        QVERIFY(walked.entries.value("dir").isDirectory);
        QVERIFY(walked.entries.value("._a").isRegularFile);
        QCOMPARE(walked.entries.value("._a").size, qint64(2));

        StdoutCapture capture;
        QVERIFY(DotClean::runDotClean(tools(), root, {root + "/._a", root + "/dir/._b"}));
        QVERIFY(!present(root + "/._a") && !present(root + "/dir/._b") && present(root + "/dir/keep.txt"));
    }
};

SWEEPBROOK_TEST_MAIN(TestVolumeWalker)
#include "test_volume_walker.moc"
