#include "StdoutCapture.h"
#include "BytePaths.h"
#include "MountFixture.h"
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

using namespace testsupport;

namespace {

// A temporary folder, its path as bytes. Removed through SafeRemove:
// QTemporaryDir cannot remove names that are not UTF-8, nor trees past PATH_MAX.
struct Sandbox : QTemporaryDir
{
    Sandbox() { setAutoRemove(false); }
    ~Sandbox() { SafeRemove::removeItem(QFile::encodeName(QFileInfo(QTemporaryDir::path()).absolutePath()), path()); }
    QByteArray path() const { return QFile::encodeName(QTemporaryDir::path()); }
    QByteArray operator/(const QByteArray &relative) const { return path() + '/' + relative; }
};

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

struct Walked
{
    bool ok = false;
    // By path relative to the root: "<dir|file|link|other> <size> d<depth> f<inherited flags>".
    QMap<QByteArray, QByteArray> entries;
    QList<WalkError> errors;
};

Walked walkTree(const QByteArray &root, const std::function<WalkDecision(const WalkEntry &)> &decide = {})
{
    Walked walked;
    walked.ok = VolumeWalker::walk(
        root,
        [&](const WalkEntry &entry) {
            const char *type = entry.isDirectory ? "dir" : entry.isRegularFile ? "file" : entry.isSymlink ? "link" : "other";
            walked.entries.insert(entry.path().mid(root.size() + 1), QStringLiteral("%1 %2 d%3 f%4").arg(type).arg(entry.lstat() ? qint64(entry.lstat()->st_size) : 0)
                                                                         .arg(entry.depth).arg(entry.inheritedFlags).toUtf8());
            return decide ? decide(entry) : WalkDecision{};
        },
        [&](const WalkError &error) { walked.errors.append(error); });
    return walked;
}

// Runs `call` with what it prints captured into *lines. Nothing is asserted
// while capturing: the test's own report goes to standard output too.
template<typename Call>
auto quietly(Call call, QStringList *lines = nullptr)
{
    StdoutCapture capture;
    auto result = call();
    const QStringList captured = capture.lines();
    if (lines)
        *lines = captured;
    return result;
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
        QVERIFY(writeFile(box / "dir/.DS_Store") && writeFile(box / "dir/sub/deep"));
        QVERIFY(writeFile(box / "dir/" + longName) && writeFile(box / badName) && writeFile(box / "skip/inside"));
        QVERIFY(makeLink("dir", box / "linkToDir") && makeLink("selfLoop", box / "selfLoop"));
        QVERIFY(makeLink("..", box / "loopA/back"));

        const Walked walked = walkTree(box.path(), [](const WalkEntry &entry) {
            return entry.name == "dir" ? WalkDecision{true, 7} : WalkDecision{entry.name != "skip", 0};
        });
        QVERIFY(walked.ok);
        QVERIFY(walked.errors.isEmpty());
        QByteArrayList expected = {".hidden", "dir", "dir/.DS_Store", "dir/sub", "dir/sub/deep", "dir/" + longName,
                                   "skip", "linkToDir", "selfLoop", "loopA", "loopA/back", badName};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(walked.entries.keys(), expected);

        QCOMPARE(walked.entries.value("linkToDir"), "link 3 d1 f0");   // the link itself: "dir"
        QCOMPARE(walked.entries.value(".hidden"), "file 5 d1 f0");
        QCOMPARE(walked.entries.value("dir/.DS_Store"), "file 1 d2 f7");
        QCOMPARE(walked.entries.value("dir/sub/deep"), "file 1 d3 f0");
        QCOMPARE(walked.entries.value(badName), "file 1 d1 f0");

        // The helpers share the same no-follow view.
        QCOMPARE(VolumeWalker::listDirectory(box.path()).value_or(QList<VolumeWalker::DirEntry>()).size(), 7);
        QVERIFY(!VolumeWalker::listDirectory(box / "linkToDir"));
        QCOMPARE(VolumeWalker::itemStat(box / "selfLoop") ? qint64(VolumeWalker::itemStat(box / "selfLoop")->st_size) : -1, qint64(8));
    }

    // An ancestor replaced while the walk is far below it, past the handles
    // it keeps open: what is now at its path is another folder, which the walk
    // reports and does not enter; it goes on with the rest.
    void walkNoticesAReplacedAncestor()
    {
        Sandbox box;
        QVERIFY(makeDir(box / "A") && writeFile(box / "A/after") && writeFile(box / "B"));
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
        QVERIFY(walked.entries.contains("A/after") && walked.entries.contains("B"));
    }

    void longPathsAndDeepTreesWithBoundedHandles()
    {
        Sandbox box;
        const QByteArray longName(200, 'L');
        QVERIFY(makeDir(box / "long") && makeChain(box / "long", longName, 40, "leaf"));
        QVERIFY(makeDir(box / "deep") && makeChain(box / "deep", "d", 3000, "bottom"));
        const QByteArray leafPath = box / "long" + ('/' + longName).repeated(40) + "/leaf";
        QVERIFY(leafPath.size() > PATH_MAX);

        const int before = openDescriptors();
        int most = 0;
        const Walked walked = walkTree(box.path(), [&](const WalkEntry &entry) {
            if (entry.name == "bottom")
                most = openDescriptors();
            return WalkDecision{};
        });
        QVERIFY(walked.ok && walked.errors.isEmpty());
        QCOMPARE(walked.entries.size(), 1 + 40 + 1 + 1 + 3000 + 1);
        QCOMPARE(walked.entries.value(leafPath.mid(box.path().size() + 1)), "file 4 d42 f0");
        QCOMPARE(walked.entries.value("deep" + QByteArray("/d").repeated(3000) + "/bottom"), "file 6 d3002 f0");
        QVERIFY2(most - before < 80, qPrintable(QStringLiteral("%1 handles open at depth 3000").arg(most - before)));
        QCOMPARE(openDescriptors(), before);

        QString error;
        for (const QByteArray &path : {leafPath, box / "long", box / "deep"})
            QVERIFY2(SafeRemove::removeItem(box.path(), path, &error), qPrintable(error));
        QVERIFY(!exists(box / "long") && !exists(box / "deep"));
        QCOMPARE(openDescriptors(), before);
    }

    void isInsideByWholeComponents()
    {
        const std::tuple<const char *, const char *, bool> rows[] = {
            {"/m/USB", "/m/USB/x", true},       {"/m/USB", "/m/USB/a/._b", true},  {"/m/USB/", "/m/USB/x", true},
            {"/m/USB", "/m/USB2/x", false},     {"/m/USB", "/m/USB", false},       {"/m/USB", "/m/USB/", false},
            {"/m/USB", "/m/USB/x/", false},     {"/m/USB", "/m/USB//x", false},    {"/m/USB", "/m/USB/../etc", false},
            {"/m/USB", "/m/USB/a/../../x", false}, {"/m/USB", "/m/USB/./x", false}, {"/", "/x", true},
            {".", "sub/._a", true},             {".", "./sub/._a", true},          {".", "../x", false},
            {".", "/etc/x", false},             {".", ".", false},                 {"", "/x", false},
        };
        for (const auto &[root, path, inside] : rows)
            QVERIFY2(SafeRemove::isInside(root, path) == inside, path);
    }

    void removeItemStaysInsideTheVolume()
    {
        Sandbox box;
        Sandbox outside;
        QVERIFY(writeFile(outside / "canary", "keep me") && makeDir(outside / "inner"));
        QVERIFY(writeFile(outside / "inner/file", "keep me too"));
        QVERIFY(makeDir(box / "real") && writeFile(box / "real/victim"));
        QVERIFY(makeLink("real", box / "viaLink") && makeLink(outside.path(), box / "out"));
        QVERIFY(makeLink(outside / "canary", box / "fileLink"));
        QVERIFY(makeDir(box / "folder") && makeDir(box / "folder/sub") && makeDir(box / "folder/bad\xff"));
        QVERIFY(writeFile(box / "folder/sub/\xff\xfe") && writeFile(box / "folder/bad\xff/y"));
        QVERIFY(makeLink(outside.path(), box / "folder/ln") && makeLink(outside / "canary", box / "folder/sub/ln2"));
        QVERIFY(writeFile(box / "\xff._bad"));

        QString error;
        int number = 0;
        // Through a link to a folder inside or outside the volume: refused.
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "viaLink/victim", &error, &number));
        QVERIFY(number == ENOTDIR || number == ELOOP);
        QVERIFY(!SafeRemove::removeItem(box.path(), box / "out/inner", &error));
        QVERIFY(!SafeRemove::openParent(box.path(), box / "out/inner/file"));
        // A path outside the root: refused.
        QVERIFY(!SafeRemove::removeItem(box.path(), outside / "canary", &error, &number));
        QCOMPARE(number, EINVAL);
        // Links go, their targets stay.
        for (const char *name : {"fileLink", "out", "folder", "\xff._bad"}) {
            QVERIFY2(SafeRemove::removeItem(box.path(), box / name, &error), qPrintable(error));
            QVERIFY(!exists(box / name));
        }
        QVERIFY(exists(box / "real/victim"));
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

        const Walked walked = walkTree(box.path());
        QVERIFY(walked.errors.isEmpty());
        QVERIFY(walked.entries.value("holder/mnt").startsWith("dir ") && walked.entries.value("bind").startsWith("dir "));
        QVERIFY(walked.entries.contains("src/x"));
        QVERIFY(!walked.entries.contains("holder/mnt/inside") && !walked.entries.contains("bind/x"));

        for (const char *path : {"holder/mnt", "holder", "bind", "holder/mnt/inside"}) {
            int number = 0;
            QVERIFY2(!SafeRemove::removeItem(box.path(), box / path, nullptr, &number), path);
            QCOMPARE(number, EXDEV);
        }
        QCOMPARE(readFile(box / "holder/mnt/inside"), QByteArray("mounted"));
        QVERIFY(exists(box / "src/x"));
    }

    // The tool takes NUL-separated paths relative to its working directory and
    // removes only regular "._" files reached without links, one error line per
    // path it refuses (-1: not counted); "@out" stands for a folder outside the volume.
    void dotCleanToolRemovesExactlyWhatItIsHanded()
    {
        struct Row { const char *name; QByteArray input; QStringList arguments; int exitCode, failureLines; QByteArrayList gone; };
        const Row rows[] = {
            {"listed files only", nulList({"._a", "sub/._b", "sub/._c\xff", "._missing", "gone/._z"}), {}, 0, 0,
             {"._a", "sub/._b", "sub/._c\xff"}},
            {"no end separator", "._a", {}, 0, 0, {"._a"}},
            {"link", nulList({"._x"}), {}, 1, 1, {}},
            {"folder", nulList({"._dir"}), {}, 1, 1, {}},
            {"not AppleDouble", nulList({"plain"}), {}, 1, 1, {}},
            {"linked parent", nulList({"out/._y"}), {}, 1, 1, {}},
            {"dot-dot", nulList({"sub/../._a", "../@outname/._y", "./._a"}), {}, 1, 3, {}},
            {"absolute", nulList({"@out/._y"}), {}, 1, 1, {}},
            {"mixed", nulList({"._x", "._a"}), {}, 1, 1, {"._a"}},
            {"usage", nulList({"._a"}), {QStringLiteral(".")}, 2, -1, {}},
        };
        for (const Row &row : rows) {
            Sandbox box;
            Sandbox outside;
            QVERIFY(makeDir(box / "sub") && makeDir(box / "._dir") && writeFile(box / "._dir/f"));
            const QByteArrayList files = {"._a", "sub/._b", "sub/._c\xff", "._keep", "plain"};
            for (const QByteArray &name : files)
                QVERIFY(writeFile(box / name));
            QVERIFY(writeFile(outside / "canary", "keep me") && writeFile(outside / "._y", "y"));
            QVERIFY(makeLink(outside / "canary", box / "._x") && makeLink(outside.path(), box / "out"));

            QByteArray input = row.input;
            input.replace("@outname", QFileInfo(QFile::decodeName(outside.path())).fileName().toUtf8());
            input.replace("@out", outside.path());
            ProcessRequest request;
            request.program = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
            request.arguments = row.arguments;
            request.workingDirectory = QFile::decodeName(box.path());
            request.standardInput = input;
            request.timeout = std::chrono::seconds(60);
            const ProcessResult result = runProcess(request);
            QVERIFY2(result.exitedNormally() && result.exitCode == row.exitCode && result.standardOutput.isEmpty()
                         && (row.failureLines < 0 || result.standardError.count('\n') == row.failureLines),
                     qPrintable(QStringLiteral("%1: exit %2, %3").arg(row.name).arg(result.exitCode).arg(result.standardError)));
            for (const QByteArray &path : files + QByteArrayList{"._x", "._dir/f"})
                QVERIFY2(exists(box / path) != row.gone.contains(path), (row.name + (": " + path)).constData());
            QVERIFY(exists(outside / "._y"));
            QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));
        }
    }

    // runDotClean trusts a failed run only when the root listing shows no "._"
    // name, and never hands the tool a path outside the root.
    void runDotCleanAndItsChecks()
    {
        Sandbox box;
        Sandbox outside;
        QVERIFY(makeDir(box / "sub") && writeFile(box / "._a") && writeFile(box / "sub/._b"));
        QVERIFY(writeFile(outside / "._z", "z") && writeFile(outside / "canary", "keep me"));
        const DotClean::Tools tools{QStringLiteral(SWEEPBROOK_DOT_CLEAN)};
        const auto run = [&box](const DotClean::Tools &with, const QByteArrayList &paths, QStringList *lines = nullptr) {
            return quietly([&] { return DotClean::runDotClean(with, box.path(), paths); }, lines);
        };
        QStringList lines;
        QVERIFY(run(tools, {box / "._a", box / "sub/._b", outside / "._z"}, &lines));
        QVERIFY(lines.contains(QStringLiteral("跳过不在设备内的路径: ") + QFile::decodeName(outside / "._z")));
        QVERIFY(!exists(box / "._a") && !exists(box / "sub/._b") && exists(outside / "._z"));
        // Exit 1, but what remains sits in a subfolder: the root listing passes.
        QVERIFY(makeLink(outside / "canary", box / "sub/._l"));
        QVERIFY(run(tools, {box / "sub/._l"}) && exists(box / "sub/._l"));
        // Exit 1 and the root still lists one (a folder, which the tool refuses).
        QVERIFY(makeDir(box / "._x"));
        QVERIFY(!run(tools, {box / "._x"}));
        DotClean::Tools missing = tools;
        missing.dotClean = QFile::decodeName(box / "no-such-tool");
        QVERIFY(!run(missing, {box / "._x"}));
        QCOMPARE(readFile(outside / "canary"), QByteArray("keep me"));

        missing = tools;
        missing.ls = QFile::decodeName(box / "no-such-ls");
        QVERIFY(!quietly([&] { return DotClean::verifyAppleDoubleFilesCleaned(missing, box.path()); }));

        // Anything at the path (a dangling link too) counts as remaining.
        QVERIFY(writeFile(box / "._bad\xff") && makeLink("nowhere", box / "._dangling"));
        QList<FileItem> items;
        for (const char *name : {"._gone1", "._x", "._bad\xff", "._dangling", "._gone2"})
            items << FileItem::fromNativePath(box / name, 1);
        const auto [removed, remaining] = quietly([&] { return DotClean::checkAppleDoubleItemsRemoved(items); });
        const auto paths = [](const QList<FileItem> &list) {
            QByteArrayList out;
            for (const FileItem &item : list)
                out << item.fsPath();
            return out;
        };
        QCOMPARE(paths(removed), (QByteArrayList{box / "._gone1", box / "._gone2"}));
        QCOMPARE(paths(remaining), (QByteArrayList{box / "._x", box / "._bad\xff", box / "._dangling"}));
    }
};

SWEEPBROOK_TEST_MAIN(TestVolumeWalker)
#include "test_volume_walker.moc"
