#include "cleaning/PrivilegedScript.h"
#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "BytePaths.h"
#include "TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace testsupport;
using Paths = SystemCleanHelper::Paths;

namespace {

QByteArray canonical(const QTemporaryDir &dir) { return QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()); }

// "<octal mode> <content>" of a file, to see that nothing touched it.
QByteArray state(const QByteArray &path) { return QByteArray::number(modeOf(path), 8) + ' ' + readFile(path); }

// The names in a folder, sorted.
QStringList listing(const QByteArray &path)
{
    return QDir(QFile::decodeName(path)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// An elevation command standing in for pkexec: a shell script with this body.
QString writeStub(const QByteArray &folder, const QByteArray &body)
{
    const QByteArray path = folder + "/elevate.sh";
    return writeFile(path, "#!/bin/sh\n" + body, 0755) ? QFile::decodeName(path) : QString();
}

const QByteArray kDismiss = "cat >/dev/null\necho 'Error executing command as another user: Request dismissed' >&2\nexit 126\n";

struct Outcome
{
    bool done = false;
    Paths deleted;
    Paths failed;
    QStringList log;
    SystemCleanHelper::BatchCompletion completion()
    {
        return [this](const Paths &d, const Paths &f) {
            done = true;
            deleted = d;
            failed = f;
        };
    }
};

// A helper that judges as uid 1000 (so root's files need the script) and
// elevates through `stub`.
SystemCleanHelper::ProbeEnvironment environmentFor(const QString &stub, bool hasAccess = false)
{
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [hasAccess] { return hasAccess; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.pkexecPath = QString();
    environment.elevationCommand = {stub};
    environment.effectiveUid = [] { return uid_t(1000); };
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

// Cleans `paths` inside `root` and runs the main thread and virtual time until
// the batch ends, with its diagnostics captured.
Outcome clean(SystemCleanHelper &helper, VirtualScheduler &scheduler, const Paths &paths, const QByteArray &root,
              const std::optional<QString> &fileSystemType = std::nullopt, FakePresenter *presenter = nullptr)
{
    Outcome outcome;
    if (presenter) {
        presenter->batchDone = &outcome.done;
        helper.setDialogPresenter(presenter);
    }
    StdoutCapture capture;
    helper.batchClean(paths, fileSystemType, root, {}, outcome.completion());
    for (int round = 0; round < 40 && !outcome.done; ++round) {
        scheduler.settle();
        if (!outcome.done)
            scheduler.advance(500ms);
    }
    outcome.log = capture.lines();
    return outcome;
}

const QList<QByteArray> kHostileNames = {
    "new\nline", "it's", "dq\"x", "back\\slash", "$(touch CANARY)", "`touch CANARY2`", "-rf", "--help",
    "bad\xff\xfeutf8", QByteArray(255, 'n'), "sp ace; touch CANARY3 #", "*",
};

} // namespace

class TestPrivilegedClean : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SystemLanguage::setLocaleNameOverride(QStringLiteral("en_US"));
    }

    // Which groups a path gets depends on its last component only: 'S'
    // Spotlight, 'T' trash, 'A' AppleDouble, 'G' plain removal. No group kills
    // processes or works outside the volume, and a link is removed itself.
    void scriptGroups()
    {
        const QList<std::pair<QByteArray, char>> rows{
            {"/v/.Spotlight-V100", 'S'}, {"/v/.Trashes", 'T'}, {"/v/d/.Trashes/", 'T'}, {"/v/.Trashes/501/f", 'G'},
            {"/v/.Trashes/._a", 'A'},    {"/v/._x", 'A'},      {"/v/.fseventsd", 'G'},  {"/v/notes.tmp", 'G'},
            {"/v/.Spotlight-V100/x._y.Trashes", 'G'},
        };
        for (const auto &[path, group] : rows) {
            const QByteArray text = PrivilegedScript::linesForPath(path, [] { return QByteArray(".backup-1"); }).join('\n');
            const QByteArray quoted = PrivilegedScript::shellQuote(path);
            // The Spotlight folder is moved aside next to itself, not to /tmp.
            const QList<bool> seen{text.contains(".metadata_never_index"), text.contains("/v/.backup-1'"),
                                   text.contains("chmod 644"), text.contains("Starting ._file deletion")};
            QVERIFY2(seen == (QList<bool>{group == 'S', group == 'S', group == 'T', group == 'A'}), path);
            QVERIFY2(group != 'G' || text.contains("rm -rf --one-file-system -- " + quoted), path);
            QVERIFY2(text.contains("elif [ -L " + quoted + " ]; then"), path);
            QVERIFY2(!text.contains("kill") && !text.contains("lsof") && !text.contains("/tmp"), path);
        }
    }

    // Each path reaches the shell as exactly its bytes; nothing in it runs.
    void quotingIsExact()
    {
        QTemporaryDir dir;
        ProcessRequest request;
        request.program = QStringLiteral("/bin/sh");
        request.arguments = {QStringLiteral("-s")};
        request.workingDirectory = dir.path();
        QByteArray expected;
        for (const QByteArray &name : kHostileNames + QList<QByteArray>{"it's\nnew '' \\' x", "'", ""}) {
            request.standardInput += "printf '%s\\0' " + PrivilegedScript::shellQuote(name) + "\n";
            expected += name + '\0';
        }
        const ProcessResult result = runProcess(request);
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardOutput, expected);
        QCOMPARE(listing(canonical(dir)), QStringList());
        // Two Spotlight folders never share a backup name.
        QVERIFY(PrivilegedScript::buildScript({"/v/.Spotlight-V100"})
                != PrivilegedScript::buildScript({"/v/.Spotlight-V100"}));
    }

    // Root-owned junk with hostile names on a real volume, deleted by the real
    // script run as root through a stand-in for pkexec.
    void hostileNamesOnVolume()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        const auto image = fixture.makeImage(MountFixture::Kind::Ext4, 32, QStringLiteral("JUNK"));
        const auto mounted = image ? fixture.mountExt4(*image, fixture.mountRoot() + QStringLiteral("/vol")) : std::nullopt;
        if (!mounted)
            QSKIP(qPrintable(fixture.lastError()));
        const QByteArray root = QFile::encodeName(QFileInfo(*mounted).canonicalFilePath()) + '/';
        const QByteArray beside = QFile::encodeName(QFileInfo(fixture.mountRoot()).canonicalFilePath());
        QTemporaryDir outsideDir;
        const QByteArray outside = canonical(outsideDir);
        QVERIFY(writeFile(outside + "/canary", "keep me", 0600) && writeFile(outside + "/trash-canary", "keep", 0600));

        Paths batch;
        for (const QByteArray &name : kHostileNames) {
            QVERIFY2(writeFile(root + name), name.constData());
            batch << root + name;
        }
        const QByteArray oddFolder = root + "d'\n`touch CANARY4`";
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
        // Immutable and append-only files must not stop the script.
        if (!findExecutable(QStringLiteral("chattr")).isEmpty()) {
            QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), QFile::decodeName(root + ".Trashes/501/old")}), 0);
            QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+a"), QFile::decodeName(root + "._x")}), 0);
        }
        // The event folder comes before the index folder, whose lines make ".fseventsd/no_log".
        batch << oddFolder + "/._y" << root + "._x" << root + ".fseventsd" << root + ".Spotlight-V100"
              << root + ".Trashes" << root + "keep/.Trashes/inner" << root + ".VolumeIcon.icns";

        const QStringList outsideBefore = listing(outside);
        const QStringList besideBefore = listing(beside);
        const QString stub = writeStub(outside, "echo invoked >> " + PrivilegedScript::shellQuote(outside + "/stub.log")
                                                    + "\ncd " + PrivilegedScript::shellQuote(outside)
                                                    + " || exit 1\nexec /bin/sh -s\n");
        QVERIFY(!stub.isEmpty());

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(stub));
        const Outcome outcome = clean(helper, scheduler, batch, root.chopped(1), QStringLiteral("ext4"));

        QVERIFY(outcome.done);
        QCOMPARE(outcome.failed, Paths{});
        QCOMPARE(outcome.deleted, batch.mid(0, batch.size() - 1));   // all but the protected icon
        for (const QByteArray &path : outcome.deleted)
            QVERIFY2(!exists(path) || path.endsWith("/.Trashes"), path.constData());
        // The trash folder is now a plain file that keeps it from coming back;
        // a trash folder whose file alone was listed stays a folder.
        QCOMPARE(modeOf(root + ".Trashes"), mode_t(S_IFREG | 0644));
        QVERIFY(S_ISDIR(modeOf(root + "keep/.Trashes")));
        QVERIFY(exists(root + ".VolumeIcon.icns") && exists(root + ".metadata_never_index") && exists(oddFolder));

        QCOMPARE(listing(beside), besideBefore);
        QStringList outsideAfter = outsideBefore + QStringList{QStringLiteral("elevate.sh"), QStringLiteral("stub.log")};
        outsideAfter.sort();
        QCOMPARE(listing(outside), outsideAfter);
        QCOMPARE(readFile(outside + "/stub.log"), QByteArray("invoked\n"));   // one prompt for the batch
        QCOMPARE(state(outside + "/canary"), "100600 keep me");
        QCOMPARE(state(outside + "/trash-canary"), "100600 keep");
    }

    // Links are removed themselves; nothing is done through them.
    void symlinkTraps()
    {
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir);
        const QByteArray outside = canonical(outsideDir);
        QVERIFY(writeFile(outside + "/canary", "precious", 0600) && makeDir(outside + "/folder", 0700));
        QVERIFY(writeFile(outside + "/folder/doc", "doc", 0640) && writeFile(outside + "/folder/._y", "ad", 0640));
        QVERIFY(makeDir(root + "/sub") && makeLink(outside + "/canary", root + "/._x"));
        QVERIFY(makeLink(outside + "/folder", root + "/sub/.Trashes") && makeLink("/", root + "/desktop.ini"));
        QVERIFY(makeLink(outside + "/folder", root + "/.Spotlight-V100") && makeLink(outside + "/folder", root + "/linked"));

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(writeStub(root, "exec /bin/sh -s\n")));
        const Paths traps = {root + "/._x", root + "/sub/.Trashes", root + "/.Spotlight-V100", root + "/desktop.ini"};
        QCOMPARE(clean(helper, scheduler, traps, root).deleted, traps);
        for (const QByteArray &path : traps)
            QVERIFY2(!exists(path), path.constData());
        // A folder on the way that is a link: the script leaves the path alone.
        QCOMPARE(clean(helper, scheduler, {root + "/linked/._y"}, root).failed, Paths{root + "/linked/._y"});

        QCOMPARE(state(outside + "/canary"), "100600 precious");
        QCOMPARE(state(outside + "/folder/doc"), "100640 doc");
        QCOMPARE(state(outside + "/folder/._y"), "100640 ad");
        QCOMPARE(listing(outside + "/folder"), (QStringList{QStringLiteral("._y"), QStringLiteral("doc")}));
        QCOMPARE(modeOf(outside + "/folder"), mode_t(S_IFDIR | 0700));
        QVERIFY(!exists(outside + "/.metadata_never_index") && !exists("/.metadata_never_index"));
    }

    // When the privileged step does not run (authentication dismissed, no
    // elevation command, sandbox) every privileged path fails; the dialog comes
    // first, and only when a failed path names a system folder.
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
        QTest::newRow("sandboxed, trash") << "sandboxed" << true << false << 1000 << 2;
        QTest::newRow("sandboxed, plain files") << "sandboxed" << false << false << 1000 << 0;
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
        const QByteArray root = canonical(volumeDir);
        Paths paths = {root + "/a.tmp", root + "/._b"};
        if (withTrash)
            paths << root + "/.Trashes";
        for (const QByteArray &path : std::as_const(paths))
            QVERIFY(path.endsWith("/.Trashes") ? makeDir(path) : writeFile(path));
        SystemCleanHelper::ProbeEnvironment environment = environmentFor(
            how == "missing" ? QFile::decodeName(root + "/no-such-command") : writeStub(root, kDismiss), hasAccess);
        if (how == "sandboxed")
            environment.hasEnvironmentVariable = [](const char *name) { return qstrcmp(name, "FLATPAK_ID") == 0; };

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environment);
        FakePresenter presenter;
        presenter.answer = answer;
        const Outcome outcome = clean(helper, scheduler, paths, root, std::nullopt, &presenter);

        QVERIFY(outcome.done);
        QCOMPARE(outcome.deleted, Paths{});
        QCOMPARE(outcome.failed, paths);
        for (const QByteArray &path : std::as_const(paths))
            QVERIFY(exists(path));
        QVERIFY(outcome.log.contains(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: ") + reason));
        QCOMPARE(presenter.shown.size(), buttons ? 1 : 0);
        if (buttons) {
            QCOMPARE(presenter.shown.constFirst().title, QStringLiteral("System Files Cannot Be Deleted"));
            QCOMPARE(presenter.shown.constFirst().buttons.size(), buttons);
        }
        QVERIFY(!presenter.shownAfterCompletion);
        QCOMPARE(presenter.settingsOpened, buttons && answer == 1001 ? 1 : 0);
    }

    // The check looks again only at what is left, at most three times, half a
    // second apart; one survivor fails the whole privileged step.
    void checkRounds()
    {
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir);
        const QByteArray gone = root + "/gone";
        const QByteArray inner = root + "/d/.Trashes/inner";   // an ordinary file to the check
        QVERIFY(makeDir(root + "/d") && makeDir(root + "/d/.Trashes") && writeFile(inner));
        QVERIFY(writeFile(root + "/.Trashes", ""));   // what the script leaves in place of the folder

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(QStringLiteral("/bin/false")));
        std::optional<std::pair<bool, QString>> result;
        QList<bool> doneAfterRound;
        StdoutCapture capture;
        helper.verifyDeletion({gone, root + "/d/.Trashes", inner, root + "/.Trashes"}, false,
                              [&](bool ok, const std::optional<QString> &text) { result = {ok, text.value_or(QString())}; });
        for (int round = 0; round < 4; ++round) {
            scheduler.settle();
            doneAfterRound << result.has_value();
            scheduler.advance(500ms);
        }
        const QStringList lines = capture.lines();

        QCOMPARE(doneAfterRound, (QList<bool>{false, false, true, true}));
        QCOMPARE(result.value_or(std::pair{true, QString()}),
                 std::pair(false, QStringLiteral("Failed to delete 2 protected system files (Full Disk Access not granted). "
                                                 "These files are protected by macOS System Integrity Protection.")));
        QCOMPARE(lines.filter(QStringLiteral("File deleted: ") + QString::fromUtf8(gone)).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("File still exists: ") + QString::fromUtf8(inner)).size(), 3);

        // Through a batch: the script removes one of two files, so both count as failed.
        QVERIFY(writeFile(root + "/a") && writeFile(root + "/b"));
        SystemCleanHelper batchHelper(
            scheduler, environmentFor(writeStub(root, "cat >/dev/null\nrm -f -- " + PrivilegedScript::shellQuote(root + "/a"))));
        const Outcome outcome = clean(batchHelper, scheduler, {root + "/a", root + "/b"}, root);
        QCOMPARE(outcome.deleted, Paths{});
        QCOMPARE(outcome.failed, (Paths{root + "/a", root + "/b"}));
    }

    // Ordinary removal: protected names, paths outside the volume, and files
    // that went with their folder.
    void regularRemoval()
    {
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir);
        const QByteArray outside = canonical(outsideDir);
        const QByteArray icon = root + "/.VolumeIcon.icns";
        QVERIFY(makeDir(root + "/dir") && writeFile(root + "/dir/f") && writeFile(icon) && writeFile(outside + "/canary"));

        VirtualScheduler scheduler;
        SystemCleanHelper::ProbeEnvironment environment = environmentFor(QStringLiteral("/bin/false"));
        environment.effectiveUid = [] { return uid_t(0); };
        SystemCleanHelper helper(scheduler, environment);
        // Through "..", this names the canary too.
        const QByteArray dotted = root + "/../" + outside.mid(outside.lastIndexOf('/') + 1) + "/canary";
        Outcome outcome;
        QList<std::pair<int, int>> progress;
        StdoutCapture capture;
        helper.batchClean({icon, root + "/dir", root + "/dir/f", outside + "/canary", dotted, icon}, std::nullopt, root,
                          [&](int done, int total) { progress << std::pair{done, total}; }, outcome.completion());
        const QStringList lines = capture.lines();

        QVERIFY(outcome.done);   // nothing privileged: finished before returning
        QCOMPARE(outcome.deleted, (Paths{root + "/dir", root + "/dir/f"}));
        QCOMPARE(outcome.failed, (Paths{outside + "/canary", dotted}));
        QCOMPARE(readFile(outside + "/canary"), QByteArray("x"));
        QVERIFY(exists(icon));
        QCOMPARE(lines.count(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + QString::fromUtf8(icon)), 1);
        QCOMPARE(progress, (QList<std::pair<int, int>>{{1, 4}, {2, 4}, {3, 4}, {4, 4}}));
    }

    // As an ordinary account: a root file in root's folder needs the script
    // (here dismissed); a file in a world-writable folder is removed directly.
    void unprivilegedAccount()
    {
        const QString setpriv = findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        QTemporaryDir dir;
        const QByteArray root = canonical(dir);
        const QByteArray locked = root + "/system/f";
        const QByteArray loose = root + "/open/g";
        QVERIFY(::chmod(root.constData(), 0755) == 0 && makeDir(root + "/system") && makeDir(root + "/open"));
        QVERIFY(::chmod((root + "/open").constData(), 0777) == 0);
        QVERIFY(writeFile(locked) && writeFile(loose) && ::chown(loose.constData(), 1000, 1000) == 0);
        const QString stub = writeStub(root, kDismiss);

        const auto probe = [&](const QStringList &arguments) {
            ProcessRequest request;
            request.program = setpriv;
            request.arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), QStringLiteral(SWEEPBROOK_PRIVILEGED_PROBE)}
                                + arguments;
            request.timeout = 60s;
            return runProcess(request);
        };
        // Without arguments the probe exits 2; anything else means the account cannot run it here
        // (a build folder it may not enter, for instance).
        if (probe({}).exitCode != 2)
            QSKIP("the probe does not run as nobody here");
        const QString lockedText = QFile::decodeName(locked);
        const QString looseText = QFile::decodeName(loose);
        const QStringList lines = QString::fromUtf8(probe({QFile::decodeName(root), stub, lockedText, looseText}).standardOutput)
                                      .split(u'\n');
        QVERIFY2(lines.contains(QStringLiteral("RESULT deleted ") + looseText), qPrintable(lines.join(u'\n')));
        QVERIFY(lines.contains(QStringLiteral("RESULT failed ") + lockedText));
        QVERIFY(lines.contains(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: User cancelled authorization")));
        QVERIFY(!exists(loose) && exists(locked));
    }
};

SWEEPBROOK_TEST_MAIN(TestPrivilegedClean)
#include "test_privileged_clean.moc"
