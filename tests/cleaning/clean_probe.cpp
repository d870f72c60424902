// Runs pieces of the clean in a child process, so tests that run as root see
// what an ordinary account gets (started through setpriv), or attack a clean
// as one. The request on standard input (cleaning/CleanRequest.h) has an
// absolute root; the answers are our tools' ("removed N", "failed N errno";
// errno -1 where the code gives none, the clean's own reason where it has one).
//
//   clean_probe remove < request
//       SafeRemove::removeScanned on every item.
//   clean_probe check < request
//       What DotClean::checkAppleDoubleItemsRemoved counts removed.
//   clean_probe clean [--act-as=UID] <tool> [<elevation word>...] < request
//       SystemCleanHelper's batch (our administrator tool at <tool>, the
//       elevation words before it), after the helper's own diagnostics.
//       With --act-as it acts as UID (its effective user and group) but keeps
//       root as its real user, so an elevation command like "setpriv
//       --reuid=0 --regid=0 --keep-groups" takes root back for the tool, as
//       pkexec would.
//   clean_probe attack <root> <outside> <target>...
//       Until killed: swaps each target (a path below <root>) with a link to
//       the same path below <outside> and back (atomically, so the name is
//       never empty), and plants links to <outside> at ".fseventsd" and
//       ".metadata_never_index" beside it. Prints "ready" once it holds the root.
//
// Exit status 2 for a request or volume it cannot use, and without arguments,
// so a test sees whether the account can run it.
#include "cleaning/CleanRequest.h"
#include "cleaning/DotClean.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <random>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using Items = QList<FileItem>;

// An item removed answers 0; one that failed, the reason recorded on it (-1 when none).
QByteArray answersFor(const Items &items, const Items &removed, const Items &failed = {})
{
    QByteArray answers;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const auto same = [&](const FileItem &item) { return item.fsPath() == items.at(i).fsPath(); };
        const bool gone = std::any_of(removed.cbegin(), removed.cend(), same);
        const auto why = std::find_if(failed.cbegin(), failed.cend(), same);
        answers += CleanAnswer::line(i, gone ? 0 : why != failed.cend() && why->failure != 0 ? int(why->failure) : -1);
    }
    return answers;
}

QByteArray batchClean(const std::shared_ptr<HeldVolume> &volume, const Items &items, QList<QByteArray> arguments)
{
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [] { return false; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.pkexecPath = QString();
    environment.adminTool = QString::fromLocal8Bit(arguments.takeFirst());
    for (const QByteArray &word : std::as_const(arguments))
        environment.elevationCommand << QString::fromLocal8Bit(word);
    environment.hasEnvironmentVariable = [](const char *) { return false; };

    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, environment);
    std::optional<std::pair<Items, Items>> result;
    helper.batchClean(volume, items, std::nullopt, {},
                      [&](const Items &done, const Items &failed) { result = std::pair(done, failed); });
    for (int round = 0; round < 40 && !result; ++round) {
        scheduler.settle();
        if (!result)
            scheduler.advance(std::chrono::milliseconds(500));
    }
    return result ? answersFor(items, result->first, result->second) : QByteArray();
}

[[noreturn]] void attack(const QByteArray &root, const QByteArray &outside, const QList<QByteArray> &targets)
{
    const int rootFd = ::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        std::perror("clean_probe: cannot open the volume");
        std::exit(3);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::mt19937 random(unsigned(::getpid()));
    const auto pause = [&random](unsigned maxMicroseconds) {
        const timespec wait{0, long(random() % maxMicroseconds) * 1000};
        ::nanosleep(&wait, nullptr);
    };
    const auto unlinkIfLink = [rootFd](const QByteArray &path) {
        struct stat st;
        if (::fstatat(rootFd, path.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            ::unlinkat(rootFd, path.constData(), 0);
    };
    for (;;) {
        const QByteArray &target = targets.at(qsizetype(random() % unsigned(targets.size())));
        const QByteArray folder = target.left(target.lastIndexOf('/') + 1);
        const QByteArray side = target + ".swap";
        ::symlinkat((outside + '/' + target).constData(), rootFd, side.constData());
        if (::renameat2(rootFd, target.constData(), rootFd, side.constData(), RENAME_EXCHANGE) == 0) {
            pause(300);
            ::renameat2(rootFd, target.constData(), rootFd, side.constData(), RENAME_EXCHANGE);
        }
        unlinkIfLink(side);
        switch (random() % 8) {
        case 0:
            ::symlinkat((outside + '/' + folder + ".fseventsd").constData(), rootFd, (folder + ".fseventsd").constData());
            break;
        case 1:
            ::symlinkat((outside + '/' + folder + "meta-target").constData(), rootFd,
                        (folder + ".metadata_never_index").constData());
            break;
        case 2:
            unlinkIfLink(folder + ".fseventsd");
            unlinkIfLink(folder + ".metadata_never_index");
            break;
        default:
            break;
        }
        pause(200);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QByteArray(argv[i]);
    const QByteArray mode = arguments.isEmpty() ? QByteArray() : arguments.takeFirst();
    if (mode == "attack" && arguments.size() >= 3)
        attack(arguments.at(0), arguments.at(1), arguments.mid(2));
    if (arguments.value(0).startsWith("--act-as=")) {
        const auto uid = uid_t(arguments.takeFirst().mid(9).toUInt());
        if (::setgroups(0, nullptr) != 0 || ::setresgid(0, gid_t(uid), 0) != 0 || ::setresuid(0, uid, 0) != 0) {
            std::perror("clean_probe: cannot act as the account");
            return 3;
        }
    }
    QFile input;
    if ((mode != "remove" && mode != "check" && (mode != "clean" || arguments.isEmpty()))
        || !input.open(stdin, QIODevice::ReadOnly))
        return 2;
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input.readAll(), &why);
    const std::shared_ptr<HeldVolume> volume =
        request ? HeldVolume::open(request->root, request->device, request->rootInode, &why) : nullptr;
    if (!volume) {
        std::fprintf(stderr, "clean_probe: %s\n", qPrintable(why));
        return 2;
    }
    Items items;
    QByteArray answers;
    for (qsizetype i = 0; i < request->items.size(); ++i) {
        const CleanRequest::Item &item = request->items.at(i);
        FileItem scanned = FileItem::fromNativePath(request->root + '/' + item.relative, 0);
        scanned.kind = item.kind;
        scanned.device = item.device;
        scanned.inode = item.inode;
        items << scanned;
        if (mode == "remove")
            answers += CleanAnswer::line(i, SafeRemove::removeScanned(*volume, item.relative, scanned).error);
    }
    if (mode == "check")
        answers = answersFor(items, DotClean::checkAppleDoubleItemsRemoved(*volume, items).first);
    else if (mode == "clean")
        answers = batchClean(volume, items, arguments);
    std::fflush(stdout);   // after the diagnostics
    std::fwrite(answers.constData(), 1, size_t(answers.size()), stdout);
    return 0;
}
