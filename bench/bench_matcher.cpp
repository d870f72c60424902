// The matcher's cost per directory entry, over a realistic mix of names.
//
// The matcher prints a line for some hits (excluded names, "._" files, custom
// extensions); main() sends standard output to /dev/null while measuring and
// writes the report to the original standard output.

#include "cleaning/FileMatcher.h"

#include <benchmark/benchmark.h>

#include <QStringList>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QStringList kCustomExtensions{QStringLiteral(".PSD"), QStringLiteral("xcf")};
const QStringList kExcluded{QStringLiteral("important.log"), QStringLiteral("*.keep"),
                            QStringLiteral("IMG_*_keep.jpg")};

// About 10k names: mostly ordinary files, one in ten junk of some kind.
QStringList makeNames(bool withJunk)
{
    const QStringList junk{
        ".DS_Store", "._IMG_0001.JPG", ".Spotlight-V100", ".Trashes", "Thumbs.db", "IMG_0002.THM", "~$report.docx",
        "download.crdownload", "core.4711", "debug.log", "crash.dmp", "desktop.ini", "AlbumArt_{1234}_Large.jpg",
        "backup.bak", "session.lock", "layers.psd", "important.log", "IMG_7_keep.jpg", "draft.keep", "nohup.out"};
    QStringList names;
    names.reserve(10000);
    for (int i = 0; names.size() < 10000; ++i) {
        if (withJunk && i % 10 == 9) {
            names << junk.at((i / 10) % junk.size());
            continue;
        }
        switch (i % 6) {
        case 0: names << QStringLiteral("IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')); break;
        case 1: names << QStringLiteral("report-%1.docx").arg(2000 + i % 30); break;
        case 2: names << QStringLiteral("DSC%1.NEF").arg(i, 5, 10, QLatin1Char('0')); break;
        case 3: names << QStringLiteral("%1 - Track %2.mp3").arg(QStringLiteral("Some Artist")).arg(i % 20); break;
        case 4: names << QStringLiteral("Holiday Video %1.mov").arg(i % 50); break;
        default: names << QStringLiteral("notes_%1").arg(i); break;   // no extension
        }
    }
    return names;
}

void runMatcher(benchmark::State &state, bool withJunk, bool withExclusions)
{
    const QStringList names = makeNames(withJunk);
    const FileTypeSet enabled = FileTypes::allTypes();
    const FileMatcher matcher(FileTypes::junkFilePatterns(), enabled, kCustomExtensions,
                              withExclusions ? kExcluded : QStringList());
    int hits = 0;
    for (auto _ : state) {
        for (const QString &name : names)
            hits += matcher.matchFile({name}, enabled).has_value();
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(state.iterations() * names.size());
    state.counters["per_entry"] = benchmark::Counter(double(names.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate
                                                         | benchmark::Counter::kInvert);
}

void BM_MixedNames(benchmark::State &state) { runMatcher(state, true, true); }
void BM_OrdinaryNames(benchmark::State &state) { runMatcher(state, false, true); }
void BM_OrdinaryNamesNoExclusions(benchmark::State &state) { runMatcher(state, false, false); }

void BM_Build(benchmark::State &state)
{
    for (auto _ : state) {
        FileMatcher matcher(FileTypes::junkFilePatterns(), FileTypes::allTypes(), kCustomExtensions, kExcluded);
        benchmark::DoNotOptimize(matcher);
    }
}

BENCHMARK(BM_MixedNames);
BENCHMARK(BM_OrdinaryNames);
BENCHMARK(BM_OrdinaryNamesNoExclusions);
BENCHMARK(BM_Build);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // The matcher's diagnostics go to /dev/null, the report to the real stdout.
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (saved < 0 || devNull < 0)
        return 1;
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    std::ofstream report("/proc/self/fd/" + std::to_string(saved));

    benchmark::ConsoleReporter reporter(::isatty(saved) ? benchmark::ConsoleReporter::OO_Defaults
                                                        : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
