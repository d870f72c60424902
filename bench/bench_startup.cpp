// Start-up time: from the start of the process to the first paint of the main
// window of the real app (the whole composition, the real device side), median
// of several fresh processes. Each run is a child process with a home of its
// own, so no run finds what another stored.
// Run: build/bench/bench_startup [runs]   (under xvfb-run, or offscreen without a display)
#include "app/SweepbrookApp.h"
#include "localization/LanguageManager.h"
#include "mainwindow/views/MainWindow.h"
#include "mainwindow/views/Toolkit.h"

#include <QApplication>
#include <QEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

int child(int argc, char **argv, double mainEntered)
{
    const double started = processStartMs();
    QApplication app(argc, argv);
    // As main() does.
    QApplication::setApplicationName(QStringLiteral("Sweepbrook"));
    ui::ensureIconTheme();
    LanguageManager::shared();
    SweepbrookApp sweepbrook;
    FirstPaint watch([&] {
        const double painted = bootClockMs();
        std::fprintf(stderr, "startup %.1f %.1f\n", painted - started, painted - mainEntered);
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
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
    if (argc > 1 && std::string(argv[1]) == "--child")
        return child(argc, argv, mainEntered);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::vector<double> fromProcess;
    std::vector<double> fromMain;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
        if (!env.contains(QStringLiteral("DISPLAY")) && !env.contains(QStringLiteral("WAYLAND_DISPLAY")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        if (!process.waitForFinished(60000)) {
            std::fprintf(stderr, "run %d did not finish\n", run + 1);
            return 1;
        }
        double total = 0;
        double sinceMain = 0;
        bool found = false;
        for (const QByteArray &line : process.readAllStandardError().split('\n')) {
            if (std::sscanf(line.constData(), "startup %lf %lf", &total, &sinceMain) == 2) {
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
    }
    std::printf("start-up to the first painted main window, median of %d runs (%s):\n", runs,
                qEnvironmentVariableIsSet("DISPLAY") ? "X display" : "offscreen");
    std::printf("  from process start: %.0f ms (min %.0f, max %.0f)\n", median(fromProcess),
                *std::min_element(fromProcess.begin(), fromProcess.end()),
                *std::max_element(fromProcess.begin(), fromProcess.end()));
    std::printf("  from main():        %.0f ms\n", median(fromMain));
    return 0;
}
