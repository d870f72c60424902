// Child programs for the privileged-clean tests, which run as root: they show
// how a clean behaves for an ordinary account, and attack a clean as one.
//
//   privileged_probe clean [--act-as=UID] <root> <tool> [<elevation word>...]
//       Reads items from standard input, one a line: "<kind f|d|l> <device>
//       <inode> <path>" (the scan's record), cleans them with
//       SystemCleanHelper (our tool at <tool>, the elevation words before it)
//       and prints "RESULT deleted|failed <path>" per item after the
//       helper's own diagnostics. Started through setpriv it is that account
//       throughout. With --act-as it acts as UID itself (its effective
//       user and group) but keeps root as its real user, so an elevation
//       command like "setpriv --reuid=0 --regid=0 --keep-groups" takes root
//       back for the tool, as pkexec would.
//   privileged_probe attack <root> <outside> <target>...
//       Run as an unprivileged account until killed: swaps each target (a
//       path below <root>) with a symbolic link to the same path below
//       <outside> and back (atomically, so the name is never empty), and
//       plants links to <outside> at ".fseventsd" and ".metadata_never_index"
//       beside it. Prints "ready" once it holds the root.
//
// Without arguments it exits 2, so a test sees whether the account can run it.
#include "cleaning/HeldVolume.h"
#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

int clean(QList<QByteArray> arguments)
{
    if (!arguments.isEmpty() && arguments.constFirst().startsWith("--act-as=")) {
        const auto uid = uid_t(arguments.takeFirst().mid(9).toUInt());
        if (::setgroups(0, nullptr) != 0 || ::setresgid(0, gid_t(uid), 0) != 0 || ::setresuid(0, uid, 0) != 0) {
            std::perror("privileged_probe: cannot act as the account");
            return 3;
        }
    }
    if (arguments.size() < 2)
        return 2;
    const QByteArray root = arguments.takeFirst();
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [] { return false; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.pkexecPath = QString();
    environment.adminTool = QString::fromLocal8Bit(arguments.takeFirst());
    for (const QByteArray &word : std::as_const(arguments))
        environment.elevationCommand << QString::fromLocal8Bit(word);
    environment.hasEnvironmentVariable = [](const char *) { return false; };

    SystemCleanHelper::Items items;
    for (std::string line; std::getline(std::cin, line);) {
        const QList<QByteArray> fields = QByteArray::fromStdString(line).split(' ');
        if (fields.size() < 4)
            continue;
        FileItem item = FileItem::fromNativePath(fields.mid(3).join(' '), 0);
        item.kind = fields.at(0) == "d" ? ItemKind::folder : fields.at(0) == "l" ? ItemKind::link : ItemKind::file;
        item.device = fields.at(1).toULongLong();
        item.inode = fields.at(2).toULongLong();
        items << item;
    }
    const quint64 device = items.isEmpty() ? 0 : items.constFirst().device;
    const std::shared_ptr<HeldVolume> volume(HeldVolume::open(root, device).release());

    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, environment);
    bool done = false;
    QList<QByteArray> results;
    helper.batchClean(volume, items, std::nullopt, {},
                      [&](const SystemCleanHelper::Items &deleted, const SystemCleanHelper::Items &failed) {
                          for (const FileItem &item : deleted)
                              results << "RESULT deleted " + item.fsPath();
                          for (const FileItem &item : failed)
                              results << "RESULT failed " + item.fsPath();
                          done = true;
                      });
    for (int round = 0; round < 40 && !done; ++round) {
        scheduler.settle();
        if (!done)
            scheduler.advance(std::chrono::milliseconds(500));
    }
    for (const QByteArray &line : std::as_const(results))
        std::printf("%s\n", line.constData());
    std::fflush(stdout);
    return done ? 0 : 1;
}

[[noreturn]] void attack(const QByteArray &root, const QByteArray &outside, const QList<QByteArray> &targets)
{
    const int rootFd = ::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        std::perror("privileged_probe: cannot open the volume");
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
    if (arguments.isEmpty())
        return 2;
    const QByteArray mode = arguments.takeFirst();
    if (mode == "clean")
        return clean(arguments);
    if (mode == "attack" && arguments.size() >= 3)
        attack(arguments.at(0), arguments.at(1), arguments.mid(2));
    return 2;
}
