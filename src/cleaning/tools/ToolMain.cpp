#include "cleaning/tools/ToolMain.h"

#include "cleaning/HeldVolume.h"

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace ToolMain {

namespace {

bool readAll(int fd, QByteArray *out)
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
        out->append(buffer, n);
    }
}

} // namespace

void say(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

QByteArray shown(const QByteArray &path)
{
    QByteArray out;
    out.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\')
            out += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

int run(const Tool &tool, int argc, char **argv, const std::function<int(HeldVolume &, const CleanRequest::Item &)> &clean,
        const std::function<QList<qsizetype>(const CleanRequest &)> &order)
{
    const QByteArray prefix = QByteArray(tool.name) + ": ";
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s < request\n%s\n", argv[0], tool.purpose);
        return 2;
    }
    QByteArray input;
    if (!readAll(STDIN_FILENO, &input)) {
        say(prefix + "cannot read standard input: " + std::strerror(errno));
        return 2;
    }
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input, &why);
    if (!request) {
        say(prefix + why.toUtf8());
        return 2;
    }
    if (tool.absoluteRoot && !request->root.startsWith('/')) {
        say(prefix + "the volume root must be an absolute path");
        return 2;
    }
    const std::unique_ptr<HeldVolume> volume = HeldVolume::open(request->root, request->device, request->rootInode, &why);
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
    for (const qsizetype i : std::as_const(indexes)) {
        const int error = clean(*volume, request->items.at(i));
        allGone = allGone && error == 0;
        const QByteArray answer = CleanAnswer::line(i, error);
        std::fwrite(answer.constData(), 1, size_t(answer.size()), stdout);
    }
    std::fflush(stdout);
    return allGone ? 0 : 1;
}

} // namespace ToolMain
