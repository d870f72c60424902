#include "cleaning/PrivilegedScript.h"
#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::StdoutCapture;
using Paths = SystemCleanHelper::Paths;

namespace {

QByteArray canonical(const QTemporaryDir &dir)
{
    return QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath());
}

bool writeFile(const QByteArray &path, const QByteArray &content, mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size()
                    && ::fchmod(fd, mode) == 0;
    return ::close(fd) == 0 && ok;
}

QByteArray readFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool exists(const QByteArray &path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0;
}

mode_t modeOf(const QByteArray &path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 ? st.st_mode : 0;
}

// The names in a folder, sorted (bytes, so any name fits).
QList<QByteArray> listing(const QByteArray &path)
{
    QList<QByteArray> names;
    if (DIR *dir = ::opendir(path.constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// An elevation command standing in for pkexec: a shell script with this body.
QString writeStub(const QByteArray &folder, const QByteArray &body)
{
    const QByteArray path = folder + "/elevate.sh";
    return writeFile(path, "#!/bin/sh\n" + body, 0755) ? QFile::decodeName(path) : QString();
}

struct Outcome
{
    bool done = false;
    Paths deleted;
    Paths failed;
    SystemCleanHelper::BatchCompletion completion()
    {
        return [this](const Paths &d, const Paths &f) {
            deleted = d;
            failed = f;
            done = true;
        };
    }
};

// Runs the scheduler's main thread and virtual time until `done`.
bool drive(VirtualScheduler &scheduler, const bool &done)
{
    for (int round = 0; round < 40 && !done; ++round) {
        scheduler.settle();
        if (!done)
            scheduler.advance(500ms);
    }
    return done;
}

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
        shownAfterCompletion = shownAfterCompletion || (batchDone && *batchDone);
        return answer;
    }
    bool openPrivilegedAccessSettings() override
    {
        ++settingsOpened;
        return true;
    }
};

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

    // Which groups a path gets depends on its last component only.
    void scriptGroups_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("group");
        QTest::newRow("spotlight") << QByteArray("/v/.Spotlight-V100") << "S";
        QTest::newRow("trash") << QByteArray("/v/.Trashes") << "T";
        QTest::newRow("trash at depth") << QByteArray("/v/d/.Trashes/") << "T";
        QTest::newRow("file in trash") << QByteArray("/v/.Trashes/501/f") << "G";
        QTest::newRow("appledouble in trash") << QByteArray("/v/.Trashes/._a") << "A";
        QTest::newRow("appledouble") << QByteArray("/v/._x") << "A";
        QTest::newRow("events folder") << QByteArray("/v/.fseventsd") << "G";
        QTest::newRow("names inside others") << QByteArray("/v/.Spotlight-V100/x._y.Trashes") << "G";
        QTest::newRow("plain") << QByteArray("/v/notes.tmp") << "G";
    }

    void scriptGroups()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, group);
        const QByteArray text = PrivilegedScript::linesForPath(path, [] { return QByteArray(".backup-1"); }).join('\n');
        QCOMPARE(text.contains(".metadata_never_index"), group == "S");
        QCOMPARE(text.contains("/v/.backup-1'"), group == "S");   // moved aside next to it, not to /tmp
        QCOMPARE(text.contains("chmod 644"), group == "T");
        QCOMPARE(text.contains("Starting ._file deletion"), group == "A");
        if (group == "G")
            QVERIFY(text.contains("rm -rf --one-file-system -- " + PrivilegedScript::shellQuote(path)));
        // A link is removed itself, whatever the groups.
        QVERIFY(text.contains("elif [ -L " + PrivilegedScript::shellQuote(path) + " ]; then"));
    }

    // Each path reaches the shell as exactly its bytes; nothing in it runs.
    void quotingIsExact()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QByteArray &name : kHostileNames + QList<QByteArray>{"it's\nnew '' \\' x", "'", ""}) {
            ProcessRequest request;
            request.program = QStringLiteral("/bin/sh");
            request.arguments = {QStringLiteral("-s")};
            request.workingDirectory = dir.path();
            request.standardInput = "printf %s " + PrivilegedScript::shellQuote(name) + "\n";
            const ProcessResult result = runProcess(request);
            QVERIFY(result.succeeded());
            QCOMPARE(result.standardOutput, name);
        }
        QCOMPARE(listing(canonical(dir)), QList<QByteArray>{});

        const QByteArray script = PrivilegedScript::buildScript(
            {"/v/.Spotlight-V100", "/v/.Trashes", "/v/._x", "/v/.fseventsd", "/v/f"});
        QVERIFY(!script.contains("kill"));
        QVERIFY(!script.contains("lsof"));
        QVERIFY(!script.contains("/tmp"));
        // A Spotlight folder gets a fresh backup name each time.
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
        const QByteArray root = QFile::encodeName(QFileInfo(*mounted).canonicalFilePath());
        const QByteArray beside = QFile::encodeName(QFileInfo(fixture.mountRoot()).canonicalFilePath());
        QTemporaryDir outsideDir;
        const QByteArray outside = canonical(outsideDir);
        QVERIFY(writeFile(outside + "/canary", "keep me", 0600));
        QVERIFY(writeFile(outside + "/trash-canary", "keep me too", 0600));

        Paths batch;
        for (const QByteArray &name : kHostileNames) {
            QVERIFY2(writeFile(root + '/' + name, "junk"), name.constData());
            batch << root + '/' + name;
        }
        const QByteArray oddFolder = root + "/d'\n`touch CANARY4`";
        QVERIFY(::mkdir(oddFolder.constData(), 0755) == 0);
        QVERIFY(writeFile(oddFolder + "/._y", "ad"));
        QVERIFY(writeFile(root + "/._x", "ad"));
        QVERIFY(::mkdir((root + "/.Spotlight-V100").constData(), 0700) == 0);
        QVERIFY(::mkdir((root + "/.Spotlight-V100/Store-V2").constData(), 0700) == 0);
        QVERIFY(writeFile(root + "/.Spotlight-V100/Store-V2/index", "idx", 0400));
        QVERIFY(::symlink((outside + "/canary").constData(), (root + "/.Spotlight-V100/to-canary").constData()) == 0);
        QVERIFY(::mkdir((root + "/.Trashes").constData(), 0333) == 0);
        QVERIFY(::mkdir((root + "/.Trashes/501").constData(), 0700) == 0);
        QVERIFY(writeFile(root + "/.Trashes/501/old", "trash", 0444));
        QVERIFY(::symlink((outside + "/trash-canary").constData(), (root + "/.Trashes/501/link").constData()) == 0);
        QVERIFY(::mkdir((root + "/.fseventsd").constData(), 0700) == 0);
        QVERIFY(writeFile(root + "/.fseventsd/0001", "ev"));
        QVERIFY(::mkdir((root + "/keep").constData(), 0755) == 0);
        QVERIFY(::mkdir((root + "/keep/.Trashes").constData(), 0755) == 0);
        QVERIFY(writeFile(root + "/keep/.Trashes/inner", "x"));
        QVERIFY(writeFile(root + "/.VolumeIcon.icns", "icon"));
        // Immutable and append-only files must not stop the script.
        if (!findExecutable(QStringLiteral("chattr")).isEmpty()) {
            QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), QFile::decodeName(root + "/.Trashes/501/old")}), 0);
            QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+a"), QFile::decodeName(root + "/._x")}), 0);
        }
        // The event folder comes before the index folder, whose lines make ".fseventsd/no_log".
        batch << oddFolder + "/._y" << root + "/._x" << root + "/.fseventsd" << root + "/.Spotlight-V100"
              << root + "/.Trashes" << root + "/keep/.Trashes/inner" << root + "/.VolumeIcon.icns";

        const QList<QByteArray> outsideBefore = listing(outside);
        const QList<QByteArray> besideBefore = listing(beside);
        const QString stub = writeStub(outside, "echo invoked >> " + PrivilegedScript::shellQuote(outside + "/stub.log")
                                                    + "\ncd " + PrivilegedScript::shellQuote(outside)
                                                    + " || exit 1\nexec /bin/sh -s\n");
        QVERIFY(!stub.isEmpty());

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(stub));
        Outcome outcome;
        StdoutCapture capture;
        helper.batchClean(batch, QStringLiteral("ext4"), root, {}, outcome.completion());
        QVERIFY(drive(scheduler, outcome.done));
        const QStringList lines = capture.lines();

        const Paths kept = batch.mid(0, batch.size() - 1);
        QCOMPARE(outcome.failed, Paths{});
        QCOMPARE(outcome.deleted, kept);
        // The script said it skipped nothing (its text, logged too, holds the echo).
        QVERIFY(std::none_of(lines.cbegin(), lines.cend(), [](const QString &line) {
            return line.contains(QStringLiteral("Skipped:")) && !line.contains(QStringLiteral("echo '"));
        }));
        for (const QByteArray &path : kept) {
            if (path.endsWith("/.Trashes"))
                continue;
            QVERIFY2(!exists(path), path.constData());
        }
        // The trash folder is now a plain file that keeps it from coming back;
        // a trash folder whose file alone was listed stays a folder.
        QVERIFY(S_ISREG(modeOf(root + "/.Trashes")));
        QCOMPARE(modeOf(root + "/.Trashes") & 07777, mode_t(0644));
        QVERIFY(S_ISDIR(modeOf(root + "/keep/.Trashes")));
        QVERIFY(exists(root + "/.VolumeIcon.icns"));
        QVERIFY(exists(root + "/.metadata_never_index"));
        QVERIFY(exists(oddFolder));

        QCOMPARE(listing(beside), besideBefore);
        QList<QByteArray> outsideAfter = outsideBefore + QList<QByteArray>{"elevate.sh", "stub.log"};
        std::sort(outsideAfter.begin(), outsideAfter.end());
        QCOMPARE(listing(outside), outsideAfter);
        QCOMPARE(readFile(outside + "/stub.log"), QByteArray("invoked\n"));   // one prompt for the batch
        QCOMPARE(readFile(outside + "/canary"), QByteArray("keep me"));
        QCOMPARE(modeOf(outside + "/canary") & 07777, mode_t(0600));
        QCOMPARE(readFile(outside + "/trash-canary"), QByteArray("keep me too"));
        QCOMPARE(modeOf(outside + "/trash-canary") & 07777, mode_t(0600));
    }

    // Links are removed themselves; nothing is done through them.
    void symlinkTraps()
    {
        QTemporaryDir volumeDir;
        QTemporaryDir outsideDir;
        const QByteArray root = canonical(volumeDir);
        const QByteArray outside = canonical(outsideDir);
        QVERIFY(writeFile(outside + "/canary", "precious", 0600));
        QVERIFY(::mkdir((outside + "/folder").constData(), 0700) == 0);
        QVERIFY(writeFile(outside + "/folder/doc", "doc", 0640));
        QVERIFY(writeFile(outside + "/folder/._y", "ad", 0640));
        QVERIFY(::mkdir((root + "/sub").constData(), 0755) == 0);
        QVERIFY(::symlink((outside + "/canary").constData(), (root + "/._x").constData()) == 0);
        QVERIFY(::symlink((outside + "/folder").constData(), (root + "/sub/.Trashes").constData()) == 0);
        QVERIFY(::symlink((outside + "/folder").constData(), (root + "/.Spotlight-V100").constData()) == 0);
        QVERIFY(::symlink("/", (root + "/desktop.ini").constData()) == 0);
        QVERIFY(::symlink((outside + "/folder").constData(), (root + "/linked").constData()) == 0);
        const QString stub = writeStub(root, "exec /bin/sh -s\n");

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(stub));
        const Paths traps = {root + "/._x", root + "/sub/.Trashes", root + "/.Spotlight-V100", root + "/desktop.ini"};
        Outcome outcome;
        helper.batchClean(traps, std::nullopt, root, {}, outcome.completion());
        QVERIFY(drive(scheduler, outcome.done));
        QCOMPARE(outcome.deleted, traps);
        for (const QByteArray &path : traps)
            QVERIFY2(!exists(path), path.constData());

        // A folder on the way that is a link: the script leaves the path alone.
        Outcome throughLink;
        helper.batchClean({root + "/linked/._y"}, std::nullopt, root, {}, throughLink.completion());
        QVERIFY(drive(scheduler, throughLink.done));
        QCOMPARE(throughLink.failed, Paths{root + "/linked/._y"});

        QCOMPARE(readFile(outside + "/canary"), QByteArray("precious"));
        QCOMPARE(modeOf(outside + "/canary") & 07777, mode_t(0600));
        QCOMPARE(listing(outside + "/folder"), (QList<QByteArray>{"._y", "doc"}));
        QCOMPARE(modeOf(outside + "/folder") & 07777, mode_t(0700));
        QCOMPARE(modeOf(outside + "/folder/doc") & 07777, mode_t(0640));
        QVERIFY(!exists(outside + "/.metadata_never_index"));
        QVERIFY(!exists("/.metadata_never_index"));
    }

    // When the privileged step does not run (authentication dismissed, no
    // elevation command, sandbox) every privileged path fails; the dialog comes
    // first, and only when a failed path names a system folder.
    void privilegedStepRefused_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("withTrash");
        QTest::addColumn<bool>("hasAccess");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("dialogs");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("settingsOpened");
        QTest::addColumn<QStringList>("expectedLines");
        const QStringList dismissed = {
            QStringLiteral("SystemCleanHelper: Script execution failed - Error -128: "
                           "Error executing command as another user: Request dismissed"),
            QStringLiteral("SystemCleanHelper: Failed to delete privileged files: User cancelled authorization")};
        QTest::newRow("dismissed, trash, no access, open settings")
            << "dismissed" << true << false << 1001 << 1 << 2 << 1 << dismissed;
        QTest::newRow("dismissed, trash, no access, ok") << "dismissed" << true << false << 1000 << 1 << 2 << 0 << dismissed;
        QTest::newRow("dismissed, trash, access") << "dismissed" << true << true << 1000 << 1 << 1 << 0 << dismissed;
        QTest::newRow("dismissed, plain files") << "dismissed" << false << false << 1001 << 0 << 0 << 0 << dismissed;
        QTest::newRow("no elevation command") << "missing" << false << false << 1000 << 0 << 0 << 0
                                              << QStringList{QStringLiteral("SystemCleanHelper: Failed to delete privileged "
                                                                            "files: Failed to create script")};
        const QStringList sandboxed = {
            QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"),
            QStringLiteral("SystemCleanHelper: Failed to delete privileged files: System file deletion not available")};
        QTest::newRow("sandboxed, trash") << "sandboxed" << true << false << 1000 << 1 << 2 << 0 << sandboxed;
        QTest::newRow("sandboxed, plain files") << "sandboxed" << false << false << 1000 << 0 << 0 << 0 << sandboxed;
    }

    void privilegedStepRefused()
    {
        QFETCH(QString, how);
        QFETCH(bool, withTrash);
        QFETCH(bool, hasAccess);
        QFETCH(int, answer);
        QFETCH(int, dialogs);
        QFETCH(int, buttons);
        QFETCH(int, settingsOpened);
        QFETCH(QStringList, expectedLines);

        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir);
        Paths paths = {root + "/a.tmp", root + "/._b"};
        if (withTrash) {
            QVERIFY(::mkdir((root + "/.Trashes").constData(), 0755) == 0);
            paths << root + "/.Trashes";
        }
        for (const QByteArray &path : std::as_const(paths))
            QVERIFY(exists(path) || writeFile(path, "x"));
        const QString stub = how == "missing" ? QFile::decodeName(root + "/no-such-command")
                                              : writeStub(root, "cat >/dev/null\necho 'Error executing command as "
                                                                "another user: Request dismissed' >&2\nexit 126\n");
        SystemCleanHelper::ProbeEnvironment environment = environmentFor(stub, hasAccess);
        if (how == "sandboxed")
            environment.hasEnvironmentVariable = [](const char *name) { return qstrcmp(name, "FLATPAK_ID") == 0; };

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environment);
        FakePresenter presenter;
        presenter.answer = answer;
        Outcome outcome;
        presenter.batchDone = &outcome.done;
        helper.setDialogPresenter(&presenter);
        StdoutCapture capture;
        helper.batchClean(paths, std::nullopt, root, {}, outcome.completion());
        QVERIFY(drive(scheduler, outcome.done));
        const QStringList lines = capture.lines();

        QCOMPARE(outcome.deleted, Paths{});
        QCOMPARE(outcome.failed, paths);
        for (const QByteArray &path : std::as_const(paths))
            QVERIFY(exists(path));
        for (const QString &line : std::as_const(expectedLines))
            QVERIFY2(lines.contains(line), qPrintable(line));
        QCOMPARE(presenter.shown.size(), dialogs);
        if (dialogs) {
            const GuideDialog &dialog = presenter.shown.constFirst();
            QCOMPARE(dialog.title, QStringLiteral("System Files Cannot Be Deleted"));
            QVERIFY2(dialog.message.contains(QStringLiteral("administrator rights")), qPrintable(dialog.message));
            QCOMPARE(dialog.buttons.size(), buttons);
        }
        QVERIFY(!presenter.shownAfterCompletion);
        QCOMPARE(presenter.settingsOpened, settingsOpened);
    }

    // The check looks again only at what is left, at most three times, half a
    // second apart; one survivor fails the whole privileged step.
    void checkRounds()
    {
        QTemporaryDir volumeDir;
        const QByteArray root = canonical(volumeDir);
        QVERIFY(::mkdir((root + "/d").constData(), 0755) == 0);
        QVERIFY(::mkdir((root + "/d/.Trashes").constData(), 0755) == 0);
        QVERIFY(writeFile(root + "/d/.Trashes/inner", "x"));
        QVERIFY(writeFile(root + "/.Trashes", ""));
        const QByteArray gone = root + "/gone";
        const QByteArray trashFolder = root + "/d/.Trashes";
        const QByteArray inner = root + "/d/.Trashes/inner";
        const QByteArray trashFile = root + "/.Trashes";

        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, environmentFor(QStringLiteral("/bin/false")));
        bool done = false;
        bool success = true;
        QString message;
        StdoutCapture capture;
        helper.verifyDeletion({gone, trashFolder, inner, trashFile}, false,
                              [&](bool ok, const std::optional<QString> &text) {
                                  success = ok;
                                  message = text.value_or(QString());
                                  done = true;
                              });
        scheduler.settle();
        QVERIFY(!done);
        scheduler.advance(500ms);
        scheduler.settle();
        QVERIFY(!done);
        scheduler.advance(500ms);
        scheduler.settle();
        QVERIFY(done);
        const QStringList lines = capture.lines();

        QVERIFY(!success);
        QCOMPARE(message, QStringLiteral("Failed to delete 2 protected system files (Full Disk Access not granted). "
                                         "These files are protected by macOS System Integrity Protection."));
        const auto count = [&lines](const QString &text) { return lines.count(QStringLiteral("SystemCleanHelper: ") + text); };
        QCOMPARE(count(QStringLiteral("File deleted: ") + QString::fromUtf8(gone)), 1);
        QCOMPARE(count(QStringLiteral(".Trashes successfully replaced with file: ") + QString::fromUtf8(trashFile)), 1);
        for (int attempt = 1; attempt <= 3; ++attempt) {
            QCOMPARE(count(QStringLiteral("Attempt %1 - .Trashes still exists as directory: ").arg(attempt)
                           + QString::fromUtf8(trashFolder)), 1);
            // A file inside a trash folder is an ordinary file to the check.
            QCOMPARE(count(QStringLiteral("Attempt %1 - File still exists: ").arg(attempt) + QString::fromUtf8(inner)), 1);
        }
        QCOMPARE(count(QStringLiteral("WARNING - File could not be deleted: ") + QString::fromUtf8(inner)), 1);
        QCOMPARE(count(QStringLiteral("File owner: root")), 2);

        // Through a batch: the script removes one of two files, so both count as failed.
        QVERIFY(writeFile(root + "/a", "x"));
        QVERIFY(writeFile(root + "/b", "x"));
        const QString stub = writeStub(root, "cat >/dev/null\nrm -f -- " + PrivilegedScript::shellQuote(root + "/a") + "\n");
        SystemCleanHelper batchHelper(scheduler, environmentFor(stub));
        Outcome outcome;
        batchHelper.batchClean({root + "/a", root + "/b"}, std::nullopt, root, {}, outcome.completion());
        QVERIFY(drive(scheduler, outcome.done));
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
        QVERIFY(::mkdir((root + "/dir").constData(), 0755) == 0);
        QVERIFY(writeFile(root + "/dir/f", "x"));
        QVERIFY(writeFile(root + "/.VolumeIcon.icns", "icon"));
        QVERIFY(writeFile(outside + "/canary", "keep"));

        VirtualScheduler scheduler;
        SystemCleanHelper::ProbeEnvironment environment = environmentFor(QStringLiteral("/bin/false"));
        environment.effectiveUid = [] { return uid_t(0); };
        SystemCleanHelper helper(scheduler, environment);
        const QByteArray icon = root + "/.VolumeIcon.icns";
        // Through "..", this names the canary too.
        const QByteArray dotted = root + "/../" + outside.mid(outside.lastIndexOf('/') + 1) + "/canary";
        const Paths batch = {icon, root + "/dir", root + "/dir/f", outside + "/canary", dotted, icon};
        Outcome outcome;
        QList<std::pair<int, int>> progress;
        StdoutCapture capture;
        helper.batchClean(batch, std::nullopt, root, [&](int done, int total) { progress << std::pair{done, total}; },
                          outcome.completion());
        QVERIFY(outcome.done);   // nothing privileged: finished before returning
        const QStringList lines = capture.lines();

        QCOMPARE(outcome.deleted, (Paths{root + "/dir", root + "/dir/f"}));
        QCOMPARE(outcome.failed, (Paths{outside + "/canary", dotted}));
        QCOMPARE(readFile(outside + "/canary"), QByteArray("keep"));
        QVERIFY(exists(icon));
        QCOMPARE(lines.count(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + QString::fromUtf8(icon)), 1);
        QVERIFY(lines.contains(QStringLiteral("SystemCleanHelper: Failed to delete regular file: ")
                               + QString::fromUtf8(outside) + QStringLiteral("/canary, error: outside the volume")));
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
        QVERIFY(::chmod(root.constData(), 0755) == 0);
        QVERIFY(::mkdir((root + "/system").constData(), 0755) == 0);
        QVERIFY(::mkdir((root + "/open").constData(), 0777) == 0);
        QVERIFY(::chmod((root + "/open").constData(), 0777) == 0);
        const QByteArray locked = root + "/system/f";
        const QByteArray loose = root + "/open/g";
        QVERIFY(writeFile(locked, "x"));
        QVERIFY(writeFile(loose, "x"));
        QVERIFY(::chown(loose.constData(), 1000, 1000) == 0);
        const QString stub = writeStub(root, "cat >/dev/null\necho 'Request dismissed' >&2\nexit 126\n");

        const auto probe = [&](const QStringList &arguments) {
            ProcessRequest request;
            request.program = setpriv;
            request.arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), QStringLiteral(SWEEPBROOK_PRIVILEGED_PROBE)}
                                + arguments;
            request.timeout = 60s;
            return runProcess(request);
        };
        const auto probeLines = [&probe](const QStringList &arguments) {
            return QString::fromUtf8(probe(arguments).standardOutput).split(u'\n', Qt::SkipEmptyParts);
        };
        // Without arguments the probe exits 2; anything else means the account cannot run it here
        // (a build folder it may not enter, for instance).
        if (const ProcessResult ran = probe({}); ran.exitCode != 2)
            QSKIP(qPrintable(QStringLiteral("the probe does not run as nobody: ") + QString::fromUtf8(ran.standardError)));
        const QString lockedText = QFile::decodeName(locked);
        const QString freeText = QFile::decodeName(loose);
        const QStringList verdicts = probeLines({QStringLiteral("classify"), lockedText, freeText, QFile::decodeName(root + "/missing")});
        QVERIFY2(verdicts.contains(QStringLiteral("1 ") + lockedText), qPrintable(verdicts.join(u'\n')));
        QVERIFY(verdicts.contains(QStringLiteral("0 ") + freeText));
        QVERIFY(verdicts.contains(QStringLiteral("0 ") + QFile::decodeName(root + "/missing")));

        const QStringList lines = probeLines({QStringLiteral("clean"), QFile::decodeName(root), stub, lockedText, freeText});
        QVERIFY2(lines.contains(QStringLiteral("RESULT deleted ") + freeText), qPrintable(lines.join(u'\n')));
        QVERIFY(lines.contains(QStringLiteral("RESULT failed ") + lockedText));
        QVERIFY(lines.contains(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: User cancelled authorization")));
        QVERIFY(!exists(loose));
        QVERIFY(exists(locked));
    }
};

SWEEPBROOK_TEST_MAIN(TestPrivilegedClean)
#include "test_privileged_clean.moc"
