#include "BytePaths.h"
#include "MountFixture.h"
#include "TestMain.h"

#include "cleaning/VolumeWalker.h"

#include <QDir>
#include <QMap>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <unistd.h>

using namespace testsupport;

namespace {

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

    // A stop ends the walk at that entry: nothing more is handed out, from
    // that folder (files are handed out while it is read) or any other.
    void stopEndsTheWalk()
    {
        Sandbox box;
        QVERIFY(makeDir(box / "a") && makeDir(box / "a/deep") && makeDir(box / "b"));
        for (const char *file : {"a/1", "a/2", "a/3", "a/deep/4", "b/5", "6"})
            QVERIFY(writeFile(box / file));
        int afterStop = 0;
        bool stopped = false;
        const Walked walked = walkTree(box.path(), [&](const WalkEntry &entry) {
            afterStop += stopped;
            stopped = stopped || entry.name == "2" || entry.name == "deep";
            return WalkDecision{true, 0, stopped};
        });
        QVERIFY(walked.ok && stopped);
        QCOMPARE(afterStop, 0);
        QVERIFY(walked.entries.size() < 9);
    }

    // A pass over the root's own entries rides on the walk's one reading of
    // the root: the entries it holds (files and folders) reach it with the
    // number of all entries before the walk hands any of them out; the other
    // files come while the root is read; held folders are still walked.
    void rootPassRidesOnTheReading()
    {
        Sandbox box;
        QVERIFY(writeFile(box / "plain") && writeFile(box / ".hidden") && makeDir(box / ".Trashes"));
        QVERIFY(writeFile(box / ".Trashes/inside") && makeDir(box / "docs") && writeFile(box / "docs/.DS_Store"));
        QByteArrayList events;
        const RootPass pass{[](QByteArrayView name) { return name.startsWith('.'); },
                            [&](const QList<WalkEntry> &held, qsizetype count, int error) {
                                QByteArrayList names;
                                for (const WalkEntry &entry : held)
                                    names << entry.name + (entry.isDirectory ? "/" : "");
                                std::sort(names.begin(), names.end());
                                events << "listed " + names.join(',') + ' ' + QByteArray::number(count) + ' '
                                              + QByteArray::number(error);
                            }};
        QVERIFY(VolumeWalker::walk(
            box.path(), [&](const WalkEntry &entry) { events << entry.path().mid(box.path().size() + 1); return WalkDecision{}; },
            [](const WalkError &) {}, nullptr, &pass));
        const qsizetype listed = events.indexOf("listed .Trashes/,.hidden 4 0");
        QVERIFY2(listed >= 0, events.join(" | "));
        QCOMPARE(events.indexOf("plain"), listed - 1);    // read before the pass
        QCOMPARE(events.indexOf(".hidden"), listed + 1);  // handed out after it
        for (const char *later : {".Trashes", ".Trashes/inside", "docs", "docs/.DS_Store"})
            QVERIFY2(events.indexOf(later) > listed, later);

        // A root that cannot be opened: no pass, the walk says so.
        int error = 0;
        QVERIFY(!VolumeWalker::walk(box / "missing", [](const WalkEntry &) { return WalkDecision{}; },
                                    [](const WalkError &) {}, &error, &pass));
        QCOMPARE(error, ENOENT);
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
    }

    void mountPointsAreNotEntered()
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
    }
};

SWEEPBROOK_TEST_MAIN(TestVolumeWalker)
#include "test_volume_walker.moc"
