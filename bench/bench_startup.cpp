// Start-up time: from the start of the process to the first paint of the main
// window of the real app (the whole composition, the real device side), median
// of several fresh processes. Each run is a child process with a home of its
// own, so no run finds what another stored.
//
// With --history MB each home starts with a stored clean history of about that
// many megabytes (records of 160 files each, as the app encodes them; 100 MB is
// about 4,975 records), and each run also gives when the history was in the
// window, the peak resident size before and after, and the resident size and
// heap in use once it was (after malloc_trim). With --damaged one of those
// records cannot be read: a first start (not measured) keeps it aside, and
// every measured run starts from the file that start left, as later starts do.
// Run: build/bench/bench_startup [runs] [--history MB [--damaged]]   (under xvfb-run, or offscreen without a display)
#include "app/SweepbrookApp.h"
#include "history/CleanHistory.h"
#include "history/HistoryStore.h"
#include "localization/LanguageManager.h"
#include "mainwindow/ContentView.h"
#include "platform/Preferences.h"
#include "mainwindow/views/MainWindow.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

namespace {

double bootClockMs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

// When the kernel started this process, on the same clock (clock-tick resolution).
double processStartMs()
{
    std::ifstream stat("/proc/self/stat");
    std::string line;
    std::getline(stat, line);
    // The name in parentheses may hold spaces: count fields after its closing one.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
        if (i == 22)
            return double(std::stoull(field)) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    }
    return 0;
}

// Calls back once, on the window's first paint.
class FirstPaint final : public QObject
{
public:
    explicit FirstPaint(std::function<void()> painted) : m_painted(std::move(painted)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && m_painted) {
            auto painted = std::move(m_painted);
            m_painted = nullptr;
            painted();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_painted;
};

// kB from /proc/self/status: "VmRSS", "VmHWM" (the peak).
long statusKb(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size() + 1));
    }
    return 0;
}

// About `megabytes` of history: records of 160 files, as the app stores them.
QList<CleanHistory> historyOf(int megabytes)
{
    QList<CleanHistory> records;
    qsizetype bytes = 0;
    const qsizetype wanted = qsizetype(megabytes) * 1000 * 1000;
    while (bytes < wanted) {
        CleanHistory record;
        record.id = QUuid::createUuid();
        record.deviceName = QStringLiteral("STICK %1").arg(records.size() % 7);
        record.deviceID = QStringLiteral("/media/user/STICK|sdb1");
        record.timestamp = QDateTime::currentDateTimeUtc().addSecs(-records.size() * 3600);
        record.fileTypes = {QStringLiteral("appleDouble"), QStringLiteral("dsStore"), QStringLiteral("thumbsDb")};
        for (int i = 0; i < 160; ++i) {
            const QString name = i % 3 == 0 ? QStringLiteral(".DS_Store") : QStringLiteral("._IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0'));
            record.cleanedFiles.append({name, QStringLiteral("/media/user/STICK/DCIM/%1APPLE/").arg(100 + i % 9) + name,
                                        4096 + i, i % 3 == 0 ? QStringLiteral("dsStore") : QStringLiteral("appleDouble")});
        }
        record.cleanedFileCount = record.cleanedFiles.size();
        record.freedSpace = 160 * 4096;
        bytes += HistoryCodec::encode({record}).size();
        records.append(record);
    }
    return records;
}

int child(int argc, char **argv, double mainEntered, qsizetype historyRecords)
{
    const double started = processStartMs();
    QApplication app(argc, argv);
    // As main() does.
    QApplication::setApplicationName(QStringLiteral("Sweepbrook"));
    ui::ensureIconTheme();
    LanguageManager::shared();
    SweepbrookApp sweepbrook;
    const ContentView &view = sweepbrook.contentView();
    double painted = 0;
    long peakAtPaint = 0;
    const auto report = [&] {
        const double loaded = bootClockMs();
        ::malloc_trim(0);
        const struct mallinfo2 heap = ::mallinfo2();
        std::fprintf(stderr, "startup %.1f %.1f %.1f %ld %ld %ld %.1f\n", painted - started, painted - mainEntered,
                     loaded - started, peakAtPaint, statusKb("VmHWM:"), statusKb("VmRSS:"),
                     double(heap.uordblks + heap.hblkhd) / 1024.0);
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    };
    // The history is in the window once the list holds every stored record.
    const auto historyIn = [&] { return view.cleanHistory().size() == historyRecords; };
    FirstPaint watch([&] {
        painted = bootClockMs();
        peakAtPaint = statusKb("VmHWM:");
        if (historyIn())
            report();
        else
            QObject::connect(&view, &ContentView::stateChanged, &app, [&] {
                if (historyIn() && painted > 0) {
                    QObject::disconnect(&view, &ContentView::stateChanged, &app, nullptr);
                    report();
                }
            });
    });
    sweepbrook.window().installEventFilter(&watch);
    sweepbrook.start();
    return QApplication::exec();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    const double mainEntered = bootClockMs();
    if (argc > 2 && std::string(argv[1]) == "--child")
        return child(argc, argv, mainEntered, std::atoll(argv[2]));

    QCoreApplication app(argc, argv);
    int runs = 9;
    int historyMegabytes = 0;
    bool damaged = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--history" && i + 1 < argc)
            historyMegabytes = std::max(0, std::atoi(argv[++i]));
        else if (std::string(argv[i]) == "--damaged")
            damaged = true;
        else
            runs = std::max(1, std::atoi(argv[i]));
    }
    // The stored history every run starts from, written once by the app's own store.
    QTemporaryDir stored;
    const QString storedPreferences = stored.filePath(QStringLiteral("preferences.json"));
    qsizetype records = 0;
    {
        Preferences preferences(storedPreferences);
        preferences.setBool(QStringLiteral("hasCompletedOnboarding"), true);
        if (historyMegabytes > 0) {
            const QList<CleanHistory> history = historyOf(historyMegabytes);
            records = history.size();
            QByteArray encoded = HistoryCodec::encode(history);
            if (damaged) {
                // The first record's first file loses its kind: that record cannot be read.
                encoded.replace(encoded.indexOf("\"fileType\":"), 10, "\"fileKind\"");
                --records;
            }
            preferences.setBytes(HistoryStore::key, encoded);
            std::printf("stored history: %lld records, %lld bytes encoded%s\n", qint64(history.size()),
                        qint64(encoded.size()), damaged ? ", the first one damaged" : "");
        }
        preferences.flush();
    }
    // One start of the app in a home of its own holding `preferences`;
    // false when it did not finish. Its report comes on standard error.
    const auto startOnce = [records](const QString &preferences, QProcess &process, QTemporaryDir &home) {
        QDir().mkpath(home.path() + QStringLiteral("/config/sweepbrook"));
        QFile::copy(preferences, home.path() + QStringLiteral("/config/sweepbrook/preferences.json"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
        if (!env.contains(QStringLiteral("DISPLAY")) && !env.contains(QStringLiteral("WAYLAND_DISPLAY")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QString::number(records)});
        return process.waitForFinished(120000);
    };
    QTemporaryDir firstHome;
    if (damaged) {
        // The first start keeps the damaged record aside; later starts begin from what it left.
        QProcess first;
        if (!startOnce(storedPreferences, first, firstHome)) {
            std::fprintf(stderr, "the first start did not finish\n");
            return 1;
        }
        const QString left = firstHome.path() + QStringLiteral("/config/sweepbrook/preferences.json");
        std::printf("preferences file: %lld bytes before the first start, %lld bytes after it\n",
                    qint64(QFileInfo(storedPreferences).size()), qint64(QFileInfo(left).size()));
        QFile::remove(storedPreferences);
        QFile::copy(left, storedPreferences);
    }
    std::vector<double> fromProcess, fromMain, historyShown, peakAtPaint, peak, resident, heap;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir home;
        QProcess process;
        if (!startOnce(storedPreferences, process, home)) {
            std::fprintf(stderr, "run %d did not finish\n", run + 1);
            return 1;
        }
        double total = 0, sinceMain = 0, loaded = 0, heapKb = 0;
        long hwmAtPaint = 0, hwm = 0, rss = 0;
        bool found = false;
        for (const QByteArray &line : process.readAllStandardError().split('\n')) {
            if (std::sscanf(line.constData(), "startup %lf %lf %lf %ld %ld %ld %lf", &total, &sinceMain, &loaded,
                            &hwmAtPaint, &hwm, &rss, &heapKb) == 7) {
                found = true;
                break;
            }
        }
        if (!found) {
            std::fprintf(stderr, "run %d reported no start-up time\n", run + 1);
            return 1;
        }
        fromProcess.push_back(total);
        fromMain.push_back(sinceMain);
        historyShown.push_back(loaded);
        peakAtPaint.push_back(double(hwmAtPaint) / 1024.0);
        peak.push_back(double(hwm) / 1024.0);
        resident.push_back(double(rss) / 1024.0);
        heap.push_back(heapKb / 1024.0);
    }
    std::printf("start-up to the first painted main window, median of %d runs (%s):\n", runs,
                qEnvironmentVariableIsSet("DISPLAY") ? "X display" : "offscreen");
    std::printf("  from process start: %.0f ms (min %.0f, max %.0f)\n", median(fromProcess),
                *std::min_element(fromProcess.begin(), fromProcess.end()),
                *std::max_element(fromProcess.begin(), fromProcess.end()));
    std::printf("  from main():        %.0f ms\n", median(fromMain));
    if (records > 0) {
        std::printf("  history in the window: %.0f ms from process start (min %.0f, max %.0f)\n", median(historyShown),
                    *std::min_element(historyShown.begin(), historyShown.end()),
                    *std::max_element(historyShown.begin(), historyShown.end()));
        std::printf("  peak resident: %.0f MB at the first paint, %.0f MB by the history's arrival\n",
                    median(peakAtPaint), median(peak));
        std::printf("  with the history in: %.0f MB resident, %.0f MB of heap in use\n", median(resident), median(heap));
    }
    return 0;
}
