#include "cleaning/tools/ToolMain.h"

#include "cleaning/HeldVolume.h"
#include "platform/Log.h"

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace ToolMain {

namespace {

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
        return 2;
    }
    // Standard output carries the answers alone: what else is printed (the
    // engine's diagnostics too) goes to standard error.
    const int answers = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (answers < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        say(prefix + "cannot set up standard output: " + std::strerror(errno));
        return 2;
    }

    QByteArray input;
    if (!readAtMost(STDIN_FILENO, CleanRequest::kMaxBytes, &input)) {
        say(prefix + (errno == EFBIG ? "refused: the request is larger than "
                                           + QByteArray::number(CleanRequest::kMaxBytes) + " bytes"
                                     : "cannot read standard input: " + QByteArray(std::strerror(errno))));
        return 2;
    }
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input, &why);
    input = QByteArray();
    if (!request) {
        say(prefix + why.toUtf8());
        return 2;
    }
    const std::unique_ptr<HeldVolume> volume = tool.openVolume(*request, &why);
    if (!volume) {
        say(prefix + why.toUtf8());
        return 2;
    }

    QList<qsizetype> indexes = order ? order(*request) : QList<qsizetype>();
    if (!order) {
        for (qsizetype i = 0; i < request->items.size(); ++i)
            indexes << i;
    }
    bool allGone = true;
    QByteArray pending;
    for (const qsizetype i : std::as_const(indexes)) {
        const int error = clean(*volume, *request, request->items.at(i));
        allGone = allGone && error == 0;
        pending += CleanAnswer::line(i, error);
        if (pending.size() >= 32 * 1024) {
            if (!writeAll(answers, pending))
                return 2;
            pending.clear();
        }
    }
    std::fflush(stdout);
    return writeAll(answers, pending) ? (allGone ? 0 : 1) : 2;
}

} // namespace ToolMain
