// The results list with 10,000 and 100,000 files: time from the scan's
// completion (the window state takes the results, the view refreshes) to the
// first painted frame, a scroll to the end, an idle refresh, and the memory
// the view adds on top of the results themselves.
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench_results_view > /dev/null 2> results.txt
//      (the window logic logs to stdout)
#include "mainwindow/views/ScanResultsView.h"

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

// kB from /proc/self/status.
qint64 statusKB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A volume's worth of junk: mostly AppleDouble files and .DS_Store in nested
// photo and project folders, some thumbnails, temp and log files.
ScanResult makeResults(int count)
{
    ScanResult results;
    for (int i = 0; i < count; ++i) {
        const QString folder = mountRoot + QStringLiteral("/Photos/%1/Album %2/").arg(2010 + i % 14).arg(i / 250);
        FileType kind = FileType::systemLogs;
        QString name = QStringLiteral("install%1.log").arg(i);
        if (i % 10 < 5) {
            kind = FileType::appleDouble;
            name = QStringLiteral("._IMG_%1.JPG").arg(i, 5, 10, QLatin1Char('0'));
        } else if (i % 10 < 7) {
            kind = FileType::dsStore;
            name = QStringLiteral(".DS_Store");
        } else if (i % 10 == 7) {
            kind = FileType::thumbsDb;
            name = QStringLiteral("Thumbs.db");
        } else if (i % 10 == 8) {
            kind = FileType::temporaryFiles;
            name = QStringLiteral("~$report%1.tmp").arg(i);
        }
        results[kind] << FileItem{name, folder + name, 4096 + (i * 7919LL) % 200000, {}};
    }
    return results;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
        const qint64 rssStart = statusKB("VmRSS:");
        ScanResult found = makeResults(count);
        const qint64 rssData = statusKB("VmRSS:");
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
            rssShown = std::max(rssShown, statusKB("VmRSS:"));

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
                     count, median(toRefresh), median(toFrame), runs, median(toEnd), idleMicros);
        std::fprintf(stderr, "%6d files: VmRSS results %+lld kB, shown list %+lld kB on top; VmHWM %lld kB\n", count,
                     rssData - rssStart, rssShown - rssData, statusKB("VmHWM:"));
        view.scanDevice(stick);   // drop the results before the next size
        QCoreApplication::processEvents();
    }
    LanguageManager::setShared(nullptr);
    return 0;
}
