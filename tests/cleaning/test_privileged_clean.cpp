// The batches of SystemCleanHelper and our administrator tool
// (sweepbrook-admin-clean), run for real: as root directly, through stand-ins
// for pkexec, as an unprivileged account, on ext4, FAT32 and exFAT volumes,
// and against an account that rearranges the volume while the tool works.
// Every count is compared with the disk.

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/VolumeCleaner.h"
#include "cleaning/VolumeScanner.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "BytePaths.h"
#include "DiskChecks.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace testsupport;
using pathhandles::Handle;
using Items = SystemCleanHelper::Items;
using Paths = QList<QByteArray>;

namespace {

// Where the app would take it from: a folder only root can change.
const QString kTool = testsupport::trustedCopyOf(QStringLiteral(SWEEPBROOK_ADMIN_CLEAN));
const QString kProbe = QStringLiteral(SWEEPBROOK_CLEAN_PROBE);
const QByteArray kDismiss =
    "cat >/dev/null\necho 'Error executing command as another user: Request dismissed' >&2\nexit 126\n";
// pkexec with no authentication agent in the session and no terminal for one of its own.
const QByteArray kNoAgentWords = "Error creating textual authentication agent: Error opening current controlling "
                                 "terminal for the process (`/dev/tty'): No such device or address (polkit-error-quark)";
const QByteArray kNoAgent = "cat >/dev/null\ncat >&2 <<'EOF'\n" + kNoAgentWords + "\nEOF\nexit 127\n";
// pkexec with no polkit authority on the system bus.
const QByteArray kNoAuthority = "cat >/dev/null\necho 'Error getting authority: Error initializing authority: Could not "
                                "connect: No such file or directory' >&2\nexit 127\n";
// Junk by the catalogue (temporary files, AppleDouble files), with names a shell would misread.
const QList<QByteArray> kHostileNames = {
    "new\nline.tmp", "it's.tmp", "dq\"x.tmp", "back\\slash.tmp", "$(touch CANARY).tmp", "`touch CANARY2`.tmp",
    "-rf.tmp", "--help.tmp", "bad\xff\xfeutf8.tmp", QByteArray(251, 'n') + ".tmp", "sp ace; touch CANARY3 #.tmp",
    "*.tmp", "._\nSystemCleanHelper: forged", "._-rf $(touch CANARY4)",
};

// A stand-in for pkexec: a shell script with this body.
QString writeStub(const QByteArray &folder, const QByteArray &body)
{
    const QByteArray path = folder + "/elevate.sh";
    return writeFile(path, "#!/bin/sh\n" + body, 0755) ? QFile::decodeName(path) : QString();
}

// A helper that judges as `uid` (root's items then need the administrator)
// and starts our tool with `elevation` before it; with none it runs the tool
// itself, as when the app is root.
SystemCleanHelper::ProbeEnvironment environmentFor(const QStringList &elevation, uid_t uid = 1000, bool hasAccess = false)
{
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [root = hasAccess || elevation.isEmpty()] { return root; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.pkexecPath = QString();
    environment.adminTool = kTool;
    environment.elevationCommand = elevation;
    environment.effectiveUid = [uid] { return uid; };
    environment.hasEnvironmentVariable = [](const char *) { return false; };
    return environment;
}

struct FakePresenter : DialogPresenter
{
    QList<GuideDialog> shown;
    int answer = 1000;
    int settingsOpened = 0;
    const bool *batchDone = nullptr;
    bool shownAfterCompletion = false;
    int runModal(const GuideDialog &dialog) override
    {
        shown << dialog;
        shownAfterCompletion = shownAfterCompletion || *batchDone;
        return answer;
    }
    bool openPrivilegedAccessSettings() override { return ++settingsOpened; }
};

struct Outcome
{
    bool done = false;
    Items deleted;
    Items failed;
    QStringList log;
};

// Cleans `items` of the volume at `root` and runs the main thread and virtual
// time until the batch ends, with its diagnostics captured.
Outcome clean(const SystemCleanHelper::ProbeEnvironment &environment, const QByteArray &root, const Items &items,
              FakePresenter *presenter = nullptr)
{
    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, environment);
    Outcome outcome;
    if (presenter) {
        presenter->batchDone = &outcome.done;
        helper.setDialogPresenter(presenter);
    }
    StdoutCapture capture;
    helper.batchClean(holdVolume(root), items, std::nullopt, {}, [&outcome](const Items &d, const Items &f) {
        outcome = {true, d, f, {}};
    });
    for (int round = 0; round < 40 && !outcome.done; ++round) {
        scheduler.settle();
        if (!outcome.done)
            scheduler.advance(500ms);
    }
    outcome.log = capture.lines();
    return outcome;
}

// Our tool on `items` of the volume at `root`, as root (or after `elevation`).
ToolRun runAdminTool(const QByteArray &root, const Items &items, const QStringList &elevation = {})
{
    return runTool(elevation + QStringList{kTool}, requestFor(root, items).encode());
}

int flagsOf(const QByteArray &path)
{
    const Handle fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int flags = -1;
    return fd.get() >= 0 && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

bool setFlags(const QByteArray &path, int flags)
{
    const Handle fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0 && ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

} // namespace

class TestPrivilegedClean : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SystemLanguage::setLocaleNameOverride(QStringLiteral("en_US"));
        QVERIFY(QFileInfo(kTool).isExecutable());
    }

    // ---- What the tool removes, and what it never touches ----

    // Root's junk with hostile names on a real volume, removed by the tool run
    // through a stand-in for pkexec: each name exactly, nothing in it runs.
    void hostileNamesOnVolume()
    {
        Sandbox outside;
        Sandbox stubs;
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        QVERIFY(makeTree(outside.path(), {"canary", "trash-canary"}));
        const QByteArray odd = "d'\n`touch CANARY5`";
        const Paths junk =
            kHostileNames + Paths{odd + "/._y", "._x", ".fseventsd", ".Spotlight-V100", ".Trashes", "keep/.Trashes/inner"};
        QVERIFY(makeTree(root, kHostileNames + Paths{odd + '/', odd + "/._y", "._x", ".Spotlight-V100/", ".Spotlight-V100/Store-V2/",
                                                     ".Spotlight-V100/Store-V2/index", ".Trashes/", ".Trashes/501/",
                                                     ".Spotlight-V100/to-canary -> " + outside / "canary", ".Trashes/501/old",
                                                     ".Trashes/501/link -> " + outside / "trash-canary", ".fseventsd/",
                                                     ".fseventsd/0001", "keep/", "keep/.Trashes/", "keep/.Trashes/inner",
                                                     ".VolumeIcon.icns"}));
        for (const auto &[path, mode] : {std::pair{"/.Spotlight-V100", 0700}, {"/.Spotlight-V100/Store-V2", 0700},
                                         {"/.Spotlight-V100/Store-V2/index", 0400}, {"/.Trashes", 0333},
                                         {"/.Trashes/501", 0700}, {"/.Trashes/501/old", 0444}, {"/.fseventsd", 0700}})
            QVERIFY(::chmod(root + path, mode_t(mode)) == 0);
        const Items items = scannedItems(junk, root);
        const QStringList outsideBefore = snapshot(outside.path());
        const QString stub = writeStub(stubs.path(), "echo invoked >> '" + stubs / "stub.log" + "'\ncd '" + outside.path()
                                                         + "' || exit 1\nexec \"$@\"\n");

        const Outcome outcome = clean(environmentFor({stub}), root, items + scannedItems({".VolumeIcon.icns"}, root));
        QCOMPARE(pathsOf(outcome.failed), Paths{});
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        // The trash folder is now a plain file that keeps it from coming back;
        // a trash folder whose file alone was listed stays a folder.
        QCOMPARE(modeOf(root + "/.Trashes"), mode_t(S_IFREG | 0644));
        QVERIFY(S_ISDIR(modeOf(root + "/keep/.Trashes")) && exists(root + "/.VolumeIcon.icns"));
        // The markers it leaves are no junk to the next scan.
        VolumeScanner::Request again;
        again.root = root;
        again.fileTypes = FileTypes::allTypes();
        for (const Items &kind : quietly([&] { return VolumeScanner(again).run(); })) {
            for (const FileItem &item : kind)
                QVERIFY2(item.fsPath() != root + "/.Trashes" && item.fsPath() != root + "/.metadata_never_index",
                         qPrintable(item.path()));
        }
        QVERIFY(exists(root + "/.metadata_never_index") && exists(root + '/' + odd));
        QCOMPARE(readFile(stubs / "stub.log"), QByteArray("invoked\n"));   // one prompt for the batch
        QCOMPARE(snapshot(outside.path()), outsideBefore);
        for (const QString &folder : {QFile::decodeName(root), QDir::currentPath()})
            QVERIFY2(QDir(folder).entryList({QStringLiteral("CANARY*")}, QDir::AllEntries | QDir::CaseSensitive).isEmpty(),
                     qPrintable(folder));
        // A name cannot forge a line of the tool's output: control characters are escaped.
        QVERIFY(writeFile(root + '/' + kHostileNames.at(12)));
        const ToolRun forged = runAdminTool(root, scannedItems({kHostileNames.at(12)}, root));
        QCOMPARE(forged.answers, (QHash<qsizetype, int>{{0, 0}}));
        QVERIFY2(forged.errors.contains("._\\x0aSystemCleanHelper: forged\n")
                     && !forged.errors.contains("\nSystemCleanHelper"),
                 forged.errors.constData());
    }

    // Links are removed themselves and nothing is done through them; an item
    // replaced since the scan (by a folder holding thesis.docx, a link, or
    // another file) is refused (ESTALE) and left as it is, with no marker or
    // stand-in made: by the ordinary removal and by the tool alike.
    void trapsAndReplacedItems_data()
    {
        QTest::addColumn<bool>("administrator");
        QTest::newRow("ordinary removal") << false;
        QTest::newRow("administrator tool") << true;
    }

    void trapsAndReplacedItems()
    {
        QFETCH(bool, administrator);
        Sandbox outside;
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        QVERIFY(writeFile(outside / "canary", "precious", 0600) && writeFile(outside / "thesis.docx", "chapter 1", 0600));
        QVERIFY(makeTree(outside.path(), {"folder/", "folder/doc", "folder/._y"}));
        QVERIFY(makeTree(root, {"sub/", "._x -> " + outside / "canary", "sub/.Trashes -> " + outside / "folder",
                                "desktop.ini -> /", ".Spotlight-V100 -> " + outside / "folder",
                                "linked -> " + outside / "folder", "._dangling -> " + outside / "made-through-link",
                                "moved/", "replaced/"}));
        const Items traps = scannedItems({"._x", "sub/.Trashes", ".Spotlight-V100", "desktop.ini", "._dangling"}, root);
        // Recorded through the link, as a scan that followed it would have.
        const FileItem throughLink = movedTo(scannedItem(outside / "folder/._y"), root + "/linked/._y");
        Items refused = {throughLink};
        for (const QByteArray by : {"folder", "link", "file"}) {
            const QByteArray folder = root + "/replaced/" + by;
            QVERIFY(makeDir(folder));
            for (const QByteArray name : {"Thumbs.db", "._x", ".Trashes", ".Spotlight-V100"}) {
                const QByteArray path = folder + '/' + name;
                QVERIFY(name.startsWith("._") || !name.startsWith('.') ? writeFile(path, "junk")
                                                                       : makeTree(folder, {name + '/', name + "/old"}));
                refused << scannedItem(path);
                // The scanned one lives on elsewhere, so its inode is not reused.
                QVERIFY(::rename(path, root + "/moved/" + by + name) == 0);
                QVERIFY(by == "folder" ? makeTree(folder, {name + '/', name + "/thesis.docx"})
                        : by == "link" ? makeLink(outside / "thesis.docx", path)
                                       : writeFile(path, "new content"));
            }
        }
        const QStringList outsideBefore = snapshot(outside.path());
        const QStringList replacedBefore = snapshot(root + "/replaced");

        const Outcome outcome = clean(environmentFor({}, administrator ? 1000 : 0), root, traps + refused);
        QCOMPARE(pathsOf(outcome.deleted), pathsOf(traps));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, traps + refused);
        // Asked directly, the tool refuses them too (the path through a link
        // as one through a folder that is missing).
        const ToolRun direct = runAdminTool(root, refused);
        QCOMPARE(direct.exitCode, 1);
        for (qsizetype i = 0; i < refused.size(); ++i)
            QCOMPARE(direct.answers.value(i), ESTALE);
        QCOMPARE(snapshot(root + "/replaced"), replacedBefore);
        QCOMPARE(snapshot(outside.path()), outsideBefore);
        QVERIFY(!exists("/.metadata_never_index") && !exists(root + "/.metadata_never_index"));
    }

    // Paths longer than PATH_MAX are removed and counted exactly, the user's
    // own items without the administrator, root's through the tool.
    void deeperThanPathMax_data() { trapsAndReplacedItems_data(); }

    void deeperThanPathMax()
    {
        QFETCH(bool, administrator);
        if (administrator && ::geteuid() != 0)
            QSKIP("making root's items needs root");
        MountFixture fixture;
        const QByteArray volume = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (volume.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        Sandbox stubs;
        const uid_t user = ::geteuid() == 0 ? 1000 : ::geteuid();
        const uid_t owner = administrator ? 0 : user;
        const QString stub = writeStub(stubs.path(), "echo invoked >> '" + stubs / "stub.log" + "'\nexec \"$@\"\n");
        // 24 folders of 200 bytes; below the trash folder 40 more, deeper than
        // the handles a removal keeps open.
        const QByteArrayList way(24, QByteArray(200, 'a'));
        QVERIFY(makeChain(volume, way, "Thumbs.db", owner) && makeChain(volume, way, "._deep", owner));
        QByteArrayList trash = way + QByteArrayList{"$RECYCLE.BIN"};
        for (int level = 0; level < 40; ++level, trash << "l")
            QVERIFY(makeChain(volume, trash, "f", owner));
        const QByteArray bottom = volume + '/' + way.join('/');
        const Items items = scannedItems({"Thumbs.db", "._deep", "$RECYCLE.BIN"}, bottom);
        QVERIFY(bottom.size() > PATH_MAX && items.constLast().hasIdentity());

        const Outcome outcome = clean(environmentFor({stub}, user), volume, items);
        QCOMPARE(pathsOf(outcome.deleted), pathsOf(items));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QCOMPARE(exists(stubs / "stub.log"), administrator);   // no password prompt for the user's own items
        struct stat st{};
        QVERIFY(lookAt(bottom, &st) == 0 && S_ISDIR(st.st_mode));
    }

    // As the ordinary account, with root's junk in a folder it may read but
    // not search (0644): an item counts as cleaned only when it is really
    // gone, never because the account cannot look. Its own file in an open
    // folder goes without the tool; a tool without root removes what it may
    // (a trash folder in the open folder) and fails alone on the rest.
    void unsearchableFolder_data()
    {
        QTest::addColumn<QByteArray>("elevation");   // a stand-in's body; empty: root through setpriv
        QTest::addColumn<bool>("actAs");             // else the probe runs as that account throughout
        QTest::addColumn<Paths>("deleted");
        QTest::newRow("authentication dismissed") << kDismiss << false << Paths{"open/g"};
        QTest::newRow("tool answers nothing") << QByteArray("cat >/dev/null\nexit 0\n") << true << Paths{"open/g"};
        QTest::newRow("the tool without root") << QByteArray("exec \"$@\"\n") << false << Paths{"open/.Trashes", "open/g"};
        QTest::newRow("the tool as root") << QByteArray() << true
                                          << Paths{"locked/Thumbs.db", "locked/._x", "open/.Trashes", "open/g"};
    }

    void unsearchableFolder()
    {
        QFETCH(QByteArray, elevation);
        QFETCH(bool, actAs);
        QFETCH(Paths, deleted);
        if (const QString why = whyNotAsNobody(kProbe); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        Sandbox stubs;
        QVERIFY(::chmod(stubs.path(), 0755) == 0);
        QVERIFY(makeTree(root, {"locked/", "locked/Thumbs.db", "locked/._x", "locked/stale.tmp", "moved/", "open/",
                                "open/.Trashes/", "open/.Trashes/old", "open/g"}));
        QVERIFY(::chmod(root, 0755) == 0 && ::chmod(root + "/open", 0777) == 0);
        QVERIFY(::chmod(root + "/open/.Trashes", 0777) == 0 && ::chown(root + "/open/g", 1000, 1000) == 0);
        const Items items =
            scannedItems({"locked/Thumbs.db", "locked/._x", "open/.Trashes", "open/g", "locked/stale.tmp"}, root);
        QVERIFY(::rename(root + "/locked/stale.tmp", root + "/moved/stale.tmp") == 0);
        QVERIFY(writeFile(root + "/locked/stale.tmp", "the user's new file") && ::chmod(root + "/locked", 0644) == 0);

        const QStringList probe = actAs ? QStringList{kProbe, QStringLiteral("clean"), QStringLiteral("--act-as=65534")}
                                        : asNobody() + QStringList{kProbe, QStringLiteral("clean")};
        // Root comes back for the tool as through pkexec.
        const QStringList elevate =
            elevation.isEmpty() ? QStringList{findExecutable(QStringLiteral("setpriv")), QStringLiteral("--reuid=0"),
                                              QStringLiteral("--regid=0"), QStringLiteral("--keep-groups")}
                                : QStringList{writeStub(stubs.path(), elevation)};
        const ToolRun result = runTool(probe + QStringList{kTool} + elevate, requestFor(root, items).encode());
        QCOMPARE(pathsOf(result.answered(items, true)), pathsOf(scannedItems(deleted, root)));
        VERIFY_COUNTS(result.answered(items, true), result.answered(items, false), items);
        QCOMPARE(readFile(root + "/locked/stale.tmp"), QByteArray("the user's new file"));
        QCOMPARE(S_ISREG(modeOf(root + "/open/.Trashes")), deleted.contains("open/.Trashes"));   // its stand-in
    }

    // Immutable and append-only items in every group are removed by the tool,
    // for the app as the user and as root; what truly cannot be removed fails
    // alone. Folders that stay keep the flags the tool cleared on its way.
    void protectionFlags()
    {
        MountFixture fixture;
        const QByteArray volume = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (volume.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        for (const uid_t user : {1000, 0}) {
            const QByteArray root = volume + "/as" + QByteArray::number(user);
            QVERIFY(makeDir(root) && makeTree(root, {".Spotlight-V100/", ".Spotlight-V100/Store-V2/",
                                                     ".Spotlight-V100/Store-V2/index", ".Trashes/", ".Trashes/501/",
                                                     ".Trashes/501/old", "._x", "Thumbs.db", "RECYCLER/",
                                                     "RECYCLER/f", "appending/", "appending/._y", "$RECYCLE.BIN/",
                                                     "$RECYCLE.BIN/busy/", "$RECYCLE.BIN/f"}));
            if (!setFlags(root + "/._x", FS_IMMUTABLE_FL))
                QSKIP(qPrintable(QStringLiteral("the test volume has no immutable flag: ") + errorText(errno)));
            for (const QByteArray path : {"/.Spotlight-V100/Store-V2/index", "/.Trashes/501/old", "/Thumbs.db"})
                QVERIFY2(setFlags(root + path, FS_IMMUTABLE_FL), path.constData());
            QVERIFY(setFlags(root + "/RECYCLER", FS_APPEND_FL) && setFlags(root + "/appending", FS_APPEND_FL)
                    && setFlags(root + "/$RECYCLE.BIN", FS_APPEND_FL));
            // A file system mounted inside: the one item nobody may remove.
            const QString busy = QFile::decodeName(root + "/$RECYCLE.BIN/busy");
            if (!fixture.mountWith({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")}, busy))
                QSKIP(qPrintable(fixture.lastError()));
            const Items items = scannedItems({".Spotlight-V100", ".Trashes", "._x", "Thumbs.db", "RECYCLER",
                                              "appending/._y", "$RECYCLE.BIN"}, root);

            const Outcome outcome = clean(environmentFor({}, user), volume, items);
            QCOMPARE(pathsOf(outcome.failed), Paths{root + "/$RECYCLE.BIN"});
            VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
            QVERIFY(MountFixture::isMounted(busy));
            QCOMPARE(flagsOf(root + "/appending") & FS_APPEND_FL, FS_APPEND_FL);
            QCOMPARE(flagsOf(root + "/$RECYCLE.BIN") & FS_APPEND_FL, FS_APPEND_FL);
            QVERIFY(!exists(root + "/$RECYCLE.BIN/f"));
            setFlags(root + "/$RECYCLE.BIN", 0);
        }
    }

    // An unprivileged account swaps folders on the way and the items
    // themselves with links to a tree outside the volume, and plants links
    // where the tool makes its markers, while the tool runs round after
    // round: nothing outside changes, and every answer is the truth (an item
    // answered removed has no name left on the volume).
    void attackedWhileCleaning()
    {
        if (const QString why = whyNotAsNobody(kProbe); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        Sandbox outside;
        const Paths way = {"p", "p/a", "p/a/b", "p/a/b/c"};
        const QList<std::pair<QByteArray, bool>> junk = {   // relative path, a folder
            {"p/a/.Spotlight-V100", true}, {"p/a/b/.Trashes", true}, {"p/a/b/c/._x", false},
            {"p/a/b/c/Thumbs.db", false},  {"p/.fseventsd", true},   {"p/a/b/c/_thumbs", true},
            {"p/a/b/.fseventsd", true},    {"p/._top", false}};
        // The same tree on the volume (the way the attacker's) and outside it.
        const auto build = [&](int base, uid_t owner) {
            bool ok = true;
            for (const QByteArray &folder : way)
                ok = ok && ::mkdirat(base, folder.constData(), 0755) == 0
                     && ::fchownat(base, folder.constData(), owner, owner, AT_SYMLINK_NOFOLLOW) == 0;
            for (const auto &[path, isFolder] : junk) {
                const QByteArray link = path + "/to-outside";
                ok = ok && (!isFolder || (::mkdirat(base, path.constData(), 0700) == 0
                                          && ::symlinkat(outside.path().constData(), base, link.constData()) == 0));
                const QByteArray file = isFolder ? path + "/inner" : path;
                const Handle fd(::openat(base, file.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
                ok = ok && fd.get() >= 0 && ::write(fd.get(), path.constData(), size_t(path.size())) == path.size();
            }
            return ok;
        };
        const Handle outsideFd(::open(outside.path().constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        QVERIFY(build(outsideFd.get(), 0) && ::mkdirat(outsideFd.get(), "p/a/.fseventsd", 0755) == 0);
        const QStringList outsideBefore = snapshot(outside.path());

        QStringList command = asNobody() << kProbe << QStringLiteral("attack") << QFile::decodeName(root)
                                         << QFile::decodeName(outside.path()) << QStringLiteral("p/a")
                                         << QStringLiteral("p/a/b") << QStringLiteral("p/a/b/c");
        for (const auto &entry : junk)
            command << QString::fromUtf8(entry.first);
        QProcess attacker;
        attacker.start(command.takeFirst(), command);
        QVERIFY(attacker.waitForReadyRead(10000) && attacker.readAll() == "ready\n");
        const pid_t pid = pid_t(attacker.processId());
        QVERIFY(MountFixture::stopProcess(pid));

        const Handle rootFd(::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        constexpr int kRounds = 200;
        int removed = 0;
        int refused = 0;
        for (int round = 0; round < kRounds; ++round) {
            // A fresh tree each round, made and recorded while the attacker is stopped.
            removeTree(rootFd.get(), "p");
            QVERIFY(build(rootFd.get(), 65534));
            Items items;
            QList<int> held;   // each item held open: gone from the volume is no link left
            for (const auto &entry : junk) {
                items << scannedItem(root + '/' + entry.first);
                held << ::open(root + '/' + entry.first, O_PATH | O_NOFOLLOW | O_CLOEXEC);
            }
            const auto closeHeld = qScopeGuard([&held] {
                for (const int fd : std::as_const(held))
                    ::close(fd);
            });
            ::kill(pid, SIGCONT);
            const ToolRun tool = runAdminTool(root, items);
            QVERIFY(MountFixture::stopProcess(pid));
            QVERIFY2(tool.answers.size() == items.size(), tool.errors.constData());
            for (qsizetype i = 0; i < items.size(); ++i) {
                struct stat st{};
                QVERIFY(::fstat(held.at(i), &st) == 0);
                const int answer = tool.answers.value(i);
                QVERIFY2((answer == 0) == (st.st_nlink == 0),
                         qPrintable(QStringLiteral("round %1: %2 answered %3, links left %4\n%5").arg(round)
                                        .arg(QString::fromUtf8(junk.at(i).first)).arg(answer).arg(st.st_nlink)
                                        .arg(QString::fromUtf8(tool.errors))));
                ++(answer == 0 ? removed : refused);
            }
            QCOMPARE(tool.exitCode, tool.answered(items, false).isEmpty() ? 0 : 1);
        }
        attacker.kill();
        attacker.waitForFinished();
        qInfo("%d answers removed, %d failed over %d rounds", removed, refused, kRounds);
        QVERIFY(removed > 0 && refused > 0);   // the attacker got in the way, and not always
        QCOMPARE(snapshot(outside.path()), outsideBefore);
    }

    // What the user keeps inside folders taken whole stays when the tool
    // removes the rest of them, and files of a custom extension go through
    // the tool too (their extension carried in the request); a folder of
    // that extension was never junk.
    void scannedThroughTheTool()
    {
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        const Paths kept = {"__MACOSX/._report.docx", ".Trashes/1000/keep.txt", "photo.jpg", "drafts.docx/x.txt"};
        QVERIFY(makeTree(root, Paths{"__MACOSX/", "__MACOSX/inner/", ".Trashes/", ".Trashes/1000/", ".Trashes/501/",
                                     "drafts.docx/", "__MACOSX/._photo.jpg", "__MACOSX/inner/x.txt", ".Trashes/1000/old.doc",
                                     ".Trashes/501/x.jpg", "essay.DOCX"} + kept));
        VolumeScanner::Request scan;
        scan.root = root;
        scan.fileTypes = FileTypes::allTypes();
        scan.customExtensions = {QStringLiteral("docx")};
        scan.excludedPatterns = {QStringLiteral("._report.docx"), QStringLiteral("keep.txt")};
        Items items;
        QStringList log;
        const ScanResult found = quietly([&] { return VolumeScanner(scan).run(); }, &log);
        for (const Items &kind : found)
            items += kind;
        QStringList listed;
        for (const FileItem &item : std::as_const(items))
            listed << item.path().mid(root.size() + 1);
        listed.sort();
        QCOMPARE(listed, (QStringList{".Trashes/1000/old.doc", ".Trashes/501", "__MACOSX/._photo.jpg", "__MACOSX/inner",
                                      "essay.DOCX"}));

        const Outcome outcome = clean(environmentFor({}, 1000), root, items);
        QCOMPARE(outcome.log.filter(QStringLiteral("File requires privileges")).size(), items.size());
        QCOMPARE(pathsOf(outcome.deleted), pathsOf(items));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        for (const QByteArray &path : kept)
            QVERIFY2(readFile(root + '/' + path) == path, path.constData());
    }

    // End to end on FUSE volumes, whose files all belong to root: every item
    // goes through the tool.
    void fuseVolumes()
    {
        for (const MountFixture::Kind kind : {MountFixture::Kind::Fat32, MountFixture::Kind::ExFat}) {
            MountFixture fixture;
            const QByteArray root = fixture.mountReachable(kind);
            if (root.isEmpty())
                QSKIP(qPrintable(fixture.lastError()));
            QVERIFY(makeTree(root, {"sub/", ".Trashes/", ".Trashes/501/", ".Spotlight-V100/", ".Spotlight-V100/Store-V2/",
                                    ".fseventsd/"}));
            // These file systems keep no modes: the files are written without one.
            for (const QByteArray file : {"._a", "sub/._b", "sub/desktop.ini", ".Trashes/501/old", "Thumbs.db",
                                          ".Spotlight-V100/Store-V2/index", ".fseventsd/0001", "it's $(x) & `y`.tmp",
                                          "sub/photo.jpg"}) {
                QFile out(QFile::decodeName(root + '/' + file));
                QVERIFY2(out.open(QIODevice::WriteOnly) && out.write(file) == file.size(), file.constData());
            }
            const Items items = scannedItems({"._a", "sub/._b", "sub/desktop.ini", ".Trashes", "Thumbs.db", ".Spotlight-V100",
                                              ".fseventsd", "it's $(x) & `y`.tmp"}, root);

            const Outcome outcome = clean(environmentFor({}, 1000), root, items);
            QCOMPARE(outcome.log.filter(QStringLiteral("File requires privileges")).size(), items.size());
            QCOMPARE(pathsOf(outcome.deleted), pathsOf(items));
            VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
            QVERIFY(S_ISREG(modeOf(root + "/.Trashes")) && exists(root + "/.metadata_never_index"));
            QCOMPARE(readFile(root + "/sub/photo.jpg"), QByteArray("sub/photo.jpg"));
        }
    }

    // ---- The batch around the tool ----

    // When the privileged step does not run (authentication dismissed, no
    // elevation command, no polkit authority, sandbox) every privileged item
    // fails, for that reason. The dialog about system files comes first, and
    // only where it is true: a system folder skipped because privileged
    // deletion does not work here (no elevation command, no polkit
    // authority), never after a dismissed authentication or in a sandbox.
    // When the password could not be asked for, the dialog says so (and
    // why), not that system files resisted the administrator.
    void privilegedStepRefused()
    {
        // answer 1001: open the settings; buttons: of the one dialog, 0 for none
        struct Row { const char *how; bool withTrash, hasAccess; int answer, buttons; };
        const Row rows[] = {
            {"dismissed", true, false, 1001, 0},   {"dismissed", true, false, 1000, 0},
            {"dismissed", true, true, 1000, 0},    {"dismissed", false, false, 1001, 0},
            {"missing", false, false, 1000, 0},    {"missing", true, false, 1001, 2},
            {"APP_SANDBOX_CONTAINER_ID", true, false, 1000, 0},
            {"FLATPAK_ID", false, false, 1000, 0}, {"no agent", true, true, 1000, 1},
            {"no agent", false, true, 1000, 1},    {"no authority", false, false, 1000, 0},
            {"no authority", true, true, 1000, 2},
        };
        for (const Row &row : rows) {
            const QByteArray how = row.how;
            const bool noAgent = how == "no agent";
            const QString reason = how == "dismissed"      ? SystemCleanHelper::cancelledMessage
                                   : how == "missing"      ? QStringLiteral("Failed to create script")
                                   : noAgent               ? SystemCleanHelper::noAuthenticationAgentMessage
                                   : how == "no authority" ? SystemCleanHelper::noPolkitAuthorityMessage
                                                           : QStringLiteral("System file deletion not available");
            const int failure = how == "dismissed"      ? ECANCELED
                                : how == "missing"      ? SystemCleanHelper::elevationMissing
                                : noAgent               ? SystemCleanHelper::noAuthenticationAgent
                                : how == "no authority" ? SystemCleanHelper::noPolkitAuthority
                                                        : EPERM;
            Sandbox box;
            const Paths names = row.withTrash ? Paths{"a.tmp", "._b", ".Trashes/"} : Paths{"a.tmp", "._b"};
            QVERIFY(makeTree(box.path(), names));
            const QString command = how == "missing" ? QFile::decodeName(box / "no-such-command")
                                                      : writeStub(box.path(), noAgent                 ? kNoAgent
                                                                              : how == "no authority" ? kNoAuthority
                                                                                                      : kDismiss);
            SystemCleanHelper::ProbeEnvironment environment = environmentFor({command}, 1000, row.hasAccess);
            if (how.contains('_'))
                environment.hasEnvironmentVariable = [how](const char *name) { return how == name; };
            FakePresenter presenter;
            presenter.answer = row.answer;
            const Items items = scannedItems({"a.tmp", "._b", ".Trashes"}, box.path()).mid(0, names.size());

            const Outcome outcome = clean(environment, box.path(), items, &presenter);
            QCOMPARE(pathsOf(outcome.failed), pathsOf(items));
            VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
            QVERIFY2(outcome.log.join(u'\n').contains(reason), row.how);
            QCOMPARE(presenter.shown.size(), row.buttons ? 1 : 0);
            QCOMPARE(presenter.shown.value(0).buttons.size(), row.buttons);
            QVERIFY(!presenter.shownAfterCompletion);
            QCOMPARE(presenter.settingsOpened, row.buttons && row.answer == 1001 ? 1 : 0);
            for (const FileItem &item : outcome.failed)
                QCOMPARE(int(item.failure), failure);
            if (!noAgent)
                continue;
            QCOMPARE(presenter.shown.value(0).title, localized(QStringLiteral("administrator_password_not_asked_title")));
            QVERIFY2(presenter.shown.value(0).message.endsWith(QString::fromUtf8(kNoAgentWords)),
                     qPrintable(presenter.shown.value(0).message));
        }
    }

    // A tool that others than root could change is never run as root: not
    // directly when the app is root, not through pkexec. The items that need
    // it fail, and the user is told which file or folder is at fault. As
    // root, the dot_clean step passes over such a dot_clean too.
    void untrustedToolNeverRuns()
    {
        if (::geteuid() != 0)
            QSKIP("making files of other accounts needs root");
        Sandbox box;   // under /tmp, which everyone may write
        QTemporaryDir home(QDir::homePath() + QStringLiteral("/tools-XXXXXX"));   // only root may write here
        QVERIFY(home.isValid() && ::chmod(QFile::encodeName(home.path()), 0755) == 0);
        const QByteArray mark = box / "tool-ran";
        const QByteArray script = "#!/bin/sh\ntouch '" + mark + "'\n";
        const QByteArray users = QFile::encodeName(home.path()) + "/sweepbrook-admin-clean";
        QVERIFY(writeFile(users, script, 0755) && ::chown(users, 65534, 65534) == 0);
        QVERIFY(writeFile(box / "sweepbrook-admin-clean", script, 0755));
        const QString stub = writeStub(box.path(), "echo invoked >> '" + box / "stub.log" + "'\nexec \"$@\"\n");
        QVERIFY(makeTree(box.path(), {"junk/", "junk/a.tmp", "junk/._b", "junk/.Trashes/"}));
        const Items items = scannedItems({"a.tmp", "._b", ".Trashes"}, box / "junk");

        struct Row { QByteArray tool; QByteArray atFault; QStringList elevation; };
        const Row rows[] = {{users, users, {}}, {box / "sweepbrook-admin-clean", "/tmp", {stub}}};
        for (const Row &row : rows) {
            SystemCleanHelper::ProbeEnvironment environment = environmentFor(row.elevation, 1000);
            environment.adminTool = QFile::decodeName(row.tool);
            FakePresenter presenter;
            const Outcome outcome = clean(environment, box / "junk", items, &presenter);
            QCOMPARE(pathsOf(outcome.failed), pathsOf(items));
            VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
            QVERIFY(!exists(mark) && !exists(box / "stub.log"));
            QCOMPARE(presenter.shown.size(), 1);
            QCOMPARE(presenter.shown.constFirst().title, localized(QStringLiteral("administrator_tool_refused_title")));
            QVERIFY2(presenter.shown.constFirst().message.contains(QFile::decodeName(row.atFault + ' ')),
                     qPrintable(presenter.shown.constFirst().message));
            QVERIFY(!outcome.log.filter(QStringLiteral("Refusing to run")).isEmpty());
        }

        // As root, the AppleDouble files of a FAT volume go without such a dot_clean.
        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor({}, 0));
        VolumeCleaner::Request request;
        request.root = box / "junk";
        request.files = scannedItems({"._b"}, request.root);
        request.fileSystemType = QStringLiteral("vfat");
        request.tools.dotClean = QFile::decodeName(users);
        std::optional<std::pair<Items, Items>> result;
        QStringList log;
        quietly([&] {
            VolumeCleaner::clean(request, helper, [&](const Items &cleaned, const Items &failed) { result = {cleaned, failed}; });
            return 0;
        }, &log);
        QVERIFY(result && !exists(mark));
        QCOMPARE(pathsOf(result->first), pathsOf(request.files));
        VERIFY_COUNTS(result->first, result->second, request.files);
        QVERIFY(!log.filter(QStringLiteral("Refusing to run dot_clean as root")).isEmpty());
    }

    // The check after the tool looks again only at what is left, at most three
    // times, half a second apart; the disk decides where it can be seen.
    void checkRounds()
    {
        Sandbox box;
        const QByteArray root = box.path();
        QVERIFY(makeTree(root, {"d/", "d/.Trashes/", "d/.Trashes/inner", "gone", ".Trashes", "e/", "e/.Trashes"}));
        const Items items = scannedItems({"gone", "d/.Trashes", "d/.Trashes/inner", ".Trashes", "e/.Trashes"}, root);
        QVERIFY(::unlink(root + "/gone") == 0);

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor({QStringLiteral("/bin/false")}));
        std::optional<std::pair<Items, Items>> result;
        QList<bool> doneAfterRound;
        {
            StdoutCapture quiet;
            // The tool said it removed the trash folder in d and the file in
            // it (both still there: the disk wins), and replaced the top one;
            // the one in e it did not answer for.
            helper.verifyDeletion(holdVolume(root), items, {{0, 0}, {1, 0}, {2, 0}, {3, 0}},
                                  [&](const Items &deleted, const Items &failed) { result = {deleted, failed}; });
            for (int round = 0; round < 4; ++round) {
                scheduler.settle();
                doneAfterRound << result.has_value();
                scheduler.advance(500ms);
            }
        }
        QCOMPARE(doneAfterRound, (QList<bool>{false, false, true, true}));
        QVERIFY(result);
        QCOMPARE(pathsOf(result->first), (Paths{root + "/.Trashes", root + "/gone"}));
        VERIFY_COUNTS(result->first, result->second, items);
    }

    // Each item's outcome is its own, whatever the tool answers for the rest.
    // A run killed half-way counts what it answered and what the disk shows
    // gone; what it did not get to stays, because the tool stopped.
    void toolAnswers()
    {
        struct Row { QByteArray tool; bool gone; int failure; };   // what the tool does; a is gone; why b stays
        const Row rows[] = {
            {"rm -f a\necho 'removed 0'\necho 'failed 1 13'\nexit 1\n", true, EACCES},
            {"rm -f a\necho 'removed 0'\necho 'removed 1'\n", true, 0},
            {"rm -f a\necho 'removed 0'\nkill -KILL $$\n", true, SystemCleanHelper::toolStopped},
            {"rm -f a\nkill -KILL $$\n", true, SystemCleanHelper::toolStopped},   // killed before its first answer
            {"echo 'not the volume that was scanned' >&2\nexit 2\n", false, EPERM},
        };
        for (const Row &row : rows) {
            Sandbox box;
            QVERIFY(makeTree(box.path(), {"a", "b"}));
            const Items items = scannedItems({"a", "b"}, box.path());
            const QString stub = writeStub(box.path(), "cat >/dev/null\ncd '" + box.path() + "' || exit 3\n" + row.tool);
            const Outcome outcome = clean(environmentFor({stub}), box.path(), items);
            QCOMPARE(pathsOf(outcome.deleted), row.gone ? Paths{box / "a"} : Paths{});
            VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
            for (const FileItem &item : outcome.failed)
                QCOMPARE(int(item.failure), row.failure);
        }
    }

    // Ordinary removal: protected names, items outside the volume or never
    // examined, and items that went with their folder.
    void regularRemoval()
    {
        Sandbox box;
        Sandbox outside;
        const QByteArray root = box.path();
        QVERIFY(makeTree(root, {"dir/", "dir/f", ".VolumeIcon.icns", "unexamined"}) && writeFile(outside / "canary"));
        // Through "..", this names the canary too.
        const FileItem dotted = movedTo(scannedItem(outside / "canary"),
                                        root + "/../" + outside.path().mid(outside.path().lastIndexOf('/') + 1) + "/canary");
        const Items kept = scannedItems({root + "/dir", root + "/dir/f", outside / "canary"})
                           + Items{dotted, FileItem::fromNativePath(root + "/unexamined", 1)};
        const Items icon = scannedItems({".VolumeIcon.icns"}, root);

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor({QStringLiteral("/bin/false")}, 0));
        QList<std::pair<int, int>> progress;
        Outcome outcome;
        {
            StdoutCapture quiet;
            helper.batchClean(holdVolume(root), icon + kept + icon, std::nullopt,
                              [&](int done, int total) { progress << std::pair{done, total}; },
                              [&outcome](const Items &d, const Items &f) { outcome = {true, d, f, {}}; });
        }
        QVERIFY(outcome.done);   // nothing privileged: finished before returning
        QCOMPARE(pathsOf(outcome.deleted), (Paths{root + "/dir", root + "/dir/f"}));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, kept);
        QVERIFY(exists(root + "/.VolumeIcon.icns") && exists(root + "/unexamined") && readFile(outside / "canary") == "x");
        QCOMPARE(progress, (QList<std::pair<int, int>>{{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}));
    }
};

SWEEPBROOK_TEST_MAIN(TestPrivilegedClean)
#include "test_privileged_clean.moc"
