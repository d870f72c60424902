// Runs one scan of a folder for every kind and prints what it found, one
// "kind<TAB>path" line per item, then how it ended: "outcome<TAB>complete",
// "volumeGone", "cutShort", "notAnswering" or "stopped", the unreadable
// folders and the errno, after the scan's own diagnostics. Tests start it
// through setpriv to scan as an unprivileged user.
//
//     scan_probe <root> [excluded pattern...]
//
// Or the whole run as the app makes it, on the real mount table and sysfs:
// the volume mounted at <mount point> looked up among the removable volumes,
// scanned for every kind and everything found cleaned (our dot_clean at
// <dot_clean>). After the diagnostics, "found<TAB>kind<TAB>path",
// "cleaned<TAB>size<TAB>path" and "failed<TAB>path" lines; exit 5 when the volume is
// not listed. With a file and a word, the word is written into the file
// between the scan and the clean (a memory cgroup's reclaim: the kernel
// forgets the stick), and a line "inode<TAB>before<TAB>after" gives the
// first item's inode number as the scan saw it and as it is then.
//
//     scan_probe --clean <mount point> <dot_clean> [<file> <word>]
#include "cleaning/SystemCleanHelper.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace {

int scanAndClean(const QString &mountPoint, const QString &dotClean, qint64 pid, const QStringList &forget)
{
    USBDeviceManager::Environment env;   // as testsupport::realMachineEnvironment()
    env.startMonitoring = env.useUDisks2 = false;
    env.dotClean = dotClean;
    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, SystemCleanHelper::ProbeEnvironment{});
    SystemCleanHelper::setShared(&helper);
    const auto uninstall = qScopeGuard([] { SystemCleanHelper::setShared(nullptr); });
    Preferences preferences(QDir::tempPath() + QStringLiteral("/scan-probe-unused-%1.json").arg(pid));
    NotificationCenter center;
    USBDeviceManager manager(env, scheduler, preferences, center);
    if (!scheduler.settle(std::chrono::seconds(30)))
        return 3;
    const std::optional<LocalUSBDevice> device = manager.deviceContaining(mountPoint);
    if (!device || device->path != mountPoint) {
        std::fprintf(stderr, "%s is not among the removable volumes\n", qPrintable(mountPoint));
        return 5;
    }

    QList<FileType> kinds = FileTypes::allCases();
    kinds.removeAll(FileType::custom);
    ScanResult found;
    manager.scanDevice(*device, kinds, {}, {}, [](double) {}, [&](const ScanOutcome &result) { found = result.found; });
    if (!scheduler.settle(std::chrono::minutes(1)))
        return 3;
    QList<FileItem> all;
    QByteArray lines;
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        for (const FileItem &item : it.value())
            lines += "found\t" + FileTypes::rawValue(it.key()).toUtf8() + '\t' + item.fsPath() + '\n';
        all += it.value();
    }

    if (forget.size() == 2) {
        QFile reclaim(forget.at(0));
        const QByteArray word = forget.at(1).toUtf8();
        if (!reclaim.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
            || (reclaim.write(word) != word.size() && errno != EAGAIN)) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(forget.at(0)), std::strerror(errno));
            return 6;
        }
        struct stat st{};
        const QByteArray first = all.value(0).fsPath();
        ::lstat(first.constData(), &st);
        lines += "inode\t" + QByteArray::number(all.value(0).inode) + '\t' + QByteArray::number(quint64(st.st_ino)) + '\n';
    }
    std::optional<std::pair<QList<FileItem>, QList<FileItem>>> outcome;
    manager.cleanFiles(all, [&](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
        outcome = std::make_pair(cleaned, failed);
    });
    // The helper's waits run on virtual time.
    for (int round = 0; round < 40 && !outcome; ++round) {
        if (!scheduler.settle(std::chrono::minutes(1)))
            return 3;
        if (!outcome)
            scheduler.advance(std::chrono::milliseconds(500));
    }
    if (!outcome)
        return 4;
    for (const FileItem &item : std::as_const(outcome->first))
        lines += "cleaned\t" + QByteArray::number(item.size) + '\t' + item.fsPath() + '\n';
    for (const FileItem &item : std::as_const(outcome->second))
        lines += "failed\t" + item.fsPath() + '\n';
    std::fflush(stdout);   // after the diagnostics
    std::fwrite(lines.constData(), 1, size_t(lines.size()), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 2) {
        std::fprintf(stderr, "usage: scan_probe <root> [excluded pattern...]\n"
                             "       scan_probe --clean <mount point> <dot_clean> [<file> <word>]\n");
        return 2;
    }
    const QStringList arguments = app.arguments();
    if (arguments.at(1) == QLatin1String("--clean"))
        return arguments.size() == 4 || arguments.size() == 6
                   ? scanAndClean(arguments.at(2), arguments.at(3), app.applicationPid(), arguments.mid(4))
                   : 2;
    USBDeviceManager::Environment env;
    env.startMonitoring = env.useUDisks2 = false;
    VirtualScheduler scheduler;
    // Never saved: the probe only reads.
    Preferences preferences(QDir::tempPath() + QStringLiteral("/scan-probe-unused-%1.json").arg(app.applicationPid()));
    NotificationCenter center;
    USBDeviceManager manager(env, scheduler, preferences, center);

    LocalUSBDevice device;
    device.id = device.path = app.arguments().at(1);
    device.name = QFileInfo(device.path).fileName();
    int completions = 0;
    ScanOutcome outcome;
    const QStringList excluded = app.arguments().mid(2);
    manager.scanDevice(device, FileTypes::allCases(), {}, excluded, [](double) {}, [&](const ScanOutcome &result) {
        ++completions;
        outcome = result;
    });
    if (!scheduler.settle(std::chrono::minutes(2))) {
        std::fprintf(stderr, "scan did not finish\n");
        return 3;
    }
    std::fflush(stdout);
    for (auto it = outcome.found.cbegin(); it != outcome.found.cend(); ++it) {
        for (const FileItem &item : it.value())
            std::printf("%s\t%s\n", qPrintable(FileTypes::rawValue(it.key())), item.fsPath().constData());
    }
    const char *end = outcome.end == ScanOutcome::End::complete       ? "complete"
                      : outcome.end == ScanOutcome::End::volumeGone   ? "volumeGone"
                      : outcome.end == ScanOutcome::End::notAnswering ? "notAnswering"
                      : outcome.end == ScanOutcome::End::stopped      ? "stopped"
                                                                      : "cutShort";
    std::printf("outcome\t%s\t%lld\t%d\n", end, static_cast<long long>(outcome.unreadableFolders), outcome.error);
    std::fflush(stdout);
    return completions == 1 ? 0 : 4;
}
