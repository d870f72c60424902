#pragma once

#include <QString>

#include <chrono>

// Unmount-and-eject through UDisks2 on the system bus (or the bus named by
// DBUS_SYSTEM_BUS_ADDRESS): Filesystem.Unmount on the block device, then
// Loop.Delete for a loop device, else Drive.PowerOff where the drive can power
// off, else Drive.Eject where it is ejectable. The bus address is read at each
// call. `timeout` bounds the whole sequence; connecting takes at most five seconds
// of it (a bus that accepts and never answers is not reached). Blocking: call
// from background jobs.
struct UDisks2Outcome
{
    bool ejected = false;    // the file system was unmounted (detaching may still have failed)
    bool reachable = true;   // false: no UDisks2 service answered
    bool attempted = false;  // UDisks2 knew the device and was asked to unmount it
    QString error;           // what failed, for the log (also set when only the detach failed)
};

UDisks2Outcome udisks2UnmountAndEject(const QString &devNode,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(25));
