#pragma once

#include "devices/USBDeviceManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>

namespace testsupport {

inline void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(contents);
}

// A fake machine: a sysfs tree, udev's database and a mount table whose mount
// points are real folders (so statvfs and listings work on them).
struct FakeMachine
{
    QTemporaryDir dir;
    QString sys() const { return dir.path() + "/sys"; }
    QString udev() const { return dir.path() + "/udev"; }
    QString mountInfo() const { return dir.path() + "/mountinfo"; }
    QString mountPoint(const QString &name) const { return dir.path() + "/mnt/" + name; }
    QStringList lines;
    int nextId = 100;

    // A partition `part` of disk `disk`, reached from the device folder `devicePath`.
    void addPartition(const QString &devnum, const QString &devicePath, const QString &disk, const QString &part,
                      bool removable, const QByteArray &udevData)
    {
        const QString diskDir = sys() + "/devices/" + devicePath + "/block/" + disk;
        writeFile(diskDir + "/removable", removable ? "1\n" : "0\n");
        writeFile(diskDir + "/" + part + "/partition", "1\n");
        QDir().mkpath(sys() + "/dev/block");
        QFile::remove(sys() + "/dev/block/" + devnum);
        QFile::link("../../devices/" + devicePath + "/block/" + disk + "/" + part, sys() + "/dev/block/" + devnum);
        writeFile(udev() + "/b" + devnum, udevData);
    }

    void mount(const QString &devnum, const QString &point, const QString &type, const QString &source)
    {
        QDir().mkpath(point);
        QString escaped = point;
        escaped.replace(" ", "\\040");
        lines << QString("%1 1 %2 / %3 rw,relatime shared:1 - %4 %5 rw")
                     .arg(nextId++).arg(devnum, escaped, type, source);
        writeFile(mountInfo(), lines.join('\n').toUtf8() + '\n');
    }

    void unmount(const QString &point)
    {
        QString escaped = point;
        escaped.replace(" ", "\\040");
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [&](const QString &l) { return l.contains(" " + escaped + " "); }),
                    lines.end());
        writeFile(mountInfo(), lines.join('\n').toUtf8() + '\n');
    }

    USBDeviceManager::Environment environment(bool monitoring = false) const
    {
        USBDeviceManager::Environment env;
        env.paths.mountInfo = mountInfo();
        env.paths.sysfsRoot = sys();
        env.paths.udevDataDir = udev();
        env.paths.useBlkid = false;
        env.lsblk = dir.path() + "/no-such-lsblk";
        env.blkid = dir.path() + "/no-such-blkid";
        env.useUDisks2 = false;
        env.startMonitoring = monitoring;
        return env;
    }
};

} // namespace testsupport
