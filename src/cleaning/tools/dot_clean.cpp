// dot_clean: removes the AppleDouble ("._") files it is handed.
//
// Standard input carries a clean request (cleaning/CleanRequest.h): the
// volume root, normally "." with the volume as working directory, its device
// and inode, and each file's path relative to the root with the kind, device
// and inode the scan recorded. A root that is not that volume is refused
// whole. Only regular files whose name starts with "._" and that are still
// the scanned file are removed; links, folders, anything that changed since
// the scan, and paths with "." or ".." components are refused. The folders on
// the way are opened one by one from the root without following links and
// without leaving the root's file system.
//
// Standard output: one answer per file ("removed N" / "failed N errno").
// Standard error: one line per failure. Exit status: 0 when every file is
// gone afterwards (also when it was gone already), 1 when some remain, 2 when
// the request or the volume cannot be used.

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void write(FILE *stream, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
}

void report(const QByteArray &path, const QByteArray &why)
{
    write(stderr, "dot_clean: " + path + ": " + why + '\n');
}

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

// 0 when the file is gone afterwards, else why not.
int clean(HeldVolume &volume, const CleanRequest::Item &item)
{
    const QByteArray &path = item.relative;
    if (!HeldVolume::relativePath(".", path) || path.startsWith("./")) {
        report(path, "refused: absolute path, or an empty, \".\" or \"..\" component");
        return EINVAL;
    }
    if (!path.mid(path.lastIndexOf('/') + 1).startsWith("._")) {
        report(path, "refused: not an AppleDouble (\"._\") name");
        return EINVAL;
    }
    if (item.kind != ItemKind::file) {
        report(path, "refused: not a regular file");
        return EINVAL;
    }
    const HeldVolume::Look now = volume.look(path);
    if (now.error == ENOENT)
        return 0;
    if (now.error == 0 && !S_ISREG(now.st.st_mode)) {
        report(path, S_ISLNK(now.st.st_mode) ? "refused: a symbolic link" : "refused: not a regular file");
        return ESTALE;
    }
    // Unlinking a name never removes a folder, even one that took the
    // file's place after this look.
    const SafeRemove::Outcome outcome = SafeRemove::removeScanned(volume, path, item.identity());
    if (!outcome.removed())
        report(path, outcome.message.toUtf8());
    return outcome.error;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s < request\n"
                             "Removes the \"._\" files of the clean request on standard input.\n",
                     argv[0]);
        return 2;
    }
    QByteArray input;
    if (!readAll(STDIN_FILENO, &input)) {
        std::fprintf(stderr, "dot_clean: cannot read standard input: %s\n", std::strerror(errno));
        return 2;
    }
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input, &why);
    if (!request) {
        std::fprintf(stderr, "dot_clean: %s\n", qPrintable(why));
        return 2;
    }
    const std::unique_ptr<HeldVolume> volume =
        HeldVolume::open(request->root, request->device, request->rootInode, &why);
    if (!volume) {
        std::fprintf(stderr, "dot_clean: %s\n", qPrintable(why));
        return 2;
    }

    bool allGone = true;
    for (qsizetype i = 0; i < request->items.size(); ++i) {
        const int error = clean(*volume, request->items.at(i));
        allGone = allGone && error == 0;
        write(stdout, CleanAnswer::line(i, error));
    }
    std::fflush(stdout);
    return allGone ? 0 : 1;
}
