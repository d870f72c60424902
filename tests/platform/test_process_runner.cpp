#include "platform/ProcessRunner.h"

#include "Patience.h"
#include "TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

ProcessRequest shell(const QString &script, std::chrono::milliseconds timeout = 60s, const QStringList &arguments = {})
{
    ProcessRequest request;
    request.program = "/bin/sh";
    request.arguments = QStringList{"-c", script, "sh"} + arguments;
    request.timeout = timeout;
    return request;
}

bool writeScript(const QString &path, const QByteArray &text, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.setPermissions(permissions);
}

// Gone, or a zombie waiting for whoever inherited it.
bool isRunning(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = status.readAll();
    return !text.contains("\nState:\tZ");
}

} // namespace

class TestProcessRunner : public QObject
{
    Q_OBJECT

private slots:
    // Every run reaps its child, whatever happened to it.
    void cleanup()
    {
        errno = 0;
        QCOMPARE(::waitpid(-1, nullptr, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
    }

    void findingPrograms()
    {
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("plain"));
        QVERIFY(writeScript(plain, "#!/bin/sh\necho hi\n", QFile::ReadOwner | QFile::WriteOwner));
        const QString missingName = QStringLiteral("sweepbrook-no-such-tool");
        for (const QString &program : {missingName, dir.filePath(QStringLiteral("absent")), plain}) {
            ProcessRequest request;
            request.program = program;
            const ProcessResult result = runProcess(request);
            QVERIFY2(!result.started, qPrintable(program));
            QVERIFY2(result.errorString.contains(program), qPrintable(result.errorString));
            QVERIFY(findExecutable(program).isEmpty());
        }
        QVERIFY(findExecutable(QStringLiteral("sh")).startsWith(QLatin1Char('/')));
        QCOMPARE(findExecutable(QStringLiteral("/bin/sh")), QStringLiteral("/bin/sh"));

        ProcessRequest inMissingDir = shell(QStringLiteral("true"));
        inMissingDir.workingDirectory = dir.filePath(QStringLiteral("gone"));
        ProcessResult result = runProcess(inMissingDir);
        QVERIFY(!result.started);
        QVERIFY2(result.errorString.contains(inMissingDir.workingDirectory), qPrintable(result.errorString));

        // A bare name is looked up in the child's PATH.
        QVERIFY(writeScript(dir.filePath(QStringLiteral("sweepbrook-tool")), "#!/bin/sh\nprintf tool\n",
                            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        ProcessRequest request;
        request.program = QStringLiteral("sweepbrook-tool");
        request.environment.insert(QStringLiteral("PATH"), dir.path() + QStringLiteral(":/usr/bin:/bin"));
        result = runProcess(request);
        QVERIFY2(result.succeeded(), qPrintable(result.errorString));
        QCOMPARE(result.standardOutput, QByteArray("tool"));
    }

    // As root, a bare name is never taken from the PATH we inherited (a folder
    // of the user's in it would run the user's program as root): only from
    // the system's own folders, which the child gets as its PATH too.
    void rootTakesNoProgramFromItsPath()
    {
        if (::geteuid() != 0)
            QSKIP("what root runs is tested as root");
        QTemporaryDir dir;
        for (const char *name : {"ls", "umount", "lsof"})
            QVERIFY(writeScript(dir.filePath(QLatin1String(name)), "#!/bin/sh\nprintf planted\n",
                                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray saved = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + saved);
        const auto restore = qScopeGuard([&] { qputenv("PATH", saved); });
        QVERIFY(!findExecutable(QStringLiteral("ls")).startsWith(dir.path()));
        ProcessRequest request;
        request.program = QStringLiteral("ls");
        request.arguments = {QStringLiteral("-d"), QStringLiteral("/")};
        ProcessResult result = runProcess(request);
        QCOMPARE(result.standardOutput, QByteArray("/\n"));
        result = runProcess(shell(QStringLiteral("printf %s \"$PATH\"; umount --version >/dev/null || printf ' no umount'")));
        QCOMPARE(result.standardOutput, QByteArray("/usr/sbin:/usr/bin:/sbin:/bin"));
    }

    void exitStatusSignalsAndArguments()
    {
        ProcessResult result = runProcess(shell(QStringLiteral("printf out; printf err >&2; exit 1")));
        QVERIFY(result.started && result.exitedNormally() && !result.succeeded());
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.standardOutput, QByteArray("out"));
        QCOMPARE(result.standardError, QByteArray("err"));

        result = runProcess(shell(QStringLiteral("kill -USR1 $$")));
        QVERIFY(result.started && !result.exitedNormally() && !result.timedOut);
        QCOMPARE(result.signal, SIGUSR1);

        // Arguments reach the child verbatim: no shell in between.
        const QStringList arguments{QStringLiteral("a b"), QStringLiteral("'$HOME'"), QStringLiteral("*;|"), QString()};
        result = runProcess(shell("printf '%s|' \"$@\"", 60s, arguments));
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardOutput, QByteArray("a b|'$HOME'|*;|||"));
    }

    void timeLimits()
    {
        ProcessResult result = runProcess(shell("exec sleep 30", 300ms));
        QVERIFY(result.started && result.timedOut && !result.succeeded());
        QCOMPARE(result.signal, SIGTERM);

        // Ignores SIGTERM (and so does its sleep): SIGKILL after the grace.
        ProcessRequest stubborn = shell("trap '' TERM; sleep 30", 1s);
        stubborn.killGrace = 300ms;
        result = runProcess(stubborn);
        QVERIFY(result.timedOut);
        QCOMPARE(result.signal, SIGKILL);

        // The whole group goes, even a grandchild that shrugs off SIGTERM and
        // would otherwise keep the pipes open.
        result = runProcess(shell("(trap '' TERM; exec sleep 30) & a=$!; sleep 30 & printf '%s %s' $a $!; wait", 300ms));
        QVERIFY(result.timedOut);
        QCOMPARE(result.signal, SIGTERM);
        const QList<QByteArray> grandchildren = result.standardOutput.split(' ');
        QCOMPARE(grandchildren.size(), 2);
        for (const QByteArray &pid : grandchildren)
            QTRY_VERIFY2(!isRunning(pid_t(pid.toInt())), pid.constData());

        // Without a time limit, returning once the child is gone, while its
        // stray grandchild still holds the pipes.
        result = runProcess(shell("sleep 30 & printf %s $!", 0ms));
        QVERIFY(result.succeeded());
        const pid_t stray = pid_t(result.standardOutput.toInt());
        QVERIFY(isRunning(stray));
        ::kill(stray, SIGKILL);
    }

    // The caller's control: output as it comes; a stop asks the child to end
    // (a child that ends at its own pace is waited for); giving up returns
    // at once, whatever the child does.
    void controlWhileRunning()
    {
        struct Row { const char *script; ProcessRequest::Control control; int signal; bool givenUp; };
        const Row rows[] = {
            {"echo one; exec sleep 30", ProcessRequest::Control::stop, SIGTERM, false},
            {"trap 'echo stopping; exit 3' TERM; echo one; sleep 30 & wait", ProcessRequest::Control::stop, 0, false},
            {"trap '' TERM; echo one; exec sleep 30", ProcessRequest::Control::giveUp, 0, true},
        };
        for (const Row &row : rows) {
            ProcessRequest request = shell(row.script, 0ms);
            QByteArray seen;
            request.onOutput = [&](const QByteArray &piece, bool error) { seen += error ? QByteArray() : piece; };
            request.control = [&] { return seen.contains("one") ? row.control : ProcessRequest::Control::carryOn; };
            QElapsedTimer clock;
            clock.start();
            const ProcessResult result = runProcess(request);
            QVERIFY2(clock.elapsed() < 5000, row.script);
            QCOMPARE(result.givenUp, row.givenUp);
            QVERIFY2(result.standardOutput.startsWith("one\n"), row.script);
            QCOMPARE(seen, result.standardOutput);
            if (!row.givenUp)
                QCOMPARE(result.signal, row.signal);
        }
    }

    void largeStreams()
    {
        // 1 MB on stderr before anything on stdout: both must be drained at once.
        ProcessResult result = runProcess(
            shell("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o"));
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardError, QByteArray(1 << 20, 'e'));
        QCOMPARE(result.standardOutput, QByteArray(1 << 20, 'o'));

        // Output not collected reaches the caller piece by piece, all of it.
        ProcessRequest streamed = shell("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o");
        streamed.collectStandardOutput = false;
        QByteArray seen;
        streamed.onOutput = [&](const QByteArray &piece, bool error) { seen += error ? QByteArray() : piece; };
        result = runProcess(streamed);
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardError.size(), 1 << 20);
        QVERIFY(result.standardOutput.isEmpty());
        QCOMPARE(seen, QByteArray(1 << 20, 'o'));

        // Streamed output has room in the pipe: the child writes 512 KiB
        // more while its reader is held on the first piece (with the
        // kernel's 64 KiB it would stop there, and never say it was done).
        // The same for an ordinary account, whose pipes the system limits.
        QTemporaryDir dir;
        {
            const QString done = dir.filePath(QStringLiteral("done"));
            ProcessRequest roomy = shell("printf x; head -c 524288 /dev/zero; : > \"$1\"", 60s, {done});
            roomy.collectStandardOutput = false;
            qsizetype received = 0;
            bool wroteAll = false;
            roomy.onOutput = [&](const QByteArray &piece, bool error) {
                if (!error && received == 0) {
                    QElapsedTimer held;
                    held.start();
                    while (!(wroteAll = QFile::exists(done)) && held.elapsed() < testsupport::kPatience)
                        QThread::msleep(5);
                }
                received += error ? 0 : piece.size();
            };
            QVERIFY(runProcess(roomy).succeeded() && wroteAll && received == 524289);
        }
        // The same as an ordinary account, in a process of its own (a fork of
        // this one, whose threads may hold a lock, could wait on it for ever).
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (::geteuid() == 0 && !setpriv.isEmpty()) {
            ProcessRequest ordinary;
            ordinary.program = setpriv;
            ordinary.arguments = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                                  QStringLiteral("largeStreams")};
            ordinary.environment.insert(QStringLiteral("SWEEPBROOK_TEST_UNGUARDED"), QStringLiteral("1"));
            ordinary.timeout = 120s;
            const ProcessResult ran = runProcess(ordinary);
            if (ran.exitCode == 126 || ran.exitCode == 127)   // a build folder the account may not enter
                qInfo("not run as uid 65534: %s", ran.standardError.constData());
            else
                QVERIFY2(ran.succeeded(), (ran.standardOutput + ran.standardError).right(3000).constData());
        }

        QByteArray input(1 << 20, Qt::Uninitialized);
        QRandomGenerator generator(7);
        for (char &c : input)
            c = char(generator.bounded(256));
        ProcessRequest echo = shell("exec cat");
        echo.standardInput = input;
        result = runProcess(echo);
        QVERIFY(result.succeeded());
        QVERIFY(result.standardOutput == input);

        // A child that never reads its input must not take us down with SIGPIPE
        // (QtTest's handler treats it as a crash).
        ProcessRequest deaf = shell("exec 0<&-; exit 3");
        deaf.standardInput = input;
        result = runProcess(deaf);
        QVERIFY(result.started && !result.timedOut);
        QCOMPARE(result.exitCode, 3);

        QCOMPARE(runProcess(shell("cat; printf end")).standardOutput, QByteArray("end"));
    }

    void childStartsWithCleanSignalState()
    {
        // Whatever this thread blocks and SIGPIPE ignored here must not reach the child.
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGUSR2);
        QCOMPARE(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        QCOMPARE(::sigaction(SIGPIPE, &ignore, &previous), 0);
        ProcessRequest request;
        request.program = QStringLiteral("grep");
        request.arguments = {QStringLiteral("-E"), QStringLiteral("^Sig(Blk|Ign)"), QStringLiteral("/proc/self/status")};
        const ProcessResult result = runProcess(request);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        ::sigaction(SIGPIPE, &previous, nullptr);

        QVERIFY(result.succeeded());
        for (const QByteArray &line : result.standardOutput.trimmed().split('\n')) {
            const qulonglong mask = line.mid(line.indexOf(':') + 1).trimmed().toULongLong(nullptr, 16);
            if (line.startsWith("SigBlk"))
                QCOMPARE(mask, 0ull);
            else
                QCOMPARE(mask & (1ull << (SIGPIPE - 1)), 0ull);
        }
    }

    void workingDirectoryAndEnvironment()
    {
        QTemporaryDir dir;
        qputenv("SWEEPBROOK_INHERITED", "yes");
        ProcessRequest request = shell(QStringLiteral("pwd -P; printf '%s|%s|%s' \"$SWEEPBROOK_SET\" \"${SWEEPBROOK_INHERITED-unset}\" \"${HOME-unset}\""));
        request.workingDirectory = dir.path();
        request.environment.insert(QStringLiteral("SWEEPBROOK_SET"), QStringLiteral("välue with spaces"));
        request.environment.insert(QStringLiteral("HOME"), QString());
        ProcessResult result = runProcess(request);
        QVERIFY(result.succeeded());
        QCOMPARE(QString::fromUtf8(result.standardOutput),
                 QDir(dir.path()).canonicalPath() + QStringLiteral("\nvälue with spaces|yes|unset"));

        ProcessRequest clean;
        clean.program = QStringLiteral("/usr/bin/env");
        clean.clearEnvironment = true;
        clean.environment.insert(QStringLiteral("ONLY"), QStringLiteral("1"));
        result = runProcess(clean);
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardOutput, QByteArray("ONLY=1\n"));
        qunsetenv("SWEEPBROOK_INHERITED");
    }

    void runsFromSeveralThreads()
    {
        constexpr int count = 8;
        std::vector<ProcessResult> results(count);
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&results, i] {
                ProcessRequest request = shell("head -c 200000 /dev/zero >&2; cat; printf %s \"$1\"", 60s, {QString::number(i)});
                request.standardInput = QByteArray(100000, char('a' + i));
                results[size_t(i)] = runProcess(request);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        for (int i = 0; i < count; ++i) {
            const ProcessResult &result = results[size_t(i)];
            QVERIFY(result.succeeded());
            QCOMPARE(result.standardOutput, QByteArray(100000, char('a' + i)) + QByteArray::number(i));
            QCOMPARE(result.standardError.size(), 200000);
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestProcessRunner)
#include "test_process_runner.moc"
