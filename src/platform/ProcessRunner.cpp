#include "platform/ProcessRunner.h"

#include "platform/Log.h"
#include "platform/RunningChild.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

using processparts::ChildPipes;
using processparts::Fd;

// A close-on-exec pipe whose ends are above the standard descriptors, so the
// child's dup2 onto 0, 1 and 2 never meets one of them.
bool makePipe(Fd &readEnd, Fd &writeEnd, int *error)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = errno;
        return false;
    }
    for (int &fd : fds) {
        if (fd < 3) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            const int saved = errno;
            ::close(fd);
            fd = moved;
            if (moved < 0)
                *error = saved;
        }
    }
    readEnd = Fd(fds[0]);
    writeEnd = Fd(fds[1]);
    return readEnd.isOpen() && writeEnd.isOpen();
}

bool isExecutableFile(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.constData(), X_OK) == 0;
}

bool isDirectory(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Root (or a process whose effective user is not its real one) never takes
// programs from the PATH it inherited: a folder the user put there would run
// the user's program with our rights. The system's own folders stand in for it.
constexpr char kPrivilegedPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

bool isPrivileged()
{
    return ::geteuid() == 0 || ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

QByteArray ourPath()
{
    if (isPrivileged())
        return QByteArrayLiteral(kPrivilegedPath);
    if (const char *path = ::getenv("PATH"))
        return QByteArray(path);
    // What the C library would use for an unset PATH.
    char buffer[256];
    const size_t size = ::confstr(_CS_PATH, buffer, sizeof buffer);
    if (size > 0 && size <= sizeof buffer)
        return QByteArray(buffer);
    return QByteArrayLiteral("/bin:/usr/bin");
}

// Relative and empty PATH entries are skipped: they would depend on whichever
// directory the child or we happen to be in.
QByteArray searchPath(const QByteArray &name, const QByteArray &path)
{
    for (const QByteArray &dir : path.split(':')) {
        if (!dir.startsWith('/'))
            continue;
        QByteArray candidate = dir;
        if (!candidate.endsWith('/'))
            candidate += '/';
        candidate += name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return {};
}

// KEY=value strings for the child, or a message about a bad variable name.
std::vector<QByteArray> childEnvironment(const ProcessRequest &request, QString *error)
{
    QMap<QByteArray, QByteArray> variables;
    if (!request.clearEnvironment) {
        for (char **entry = environ; entry && *entry; ++entry) {
            const QByteArray text(*entry);
            const qsizetype equals = text.indexOf('=');
            if (equals > 0)
                variables.insert(text.left(equals), text.mid(equals + 1));
        }
        // What the child looks up by name is found where we look (a request may still set its own).
        if (isPrivileged())
            variables.insert(QByteArrayLiteral("PATH"), QByteArrayLiteral(kPrivilegedPath));
    }
    for (auto it = request.environment.cbegin(); it != request.environment.cend(); ++it) {
        const QByteArray name = it.key().toLocal8Bit();
        if (name.isEmpty() || name.contains('=') || name.contains('\0')) {
            *error = QStringLiteral("Invalid environment variable name: \"%1\"").arg(it.key());
            return {};
        }
        if (it.value().isNull())
            variables.remove(name);
        else
            variables.insert(name, it.value().toLocal8Bit());
    }
    std::vector<QByteArray> result;
    result.reserve(size_t(variables.size()));
    for (auto it = variables.cbegin(); it != variables.cend(); ++it)
        result.push_back(it.key() + '=' + it.value());
    return result;
}

std::vector<char *> pointers(std::vector<QByteArray> &strings)
{
    std::vector<char *> result;
    result.reserve(strings.size() + 1);
    for (QByteArray &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

class SpawnSetup
{
public:
    SpawnSetup()
    {
        m_actionsOk = ::posix_spawn_file_actions_init(&actions) == 0;
        m_attributesOk = ::posix_spawnattr_init(&attributes) == 0;
    }
    ~SpawnSetup()
    {
        if (m_actionsOk)
            ::posix_spawn_file_actions_destroy(&actions);
        if (m_attributesOk)
            ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
    bool ok() const { return m_actionsOk && m_attributesOk; }

    // The child's standard descriptors and working folder, its process
    // group and signals. 0, or the error of the first step that failed.
    int prepare(const ChildPipes &pipes, const ProcessRequest &request, const QByteArray &workingDirectory)
    {
        int rc = 0;
        // The original pipe ends are close-on-exec; dup2 makes inheritable copies.
        if (pipes.stdinRead.isOpen())
            rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&actions, pipes.stdinRead.get(), STDIN_FILENO);
        else
            rc = rc ? rc : ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&actions, pipes.stdoutWrite.get(), STDOUT_FILENO);
        rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&actions, pipes.stderrWrite.get(), STDERR_FILENO);
        if (request.workingDirectoryFd >= 0)
            rc = rc ? rc : ::posix_spawn_file_actions_addfchdir_np(&actions, request.workingDirectoryFd);
        else if (!workingDirectory.isEmpty())
            rc = rc ? rc : ::posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.constData());

        // Its own process group, so a time-out reaches whatever it started too;
        // SIGPIPE back at its default and nothing blocked, whatever we do here.
        sigset_t defaults, mask;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigemptyset(&mask);
        rc = rc ? rc : ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        rc = rc ? rc : ::posix_spawnattr_setpgroup(&attributes, 0);
        rc = rc ? rc : ::posix_spawnattr_setsigdefault(&attributes, &defaults);
        rc = rc ? rc : ::posix_spawnattr_setsigmask(&attributes, &mask);
        return rc;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

private:
    bool m_actionsOk = false;
    bool m_attributesOk = false;
};

ProcessResult failure(const QString &message)
{
    ProcessResult result;
    result.errorString = message;
    return result;
}

ProcessResult missingDirectory(const ProcessRequest &request)
{
    return failure(QStringLiteral("No such working directory: %1").arg(request.workingDirectory));
}

// Where a bare name is found: in the PATH the child is given, else in ours.
QByteArray programInPath(const QByteArray &program, const std::vector<QByteArray> &environment)
{
    QByteArray path;
    bool childSetsPath = false;
    for (const QByteArray &variable : environment) {
        if (variable.startsWith("PATH=")) {
            path = variable.mid(5);
            childSetsPath = true;
        }
    }
    return searchPath(program, childSetsPath ? path : ourPath());
}

// The child's argv: the program as it was named, then its arguments.
std::vector<QByteArray> argumentList(const QByteArray &program, const ProcessRequest &request)
{
    std::vector<QByteArray> arguments;
    arguments.reserve(size_t(request.arguments.size() + request.argumentBytes.size()) + 1);
    arguments.push_back(program);
    if (!request.argumentBytes.isEmpty()) {
        arguments.insert(arguments.end(), request.argumentBytes.cbegin(), request.argumentBytes.cend());
    } else {
        for (const QString &argument : request.arguments)
            arguments.push_back(argument.toLocal8Bit());
    }
    return arguments;
}

// Why posix_spawn failed: the C library reports a failed chdir or exec here
// (and reaps that child).
ProcessResult spawnFailure(int rc, const ProcessRequest &request, const QByteArray &workingDirectory)
{
    if (!workingDirectory.isEmpty() && !isDirectory(workingDirectory))
        return missingDirectory(request);
    if (rc == ENOENT)
        return failure(QStringLiteral("No such program: %1").arg(request.program));
    return failure(QStringLiteral("Cannot run %1: %2").arg(request.program, errorText(rc)));
}

} // namespace

bool processparts::ChildPipes::open(bool feedInput, bool streamedOutput, int *error)
{
    if ((feedInput && !makePipe(stdinRead, stdinWrite, error)) || !makePipe(stdoutRead, stdoutWrite, error)
        || !makePipe(stderrRead, stderrWrite, error))
        return false;
    // Output read as it comes (find's hits on a large volume) gets room for
    // more than the kernel's 64 KiB, so the child does not stop each time
    // the reader pauses (an index growing). Where the system refuses, the
    // pipe stays as it is.
    if (streamedOutput)
        ::fcntl(stdoutWrite.get(), F_SETPIPE_SZ, 1 << 20);
    return true;
}

QString findExecutable(const QString &name)
{
    if (name.isEmpty())
        return {};
    const QByteArray encoded = QFile::encodeName(name);
    if (name.contains(QLatin1Char('/')))
        return isExecutableFile(encoded) ? name : QString();
    return QFile::decodeName(searchPath(encoded, ourPath()));
}

ProcessResult runProcess(const ProcessRequest &request)
{
    if (request.program.isEmpty())
        return failure(QStringLiteral("No program given"));

    QString environmentError;
    std::vector<QByteArray> environment = childEnvironment(request, &environmentError);
    if (!environmentError.isEmpty())
        return failure(environmentError);

    const QByteArray program = QFile::encodeName(request.program);
    const QByteArray programPath =
        request.program.contains(QLatin1Char('/')) ? program : programInPath(program, environment);
    if (programPath.isEmpty())
        return failure(QStringLiteral("No such program: %1").arg(request.program));

    const QByteArray workingDirectory = QFile::encodeName(request.workingDirectory);
    if (!workingDirectory.isEmpty() && !isDirectory(workingDirectory))
        return missingDirectory(request);

    int error = 0;
    ChildPipes pipes;
    if (!pipes.open(!request.standardInput.isEmpty(), !request.collectStandardOutput, &error))
        return failure(QStringLiteral("Cannot start %1: %2").arg(request.program, errorText(error)));
    SpawnSetup setup;
    if (!setup.ok())
        return failure(QStringLiteral("Cannot start %1: out of memory").arg(request.program));
    if (const int rc = setup.prepare(pipes, request, workingDirectory); rc != 0)
        return failure(QStringLiteral("Cannot start %1: %2").arg(request.program, errorText(rc)));

    std::vector<QByteArray> arguments = argumentList(program, request);
    std::vector<char *> argv = pointers(arguments);
    std::vector<char *> envp = pointers(environment);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, programPath.constData(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (rc != 0)
        return spawnFailure(rc, request, workingDirectory);
    return processparts::waitForChild(request, pid, pipes);
}
