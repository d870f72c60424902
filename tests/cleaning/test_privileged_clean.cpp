// The batches of SystemCleanHelper and our administrator tool
// (sweepbrook-admin-clean), run for real: as root directly, through stand-ins
// for pkexec, as an unprivileged account, on ext4, FAT32 and exFAT volumes,
// and against an account that rearranges the volume while the tool works.

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "BytePaths.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace testsupport;
using pathhandles::Handle;
using pathhandles::lastComponent;
using Items = SystemCleanHelper::Items;
using Paths = QList<QByteArray>;

namespace {

const QString kTool = QStringLiteral(SWEEPBROOK_ADMIN_CLEAN);
const QString kProbe = QStringLiteral(SWEEPBROOK_PRIVILEGED_PROBE);
const QStringList kAsNobody = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups")};

QByteArray canonical(const QString &path) { return QFile::encodeName(QFileInfo(path).canonicalFilePath()); }

// ---- The disk, through handles (paths may be longer than PATH_MAX) ----

// A folder opened (O_PATH) one component at a time from "/", no link followed.
int openFolder(const QByteArray &path)
{
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || fd < 0)
            continue;
        const int next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(fd);
        fd = next;
        errno = error;
    }
    return fd;
}

// lstat of a path of any length: 0, or the errno of the first step that failed.
int lookAt(const QByteArray &path, struct stat *st)
{
    const Handle folder(openFolder(pathhandles::parentOf(path)));
    if (folder.get() < 0)
        return errno;
    return ::fstatat(folder.get(), lastComponent(path).constData(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// The item as the scan recorded it (kind, device, inode), from what is there now.
FileItem itemAt(const QByteArray &path)
{
    struct stat st{};
    const bool there = lookAt(path, &st) == 0;
    FileItem item = FileItem::fromNativePath(path, there ? qint64(st.st_size) : 0);
    if (there)
        pathhandles::recordIdentity(item, st);
    return item;
}

Items itemsAt(const Paths &paths)
{
    Items items;
    for (const QByteArray &path : paths)
        items << itemAt(path);
    return items;
}

Paths pathsOf(const Items &items)
{
    Paths paths;
    for (const FileItem &item : items)
        paths << item.fsPath();
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool setFlags(const QByteArray &path, int flags)
{
    const Handle fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0 && ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// Calls `onEntry(name)` for every entry of the folder open at `fd`.
template <typename OnEntry>
void forEachEntry(int fd, OnEntry onEntry)
{
    DIR *dir = ::fdopendir(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QList<QByteArray> names;
    while (const dirent *entry = dir ? ::readdir(dir) : nullptr) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            names << entry->d_name;
    }
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : std::as_const(names))
        onEntry(name);
}

// Removes a test tree of any depth, flags and all; links are removed themselves.
void removeTree(int parentFd, const QByteArray &name)
{
    struct stat st;
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISLNK(st.st_mode)) {
        const Handle fd(::openat(parentFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        int none = 0;
        ::ioctl(fd.get(), FS_IOC_SETFLAGS, &none);
        if (S_ISDIR(st.st_mode)) {
            ::fchmod(fd.get(), 0700);
            forEachEntry(fd.get(), [&](const QByteArray &child) { removeTree(fd.get(), child); });
        }
    }
    ::unlinkat(parentFd, name.constData(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
}

// Every entry below `path` with its type, mode, owner, modification time and
// content or link target: what must stay exactly as it was.
QStringList snapshot(const QByteArray &path)
{
    QStringList lines;
    const std::function<void(int, const QByteArray &)> walk = [&](int fd, const QByteArray &prefix) {
        forEachEntry(fd, [&](const QByteArray &name) {
            struct stat st{};
            ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW);
            QByteArray what;
            if (S_ISLNK(st.st_mode)) {
                char target[4096];
                const ssize_t n = ::readlinkat(fd, name.constData(), target, sizeof target);
                what = QByteArray(target, int(std::max<ssize_t>(n, 0)));
            } else if (S_ISREG(st.st_mode)) {
                what = readFile(QByteArray("/proc/self/fd/") + QByteArray::number(fd) + '/' + name);
            }
            lines << QString::fromUtf8(prefix + name + ' ' + QByteArray::number(st.st_mode, 8) + ' '
                                       + QByteArray::number(st.st_uid) + ' ' + QByteArray::number(st.st_mtim.tv_sec) + '.'
                                       + QByteArray::number(st.st_mtim.tv_nsec) + ' ' + what.toHex());
            if (S_ISDIR(st.st_mode)) {
                const Handle child(::openat(fd, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                walk(child.get(), prefix + name + '/');
            }
        });
    };
    const Handle root(openFolder(path));
    walk(root.get(), QByteArray());
    return lines;
}

// What a batch reported against the disk: every item reported once, deleted
// or failed; a deleted item is gone (a trash folder may have become the plain
// file that stands in its place), a failed one is still there. Empty when all agree.
QString countsDisagree(const Items &deleted, const Items &failed, const Items &batch)
{
    QStringList problems;
    if (pathsOf(deleted + failed) != pathsOf(batch))
        problems << QStringLiteral("reported %1 deleted and %2 failed of %3 items")
                        .arg(deleted.size()).arg(failed.size()).arg(batch.size());
    for (const FileItem &item : deleted) {
        struct stat st{};
        const int error = lookAt(item.fsPath(), &st);
        if (error != ENOENT && !(error == 0 && S_ISREG(st.st_mode) && lastComponent(item.fsPath()) == ".Trashes"))
            problems << QStringLiteral("deleted but still there: ") + item.path;
    }
    for (const FileItem &item : failed) {
        struct stat st{};
        if (lookAt(item.fsPath(), &st) == ENOENT)
            problems << QStringLiteral("failed but gone: ") + item.path;
    }
    return problems.join(u'\n');
}

#define VERIFY_COUNTS(deleted, failed, batch)                                \
    do {                                                                     \
        const QString disagreement = countsDisagree(deleted, failed, batch); \
        QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));          \
    } while (false)

// ---- Volumes ----

// A volume of `kind` mounted for this test (on a folder the unprivileged
// account may reach): its root, or nothing with *why set.
std::optional<QByteArray> mountVolume(MountFixture &fixture, MountFixture::Kind kind, QString *why)
{
    *why = MountFixture::whyUnavailable(kind);
    if (!why->isEmpty())
        return std::nullopt;
    const auto image = fixture.makeImage(kind, kind == MountFixture::Kind::Fat32 ? 64 : 32, QStringLiteral("JUNK"));
    const QString point = fixture.mountRoot() + QStringLiteral("/vol");
    std::optional<QString> mounted;
    if (image && kind == MountFixture::Kind::Ext4) {
        mounted = fixture.mountExt4(*image, point);
    } else if (const auto loop = image ? fixture.attachLoop(*image) : std::nullopt) {
        mounted = kind == MountFixture::Kind::Fat32 ? fixture.mountFat(*loop, point) : fixture.mountExfat(*loop, point);
    }
    if (!mounted) {
        *why = fixture.lastError();
        return std::nullopt;
    }
    ::chmod(QFile::encodeName(fixture.path()).constData(), 0755);
    return canonical(*mounted);
}

std::shared_ptr<HeldVolume> hold(const QByteArray &root)
{
    struct stat st{};
    ::stat(root.constData(), &st);
    return std::shared_ptr<HeldVolume>(HeldVolume::open(root, quint64(st.st_dev), quint64(st.st_ino)).release());
}

// ---- The helper and the tool ----

// A stand-in for pkexec: a shell script with this body.
QString writeStub(const QByteArray &folder, const QByteArray &body)
{
    const QByteArray path = folder + "/elevate.sh";
    return writeFile(path, "#!/bin/sh\n" + body, 0755) ? QFile::decodeName(path) : QString();
}

const QByteArray kDismiss = "cat >/dev/null\necho 'Error executing command as another user: Request dismissed' >&2\nexit 126\n";

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
Outcome clean(SystemCleanHelper &helper, VirtualScheduler &scheduler, const QByteArray &root, const Items &items,
              FakePresenter *presenter = nullptr)
{
    Outcome outcome;
    if (presenter) {
        presenter->batchDone = &outcome.done;
        helper.setDialogPresenter(presenter);
    }
    StdoutCapture capture;
    helper.batchClean(hold(root), items, std::nullopt, {}, [&outcome](const Items &d, const Items &f) {
        outcome.done = true;
        outcome.deleted = d;
        outcome.failed = f;
    });
    for (int round = 0; round < 40 && !outcome.done; ++round) {
        scheduler.settle();
        if (!outcome.done)
            scheduler.advance(500ms);
    }
    outcome.log = capture.lines();
    return outcome;
}

Outcome clean(const SystemCleanHelper::ProbeEnvironment &environment, const QByteArray &root, const Items &items)
{
    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, environment);
    return clean(helper, scheduler, root, items);
}

struct ToolRun
{
    int exitCode = -1;
    QHash<qsizetype, int> answers;
    QByteArray errors;
};

// Our tool run on `items` of the volume at `root`, as root (or after `elevation`).
ToolRun runTool(const QByteArray &root, const Items &items, const QStringList &elevation = {})
{
    struct stat st{};
    ::stat(root.constData(), &st);
    CleanRequest request{root, quint64(st.st_dev), quint64(st.st_ino), {}};
    for (const FileItem &item : items)
        request.items.append({HeldVolume::relativePath(root, item.fsPath()).value_or(item.fsPath()), item.kind,
                              item.device, item.inode});
    ProcessRequest run;
    QStringList command = elevation + QStringList{kTool};
    run.program = command.takeFirst();
    run.arguments = command;
    run.standardInput = request.encode();
    run.timeout = 60s;
    const ProcessResult result = runProcess(run);
    return {result.exitedNormally() ? result.exitCode : -1, CleanAnswer::parse(result.standardOutput),
            result.standardError};
}

// The probe, cleaning `items` as the account 65534 (see privileged_probe.cpp).
ProcessResult runProbe(const QStringList &arguments, const Items &items = {}, bool actAs = false)
{
    ProcessRequest request;
    request.program = actAs ? kProbe : findExecutable(QStringLiteral("setpriv"));
    request.arguments = actAs ? QStringList{QStringLiteral("clean"), QStringLiteral("--act-as=65534")} + arguments
                              : kAsNobody + QStringList{kProbe, QStringLiteral("clean")} + arguments;
    for (const FileItem &item : items)
        request.standardInput += QByteArray(item.kind == ItemKind::folder ? "d " : item.kind == ItemKind::link ? "l " : "f ")
                                 + QByteArray::number(item.device) + ' ' + QByteArray::number(item.inode) + ' '
                                 + item.fsPath() + '\n';
    request.timeout = 60s;
    return runProcess(request);
}

QString whyNoProbe()
{
    if (::geteuid() != 0)
        return QStringLiteral("running as another account needs root");
    if (findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv (util-linux) is not installed");
    ProcessRequest request;
    request.program = findExecutable(QStringLiteral("setpriv"));
    request.arguments = kAsNobody + QStringList{kProbe};
    request.timeout = 30s;
    // Without arguments the probe exits 2; anything else means the account
    // cannot run it here (a build folder it may not enter, for instance).
    return runProcess(request).exitCode == 2 ? QString() : QStringLiteral("the probe does not run as nobody here");
}

Paths resultsOf(const ProcessResult &result, const QByteArray &verdict)
{
    Paths paths;
    for (const QByteArray &line : result.standardOutput.split('\n')) {
        if (line.startsWith("RESULT " + verdict + ' '))
            paths << line.mid(8 + verdict.size());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

const QList<QByteArray> kHostileNames = {
    "new\nline", "it's", "dq\"x", "back\\slash", "$(touch CANARY)", "`touch CANARY2`", "-rf", "--help",
    "bad\xff\xfeutf8", QByteArray(255, 'n'), "sp ace; touch CANARY3 #", "*", "._\nSystemCleanHelper: forged",
    "._-rf $(touch CANARY4)",
};

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
        MountFixture fixture;
        QString why;
        const auto volume = mountVolume(fixture, MountFixture::Kind::Ext4, &why);
        if (!volume)
            QSKIP(qPrintable(why));
        const QByteArray root = *volume + '/';
        QTemporaryDir outsideDir;
        const QByteArray outside = canonical(outsideDir.path());
        QVERIFY(writeFile(outside + "/canary", "keep me", 0600) && writeFile(outside + "/trash-canary", "keep", 0600));

        Paths batch;
        for (const QByteArray &name : kHostileNames) {
            QVERIFY2(writeFile(root + name), name.constData());
            batch << root + name;
        }
        const QByteArray oddFolder = root + "d'\n`touch CANARY5`";
        QVERIFY(makeDir(oddFolder) && writeFile(oddFolder + "/._y") && writeFile(root + "._x"));
        QVERIFY(makeDir(root + ".Spotlight-V100", 0700) && makeDir(root + ".Spotlight-V100/Store-V2", 0700));
        QVERIFY(writeFile(root + ".Spotlight-V100/Store-V2/index", "idx", 0400));
        QVERIFY(makeLink(outside + "/canary", root + ".Spotlight-V100/to-canary"));
        QVERIFY(makeDir(root + ".Trashes", 0333) && makeDir(root + ".Trashes/501", 0700));
        QVERIFY(writeFile(root + ".Trashes/501/old", "trash", 0444));
        QVERIFY(makeLink(outside + "/trash-canary", root + ".Trashes/501/link"));
        QVERIFY(makeDir(root + ".fseventsd", 0700) && writeFile(root + ".fseventsd/0001"));
        QVERIFY(makeDir(root + "keep") && makeDir(root + "keep/.Trashes") && writeFile(root + "keep/.Trashes/inner"));
        QVERIFY(writeFile(root + ".VolumeIcon.icns"));
        batch << oddFolder + "/._y" << root + "._x" << root + ".fseventsd" << root + ".Spotlight-V100"
              << root + ".Trashes" << root + "keep/.Trashes/inner";
        const Items items = itemsAt(batch);

        const QStringList outsideBefore = snapshot(outside);
        const QString stub = writeStub(outside, "echo invoked >> '" + outside + "/stub.log'\ncd '" + outside
                                                    + "' || exit 1\nexec \"$@\"\n");
        const Outcome outcome = clean(environmentFor({stub}), *volume, items + itemsAt({root + ".VolumeIcon.icns"}));

        QVERIFY(outcome.done);
        QCOMPARE(pathsOf(outcome.failed), Paths{});
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        // The trash folder is now a plain file that keeps it from coming back;
        // a trash folder whose file alone was listed stays a folder.
        QCOMPARE(modeOf(root + ".Trashes"), mode_t(S_IFREG | 0644));
        QVERIFY(S_ISDIR(modeOf(root + "keep/.Trashes")));
        QVERIFY(exists(root + ".VolumeIcon.icns") && exists(root + ".metadata_never_index") && exists(oddFolder));
        QCOMPARE(readFile(outside + "/stub.log"), QByteArray("invoked\n"));   // one prompt for the batch
        QStringList outsideAfter = snapshot(outside);
        outsideAfter.removeIf([](const QString &line) { return line.startsWith(QStringLiteral("elevate.sh ")); });
        outsideAfter.removeIf([](const QString &line) { return line.startsWith(QStringLiteral("stub.log ")); });
        QCOMPARE(outsideAfter, outsideBefore);
        for (const QByteArray &folder : {root, outside, QFile::encodeName(QDir::currentPath())}) {
            const QDir dir(QFile::decodeName(folder));
            QVERIFY2(dir.entryList({QStringLiteral("CANARY*")}, QDir::AllEntries | QDir::CaseSensitive).isEmpty(),
                     folder.constData());
        }
        // A name cannot forge a line of the tool's output: control characters are escaped.
        QVERIFY(writeFile(root + kHostileNames.at(12)));
        const ToolRun run = runTool(*volume, itemsAt({root + kHostileNames.at(12)}));
        QCOMPARE(run.answers, (QHash<qsizetype, int>{{0, 0}}));
        QVERIFY2(run.errors.contains("._\\x0aSystemCleanHelper: forged\n"), run.errors.constData());
        QVERIFY2(!run.errors.contains("\nSystemCleanHelper"), run.errors.constData());
    }

    // Links are removed themselves and nothing is done through them, by the
    // ordinary removal and by the tool; a link on the way stops the item.
    void symlinkTraps_data()
    {
        QTest::addColumn<bool>("administrator");
        QTest::newRow("ordinary removal") << false;
        QTest::newRow("administrator tool") << true;
    }

    void symlinkTraps()
    {
        QFETCH(bool, administrator);
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir.path());
        const QByteArray outside = canonical(outsideDir.path());
        QVERIFY(writeFile(outside + "/canary", "precious", 0600) && makeDir(outside + "/folder", 0700));
        QVERIFY(writeFile(outside + "/folder/doc", "doc", 0640) && writeFile(outside + "/folder/._y", "ad", 0640));
        QVERIFY(makeDir(root + "/sub") && makeLink(outside + "/canary", root + "/._x"));
        QVERIFY(makeLink(outside + "/folder", root + "/sub/.Trashes") && makeLink("/", root + "/desktop.ini"));
        QVERIFY(makeLink(outside + "/folder", root + "/.Spotlight-V100"));
        QVERIFY(makeLink(outside + "/folder", root + "/linked"));
        QVERIFY(makeLink(outside + "/made-through-link", root + "/._dangling"));
        const QStringList before = snapshot(outside);

        const Items traps = itemsAt({root + "/._x", root + "/sub/.Trashes", root + "/.Spotlight-V100",
                                     root + "/desktop.ini", root + "/._dangling"});
        // Recorded through the link, as a scan that followed it would have.
        FileItem throughLink = itemAt(outside + "/folder/._y");
        throughLink.path = QString::fromUtf8(root + "/linked/._y");
        const Outcome outcome = clean(environmentFor({}, administrator ? 1000 : 0), root, traps + Items{throughLink});

        QCOMPARE(pathsOf(outcome.deleted), pathsOf(traps));
        QCOMPARE(pathsOf(outcome.failed), pathsOf({throughLink}));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, traps + Items{throughLink});
        // Asked directly, the tool refuses the path through the link too.
        const ToolRun run = runTool(root, {throughLink});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.answers.value(0) == ELOOP || run.answers.value(0) == ENOTDIR);

        QCOMPARE(snapshot(outside), before);
        QVERIFY(!exists("/.metadata_never_index") && !exists(root + "/.metadata_never_index"));
    }

    // An item replaced since the scan is refused (ESTALE) and nothing is
    // removed, by the ordinary removal and by the tool alike.
    void replacedSinceScan_data()
    {
        QTest::addColumn<QByteArray>("replacement");
        QTest::newRow("folder holding thesis.docx") << QByteArray("folder");
        QTest::newRow("symbolic link") << QByteArray("link");
        QTest::newRow("another file") << QByteArray("file");
    }

    void replacedSinceScan()
    {
        QFETCH(QByteArray, replacement);
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir.path());
        const QByteArray outside = canonical(outsideDir.path());
        QVERIFY(writeFile(outside + "/thesis.docx", "chapter 1", 0600));
        const QStringList outsideBefore = snapshot(outside);
        for (const bool administrator : {false, true}) {
            const QByteArray folder = root + (administrator ? "/tool" : "/ordinary");
            QVERIFY(makeDir(folder) && makeDir(folder + "-moved"));
            Items items;
            for (const QByteArray name : {"Thumbs.db", "._x", ".Trashes", ".Spotlight-V100"}) {
                const QByteArray path = folder + '/' + name;
                QVERIFY(name.startsWith(".T") || name.startsWith(".S") ? makeDir(path) && writeFile(path + "/old")
                                                                       : writeFile(path, "junk"));
                items << itemAt(path);
                // The scanned one lives on elsewhere, so its inode is not reused.
                QVERIFY(::rename(path.constData(), (folder + "-moved/" + name).constData()) == 0);
                if (replacement == "folder")
                    QVERIFY(makeDir(path) && writeFile(path + "/thesis.docx", "chapter 2"));
                else if (replacement == "link")
                    QVERIFY(makeLink(outside + "/thesis.docx", path));
                else
                    QVERIFY(writeFile(path, "new content"));
            }
            const QStringList before = snapshot(root);
            const Outcome outcome = clean(environmentFor({}, administrator ? 1000 : 0), root, items);
            QCOMPARE(pathsOf(outcome.deleted), Paths{});
            QCOMPARE(pathsOf(outcome.failed), pathsOf(items));
            QCOMPARE(outcome.log.filter(administrator ? QStringLiteral("File requires privileges")
                                                      : QStringLiteral("no longer what the scan found")).size(), 4);
            const ToolRun run = runTool(root, items);
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.answers, (QHash<qsizetype, int>{{0, ESTALE}, {1, ESTALE}, {2, ESTALE}, {3, ESTALE}}));
            QCOMPARE(snapshot(root), before);   // no marker, no stand-in file, nothing moved
        }
        QCOMPARE(snapshot(outside), outsideBefore);
    }

    // Paths longer than PATH_MAX are removed and counted exactly; an ordinary
    // deep item needs no administrator.
    void deeperThanPathMax_data()
    {
        QTest::addColumn<bool>("administrator");
        QTest::newRow("the user's items") << false;
        QTest::newRow("root's items, through the tool") << true;
    }

    void deeperThanPathMax()
    {
        QFETCH(bool, administrator);
        if (administrator && ::geteuid() != 0)
            QSKIP("making root's items needs root");
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        const uid_t user = ::geteuid() == 0 ? 1000 : ::geteuid();
        const uid_t owner = administrator ? 0 : user;
        const QString stub = writeStub(root, "echo invoked >> '" + root + "/stub.log'\nexec \"$@\"\n");
        const auto removeDeepTree = qScopeGuard([&root] {
            const Handle rootFd(::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            removeTree(rootFd.get(), QByteArray(200, 'a'));
        });
        // 24 folders of 200 bytes, made with mkdirat/openat: no path string reaches that deep.
        QByteArray deep = root;
        Handle fd(::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const auto descend = [&fd, &deep, owner](const QByteArray &name) {
            ::mkdirat(fd.get(), name.constData(), 0755);
            ::fchownat(fd.get(), name.constData(), owner, owner, AT_SYMLINK_NOFOLLOW);
            fd.reset(::openat(fd.get(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            deep += '/' + name;
        };
        const auto file = [&fd, owner](const char *name) {
            const Handle out(::openat(fd.get(), name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
            return out.get() >= 0 && ::write(out.get(), "junk", 4) == 4 && ::fchown(out.get(), owner, owner) == 0;
        };
        for (char c = 'a'; c < 'a' + 24; ++c)
            descend(QByteArray(200, c));
        const QByteArray bottom = deep;
        QVERIFY(bottom.size() > 4800 && file("Thumbs.db") && file("._deep"));
        descend("$RECYCLE.BIN");
        for (int level = 0; level < 40; ++level) {   // deeper than the handles a removal keeps open
            QVERIFY(file("f"));
            descend("l");
        }
        fd.reset();
        const Items items = itemsAt({bottom + "/Thumbs.db", bottom + "/._deep", bottom + "/$RECYCLE.BIN"});

        const Outcome outcome = clean(environmentFor({stub}, user), root, items);
        QVERIFY(outcome.done);
        QCOMPARE(pathsOf(outcome.deleted), pathsOf(items));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QCOMPARE(outcome.log.filter(QStringLiteral("File requires privileges")).size(), administrator ? 3 : 0);
        QCOMPARE(exists(root + "/stub.log"), administrator);   // no password prompt for the user's own items
        struct stat st{};
        QVERIFY(lookAt(bottom, &st) == 0 && S_ISDIR(st.st_mode));
    }

    // As the ordinary user, in a folder it may read but not search (0644,
    // root's): an item counts as cleaned only when it is really gone, never
    // because the user cannot look.
    void unsearchableFolder_data()
    {
        QTest::addColumn<QByteArray>("elevation");
        QTest::addColumn<bool>("toolRuns");
        QTest::newRow("authentication dismissed") << kDismiss << false;
        QTest::newRow("tool answers nothing") << QByteArray("cat >/dev/null\nexit 0\n") << false;
        QTest::newRow("the tool as root") << QByteArray() << true;
    }

    void unsearchableFolder()
    {
        QFETCH(QByteArray, elevation);
        QFETCH(bool, toolRuns);
        if (const QString why = whyNoProbe(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        const QByteArray locked = root + "/locked";
        QVERIFY(::chmod(root.constData(), 0755) == 0 && makeDir(locked) && makeDir(root + "/moved"));
        QVERIFY(writeFile(locked + "/Thumbs.db") && writeFile(locked + "/._x") && writeFile(locked + "/stale.tmp"));
        const Items items = itemsAt({locked + "/Thumbs.db", locked + "/._x", locked + "/stale.tmp"});
        QVERIFY(::rename((locked + "/stale.tmp").constData(), (root + "/moved/stale.tmp").constData()) == 0);
        QVERIFY(writeFile(locked + "/stale.tmp", "the user's new file") && ::chmod(locked.constData(), 0644) == 0);

        // Root comes back for the tool as through pkexec.
        const QStringList command =
            elevation.isEmpty() ? QStringList{findExecutable(QStringLiteral("setpriv")), QStringLiteral("--reuid=0"),
                                              QStringLiteral("--regid=0"), QStringLiteral("--keep-groups")}
                                : QStringList{writeStub(root, elevation)};
        const ProcessResult result = runProbe(QStringList{QFile::decodeName(root), kTool} + command, items, true);
        const QString log = QString::fromUtf8(result.standardOutput);
        QVERIFY2(log.contains(QStringLiteral("Cannot read attributes for file: %1/Thumbs.db, error: %2")
                                  .arg(QFile::decodeName(locked), errorText(EACCES))), qPrintable(log));

        const Items gone = toolRuns ? items.mid(0, 2) : Items{};
        QCOMPARE(resultsOf(result, "deleted"), pathsOf(gone));
        QCOMPARE(resultsOf(result, "failed"), pathsOf(toolRuns ? items.mid(2) : items));
        VERIFY_COUNTS(gone, toolRuns ? items.mid(2) : items, items);
        QCOMPARE(readFile(locked + "/stale.tmp"), QByteArray("the user's new file"));
    }

    // Immutable and append-only items in every group are removed by the tool;
    // what truly cannot be removed fails alone.
    void protectionFlags_data()
    {
        QTest::addColumn<uid_t>("user");
        QTest::newRow("the app as the user") << uid_t(1000);
        QTest::newRow("the app as root") << uid_t(0);
    }

    void protectionFlags()
    {
        QFETCH(uid_t, user);
        MountFixture fixture;
        QString why;
        const auto volume = mountVolume(fixture, MountFixture::Kind::Ext4, &why);
        if (!volume)
            QSKIP(qPrintable(why));
        const QByteArray root = *volume;
        QVERIFY(makeDir(root + "/.Spotlight-V100") && makeDir(root + "/.Spotlight-V100/Store-V2"));
        QVERIFY(writeFile(root + "/.Spotlight-V100/Store-V2/index") && makeDir(root + "/.Trashes"));
        QVERIFY(makeDir(root + "/.Trashes/501") && writeFile(root + "/.Trashes/501/old") && writeFile(root + "/._x"));
        QVERIFY(writeFile(root + "/Thumbs.db") && makeDir(root + "/.TemporaryItems"));
        QVERIFY(writeFile(root + "/.TemporaryItems/f"));
        QVERIFY(makeDir(root + "/appending") && writeFile(root + "/appending/._y"));
        QVERIFY(makeDir(root + "/$RECYCLE.BIN") && makeDir(root + "/$RECYCLE.BIN/busy"));
        if (!setFlags(root + "/._x", FS_IMMUTABLE_FL))
            QSKIP(qPrintable(QStringLiteral("the test volume has no immutable flag: ") + errorText(errno)));
        for (const QByteArray path : {"/.Spotlight-V100/Store-V2/index", "/.Trashes/501/old", "/Thumbs.db"})
            QVERIFY2(setFlags(root + path, FS_IMMUTABLE_FL), path.constData());
        QVERIFY(setFlags(root + "/.TemporaryItems", FS_APPEND_FL) && setFlags(root + "/appending", FS_APPEND_FL));
        // A file system mounted inside: the one item nobody may remove.
        if (!fixture.mountWith({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")},
                               QFile::decodeName(root + "/$RECYCLE.BIN/busy")))
            QSKIP(qPrintable(fixture.lastError()));
        const Items items = itemsAt({root + "/.Spotlight-V100", root + "/.Trashes", root + "/._x", root + "/Thumbs.db",
                                     root + "/.TemporaryItems", root + "/appending/._y", root + "/$RECYCLE.BIN"});

        const Outcome outcome = clean(environmentFor({}, user), root, items);
        QCOMPARE(pathsOf(outcome.failed), Paths{root + "/$RECYCLE.BIN"});
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QVERIFY(MountFixture::isMounted(QFile::decodeName(root + "/$RECYCLE.BIN/busy")));
    }

    // The tool run as the unprivileged account (no rights over one root item
    // in root's folder): the other items are cleaned, only that one failed.
    void oneItemBeyondTheTool()
    {
        if (const QString why = whyNoProbe(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        QVERIFY(::chmod(root.constData(), 0755) == 0 && makeDir(root + "/open") && makeDir(root + "/closed"));
        QVERIFY(makeDir(root + "/open/.Trashes") && ::chmod((root + "/open/.Trashes").constData(), 0777) == 0);
        QVERIFY(::chmod((root + "/open").constData(), 0777) == 0);
        QVERIFY(writeFile(root + "/open/.Trashes/old") && writeFile(root + "/open/._x"));
        QVERIFY(writeFile(root + "/open/Thumbs.db"));
        QVERIFY(writeFile(root + "/closed/Thumbs.db"));
        const Items items = itemsAt({root + "/open/.Trashes", root + "/open/._x", root + "/open/Thumbs.db",
                                     root + "/closed/Thumbs.db"});

        const QStringList elevation = QStringList{findExecutable(QStringLiteral("setpriv"))} + kAsNobody;
        const Outcome outcome = clean(environmentFor(elevation, 1000), root, items);
        QCOMPARE(pathsOf(outcome.failed), Paths{root + "/closed/Thumbs.db"});
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QCOMPARE(modeOf(root + "/open/.Trashes"), mode_t(S_IFREG | 0644));
        QCOMPARE(runTool(root, {itemAt(root + "/closed/Thumbs.db")}, elevation).answers,
                 (QHash<qsizetype, int>{{0, EACCES}}));
    }

    // An unprivileged account swaps folders on the way and the items
    // themselves with links to a tree outside the volume, and plants links
    // where the tool makes its markers, while the tool runs round after
    // round: nothing outside changes, and every answer is the truth (an item
    // answered removed has no name left on the volume).
    void attackedWhileCleaning()
    {
        if (const QString why = whyNoProbe(); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        QString why;
        const auto volume = mountVolume(fixture, MountFixture::Kind::Ext4, &why);
        if (!volume)
            QSKIP(qPrintable(why));
        const QByteArray root = *volume;
        QTemporaryDir outsideDir;
        const QByteArray outside = canonical(outsideDir.path());
        const Paths way = {"p", "p/a", "p/a/b", "p/a/b/c"};
        const QList<std::pair<QByteArray, bool>> junk = {   // relative path, a folder
            {"p/a/.Spotlight-V100", true}, {"p/a/b/.Trashes", true}, {"p/a/b/c/._x", false},
            {"p/a/b/c/Thumbs.db", false},  {"p/.fseventsd", true},   {"p/a/b/c/.TemporaryItems", true},
            {"p/a/b/.fseventsd", true},    {"p/._top", false}};
        // The same tree on the volume (the way the attacker's) and outside it.
        const auto build = [&](int base, uid_t owner) {
            bool ok = true;
            for (const QByteArray &folder : way)
                ok = ok && ::mkdirat(base, folder.constData(), 0755) == 0
                     && ::fchownat(base, folder.constData(), owner, owner, AT_SYMLINK_NOFOLLOW) == 0;
            for (const auto &[path, isFolder] : junk) {
                const QByteArray inner = isFolder ? path + "/inner" : path;
                ok = ok && (!isFolder || ::mkdirat(base, path.constData(), 0700) == 0)
                     && (!isFolder || ::symlinkat(outside.constData(), base, (path + "/to-outside").constData()) == 0);
                const Handle fd(::openat(base, inner.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
                ok = ok && fd.get() >= 0 && ::write(fd.get(), path.constData(), size_t(path.size())) == path.size();
            }
            return ok;
        };
        const Handle outsideFd(::open(outside.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        QVERIFY(build(outsideFd.get(), 0) && ::mkdirat(outsideFd.get(), "p/a/.fseventsd", 0755) == 0);
        const QStringList outsideBefore = snapshot(outside);

        QProcess attacker;
        QStringList targets{QStringLiteral("p/a"), QStringLiteral("p/a/b"), QStringLiteral("p/a/b/c")};
        for (const auto &entry : junk)
            targets << QString::fromUtf8(entry.first);
        const Handle rootFd(::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        attacker.start(findExecutable(QStringLiteral("setpriv")),
                       kAsNobody + QStringList{kProbe, QStringLiteral("attack"), QFile::decodeName(root),
                                               QFile::decodeName(outside)} + targets);
        QVERIFY(attacker.waitForReadyRead(10000) && attacker.readAll() == "ready\n");
        const pid_t pid = pid_t(attacker.processId());
        const auto stop = [pid] {
            ::kill(pid, SIGSTOP);
            for (int i = 0; i < 10000; ++i) {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                if (stat.open(QIODevice::ReadOnly) && stat.readAll().split(')').value(1).startsWith(" T"))
                    return true;
                QThread::usleep(100);
            }
            return false;
        };
        QVERIFY(stop());

        constexpr int kRounds = 200;
        int removed = 0;
        int refused = 0;
        for (int round = 0; round < kRounds; ++round) {
            // A fresh tree each round, made and recorded while the attacker is stopped.
            removeTree(rootFd.get(), "p");
            QVERIFY(build(rootFd.get(), 65534));
            Items items;
            const Handle trashFolder(::openat(rootFd.get(), "p/a/b", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            QList<int> held;   // each item held open: gone from the volume is no link left
            for (const auto &entry : junk) {
                items << itemAt(root + '/' + entry.first);
                held << ::open((root + '/' + entry.first).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            }
            const auto closeHeld = qScopeGuard([&held] {
                for (const int fd : std::as_const(held))
                    ::close(fd);
            });
            ::kill(pid, SIGCONT);
            const ToolRun run = runTool(root, items);
            QVERIFY(stop());
            QVERIFY2(run.answers.size() == items.size(), run.errors.constData());
            bool allRemoved = true;
            for (qsizetype i = 0; i < items.size(); ++i) {
                struct stat st{};
                QVERIFY(::fstat(held.at(i), &st) == 0);
                const int answer = run.answers.value(i, -1);
                const QByteArray what = "round " + QByteArray::number(round) + ": " + junk.at(i).first + " answered "
                                        + QByteArray::number(answer) + ", links left " + QByteArray::number(st.st_nlink)
                                        + '\n' + run.errors;
                QVERIFY2((answer == 0) == (st.st_nlink == 0), what.constData());
                // A removed trash folder's name holds a plain file (the attacker
                // may be stopped with it swapped aside).
                const auto plainFile = [&trashFolder](const char *name) {
                    struct stat stand{};
                    return ::fstatat(trashFolder.get(), name, &stand, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(stand.st_mode);
                };
                QVERIFY2(answer != 0 || !junk.at(i).first.endsWith("/.Trashes") || plainFile(".Trashes")
                             || plainFile(".Trashes.swap"),
                         what.constData());
                allRemoved = allRemoved && answer == 0;
                ++(answer == 0 ? removed : refused);
            }
            QCOMPARE(run.exitCode, allRemoved ? 0 : 1);
        }
        attacker.kill();
        attacker.waitForFinished();
        qInfo("%d answers removed, %d failed over %d rounds", removed, refused, kRounds);
        QVERIFY(removed > 0 && refused > 0);   // the attacker got in the way, and not always
        QCOMPARE(snapshot(outside), outsideBefore);
    }

    // End to end on FUSE volumes, whose files all belong to root.
    void fuseVolumes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("FAT32 (fusefat)") << int(MountFixture::Kind::Fat32);
        QTest::newRow("exFAT (exfat-fuse)") << int(MountFixture::Kind::ExFat);
    }

    void fuseVolumes()
    {
        QFETCH(int, kind);
        MountFixture fixture;
        QString why;
        const auto volume = mountVolume(fixture, MountFixture::Kind(kind), &why);
        if (!volume)
            QSKIP(qPrintable(why));
        const QByteArray root = *volume;
        for (const QByteArray folder : {"/sub", "/.Trashes", "/.Trashes/501", "/.Spotlight-V100", "/.Spotlight-V100/Store-V2",
                                        "/.fseventsd"})
            QVERIFY(makeDir(root + folder));
        // These file systems keep no modes: the files are written without one.
        const auto put = [&root](const QByteArray &file, const QByteArray &content) {
            QFile out(QFile::decodeName(root + file));
            return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
        };
        for (const QByteArray file : {"/._a", "/sub/._b", "/sub/desktop.ini", "/.Trashes/501/old", "/Thumbs.db",
                                      "/.Spotlight-V100/Store-V2/index", "/.fseventsd/0001", "/it's $(x) & `y`.tmp"})
            QVERIFY2(put(file, "junk"), file.constData());
        QVERIFY(put("/sub/photo.jpg", "a photo"));
        const Items items = itemsAt({root + "/._a", root + "/sub/._b", root + "/sub/desktop.ini", root + "/.Trashes",
                                     root + "/Thumbs.db", root + "/.Spotlight-V100", root + "/.fseventsd",
                                     root + "/it's $(x) & `y`.tmp"});

        const Outcome outcome = clean(environmentFor({}, 1000), root, items);
        QCOMPARE(outcome.log.filter(QStringLiteral("File requires privileges")).size(), items.size());
        QCOMPARE(pathsOf(outcome.deleted), pathsOf(items));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QVERIFY(S_ISREG(modeOf(root + "/.Trashes")) && exists(root + "/.metadata_never_index"));
        QCOMPARE(readFile(root + "/sub/photo.jpg"), QByteArray("a photo"));
    }

    // ---- The batch around the tool ----

    // When the privileged step does not run (authentication dismissed, no
    // elevation command, sandbox) every privileged item fails; the dialog
    // comes first, and only when a failed item names a system folder.
    void privilegedStepRefused_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("withTrash");
        QTest::addColumn<bool>("hasAccess");
        QTest::addColumn<int>("answer");    // 1001: open the settings
        QTest::addColumn<int>("buttons");   // of the one dialog; 0: no dialog
        QTest::newRow("dismissed, trash, open settings") << "dismissed" << true << false << 1001 << 2;
        QTest::newRow("dismissed, trash, ok") << "dismissed" << true << false << 1000 << 2;
        QTest::newRow("dismissed, trash, access") << "dismissed" << true << true << 1000 << 1;
        QTest::newRow("dismissed, plain files") << "dismissed" << false << false << 1001 << 0;
        QTest::newRow("no elevation command") << "missing" << false << false << 1000 << 0;
        QTest::newRow("sandboxed (App Sandbox), trash") << "APP_SANDBOX_CONTAINER_ID" << true << false << 1000 << 2;
        QTest::newRow("sandboxed (Flatpak), plain files") << "FLATPAK_ID" << false << false << 1000 << 0;
    }

    void privilegedStepRefused()
    {
        QFETCH(QString, how);
        QFETCH(bool, withTrash);
        QFETCH(bool, hasAccess);
        QFETCH(int, answer);
        QFETCH(int, buttons);
        const QString reason = how == "dismissed" ? SystemCleanHelper::cancelledMessage
                               : how == "missing" ? QStringLiteral("Failed to create script")
                                                  : QStringLiteral("System file deletion not available");
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        Paths paths = {root + "/a.tmp", root + "/._b"};
        if (withTrash)
            paths << root + "/.Trashes";
        for (const QByteArray &path : std::as_const(paths))
            QVERIFY(path.endsWith("/.Trashes") ? makeDir(path) : writeFile(path));
        SystemCleanHelper::ProbeEnvironment environment = environmentFor(
            {how == "missing" ? QFile::decodeName(root + "/no-such-command") : writeStub(root, kDismiss)}, 1000, hasAccess);
        const QByteArray variable = how.toUtf8();
        if (how.contains(u'_'))
            environment.hasEnvironmentVariable = [variable](const char *name) { return variable == name; };

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environment);
        FakePresenter presenter;
        presenter.answer = answer;
        const Items items = itemsAt(paths);
        const Outcome outcome = clean(helper, scheduler, root, items, &presenter);

        QVERIFY(outcome.done);
        QCOMPARE(pathsOf(outcome.failed), pathsOf(items));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
        QVERIFY(outcome.log.contains(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: ") + reason));
        QCOMPARE(presenter.shown.size(), buttons ? 1 : 0);
        if (buttons) {
            QCOMPARE(presenter.shown.constFirst().title, QStringLiteral("System Files Cannot Be Deleted"));
            QCOMPARE(presenter.shown.constFirst().buttons.size(), buttons);
        }
        QVERIFY(!presenter.shownAfterCompletion);
        QCOMPARE(presenter.settingsOpened, buttons && answer == 1001 ? 1 : 0);
    }

    // The check after the tool looks again only at what is left, at most three
    // times, half a second apart; the disk decides where it can be seen.
    void checkRounds()
    {
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        QVERIFY(makeDir(root + "/d") && makeDir(root + "/d/.Trashes") && writeFile(root + "/d/.Trashes/inner"));
        QVERIFY(writeFile(root + "/gone") && writeFile(root + "/.Trashes", "") && makeDir(root + "/e"));
        QVERIFY(writeFile(root + "/e/.Trashes", ""));
        const Items items = itemsAt({root + "/gone", root + "/d/.Trashes", root + "/d/.Trashes/inner", root + "/.Trashes",
                                     root + "/e/.Trashes"});
        QVERIFY(::unlink((root + "/gone").constData()) == 0);

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor({QStringLiteral("/bin/false")}));
        std::optional<std::pair<Items, Items>> result;
        QList<bool> doneAfterRound;
        StdoutCapture capture;
        // The tool said it removed the trash folder in d and the file in it
        // (both still there: the disk wins), and replaced the top one; the one
        // in e it did not answer for.
        helper.verifyDeletion(hold(root), items, {{0, 0}, {1, 0}, {2, 0}, {3, 0}},
                              [&](const Items &deleted, const Items &failed) { result = {deleted, failed}; });
        for (int round = 0; round < 4; ++round) {
            scheduler.settle();
            doneAfterRound << result.has_value();
            scheduler.advance(500ms);
        }
        const QStringList lines = capture.lines();

        QCOMPARE(doneAfterRound, (QList<bool>{false, false, true, true}));
        QVERIFY(result);
        QCOMPARE(pathsOf(result->first), (Paths{root + "/.Trashes", root + "/gone"}));
        VERIFY_COUNTS(result->first, result->second, items);
        QCOMPARE(lines.filter(QStringLiteral("File still exists: ") + QString::fromUtf8(root + "/d/.Trashes/inner")).size(), 3);
        QCOMPARE(lines.filter(QStringLiteral(".Trashes still exists as directory")).size(), 3);
    }

    // Each item's outcome is its own, whatever the tool answers for the rest.
    void toolAnswers_data()
    {
        QTest::addColumn<QByteArray>("tool");
        QTest::addColumn<Paths>("deleted");   // names of a and b
        QTest::newRow("removes a, says b failed") << QByteArray("rm -f a\necho 'removed 0'\necho 'failed 1 13'\nexit 1\n")
                                                  << Paths{"a"};
        QTest::newRow("removes a, says both removed") << QByteArray("rm -f a\necho 'removed 0'\necho 'removed 1'\n")
                                                      << Paths{"a"};
        QTest::newRow("refuses the volume") << QByteArray("echo 'not the volume that was scanned' >&2\nexit 2\n")
                                            << Paths{};
    }

    void toolAnswers()
    {
        QFETCH(QByteArray, tool);
        QFETCH(Paths, deleted);
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir.path());
        QVERIFY(writeFile(root + "/a") && writeFile(root + "/b"));
        const Items items = itemsAt({root + "/a", root + "/b"});
        const QString stub = writeStub(root, "cat >/dev/null\ncd '" + root + "' || exit 3\n" + tool);
        const Outcome outcome = clean(environmentFor({stub}), root, items);
        QVERIFY(outcome.done);
        Paths expected;
        for (const QByteArray &name : deleted)
            expected << root + '/' + name;
        QCOMPARE(pathsOf(outcome.deleted), expected);
        VERIFY_COUNTS(outcome.deleted, outcome.failed, items);
    }

    // Ordinary removal: protected names, items outside the volume or never
    // examined, and items that went with their folder.
    void regularRemoval()
    {
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir.path());
        const QByteArray outside = canonical(outsideDir.path());
        const QByteArray icon = root + "/.VolumeIcon.icns";
        QVERIFY(makeDir(root + "/dir") && writeFile(root + "/dir/f") && writeFile(icon) && writeFile(outside + "/canary"));
        QVERIFY(writeFile(root + "/unexamined"));
        // Through "..", this names the canary too.
        FileItem dotted = itemAt(outside + "/canary");
        dotted.path = QString::fromUtf8(root + "/../" + outside.mid(outside.lastIndexOf('/') + 1) + "/canary");
        const Items kept = {itemAt(root + "/dir"), itemAt(root + "/dir/f"), itemAt(outside + "/canary"), dotted,
                            FileItem::fromNativePath(root + "/unexamined", 1)};

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor({QStringLiteral("/bin/false")}, 0));
        QList<std::pair<int, int>> progress;
        Outcome outcome;
        StdoutCapture capture;
        helper.batchClean(hold(root), Items{itemAt(icon)} + kept + Items{itemAt(icon)}, std::nullopt,
                          [&](int done, int total) { progress << std::pair{done, total}; },
                          [&outcome](const Items &d, const Items &f) {
                              outcome = {true, d, f, {}};
                          });
        const QStringList lines = capture.lines();

        QVERIFY(outcome.done);   // nothing privileged: finished before returning
        QCOMPARE(pathsOf(outcome.deleted), (Paths{root + "/dir", root + "/dir/f"}));
        VERIFY_COUNTS(outcome.deleted, outcome.failed, kept);
        QCOMPARE(readFile(outside + "/canary"), QByteArray("x"));
        QVERIFY(exists(icon) && exists(root + "/unexamined"));
        QCOMPARE(lines.count(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + QString::fromUtf8(icon)), 1);
        QCOMPARE(progress, (QList<std::pair<int, int>>{{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}));
    }

    // As an ordinary account: a root file in root's folder needs the tool
    // (here dismissed); a file in a world-writable folder is removed directly.
    void unprivilegedAccount()
    {
        if (const QString why = whyNoProbe(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir dir;
        const QByteArray root = canonical(dir.path());
        QVERIFY(::chmod(root.constData(), 0755) == 0 && makeDir(root + "/system") && makeDir(root + "/open"));
        QVERIFY(::chmod((root + "/open").constData(), 0777) == 0);
        QVERIFY(writeFile(root + "/system/f") && writeFile(root + "/open/g"));
        QVERIFY(::chown((root + "/open/g").constData(), 1000, 1000) == 0);
        const Items items = itemsAt({root + "/system/f", root + "/open/g"});
        const ProcessResult result = runProbe({QFile::decodeName(root), kTool, writeStub(root, kDismiss)}, items);
        const QString log = QString::fromUtf8(result.standardOutput);
        QCOMPARE(resultsOf(result, "deleted"), Paths{root + "/open/g"});
        QCOMPARE(resultsOf(result, "failed"), Paths{root + "/system/f"});
        QVERIFY2(log.contains(QStringLiteral("Failed to delete privileged files: User cancelled authorization")),
                 qPrintable(log));
        QVERIFY(!exists(root + "/open/g") && exists(root + "/system/f"));
    }
};

SWEEPBROOK_TEST_MAIN(TestPrivilegedClean)
#include "test_privileged_clean.moc"
