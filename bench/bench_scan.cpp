// The scan and the clean against the machine's floor, measured in the same run.
//
//   bench_scan [--entries 1000000] [--stick 50000] [--root 100000] [--runs 3]
//              [--no-clean] [--empty-files] [--chains 60] [--levels 10,50,100,200]
//              [--cases flat,nested,deep,appledouble,appledouble-wide,chain,fat32,
//                       fat32-appledouble,exfat,exfat-root,root,levels-fat32,levels-ext4]
//
// For a profile: `bench_scan --tree <shape|stick> <folder> [entries]` makes a
// case's tree in a folder, `bench_scan --scan <folder> -` scans it as the
// benchmark does (the last line on standard error: ms, items, peak KiB above
// the start, write calls).
//
// Scan: the app's whole scan of a volume (the device side's look at it, the
// AppleDouble pre-search, the root passes and the walk), in a child process
// of its own whose diagnostics go to a pipe this process reads, beside the
// floor on the same tree: floor_walk (a bare walk), floor_walk -l (the same
// with an lstat of every file), `find -xdev` printing every path to a pipe,
// the pre-search's own find of "._" files (a pass the scan makes before its
// walk), the whole catalogue as one find (the old baseline) and, on FAT and
// exFAT, the pre-search's `ls -la` of the root. The runs alternate
// after one walk that warms the caches; the medians are given.
//
// Clean: the app's clean of everything its scan found, beside
// `xargs -0 rm -rf` of the same list on an identical tree; both trees must
// end alike.
//
// Cases: tmpfs trees of --entries entries, listed as an ext4 stick on a fake
// machine (flat: one folder, 10 % junk; nested: chains 10 deep; deep: 100
// deep; appledouble: 10 deep, half of the files "._"; appledouble-wide:
// folders of 1,000 files one level down, half of them "._", where the
// pre-search's find is quick beside the walk; chain: one chain of
// folders --entries deep, far past PATH_MAX; their files hold one byte each,
// or none with --empty-files, so that a tree of millions fits in memory), a
// stick of --stick entries (StickTree.h) as FAT32 through fusefat and as
// exFAT through exfat-fuse on loop devices (fat32-appledouble: the FAT32
// stick with half its photos' files "._" companions), found on the real mount table and
// typed as the app types it, and an exFAT stick whose root alone holds --root
// empty files, one in ten a "._" file (exfat-root: the root's `ls -la` look
// meets them all; exfat-fuse looks a name up by reading the folder, so its
// floors grow with the square of --root), and the same root on tmpfs listed
// as an exFAT stick (root: what the scan itself costs at a million).
//
// Junk on every level (levels-fat32, levels-ext4): --chains chains of
// folders, each --levels deep in turn, with a ".DS_Store" and a kept file on
// every level (LevelTree.h), on a FAT32 stick through fusefat and an ext4
// stick. Each round makes the stick afresh three times: the app scans it and
// cleans everything found; `xargs -0 rm -rf` removes the same list after a
// bare walk; `find -name .DS_Store -print0 | xargs -0 rm` does the whole
// job. The rounds alternate; the medians are given with the load average
// before and after, and the three trees must end alike.
//
// Needs root (it mounts).

#include "cleaning/FileType.h"
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include "BenchSupport.h"
#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"
#include "ExfatRoot.h"
#include "LevelTree.h"
#include "StickTree.h"
#include "TimedProcesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bench::say;
using namespace bench::timedprocesses;

// ---- tmpfs trees ----

struct Shape
{
    QString name;
    int depth;
    int junkPercent;
    bool appleDoubleHeavy;
    bool exfatRoot = false;   // one folder, one in ten a "._" file, empty; listed as exFAT
    int perFolder = 100;      // files in each chain's last folder
};

const QList<Shape> kShapes = {
    {QStringLiteral("flat"), 1, 10, false},
    {QStringLiteral("nested"), 10, 10, false},
    {QStringLiteral("deep"), 100, 10, false},
    {QStringLiteral("appledouble"), 10, 10, true},
    {QStringLiteral("appledouble-wide"), 2, 10, true, false, 1000},
    {QStringLiteral("chain"), 0, 0, false},   // one chain of folders as deep as the entries
    {QStringLiteral("root"), 1, 0, false, true},
};

bool g_emptyFiles = false;

void writeOneByte(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (!g_emptyFiles && ::write(fd, "x", 1) != 1) {
            // An empty file serves as well.
        }
        ::close(fd);
    }
}

// Chains of `depth` folders with 100 files (or as the shape says) in each chain's last folder (all
// files in the root for depth 1); every tenth file (or as the shape says) a
// junk name, and in the "._"-heavy shape every other file an AppleDouble one.
void generate(const QByteArray &root, const Shape &shape, int entries)
{
    if (shape.depth == 0) {
        // Far past PATH_MAX: made folder by folder through handles, a
        // "Thumbs.db" and a "._" file every thousand levels.
        int fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int level = 0; level < entries && fd >= 0; ++level) {
            if (level % 1000 == 999) {
                for (const char *name : {"Thumbs.db", "._x"})
                    ::close(::openat(fd, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            }
            ::mkdirat(fd, "d", 0755);
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        if (fd >= 0)
            ::close(fd);
        return;
    }
    if (shape.exfatRoot) {
        for (int f = 0; f < entries; ++f)
            ::close(::open(root + (f % 10 == 0 ? "/._file" : "/file") + QByteArray::number(f) + ".jpg",
                           O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        return;
    }
    static const char *kJunk[] = {".tmp", ".log", ".bak", ".old", ".swp", ".cache", ".err", ".part"};
    const int perFolder = shape.depth == 1 ? entries : shape.perFolder;
    const int chains = shape.depth == 1 ? 1 : std::max(1, entries / (perFolder + shape.depth - 1));
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
            if (shape.appleDoubleHeavy && f % 2 == 0)
                name = "._" + name + ".jpg";
            else if (counter % junkEvery == 0)
                name += kJunk[(counter / junkEvery) % 8];
            else
                name += ".jpg";
            writeOneByte(dir + '/' + name);
        }
    }
}

// ---- Child side ----

qint64 writeCalls()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("syscw:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return 0;
}

// The volume at `root` as the app lists it: on the real machine through a
// copy of the mount table that holds only it, or (`mountInfo` "-") as an ext4
// stick of a fake machine, for a tmpfs tree ("-exfat": an exFAT one).
int childMain(const QStringList &args)
{
    const QString mode = args[1];
    const QString root = args[2];
    const QString mountInfo = args[3];
    QTemporaryDir prefsDir;
    Preferences preferences(prefsDir.path() + "/prefs.json");
    NotificationCenter center;
    std::optional<testsupport::FakeMachine> machine;
    USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
    if (mountInfo.startsWith(QLatin1Char('-'))) {
        const QByteArray type = mountInfo == QLatin1String("-exfat") ? "exfat" : "ext4";
        machine.emplace();
        machine->addPartition("8:17", testsupport::kUsbPath, "sdb", "sdb1", true,
                              "E:ID_BUS=usb\nE:ID_FS_TYPE=" + type + "\nE:ID_FS_LABEL=BENCH\n");
        machine->mount("8:17", root, QString::fromLatin1(type), "/dev/sdb1");
        env = machine->environment();
    } else {
        env.paths.mountInfo = mountInfo;
    }
    env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
    USBDeviceManager manager(env, Scheduler::shared(), preferences, center);
    QEventLoop loop;
    QElapsedTimer waited;
    waited.start();
    while (!manager.deviceContaining(QFile::encodeName(root)) && waited.elapsed() < 30000)
        loop.processEvents(QEventLoop::WaitForMoreEvents, 100);
    const std::optional<LocalUSBDevice> device = manager.deviceContaining(QFile::encodeName(root));
    if (!device) {
        std::fprintf(stderr, "%s is not listed as a removable volume\n", qPrintable(root));
        return 1;
    }

    QList<FileType> kinds = FileTypes::allCases();
    kinds.removeAll(FileType::custom);
    const qint64 rssBefore = bench::statusKB("VmRSS:");
    const qint64 writesBefore = writeCalls();
    ScanResult result;
    QElapsedTimer timer;
    timer.start();
    manager.scanDevice(*device, kinds, {}, {}, [](double) {}, [&](const ScanOutcome &outcome) {
        result = outcome.found;
        loop.quit();
    });
    loop.exec();
    const double scanMs = double(timer.nsecsElapsed()) / 1e6;
    const qint64 writes = writeCalls() - writesBefore;
    const qint64 peak = std::max<qint64>(0, bench::statusKB("VmHWM:") - rssBefore);
    QList<FileItem> items;
    for (const QList<FileItem> &list : std::as_const(result))
        items.append(list);

    if (mode == QLatin1String("--scan")) {
        std::fprintf(stderr, "%.1f %lld %lld %lld\n", scanMs, static_cast<long long>(items.size()),
                     static_cast<long long>(peak), static_cast<long long>(writes));
        return 0;
    }
    QByteArray list;
    for (const FileItem &item : std::as_const(items))
        list += item.fsPath() + '\0';
    QFile listFile(args[4]);
    if (!listFile.open(QIODevice::WriteOnly) || listFile.write(list) != list.size())
        return 1;
    listFile.close();
    qint64 failed = 0;
    // The clean's own peak: the high-water mark starts again from here.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
    clearRefs.close();
    const qint64 rssBeforeClean = bench::statusKB("VmRSS:");
    timer.restart();
    manager.cleanFiles(items, [&](const QList<FileItem> &, const QList<FileItem> &notCleaned) {
        failed = notCleaned.size();
        loop.quit();
    });
    loop.exec();
    const double cleanMs = double(timer.nsecsElapsed()) / 1e6;
    const qint64 cleanPeak = std::max<qint64>(0, bench::statusKB("VmHWM:") - rssBeforeClean);
    std::fprintf(stderr, "%.1f %lld %lld %lld %lld %.1f\n", cleanMs, static_cast<long long>(items.size()),
                 static_cast<long long>(cleanPeak), static_cast<long long>(failed), static_cast<long long>(peak), scanMs);
    return 0;
}

// ---- Driver ----

// One volume holding one case's tree, made afresh for every use.
class CaseVolume
{
public:
    virtual ~CaseVolume() = default;
    virtual bool make() = 0;   // (again) with the case's tree
    virtual QString root() const = 0;
    virtual QString mountInfo() const { return QStringLiteral("-"); }
    // Typed FAT or exFAT: the scan looks at the root with `ls -la` too.
    virtual bool isFAT() const { return false; }
};

class TmpfsVolume : public CaseVolume
{
public:
    TmpfsVolume(MountFixture &fx, const Shape &shape, int entries)
        : m_fx(fx), m_shape(shape), m_entries(entries), m_point(fx.mountRoot() + QStringLiteral("/tmpfs"))
    {
    }
    ~TmpfsVolume() override
    {
        if (m_mounted)
            m_fx.unmount(m_point);
    }

    bool make() override
    {
        if (m_mounted)
            m_fx.unmount(m_point);
        m_mounted = m_fx.mountWith({"-t", "tmpfs", "-o", "size=4g,nr_inodes=0", "bench"}, m_point).has_value();
        if (!m_mounted)
            return false;
        QDir().mkpath(root());
        generate(QFile::encodeName(root()), m_shape, m_entries);
        return true;
    }
    QString root() const override { return m_point + QStringLiteral("/tree"); }
    QString mountInfo() const override { return m_shape.exfatRoot ? QStringLiteral("-exfat") : QStringLiteral("-"); }
    bool isFAT() const override { return m_shape.exfatRoot; }

private:
    MountFixture &m_fx;
    Shape m_shape;
    int m_entries;
    QString m_point;
    bool m_mounted = false;
};

class StickCase : public CaseVolume
{
public:
    StickCase(MountFixture &fx, MountFixture::Kind kind, int entries, QString mountInfo, bool appleDoubleHeavy = false)
        : m_fx(fx), m_kind(kind), m_entries(entries), m_mountInfo(std::move(mountInfo)), m_appleDoubleHeavy(appleDoubleHeavy)
    {
    }

    bool make() override
    {
        m_volume.reset();
        m_volume.emplace(m_fx, m_kind, m_entries, ++m_serial, m_appleDoubleHeavy);
        return m_volume->isReady() && MountFixture::writeMountInfoOf(m_volume->mountPoint(), m_mountInfo);
    }
    QString root() const override { return m_volume ? m_volume->mountPoint() : QString(); }
    QString mountInfo() const override { return m_mountInfo; }
    bool isFAT() const override { return m_kind != MountFixture::Kind::Ext4; }

private:
    MountFixture &m_fx;
    MountFixture::Kind m_kind;
    int m_entries;
    QString m_mountInfo;
    bool m_appleDoubleHeavy;
    std::optional<bench::StickVolume> m_volume;
    int m_serial = 0;
};

// An exFAT stick whose root holds `entries` empty files, one in ten a "._"
// file, written into its image before it is mounted.
class BigRootCase : public CaseVolume
{
public:
    BigRootCase(MountFixture &fx, int entries, QString mountInfo)
        : m_fx(fx), m_entries(entries), m_mountInfo(std::move(mountInfo))
    {
    }

    bool make() override
    {
        m_volume.reset();
        // 96 bytes of entries per file, and room around them.
        const int sizeMiB = int(std::max<qint64>(64, qint64(m_entries) * 96 / (1 << 20) * 2 + 64));
        const auto fill = [this](const QString &image) { return bench::ExfatRoot(image).fill(m_entries, 10); };
        m_volume.emplace(m_fx, MountFixture::Kind::ExFat, sizeMiB, fill, ++m_serial);
        return m_volume->isReady() && MountFixture::writeMountInfoOf(m_volume->mountPoint(), m_mountInfo);
    }
    QString root() const override { return m_volume ? m_volume->mountPoint() : QString(); }
    QString mountInfo() const override { return m_mountInfo; }
    bool isFAT() const override { return true; }

private:
    MountFixture &m_fx;
    int m_entries;
    QString m_mountInfo;
    std::optional<bench::StickVolume> m_volume;
    int m_serial = 0;
};

struct ScanRow
{
    QString name;
    qint64 entries = 0;
    ChildFigures scan;
    double bare = 0, withStat = 0, findAll = 0, catalogue = 0, preSearch = 0, listing = 0;
};

struct CleanRow
{
    QString name;
    ChildFigures clean;
    double floor = 0;
    QString check;
};

double medianOf(const QList<double> &values)
{
    return values.isEmpty() ? 0 : bench::median(values);
}

std::optional<ScanRow> measureScan(const QString &name, CaseVolume &volume, int runs)
{
    if (!volume.make())
        return std::nullopt;
    ScanRow row{name, 0, {}, 0, 0, 0, 0, 0, 0};
    const Timed warm = floorWalk(volume.root(), false);
    row.entries = warm.result.standardOutput.split(' ').constFirst().toLongLong();
    QList<double> scans, bare, withStat, findAll, catalogue, preSearch, listing;
    for (int run = 0; run < runs; ++run) {
        bare << floorWalk(volume.root(), false).milliseconds;
        const std::optional<ChildFigures> scan = runChild({"--scan", volume.root(), volume.mountInfo()});
        if (!scan)
            return std::nullopt;
        row.scan = *scan;
        scans << scan->milliseconds;
        withStat << floorWalk(volume.root(), true).milliseconds;
        findAll << findEverything(volume.root()).milliseconds;
        catalogue << findCatalogue(volume.root()).milliseconds;
        preSearch << findAppleDouble(volume.root()).milliseconds;
        if (volume.isFAT())
            listing << listRoot(volume.root()).milliseconds;
    }
    row.scan.milliseconds = medianOf(scans);
    row.bare = medianOf(bare);
    row.withStat = medianOf(withStat);
    row.findAll = medianOf(findAll);
    row.catalogue = medianOf(catalogue);
    row.preSearch = medianOf(preSearch);
    row.listing = medianOf(listing);
    return row;
}

std::optional<CleanRow> measureClean(const QString &name, CaseVolume &volume, const QString &listPath)
{
    CleanRow row{name, {}, 0, {}};
    if (!volume.make())
        return std::nullopt;
    const QByteArray projectRoot = QFile::encodeName(volume.root());
    const std::optional<ChildFigures> clean = runChild({"--clean", volume.root(), volume.mountInfo(), listPath});
    if (!clean)
        return std::nullopt;
    row.clean = *clean;
    const QList<QByteArray> afterProject = bench::listing(projectRoot);

    QFile listFile(listPath);
    if (!listFile.open(QIODevice::ReadOnly) || !volume.make())
        return std::nullopt;
    QByteArray list = listFile.readAll();
    const QByteArray floorRoot = QFile::encodeName(volume.root());
    if (floorRoot != projectRoot) {
        QList<QByteArray> paths = list.split('\0');
        for (QByteArray &path : paths) {
            if (path.startsWith(projectRoot + '/'))
                path = floorRoot + path.mid(projectRoot.size());
        }
        list = paths.join('\0');
    }
    floorWalk(volume.root(), false);   // the clean too follows a walk (its scan)
    row.floor = removeList(list).milliseconds;
    const QList<QByteArray> afterFloor = bench::listing(floorRoot);
    row.check = afterProject == afterFloor
                    ? QStringLiteral("same tree")
                    : QStringLiteral("trees differ: %1 entries left by the app, %2 by rm").arg(afterProject.size()).arg(afterFloor.size());
    return row;
}

// ---- Junk on every level ----

struct LevelRow
{
    QString name;
    int depth = 0;
    qint64 items = 0;
    double scan = 0, clean = 0, cleanFloor = 0, whole = 0, wholeFloor = 0;
    QByteArray loadBefore, loadAfter;
    QString check = QStringLiteral("same tree");
};

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').mid(0, 3).join(' ') : QByteArray("?");
}

// One round: the app's scan and clean, then rm of its list, then find and
// rm, each on the stick made afresh; false when one could not run.
bool levelRound(bench::LevelVolume &volume, int depth, const QString &listPath, LevelRow &row, QList<double> *figures)
{
    const QByteArray root = QFile::encodeName(volume.root());
    if (!volume.make(depth))
        return false;
    const std::optional<ChildFigures> app = runChild({"--clean", volume.root(), volume.mountInfo(), listPath});
    if (!app)
        return false;
    row.items = app->items;
    if (app->failed != 0)
        row.check = QStringLiteral("%1 items failed").arg(app->failed);
    figures[0] << app->scanMilliseconds;
    figures[1] << app->milliseconds;
    figures[2] << app->scanMilliseconds + app->milliseconds;
    const QList<QByteArray> afterApp = bench::listing(root);

    QFile listFile(listPath);
    if (!listFile.open(QIODevice::ReadOnly) || !volume.make(depth))
        return false;
    floorWalk(volume.root(), false);   // the clean too follows a walk (its scan)
    figures[3] << removeList(listFile.readAll()).milliseconds;
    const bool rmAlike = bench::listing(root) == afterApp;

    if (!volume.make(depth))
        return false;
    figures[4] << findAndRemove(volume.root()).milliseconds;
    const bool findAlike = bench::listing(root) == afterApp;
    if (!rmAlike || !findAlike)
        row.check = QStringLiteral("trees differ (rm %1, find %2)").arg(rmAlike ? "alike" : "not alike", findAlike ? "alike" : "not alike");
    return true;
}

std::optional<LevelRow> measureLevels(const QString &name, bench::LevelVolume &volume, int depth, int runs,
                                      const QString &listPath)
{
    LevelRow row;
    row.name = name;
    row.depth = depth;
    row.loadBefore = loadAverage();
    QList<double> figures[5];
    for (int run = 0; run < runs; ++run) {
        if (!levelRound(volume, depth, listPath, row, figures))
            return std::nullopt;
    }
    row.loadAfter = loadAverage();
    row.scan = medianOf(figures[0]);
    row.clean = medianOf(figures[1]);
    row.whole = medianOf(figures[2]);
    row.cleanFloor = medianOf(figures[3]);
    row.wholeFloor = medianOf(figures[4]);
    return row;
}

void printLevels(const QList<LevelRow> &rows, int chains, int runs)
{
    if (rows.isEmpty())
        return;
    std::printf("\njunk on every level of %d chains, median of %d paired rounds (ms)\n", chains, runs);
    std::printf("%-18s | %5s | %6s | %7s | %7s | %12s | %5s | %10s | %8s | %5s | %-14s | %-14s | %s\n", "case", "depth",
                "items", "scan", "clean", "xargs rm -rf", "ratio", "scan+clean", "find+rm", "ratio", "load before",
                "load after", "check");
    for (const LevelRow &row : rows) {
        std::printf("%-18s | %5d | %6lld | %7.0f | %7.0f | %12.0f | %5.2f | %10.0f | %8.0f | %5.2f | %-14s | %-14s | %s\n",
                    qPrintable(row.name), row.depth, static_cast<long long>(row.items), row.scan, row.clean,
                    row.cleanFloor, row.clean / row.cleanFloor, row.whole, row.wholeFloor, row.whole / row.wholeFloor,
                    row.loadBefore.constData(), row.loadAfter.constData(), qPrintable(row.check));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && (args[1] == QLatin1String("--scan") || args[1] == QLatin1String("--clean")))
        return childMain(args);
    if (args.size() >= 4 && args[1] == QLatin1String("--tree")) {
        g_emptyFiles = args.contains(QStringLiteral("--empty-files"));
        QDir().mkpath(args[3]);
        if (args[2] == QLatin1String("stick")) {
            bench::TreeBuilder(QFile::encodeName(args[3])).build(args.size() > 4 ? args[4].toInt() : 50000);
            return 0;
        }
        for (const Shape &shape : kShapes) {
            if (shape.name == args[2]) {
                QDir().mkpath(args[3]);
                generate(QFile::encodeName(args[3]), shape, args.size() > 4 ? args[4].toInt() : 1000000);
                return 0;
            }
        }
        return 2;
    }

    if (const QString why = MountFixture::whyUnavailable(); !why.isEmpty()) {
        say(QStringLiteral("bench_scan cannot run here: ") + why);
        return 1;
    }
    int entries = 1000000;
    int stickEntries = 50000;
    int rootEntries = 100000;
    int runs = 3;
    int chains = 60;
    QList<int> levels = {10, 50, 100, 200};
    bool clean = true;
    QStringList cases = {"flat", "nested", "deep", "appledouble", "fat32", "exfat"};
    for (int i = 1; i < args.size(); ++i) {
        const QString value = args.value(i + 1);
        if (args[i] == QLatin1String("--no-clean"))
            clean = false;
        else if (args[i] == QLatin1String("--entries"))
            entries = value.toInt(), ++i;
        else if (args[i] == QLatin1String("--stick"))
            stickEntries = value.toInt(), ++i;
        else if (args[i] == QLatin1String("--root"))
            rootEntries = value.toInt(), ++i;
        else if (args[i] == QLatin1String("--empty-files"))
            g_emptyFiles = true;
        else if (args[i] == QLatin1String("--runs"))
            runs = std::max(1, value.toInt()), ++i;
        else if (args[i] == QLatin1String("--cases"))
            cases = value.split(','), ++i;
        else if (args[i] == QLatin1String("--chains"))
            chains = std::max(1, value.toInt()), ++i;
        else if (args[i] == QLatin1String("--levels")) {
            levels.clear();
            for (const QString &depth : value.split(','))
                levels << std::max(1, depth.toInt());
            ++i;
        }
    }

    MountFixture fx;
    const QString mountInfo = fx.path() + QStringLiteral("/mountinfo");
    const QString listPath = fx.path() + QStringLiteral("/list");
    QList<ScanRow> scans;
    QList<CleanRow> cleans;
    QList<LevelRow> levelRows;
    for (const QString &name : std::as_const(cases)) {
        if (name.startsWith(QLatin1String("levels-"))) {
            const bool fat = name == QLatin1String("levels-fat32");
            const QString label = fat ? QStringLiteral("FAT32 fusefat") : QStringLiteral("ext4");
            bench::LevelVolume volume(fx, fat ? MountFixture::Kind::Fat32 : MountFixture::Kind::Ext4, chains, mountInfo);
            for (const int depth : std::as_const(levels)) {
                say(QStringLiteral("%1: junk on every level, %2 deep").arg(label).arg(depth));
                if (const std::optional<LevelRow> row = measureLevels(label, volume, depth, runs, listPath))
                    levelRows << *row;
                else
                    say(QStringLiteral("%1: could not be measured at %2 levels: %3").arg(label).arg(depth).arg(fx.lastError()));
            }
            continue;
        }
        std::unique_ptr<CaseVolume> volume;
        QString label;
        for (const Shape &shape : kShapes) {
            if (shape.name == name) {
                volume = std::make_unique<TmpfsVolume>(fx, shape, shape.exfatRoot ? rootEntries : entries);
                label = QStringLiteral("tmpfs %1").arg(name);
            }
        }
        if (name == QLatin1String("fat32") || name == QLatin1String("exfat") || name == QLatin1String("fat32-appledouble")) {
            const auto kind = name == QLatin1String("exfat") ? MountFixture::Kind::ExFat : MountFixture::Kind::Fat32;
            const bool heavy = name == QLatin1String("fat32-appledouble");
            volume = std::make_unique<StickCase>(fx, kind, stickEntries, mountInfo, heavy);
            label = heavy ? QStringLiteral("FAT32 ._-heavy") : kind == MountFixture::Kind::Fat32 ? QStringLiteral("FAT32 fusefat")
                                                                                                : QStringLiteral("exFAT exfat-fuse");
        }
        if (name == QLatin1String("exfat-root")) {
            volume = std::make_unique<BigRootCase>(fx, rootEntries, mountInfo);
            label = QStringLiteral("exFAT root");
        }
        if (!volume) {
            say(QStringLiteral("no case called %1").arg(name));
            continue;
        }
        say(QStringLiteral("%1: scanning").arg(label));
        if (const std::optional<ScanRow> row = measureScan(label, *volume, runs))
            scans << *row;
        else
            say(QStringLiteral("%1: the scan could not be measured: %2").arg(label, fx.lastError()));
        if (!clean)
            continue;
        say(QStringLiteral("%1: cleaning").arg(label));
        if (const std::optional<CleanRow> row = measureClean(label, *volume, listPath))
            cleans << *row;
        else
            say(QStringLiteral("%1: the clean could not be measured: %2").arg(label, fx.lastError()));
    }

    if (!scans.isEmpty()) {
        std::printf("scan, median of %d (ms)\n", runs);
        std::printf("%-18s | %8s | %7s | %8s | %9s | %5s | %9s | %8s | %9s | %6s | %9s | %8s | %7s | %7s | %6s\n", "case",
                    "entries", "found", "scan", "bare walk", "ratio", "walk+stat", "find -xdev", "find ._*", "÷ find",
                    "catalogue", "ls -la", "lines", "writes", "B/item");
        for (const ScanRow &row : std::as_const(scans)) {
            const QByteArray listing = row.listing > 0 ? QByteArray::number(row.listing, 'f', 0) : QByteArray("-");
            std::printf("%-18s | %8lld | %7lld | %8.0f | %9.0f | %5.2f | %9.0f | %8.0f | %9.0f | %6.2f | %9.0f | %8s | %7lld | %7lld | %6lld\n",
                        qPrintable(row.name), static_cast<long long>(row.entries), static_cast<long long>(row.scan.items),
                        row.scan.milliseconds, row.bare, row.scan.milliseconds / row.bare, row.withStat, row.findAll,
                        row.preSearch, row.scan.milliseconds / row.preSearch, row.catalogue, listing.constData(),
                        static_cast<long long>(row.scan.stdoutLines),
                        static_cast<long long>(row.scan.writes),
                        static_cast<long long>(row.scan.items ? row.scan.peakKiB * 1024 / row.scan.items : 0));
        }
    }
    if (!cleans.isEmpty()) {
        std::printf("\nclean (ms; peak memory above its start, beside the scan's before it, MiB)\n"
                    "%-18s | %7s | %6s | %8s | %12s | %5s | %10s | %9s | %s\n",
                    "case", "items", "failed", "clean", "xargs rm -rf", "ratio", "clean peak", "scan peak", "check");
        for (const CleanRow &row : std::as_const(cleans)) {
            std::printf("%-18s | %7lld | %6lld | %8.0f | %12.0f | %5.2f | %10.1f | %9.1f | %s\n", qPrintable(row.name),
                        static_cast<long long>(row.clean.items), static_cast<long long>(row.clean.failed),
                        row.clean.milliseconds, row.floor, row.clean.milliseconds / row.floor,
                        double(row.clean.peakKiB) / 1024, double(row.clean.scanPeakKiB) / 1024, qPrintable(row.check));
        }
    }
    printLevels(levelRows, chains, runs);
    return 0;
}
