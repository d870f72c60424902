#include "cleaning/tools/ToolMain.h"

#include "cleaning/HeldVolume.h"
#include "platform/Log.h"

#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace ToolMain {

namespace {

// Where the answers go (standard output as the app reads it).
int g_answers = -1;
// Set by SIGTERM, or when the answers can no longer be written: the app asks
// us to stop, or is gone. Checked between items, so none is left half done.
volatile sig_atomic_t g_stop = 0;

void onTerm(int)
{
    g_stop = 1;
}

// Reads standard input up to `limit` bytes; false with errno on a read error,
// and EFBIG when there is more.
bool readAtMost(int fd, qsizetype limit, QByteArray *out)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (out->size() + n > limit) {
            errno = EFBIG;
            return false;
        }
        out->append(buffer, n);
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

void working()
{
    // A folder item with many entries still shows progress, now and then.
    static unsigned entries = 0;
    if (++entries % 256 != 0 || g_answers < 0)
        return;
    if (!writeAll(g_answers, "working\n"))
        g_stop = 1;
}

void say(const QByteArray &line)
{
    const QByteArray text = escapedControlBytes(line) + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

QByteArray shown(const QByteArray &path)
{
    return escapedControlBytes(QByteArray(path).replace('\\', "\\x5c"));
}

int run(const Tool &tool, int argc, char **argv,
        const std::function<int(HeldVolume &, const CleanRequest &, const CleanRequest::Item &)> &clean,
        const std::function<QList<qsizetype>(const CleanRequest &)> &order)
{
    const QByteArray prefix = QByteArray(tool.name) + ": ";
    if (argc > 1) {
        say("usage: " + QByteArray(argv[0]) + " < request");
        say(tool.purpose);
        return CleanAnswer::refused;
    }
    // Standard output carries the answers alone: what else is printed (the
    // engine's diagnostics too) goes to standard error.
    const int answers = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (answers < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        say(prefix + "cannot set up standard output: " + std::strerror(errno));
        return CleanAnswer::refused;
    }
    g_answers = answers;
    // A closed pipe fails a write instead of ending us in the middle of an
    // item; SIGTERM asks us to stop after the item at hand (system calls
    // are restarted, so the item's own steps are not cut short).
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction term{};
    term.sa_handler = onTerm;
    term.sa_flags = SA_RESTART;
    sigemptyset(&term.sa_mask);
    ::sigaction(SIGTERM, &term, nullptr);

    QByteArray input;
    if (!readAtMost(STDIN_FILENO, CleanRequest::kMaxBytes, &input)) {
        say(prefix + (errno == EFBIG ? "refused: the request is larger than "
                                           + QByteArray::number(CleanRequest::kMaxBytes) + " bytes"
                                     : "cannot read standard input: " + QByteArray(std::strerror(errno))));
        return CleanAnswer::refused;
    }
    // Running, and so past any password the app's user was asked for: from
    // here on the app counts a long silence as a volume that stopped answering.
    writeAll(answers, "working\n");
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input, &why);
    input = QByteArray();
    if (!request) {
        say(prefix + why.toUtf8());
        return CleanAnswer::refused;
    }
    const std::unique_ptr<HeldVolume> volume = tool.openVolume(*request, &why);
    if (!volume) {
        say(prefix + why.toUtf8());
        return CleanAnswer::refused;
    }

    QList<qsizetype> indexes = order ? order(*request) : QList<qsizetype>();
    if (!order) {
        for (qsizetype i = 0; i < request->items.size(); ++i)
            indexes << i;
    }
    // Each answer goes out as soon as its item is done: the app counts what
    // it was told, however the run ends. A run stopped before its last item
    // says so in its status, so the app can tell the items it did not get
    // to from items that stayed.
    bool allGone = true;
    for (const qsizetype i : std::as_const(indexes)) {
        if (g_stop) {
            say(prefix + "stopped before item " + QByteArray::number(i) + " of " + QByteArray::number(indexes.size()));
            return CleanAnswer::stopped;
        }
        const int error = clean(*volume, *request, request->items.at(i));
        allGone = allGone && error == 0;
        if (!writeAll(answers, CleanAnswer::line(i, error))) {
            say(prefix + "cannot write the answers: " + std::strerror(errno));
            return CleanAnswer::stopped;
        }
    }
    std::fflush(stdout);
    return allGone ? CleanAnswer::allGone : CleanAnswer::someLeft;
}

} // namespace ToolMain
