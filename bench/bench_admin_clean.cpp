// The administrator step against its floor: sweepbrook-admin-clean, run as
// root with a clean request on standard input (its output captured as the app
// captures it), against `find <root> -xdev ( -name … ) -delete` removing
// exactly the same junk from an identical tree. Each side gets a freshly made
// volume with the same tree; both must leave the same entries behind, and the
// tool must answer every item removed.
//
//   bench_admin_clean [--sizes 100000,1000000] [--fat 50000]
//   bench_admin_clean --levels 10,50,100,200 [--chains 60] [--runs 3] [--fat 0]
//   bench_admin_clean --bounds
//
// With --bounds: what hostile requests cost the tool as root (a path of 30
// million components, 10,000 extensions as long as a file name, the most
// items a request may hold), in wall time, CPU time and peak memory beside the
// request's size (GNU time measures them).
//
// Cases: each size on an ext4 stick (an image on a loop device; the tool acts
// only on the root of a mounted removable volume, which a loop device is and
// a tmpfs is not), and a FAT32 stick (an image on a loop device mounted
// through fusefat) with the --fat number of entries (0: none).
//
// With --levels: junk on every level of deep chains (LevelTree.h), each depth
// in turn on an ext4 stick (and a FAT32 one unless --fat 0): the tool handed
// every ".DS_Store" against `xargs -0 rm --` of the same list, each after a
// walk of a stick made afresh, in alternating rounds; medians, with the load
// average, and both must leave the same tree.
//
// Needs root (it mounts).

#include "cleaning/CleanRequest.h"
#include "platform/ProcessRunner.h"

#include "BenchSupport.h"
#include "LevelTree.h"
#include "MountFixture.h"
#include "StickTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bench::listing;
using bench::say;
using bench::Tree;
using Volume = bench::StickVolume;

// The floor's selection of the same junk: the names of the items, and what
// lies inside the junk folders (find -delete empties a folder before it
// removes it, and its contents have ordinary names).
QStringList floorArguments(const QString &root)
{
    return {root, "-xdev", "(", "-name", "._*", "-o", "-name", "*.tmp", "-o", "-name", "Thumbs.db",
            "-o", "-name", ".Trashes", "-o", "-path", "*/.Trashes/*",
            "-o", "-name", ".Spotlight-V100", "-o", "-path", "*/.Spotlight-V100/*",
            "-o", "-name", ".fseventsd", "-o", "-path", "*/.fseventsd/*", ")", "-delete"};
}

// What the administrator step leaves on purpose where find leaves nothing: a
// plain file in place of each trash folder, and ".metadata_never_index" beside
// each Spotlight index (its ".fseventsd/no_log" goes with the ".fseventsd" item).
QList<QByteArray> standIns(const Tree &tree)
{
    QList<QByteArray> extra;
    for (const QByteArray &relative : tree.items) {
        const qsizetype slash = relative.lastIndexOf('/');
        const QByteArray name = relative.mid(slash + 1);
        const QByteArray dir = slash < 0 ? QByteArray() : relative.left(slash + 1);
        if (name == ".Trashes")
            extra << relative + " f";
        else if (name == ".Spotlight-V100")
            extra << dir + ".metadata_never_index f";
    }
    return extra;
}

// ---- The two sides ----

struct Side
{
    double milliseconds = 0;
    QList<QByteArray> remaining;
    QString fault;   // what went wrong, when something did
};

double timed(const ProcessRequest &request, ProcessResult *result)
{
    QElapsedTimer timer;
    timer.start();
    *result = runProcess(request);
    return timer.nsecsElapsed() / 1e6;
}

// The request as the app would send it: the absolute root with its identity,
// and every item with the kind, device and inode it has now.
std::optional<CleanRequest> requestFor(const QByteArray &root, const Tree &tree)
{
    struct stat st{};
    if (::stat(root.constData(), &st) != 0)
        return std::nullopt;
    CleanRequest request;
    request.root = root;
    request.device = quint64(st.st_dev);
    request.rootInode = quint64(st.st_ino);
    request.items.reserve(tree.items.size());
    for (const QByteArray &relative : tree.items) {
        if (::lstat((root + '/' + relative).constData(), &st) != 0) {
            say(QStringLiteral("the item %1 was not made").arg(QString::fromUtf8(relative)));
            return std::nullopt;
        }
        const ItemKind kind = S_ISDIR(st.st_mode) ? ItemKind::folder : S_ISLNK(st.st_mode) ? ItemKind::link : ItemKind::file;
        request.items.append(CleanRequest::Item{relative, kind, quint64(st.st_dev), quint64(st.st_ino),
                                                qint64(st.st_size), qint64(st.st_mtim.tv_sec)});
    }
    return request;
}

std::optional<Side> runProject(const QByteArray &root, const Tree &tree)
{
    const std::optional<CleanRequest> request = requestFor(root, tree);
    if (!request)
        return std::nullopt;
    ProcessRequest run;
    run.program = QStringLiteral(SWEEPBROOK_ADMIN_CLEAN);
    run.standardInput = request->encode();
    run.timeout = std::chrono::minutes(30);
    ProcessResult result;
    Side side;
    side.milliseconds = timed(run, &result);
    const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
    const auto removed = std::count_if(answers.cbegin(), answers.cend(), [](int error) { return error == 0; });
    if (!result.started) {
        say(QStringLiteral("cannot start the administrator tool: ") + result.errorString);
        return std::nullopt;
    }
    if (!result.succeeded() || removed != tree.items.size()) {
        QStringList failed;
        for (auto it = answers.cbegin(); it != answers.cend() && failed.size() < 5; ++it) {
            if (it.value() != 0)
                failed << QString::fromUtf8(tree.items.value(it.key())) + QStringLiteral(" (errno %1)").arg(it.value());
        }
        side.fault = QStringLiteral("the administrator tool exited %1 with %2 of %3 items removed; failed: %4")
                         .arg(result.exitCode)
                         .arg(removed)
                         .arg(tree.items.size())
                         .arg(failed.join(QStringLiteral(", ")));
        // What it said about the first of them.
        const QList<QByteArray> lines = result.standardError.split('\n');
        const QByteArray first = failed.value(0).section(QStringLiteral(" (errno"), 0, 0).toUtf8();
        for (qsizetype i = 0; !first.isEmpty() && i < lines.size(); ++i) {
            if (lines.at(i).endsWith('/' + first)) {
                side.fault += QStringLiteral("\n  ") + QString::fromUtf8(lines.mid(i, 8).join("\n  "));
                break;
            }
        }
    }
    side.remaining = listing(root);
    return side;
}

std::optional<Side> runFloor(const QByteArray &root)
{
    ProcessRequest run;
    run.program = QStringLiteral("find");
    run.arguments = floorArguments(QFile::decodeName(root));
    run.timeout = std::chrono::minutes(30);
    ProcessResult result;
    Side side;
    side.milliseconds = timed(run, &result);
    if (!result.started) {
        say(QStringLiteral("cannot start find: ") + result.errorString);
        return std::nullopt;
    }
    if (!result.succeeded())
        side.fault = QStringLiteral("find failed: ") + QString::fromUtf8(result.standardError.right(2000));
    side.remaining = listing(root);
    return side;
}

// ---- Volumes ----

struct Case
{
    QString name;
    bool fat = false;
    qint64 entries = 0;
};

struct Row
{
    Case c;
    Tree tree;
    double projectMs = 0;
    double floorMs = 0;
    // Empty when both sides removed exactly the junk, left the same tree and
    // said so (the tool answering every item removed).
    QStringList faults;
};

QString someOf(const QList<QByteArray> &entries)
{
    return QStringLiteral("%1 (%2%3)")
        .arg(entries.size())
        .arg(QString::fromUtf8(entries.mid(0, 5).join(", ")))
        .arg(entries.size() > 5 ? QStringLiteral(", …") : QString());
}

// Both sides on a tree of their own, built alike; nothing when a volume or a
// process could not be set up.
std::optional<Row> measure(MountFixture &fx, const Case &c, int &serial)
{
    Row row{c, {}, 0, 0, {}};
    std::optional<Side> sides[2];
    qsizetype volumeOwn = 0;   // what the file system shows of its own (fusefat: the label)
    for (int which = 0; which < 2; ++which) {
        QElapsedTimer building;
        building.start();
        Volume volume(fx, c.fat ? MountFixture::Kind::Fat32 : MountFixture::Kind::Ext4, c.entries, ++serial);
        if (!volume.isReady()) {
            say(QStringLiteral("%1: cannot make the volume: %2").arg(c.name, fx.lastError()));
            return std::nullopt;
        }
        row.tree = volume.tree();
        ::sync();
        // Walked once, as the scan walks it before a clean, on both sides alike.
        volumeOwn = listing(volume.root()).size() - row.tree.entries;
        say(QStringLiteral("%1: %2 entries made in %3 s for the %4")
                .arg(c.name)
                .arg(row.tree.entries)
                .arg(building.elapsed() / 1000.0, 0, 'f', 1)
                .arg(which == 0 ? QStringLiteral("administrator tool") : QStringLiteral("find floor")));
        sides[which] = which == 0 ? runProject(volume.root(), row.tree) : runFloor(volume.root());
        if (!sides[which])
            return std::nullopt;
        if (!sides[which]->fault.isEmpty())
            row.faults << sides[which]->fault;
    }
    row.projectMs = sides[0]->milliseconds;
    row.floorMs = sides[1]->milliseconds;

    // The same entries left, but for what the tool leaves on purpose.
    QList<QByteArray> expected = sides[1]->remaining + standIns(row.tree);
    std::sort(expected.begin(), expected.end());
    if (sides[0]->remaining != expected) {
        QList<QByteArray> onlyProject;
        QList<QByteArray> onlyFloor;
        std::set_difference(sides[0]->remaining.cbegin(), sides[0]->remaining.cend(), expected.cbegin(),
                            expected.cend(), std::back_inserter(onlyProject));
        std::set_difference(expected.cbegin(), expected.cend(), sides[0]->remaining.cbegin(),
                            sides[0]->remaining.cend(), std::back_inserter(onlyFloor));
        row.faults << QStringLiteral("the trees differ; left only by the tool: %1; only by find: %2")
                          .arg(someOf(onlyProject), someOf(onlyFloor));
    }
    // Exactly the junk is gone.
    if (sides[1]->remaining.size() - volumeOwn != row.tree.entries - row.tree.junkEntries) {
        row.faults << QStringLiteral("find left %1 entries, %2 expected")
                          .arg(sides[1]->remaining.size() - volumeOwn)
                          .arg(row.tree.entries - row.tree.junkEntries);
    }
    return row;
}

// ---- Junk on every level ----

struct LevelRow
{
    QString name;
    int depth = 0;
    qint64 items = 0;
    double toolMs = 0, floorMs = 0;
    QByteArray load;
    QString check = QStringLiteral("same tree");
};

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').mid(0, 3).join(' ') : QByteArray("?");
}

std::optional<LevelRow> measureLevels(MountFixture &fx, MountFixture::Kind kind, int chains, int depth, int runs)
{
    bench::LevelVolume volume(fx, kind, chains, fx.path() + QStringLiteral("/mountinfo"));
    Tree tree;
    tree.items = bench::levelItems(chains, depth);
    LevelRow row;
    row.name = kind == MountFixture::Kind::Fat32 ? QStringLiteral("FAT32 (fusefat)") : QStringLiteral("ext4 (loop)");
    row.depth = depth;
    row.items = tree.items.size();
    row.load = loadAverage();
    QList<double> tools;
    QList<double> floors;
    for (int run = 0; run < runs; ++run) {
        const QByteArray root = QFile::encodeName(volume.root());
        if (!volume.make(depth))
            return std::nullopt;
        listing(root);   // walked once, as the scan walks before a clean
        const std::optional<Side> tool = runProject(root, tree);
        if (!tool)
            return std::nullopt;
        if (!tool->fault.isEmpty())
            row.check = tool->fault;
        tools << tool->milliseconds;

        if (!volume.make(depth))
            return std::nullopt;
        listing(root);
        ProcessRequest rm;
        rm.program = QStringLiteral("xargs");
        rm.arguments = {QStringLiteral("-0"), QStringLiteral("rm"), QStringLiteral("--")};
        for (const QByteArray &item : std::as_const(tree.items))
            rm.standardInput += root + '/' + item + '\0';
        rm.timeout = std::chrono::minutes(30);
        ProcessResult result;
        floors << timed(rm, &result);
        if (!result.succeeded() || listing(root) != tool->remaining)
            row.check = QStringLiteral("the trees differ");
    }
    row.toolMs = bench::median(tools);
    row.floorMs = bench::median(floors);
    row.load += " / " + loadAverage();
    return row;
}

int levelsMain(const QList<int> &levels, int chains, int runs, bool fat)
{
    MountFixture fx;
    QList<LevelRow> rows;
    for (const MountFixture::Kind kind : {MountFixture::Kind::Ext4, MountFixture::Kind::Fat32}) {
        if (kind == MountFixture::Kind::Fat32 && !fat)
            continue;
        for (const int depth : levels) {
            say(QStringLiteral("junk on every level, %1 deep").arg(depth));
            if (const std::optional<LevelRow> row = measureLevels(fx, kind, chains, depth, runs))
                rows << *row;
            else
                say(QStringLiteral("%1 levels could not be measured: %2").arg(depth).arg(fx.lastError()));
        }
    }
    std::printf("junk on every level of %d chains, median of %d paired rounds (ms)\n", chains, runs);
    std::printf("%-16s | %5s | %6s | %8s | %8s | %5s | %-29s | %s\n", "case", "depth", "items", "tool", "xargs rm",
                "ratio", "load before / after", "check");
    for (const LevelRow &row : std::as_const(rows)) {
        std::printf("%-16s | %5d | %6lld | %8.0f | %8.0f | %5.2f | %-29s | %s\n", qPrintable(row.name), row.depth,
                    static_cast<long long>(row.items), row.toolMs, row.floorMs, row.toolMs / row.floorMs,
                    row.load.constData(), qPrintable(row.check));
    }
    return 0;
}

// ---- Bounds ----

// Requests any process of the user could hand the tool, on an ext4 stick:
// what each costs root (wall time, CPU, peak memory, through GNU time),
// beside the request's own size.
int measureBounds(MountFixture &fx)
{
    const QString point = fx.mountRoot() + QStringLiteral("/bounds");
    if (!fx.mountNew(MountFixture::Kind::Ext4, point, 64, QStringLiteral("BOUNDS"))) {
        say(QStringLiteral("bounds: cannot make the stick: ") + fx.lastError());
        return 1;
    }
    const QByteArray root = QFile::encodeName(point);
    struct stat st{};
    ::stat(root.constData(), &st);
    const auto base = [&] {
        CleanRequest request;
        request.root = root;
        request.device = quint64(st.st_dev);
        request.rootInode = quint64(st.st_ino);
        return request;
    };
    QList<std::pair<QString, CleanRequest>> cases;
    {
        CleanRequest deep = base();   // one path of 30 million components
        QByteArray path;
        path.reserve(60 * 1024 * 1024);
        while (path.size() < 60 * 1024 * 1024)
            path += "a/";
        deep.items.append({path + "Thumbs.db", ItemKind::file, quint64(st.st_dev), 7});
        cases.append({QStringLiteral("one 60 MiB path"), deep});
    }
    {
        CleanRequest extensions = base();   // 10,000 extensions as long as a name, 200,000 files of them
        for (int i = 0; i < 10000; ++i)
            extensions.customExtensions << QString(250, u'e') + QString::number(i).rightJustified(5, u'0');
        for (int i = 0; i < 200000; ++i)
            extensions.items.append({"f" + QByteArray::number(i) + '.' + extensions.customExtensions.at(i % 10000).toUtf8(),
                                     ItemKind::file, quint64(st.st_dev), quint64(i + 100)});
        cases.append({QStringLiteral("10,000 long extensions"), extensions});
    }
    {
        CleanRequest many = base();   // the most items, none there
        for (qsizetype i = 0; i < CleanRequest::kMaxItems; ++i)
            many.items.append({"d" + QByteArray::number(i % 100) + "/f" + QByteArray::number(i) + ".tmp", ItemKind::file,
                               quint64(st.st_dev), quint64(i + 100)});
        cases.append({QStringLiteral("500,000 items"), many});
    }
    std::printf("%-24s | %9s | %8s | %8s | %9s | %s\n", "request", "bytes", "wall s", "CPU s", "peak MiB",
                "peak / bytes");
    for (const auto &[name, request] : std::as_const(cases)) {
        ProcessRequest run;
        run.program = QStringLiteral("/usr/bin/time");
        run.arguments = {QStringLiteral("-f"), QStringLiteral("TIME %e %U %S %M"), QStringLiteral(SWEEPBROOK_ADMIN_CLEAN)};
        run.standardInput = request.encode();
        run.timeout = std::chrono::minutes(30);
        const ProcessResult result = runProcess(run);
        const QByteArray line = result.standardError.mid(result.standardError.lastIndexOf("TIME "));
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 5) {
            say(name + QStringLiteral(": no figures: ") + QString::fromUtf8(result.standardError.right(500)));
            continue;
        }
        const double peakMiB = f.at(4).toDouble() / 1024.0;
        const double bytes = double(run.standardInput.size());
        std::printf("%-24s | %9.0f | %8.2f | %8.2f | %9.1f | %.2f\n", qPrintable(name), bytes, f.at(1).toDouble(),
                    f.at(2).toDouble() + f.at(3).toDouble(), peakMiB, peakMiB * 1024 * 1024 / bytes);
    }
    fx.unmount(point);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty()) {
        say(QStringLiteral("bench_admin_clean cannot run here: ") + why);
        return 1;
    }
    if (args.contains(QLatin1String("--bounds"))) {
        MountFixture fx;
        return measureBounds(fx);
    }
    QList<qint64> sizes = {100000, 1000000};
    qint64 fatEntries = 50000;
    QList<int> levels;
    int chains = 60;
    int runs = 3;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--sizes")) {
            sizes.clear();
            for (const QString &s : args[i + 1].split(','))
                sizes << s.toLongLong();
        } else if (args[i] == QLatin1String("--fat")) {
            fatEntries = args[i + 1].toLongLong();
        } else if (args[i] == QLatin1String("--levels")) {
            for (const QString &depth : args[i + 1].split(','))
                levels << std::max(1, depth.toInt());
        } else if (args[i] == QLatin1String("--chains")) {
            chains = std::max(1, args[i + 1].toInt());
        } else if (args[i] == QLatin1String("--runs")) {
            runs = std::max(1, args[i + 1].toInt());
        }
    }
    if (!levels.isEmpty())
        return levelsMain(levels, chains, runs, fatEntries > 0);
    QList<Case> cases;
    for (qint64 entries : std::as_const(sizes))
        cases << Case{QStringLiteral("ext4 (loop)"), false, entries};
    if (fatEntries > 0)
        cases << Case{QStringLiteral("FAT32 (fusefat)"), true, fatEntries};

    MountFixture fx;
    int serial = 0;
    QList<Row> rows;
    for (const Case &c : std::as_const(cases)) {
        if (std::optional<Row> row = measure(fx, c, serial))
            rows << *row;
    }

    std::printf("%-16s | %8s | %10s | %10s | %8s | %5s | %s\n", "case", "entries", "junk items", "project ms",
                "floor ms", "ratio", "checks");
    bool allSame = rows.size() == cases.size();
    for (const Row &row : std::as_const(rows)) {
        std::printf("%-16s | %8lld | %10lld | %10.1f | %8.1f | %5.2f | %s\n", qPrintable(row.c.name),
                    static_cast<long long>(row.tree.entries), static_cast<long long>(row.tree.items.size()),
                    row.projectMs, row.floorMs, row.projectMs / row.floorMs, row.faults.isEmpty() ? "ok" : "FAILED");
        allSame = allSame && row.faults.isEmpty();
    }
    for (const Row &row : std::as_const(rows)) {
        for (const QString &fault : row.faults)
            std::printf("%s, %lld entries: %s\n", qPrintable(row.c.name), static_cast<long long>(row.tree.entries),
                        qPrintable(fault));
    }
    return allSame ? 0 : 1;
}
