#pragma once

#include <QString>

#include <chrono>

// Unmount-and-eject through UDisks2 on the system bus (or the bus named by
// DBUS_SYSTEM_BUS_ADDRESS): Filesystem.Unmount on the block device, then
// Encrypted.Lock on the encrypted container when the volume sits on one, then
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

// What to eject. A volume on a device-mapper device (LUKS, LVM) names the
// block holding its encrypted container and the disk beneath it: the dm
// device itself has no drive to power off.
struct UDisks2Volume
{
    QString devNode;         // the mounted device: "/dev/sdb1", "/dev/dm-0"
    QString cryptoBacking;   // kernel name of the encrypted container's block ("sdb1"); empty: none
    QString disk;            // kernel name of the disk to detach ("sdb"); empty: the mounted device's own
};

UDisks2Outcome udisks2UnmountAndEject(const UDisks2Volume &volume,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(25));
inline UDisks2Outcome udisks2UnmountAndEject(const QString &devNode,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(25))
{
    return udisks2UnmountAndEject(UDisks2Volume{.devNode = devNode, .cryptoBacking = {}, .disk = {}}, timeout);
}

// UDisks2's object for a block device by kernel name: every byte but ASCII
// letters and digits written as "_" and two lower-case hex digits
// ("dm-0" gives /org/freedesktop/UDisks2/block_devices/dm_2d0).
QString udisks2BlockObjectPath(const QString &kernelName);
