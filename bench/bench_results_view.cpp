// The results list with 10,000 and 100,000 files: time from the scan's
// completion (the window state takes the results, the view refreshes) to the
// first painted frame, a scroll to the end, an idle refresh, and the memory
// the view adds on top of the results themselves.
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench_results_view > /dev/null 2> results.txt
//      (the window logic logs to stdout)
#include "mainwindow/views/ScanResultsView.h"

#include "BenchSupport.h"
#include "FakeDeviceService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTreeView>

#include <algorithm>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

const QString mountRoot = QStringLiteral("/media/user/STICK");

// A volume's worth of junk.
ScanResult makeResults(int count)
{
    ScanResult results;
    for (int i = 0; i < count; ++i) {
        const bench::Junk junk = bench::photoStickJunk(mountRoot, i);
        results[junk.kind] << junk.item;
    }
    return results;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    testsupport::WindowRig rig;
    LanguageManager::setShared(&rig.language);
    LocalUSBDevice stick;
    stick.name = QStringLiteral("STICK");
    stick.path = mountRoot;
    stick.id = mountRoot + QStringLiteral("|sdb1");
    stick.isAccessible = true;
    rig.devices.setList({stick});

    ContentView &view = rig.view;
    ScanResultsView results(view);
    QObject::connect(&view, &ContentView::stateChanged, &results, &ScanResultsView::refresh);
    view.onAppearSetup();
    view.selectDevice(stick);
    rig.clock.advance(3100ms);
    results.resize(900, 700);
    results.show();
    QCoreApplication::processEvents();

    const int runs = 7;
    for (int count : {10000, 100000}) {
        const qint64 rssStart = bench::statusKB("VmRSS:");
        ScanResult found = makeResults(count);
        const qint64 rssData = bench::statusKB("VmRSS:");
        QList<double> toFrame, toRefresh, toEnd;
        qint64 rssShown = 0;
        for (int run = 0; run < runs; ++run) {
            view.scanDevice(stick);   // clears the previous results and the list
            QCoreApplication::processEvents();
            QElapsedTimer timer;
            timer.start();
            rig.devices.scans.last().completion(found);   // the scan completes: state, refresh
            toRefresh << timer.nsecsElapsed() / 1e6;
            QCoreApplication::processEvents();
            const QPixmap frame = results.grab();
            toFrame << timer.nsecsElapsed() / 1e6;
            if (frame.isNull())
                std::fprintf(stderr, "no frame painted\n");
            rssShown = std::max(rssShown, bench::statusKB("VmRSS:"));

            auto *list = results.findChild<QTreeView *>(QStringLiteral("resultsList"));
            int rows = 0;
            for (int section = 0; section < list->model()->rowCount(); ++section)
                rows += list->model()->rowCount(list->model()->index(section, 0));
            if (rows != count)
                std::fprintf(stderr, "the list holds %d files, not %d\n", rows, count);
            timer.restart();
            list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
            list->viewport()->repaint();
            toEnd << timer.nsecsElapsed() / 1e6;
        }

        QElapsedTimer idle;
        idle.start();
        const int idleRounds = 10000;
        for (int i = 0; i < idleRounds; ++i)
            results.refresh();
        const double idleMicros = idle.nsecsElapsed() / 1e3 / idleRounds;

        std::fprintf(stderr,
                     "%6d files: completion to refreshed %.1f ms, to first frame %.1f ms (median of %d), "
                     "scroll to end and paint %.1f ms; idle refresh %.2f us\n",
                     count, bench::median(toRefresh), bench::median(toFrame), runs, bench::median(toEnd), idleMicros);
        std::fprintf(stderr, "%6d files: VmRSS results %+lld kB, shown list %+lld kB on top; VmHWM %lld kB\n", count,
                     rssData - rssStart, rssShown - rssData, bench::statusKB("VmHWM:"));
        view.scanDevice(stick);   // drop the results before the next size
        QCoreApplication::processEvents();
    }
    LanguageManager::setShared(nullptr);
    return 0;
}
