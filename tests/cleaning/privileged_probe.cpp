// Runs the privileged-clean helper in a child process, so a test running as
// root can see how it judges and cleans for an ordinary account (setpriv).
//
//   privileged_probe classify <path>...                     prints "<0|1> <path>" per path
//   privileged_probe clean <volume root> <stub> <path>...   cleans through <stub> as the
//                                                          elevation command, then prints
//                                                          "RESULT deleted|failed <path>"
#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"

#include <QByteArray>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    SystemCleanHelper::ProbeEnvironment environment;
    environment.isRoot = [] { return false; };
    environment.polkitAuthorityAnswers = [] { return false; };
    VirtualScheduler scheduler;

    if (std::strcmp(argv[1], "classify") == 0) {
        environment.elevationCommand = {QStringLiteral("/bin/false")};
        SystemCleanHelper helper(scheduler, environment);
        for (int i = 2; i < argc; ++i)
            std::printf("%d %s\n", helper.requiresPrivileges(QByteArray(argv[i])) ? 1 : 0, argv[i]);
        return 0;
    }
    if (std::strcmp(argv[1], "clean") != 0 || argc < 4)
        return 2;

    environment.elevationCommand = {QString::fromLocal8Bit(argv[3])};
    SystemCleanHelper helper(scheduler, environment);
    SystemCleanHelper::Paths paths;
    for (int i = 4; i < argc; ++i)
        paths << QByteArray(argv[i]);
    bool done = false;
    helper.batchClean(paths, std::nullopt, QByteArray(argv[2]), {},
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
