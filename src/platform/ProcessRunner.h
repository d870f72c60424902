#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

// Runs a child process from an argument list (never through a shell) and waits
// for it, draining standard output and standard error together so a chatty
// child cannot block. Blocking: call it from a background job, never from the
// main thread.
struct ProcessRequest
{
    // An absolute path, or a name looked up in PATH; as root in the system's
    // own folders only (/usr/sbin:/usr/bin:/sbin:/bin, also the child's PATH
    // unless `environment` sets one), never in the PATH we inherited.
    QString program;
    QStringList arguments;
    // When not empty, the arguments byte for byte instead of `arguments`:
    // for paths, which need not be UTF-8.
    QList<QByteArray> argumentBytes;
    QString workingDirectory;        // empty: inherit
    // A folder handle (may be O_PATH) the child starts in instead, so a
    // folder held open is not looked up again by its path.
    int workingDirectoryFd = -1;
    // Variables set (or, with a null QString value, removed) on top of the
    // inherited environment.
    QMap<QString, QString> environment;
    bool clearEnvironment = false;   // start from an empty environment instead
    QByteArray standardInput;        // written, then the pipe is closed
    // After this the child's process group gets SIGTERM, and SIGKILL after
    // killGrace. Zero: no limit.
    std::chrono::milliseconds timeout{0};
    std::chrono::milliseconds killGrace{2000};

    // Each piece of output as it arrives, on the calling thread (`error`: of
    // standard error); the pieces still make up the result.
    std::function<void(const QByteArray &piece, bool error)> onOutput;
    // False: standard output goes to `onOutput` only, for output too large
    // to hold whole (the result's standardOutput stays empty).
    bool collectStandardOutput = true;

    // Asked about ten times a second while the child runs, when set. `stop`
    // asks it to end (SIGTERM, once; a child we may not signal, one that runs
    // as another user, has its standard output closed instead, so it ends at
    // its next answer). `giveUp` kills it and returns at once, without
    // waiting for a child that cannot end yet (one held inside a file system
    // that stopped answering); it is reaped whenever it ends.
    enum class Control { carryOn, stop, giveUp };
    std::function<Control()> control;
    // Told once the child runs, on the calling thread, with a pidfd of it
    // (-1 on a kernel without them), which stays the runner's: whoever gives
    // the child up from another thread keeps a duplicate to kill it at once.
    std::function<void(int pidfd)> onStarted;
};

struct ProcessResult
{
    bool started = false;            // false: the program could not be started
    QString errorString;             // why it could not start (when !started)
    int exitCode = -1;               // valid when it exited normally
    int signal = 0;                  // the signal that ended it, or 0
    bool timedOut = false;           // it was stopped at its time limit
    bool givenUp = false;            // the caller gave it up (ProcessRequest::control)
    QByteArray standardOutput;
    QByteArray standardError;

    bool exitedNormally() const { return started && signal == 0; }
    bool succeeded() const { return exitedNormally() && exitCode == 0 && !timedOut; }
};

ProcessResult runProcess(const ProcessRequest &request);

// Finds an executable in PATH (as root: in the system's folders), or checks
// an absolute path; empty when none.
QString findExecutable(const QString &name);
