// Looks up the file-system type of a mounted volume as the scan and the clean
// do, in a child process, so tests can run the lookup as an ordinary user
// (setpriv). Prints the lookup's diagnostics; exits 0 when it found a type.
//
//     file_system_type_probe <mount point>
#include "ManagerRig.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: file_system_type_probe <mount point>\n");
        return 2;
    }
    testsupport::ManagerRig rig;
    rig.startManager(testsupport::realMachineEnvironment());
    // The manager's first enumeration runs before the lookup.
    if (!rig.scheduler.settle(std::chrono::minutes(1))) {
        std::fprintf(stderr, "the enumeration did not finish\n");
        return 3;
    }
    const std::optional<QString> type = rig.manager->fileSystemTypeOf(app.arguments().at(1));
    std::fflush(stdout);
    return type ? 0 : 1;
}
