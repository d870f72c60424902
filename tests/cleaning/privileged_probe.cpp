// Runs the privileged-clean helper in a child process, so a test running as
// root can see how it cleans for an ordinary account (setpriv).
//
//   privileged_probe <volume root> <stub> <path>...
//
// cleans the paths with <stub> as the elevation command, then prints
// "RESULT deleted|failed <path>" per path.
#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"

#include <QByteArray>

#include <chrono>
#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [] { return false; };
    environment.polkitAuthorityAnswers = [] { return false; };
    environment.elevationCommand = {QString::fromLocal8Bit(argv[2])};
    VirtualScheduler scheduler;
    SystemCleanHelper helper(scheduler, environment);
    SystemCleanHelper::Paths paths;
    for (int i = 3; i < argc; ++i)
        paths << QByteArray(argv[i]);
    bool done = false;
    helper.batchClean(paths, std::nullopt, QByteArray(argv[1]), {},
                      [&done](const SystemCleanHelper::Paths &deleted, const SystemCleanHelper::Paths &failed) {
                          for (const QByteArray &path : deleted)
                              std::printf("RESULT deleted %s\n", path.constData());
                          for (const QByteArray &path : failed)
                              std::printf("RESULT failed %s\n", path.constData());
                          done = true;
                      });
    for (int round = 0; round < 40 && !done; ++round) {
        scheduler.settle();
        if (!done)
            scheduler.advance(std::chrono::milliseconds(500));
    }
    std::fflush(stdout);
    return done ? 0 : 1;
}
