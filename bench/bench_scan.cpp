// Whole scan (AppleDouble pre-search plus walk) and clean against GNU find,
// on tmpfs and on an ext4 loop image.
//
//   bench_scan [--sizes 100000,1000000] [--fs tmpfs,ext4]
//
// Needs root (it mounts). Each scan and clean runs in a child process of its
// own so its peak memory (max RSS) is its own.

#include "cleaning/FileType.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include "FakeMachine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

// A field of /proc/self/status in KiB. VmHWM is this process's own peak: unlike
// ru_maxrss it does not start from the parent's size at the spawn.
qint64 statusKiB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(field + ':'))
                return line.mid(field.size() + 1).trimmed().split(' ').constFirst().toLongLong();
        }
    }
    return 0;
}

// Keeps the scan's diagnostics (one or more lines per junk item) out of the figures.
void silenceStdout()
{
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
}

struct Shape
{
    int entries;
    int depth;
    int junkPercent;
    bool appleDoubleHeavy;
    QString label() const
    {
        return QStringLiteral("%1 entries, depth %2, %3 % junk%4")
            .arg(entries)
            .arg(depth)
            .arg(junkPercent)
            .arg(appleDoubleHeavy ? QStringLiteral(", mostly \"._\"") : QString());
    }
};

void writeEmpty(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (::write(fd, "x", 1) != 1) {
            // An empty file serves as well.
        }
        ::close(fd);
    }
}

// Chains of depth-1 folders, 100 files in each chain's last folder (all files
// in the root for depth 1).
void generate(const QByteArray &root, const Shape &shape, bool regularJunkOnly)
{
    static const char *kJunk[] = {".tmp", ".log", ".bak", ".old", ".swp", ".cache", ".err", ".part"};
    const int perFolder = shape.depth == 1 ? shape.entries : 100;
    const int chains = shape.depth == 1 ? 1 : std::max(1, shape.entries / (perFolder + shape.depth - 1));
    const int junkEvery = std::max(1, 100 / std::max(1, shape.junkPercent));
    int counter = 0;
    for (int c = 0; c < chains; ++c) {
        QByteArray dir = root;
        for (int level = 1; level < shape.depth; ++level) {
            dir += (level == 1 ? "/c" + QByteArray::number(c) : "/d" + QByteArray::number(level));
            ::mkdir(dir.constData(), 0755);
        }
        for (int f = 0; f < perFolder; ++f, ++counter) {
            QByteArray name = "file" + QByteArray::number(f);
            if (shape.appleDoubleHeavy && f % 2 == 0 && !regularJunkOnly)
                name = "._" + name + ".jpg";
            else if (counter % junkEvery == 0)
                name += kJunk[(counter / junkEvery) % 8];
            else
                name += ".jpg";
            writeEmpty(dir + '/' + name);
        }
    }
}

QStringList catalogueFindArguments(const QString &root, bool withDelete)
{
    QStringList args = {root, QStringLiteral("-xdev"), QStringLiteral("(")};
    bool first = true;
    for (auto it = FileTypes::junkFilePatterns().cbegin(); it != FileTypes::junkFilePatterns().cend(); ++it) {
        for (const QString &pattern : it.value()) {
            if (pattern.contains('/'))
                continue;
            if (!first)
                args << QStringLiteral("-o");
            first = false;
            args << (pattern.contains('*') ? QStringLiteral("-iname") : QStringLiteral("-name")) << pattern;
        }
    }
    args << QStringLiteral(")") << (withDelete ? QStringLiteral("-delete") : QStringLiteral("-print"));
    return args;
}

double timeFind(const QStringList &args)
{
    ProcessRequest request;
    request.program = QStringLiteral("find");
    request.arguments = args;
    QElapsedTimer timer;
    timer.start();
    runProcess(request);
    return timer.nsecsElapsed() / 1e6;
}

struct ChildFigures
{
    double milliseconds = 0;
    qint64 items = 0;
    qint64 peakKiB = 0;
};

std::optional<ChildFigures> runChild(const QString &mode, const QString &root)
{
    ProcessRequest request;
    request.program = QCoreApplication::applicationFilePath();
    request.arguments = {mode, root};
    const ProcessResult result = runProcess(request);
    const QList<QByteArray> fields = result.standardError.trimmed().split('\n').constLast().split(' ');
    if (!result.succeeded() || fields.size() != 3) {
        say(QStringLiteral("child failed: ") + QString::fromUtf8(result.standardError));
        return std::nullopt;
    }
    return ChildFigures{fields[0].toDouble(), fields[1].toLongLong(), fields[2].toLongLong()};
}

// ---- Child side ----

int childMain(const QString &mode, const QString &root)
{
    silenceStdout();
    QTemporaryDir prefsDir;
    Preferences preferences(prefsDir.path() + "/prefs.json");
    NotificationCenter center;
    // The tree's volume, listed as a USB stick so the clean accepts it.
    testsupport::FakeMachine machine;
    machine.addPartition("8:17", "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "sdb1",
                         true, "E:ID_BUS=usb\nE:ID_FS_TYPE=vfat\nE:ID_FS_LABEL=BENCH\n");
    machine.mount("8:17", root, "vfat", "/dev/sdb1");
    USBDeviceManager manager(machine.environment(), Scheduler::shared(), preferences, center);
    QEventLoop loop;
    while (manager.connectedDevices().isEmpty())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    const LocalUSBDevice device = manager.connectedDevices().constFirst();

    QList<FileType> kinds = FileTypes::allCases();
    kinds.removeAll(FileType::custom);
    const qint64 rssBefore = statusKiB("VmRSS");

    ScanResult result;
    QElapsedTimer timer;
    timer.start();
    manager.scanDevice(device, kinds, {}, {}, [](double) {}, [&](const ScanOutcome &r) {
        result = r.found;
        loop.quit();
    });
    loop.exec();
    double elapsed = timer.nsecsElapsed() / 1e6;
    QList<FileItem> items;
    for (const QList<FileItem> &list : std::as_const(result))
        items.append(list);

    if (mode == QLatin1String("--clean")) {
        timer.restart();
        manager.cleanFiles(items, [&](const QList<FileItem> &, const QList<FileItem> &) { loop.quit(); });
        loop.exec();
        elapsed = timer.nsecsElapsed() / 1e6;
    }
    // Peak resident memory above what the process held before the scan.
    std::fprintf(stderr, "%.1f %lld %lld\n", elapsed, static_cast<long long>(items.size()),
                 static_cast<long long>(std::max<qint64>(0, statusKiB("VmHWM") - rssBefore)));
    return 0;
}

// ---- Driver ----

struct Volume
{
    QString name;
    QString root;
    QString mountPoint;
};

bool run(const QString &program, const QStringList &args)
{
    ProcessRequest request;
    request.program = program;
    request.arguments = args;
    request.timeout = std::chrono::minutes(5);
    const ProcessResult result = runProcess(request);
    if (!result.succeeded())
        say(program + ' ' + args.join(' ') + QStringLiteral(": ") + QString::fromUtf8(result.standardError));
    return result.succeeded();
}

std::optional<Volume> makeVolume(const QString &kind, const QString &base, int entries)
{
    const QString point = base + '/' + kind;
    QDir().mkpath(point);
    if (kind == QLatin1String("tmpfs")) {
        if (!run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=4g,nr_inodes=0", "bench", point}))
            return std::nullopt;
    } else {
        const QString image = base + QStringLiteral("/ext4.img");
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(entries) * 8192 + (512LL << 20)))
            return std::nullopt;
        file.close();
        if (!run(QStringLiteral("mkfs.ext4"), {"-q", "-F", "-N", QString::number(entries + entries / 4 + 10000), image})
            || !run(QStringLiteral("mount"), {"-o", "loop", image, point}))
            return std::nullopt;
    }
    return Volume{kind, point + QStringLiteral("/tree"), point};
}

void clearTree(const QString &root)
{
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    ::sync();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && (args[1] == QLatin1String("--scan") || args[1] == QLatin1String("--clean")))
        return childMain(args[1], args[2]);

    if (::geteuid() != 0) {
        say(QStringLiteral("bench_scan needs root to mount tmpfs and ext4 volumes"));
        return 1;
    }
    QList<int> sizes = {100000, 1000000};
    QStringList kinds = {QStringLiteral("tmpfs"), QStringLiteral("ext4")};
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--sizes")) {
            sizes.clear();
            for (const QString &s : args[i + 1].split(','))
                sizes << s.toInt();
        } else if (args[i] == QLatin1String("--fs")) {
            kinds = args[i + 1].split(',');
        }
    }

    QTemporaryDir base(QStringLiteral("/tmp/sweepbrook-bench-XXXXXX"));
    for (const QString &kind : std::as_const(kinds)) {
        for (int entries : std::as_const(sizes)) {
            const std::optional<Volume> volume = makeVolume(kind, base.path(), entries);
            if (!volume) {
                say(QStringLiteral("cannot set up a %1 volume; skipped").arg(kind));
                continue;
            }
            QList<Shape> shapes;
            for (int depth : {1, 10, 100}) {
                for (int junk : {1, 10})
                    shapes << Shape{entries, depth, junk, false};
            }
            shapes << Shape{entries, 10, 10, true};
            say(QStringLiteral("== %1, %2 entries ==").arg(kind).arg(entries));
            say(QStringLiteral("shape | scan ms | find ms | ratio | items | scan peak memory KiB | clean ms | find -delete ms | ratio"));
            for (const Shape &shape : std::as_const(shapes)) {
                clearTree(volume->root);
                generate(QFile::encodeName(volume->root), shape, false);
                const double findMs = timeFind(catalogueFindArguments(volume->root, false));
                const auto scan = runChild(QStringLiteral("--scan"), volume->root);

                // The clean: ordinary junk only, against find -delete on an identical tree.
                clearTree(volume->root);
                generate(QFile::encodeName(volume->root), shape, true);
                const auto clean = runChild(QStringLiteral("--clean"), volume->root);
                clearTree(volume->root);
                generate(QFile::encodeName(volume->root), shape, true);
                const double deleteMs = timeFind(catalogueFindArguments(volume->root, true));
                if (!scan || !clean)
                    continue;
                say(QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9")
                        .arg(shape.label())
                        .arg(scan->milliseconds, 0, 'f', 0)
                        .arg(findMs, 0, 'f', 0)
                        .arg(scan->milliseconds / findMs, 0, 'f', 2)
                        .arg(scan->items)
                        .arg(scan->peakKiB)
                        .arg(clean->milliseconds, 0, 'f', 0)
                        .arg(deleteMs, 0, 'f', 0)
                        .arg(clean->milliseconds / deleteMs, 0, 'f', 2));
            }
            clearTree(volume->root);
            run(QStringLiteral("umount"), {volume->mountPoint});
        }
    }
    return 0;
}
