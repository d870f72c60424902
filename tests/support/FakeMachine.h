#pragma once

#include "FakeUdevd.h"

#include "devices/USBDeviceManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

// sysfs folders of two USB mass-storage devices.
inline const QString kUsbPath = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0";
inline const QString kUsbPath2 = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0";

inline void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(contents);
}

// A fake machine: a sysfs tree, udev's database (kept current by a udevd
// until `udevd.stop()`) and a mount table whose mount points are real folders
// (so statvfs and listings work on them).
struct FakeMachine
{
    QTemporaryDir dir;
    FakeUdevd udevd;
    QString sys() const { return dir.path() + "/sys"; }
    QString udev() const { return dir.path() + "/udev"; }
    QString mountInfo() const { return dir.path() + "/mountinfo"; }
    QString mountPoint(const QString &name) const { return dir.path() + "/mnt/" + name; }
    QList<QByteArray> lines;   // of the mount table, as the kernel writes them
    int nextId = 100;
    QList<QByteArray> madeByBytes;   // mount points made by their bytes, which QTemporaryDir cannot remove

    ~FakeMachine()
    {
        for (auto it = madeByBytes.crbegin(); it != madeByBytes.crend(); ++it)
            ::rmdir(it->constData());
    }

    // A partition `part` of disk `disk`, reached from the device folder `devicePath`.
    void addPartition(const QString &devnum, const QString &devicePath, const QString &disk, const QString &part,
                      bool removable, const QByteArray &udevData)
    {
        const QString diskDir = sys() + "/devices/" + devicePath + "/block/" + disk;
        writeFile(diskDir + "/removable", removable ? "1\n" : "0\n");
        writeFile(diskDir + "/" + part + "/partition", "1\n");
        addBlock(devnum, "devices/" + devicePath + "/block/" + disk + "/" + part, udevData);
    }

    // A block device's folder (below sys/), its "dev" file, its dev/block and class/block links
    // and its udev record.
    void addBlock(const QString &devnum, const QString &folder, const QByteArray &udevData)
    {
        const QString name = QFileInfo(folder).fileName();
        writeFile(sys() + "/" + folder + "/dev", devnum.toUtf8() + "\n");
        for (const QString &linkDir : {QString("dev/block"), QString("class/block")}) {
            const QString link = sys() + "/" + linkDir + "/" + (linkDir == "dev/block" ? devnum : name);
            QDir().mkpath(QFileInfo(link).absolutePath());
            QFile::remove(link);
            QFile::link("../../" + folder, link);
        }
        writeFile(udev() + "/b" + devnum, udevData);
    }

    // The sysfs folder of a device added earlier, by kernel name.
    QString blockFolder(const QString &name) const
    {
        return QFileInfo(sys() + "/class/block/" + name).canonicalFilePath();
    }

    // A device-mapper device `name` ("dm-0") over `slaves` (kernel names added
    // earlier); a dm-crypt device when its dm uuid starts with "CRYPT-". `dmName`
    // is its name under /dev/mapper.
    void addMapper(const QString &devnum, const QString &name, const QStringList &slaves, const QByteArray &dmUuid,
                   const QByteArray &udevData, const QByteArray &dmName = {})
    {
        const QString folder = "devices/virtual/block/" + name;
        addBlock(devnum, folder, udevData);
        writeFile(sys() + "/" + folder + "/dm/uuid", dmUuid + "\n");
        if (!dmName.isEmpty())
            writeFile(sys() + "/" + folder + "/dm/name", dmName + "\n");
        writeFile(sys() + "/" + folder + "/removable", "0\n");
        QDir().mkpath(sys() + "/" + folder + "/slaves");
        for (const QString &slave : slaves)
            QFile::link(blockFolder(slave), sys() + "/" + folder + "/slaves/" + slave);
    }

    // `name` is one of the devices of the btrfs file system `uuid`.
    void addBtrfsDevice(const QString &uuid, const QString &name)
    {
        const QString devices = sys() + "/fs/btrfs/" + uuid + "/devices";
        QDir().mkpath(devices);
        QFile::link(blockFolder(name), devices + "/" + name);
    }

    // A Kingston FAT32 stick's partition `part` (e.g. "sdb1"), mounted at `point`; no UUID when `uuid` is empty.
    void addStick(const QString &devnum, const QString &part, const QString &point, const QByteArray &label,
                  const QByteArray &uuid, const QString &devicePath = kUsbPath)
    {
        QByteArray data = "E:ID_BUS=usb\nE:ID_VENDOR=Kingston\nE:ID_MODEL=DataTraveler_3.0\nE:ID_SERIAL_SHORT=0011\n"
                          "E:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_LABEL=" + label + "\n";
        if (!uuid.isEmpty())
            data += "E:ID_FS_UUID=" + uuid + "\n";
        addPartition(devnum, devicePath, part.left(3), part, true, data);
        mount(devnum, point, "vfat", "/dev/" + part);
    }

    // The kernel escapes only blanks, tabs, newlines and backslashes; other bytes stand as they are.
    static QByteArray escaped(QByteArray point) { return point.replace(" ", "\\040"); }
    void writeMountInfo() const
    {
        QByteArray all;
        for (const QByteArray &line : lines)
            all += line + '\n';
        writeFile(mountInfo(), all);
    }

    void mount(const QString &devnum, const QString &point, const QString &type, const QString &source,
               const QString &superOptions = "rw")
    {
        mountBytes(devnum, QFile::encodeName(point), type, source, superOptions);
    }

    // A mount point given by its bytes (which need not be UTF-8), made as a real folder.
    void mountBytes(const QString &devnum, const QByteArray &point, const QString &type, const QString &source,
                    const QString &superOptions = "rw")
    {
        QByteArray made;
        for (const QByteArray &part : point.split('/')) {
            made += part.isEmpty() ? QByteArray() : '/' + part;
            if (!made.isEmpty() && ::mkdir(made.constData(), 0755) == 0)
                madeByBytes << made;
        }
        lines << QString("%1 1 %2 / ").arg(nextId++).arg(devnum).toUtf8() + escaped(point)
                     + QString(" rw,relatime shared:1 - %1 %2 %3").arg(type, source, superOptions).toUtf8();
        writeMountInfo();
    }

    void unmount(const QString &point)
    {
        const QByteArray field = " " + escaped(QFile::encodeName(point)) + " ";
        lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const QByteArray &l) { return l.contains(field); }),
                    lines.end());
        writeMountInfo();
    }

    USBDeviceManager::Environment environment(bool monitoring = false) const
    {
        USBDeviceManager::Environment env;
        env.paths.mountInfo = mountInfo();
        env.paths.sysfsRoot = sys();
        env.paths.udevDataDir = udev();
        env.paths.udevControl = udevd.path();
        env.paths.useBlkid = false;
        env.lsblk = dir.path() + "/no-such-lsblk";
        env.blkid = dir.path() + "/no-such-blkid";
        env.useUDisks2 = false;
        env.startMonitoring = monitoring;
        env.probeTimeout = std::chrono::seconds(5);   // one refresh lists what is mounted, on a loaded machine too
        return env;
    }
};

} // namespace testsupport
