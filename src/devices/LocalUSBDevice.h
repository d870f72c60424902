#pragma once

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// The kind of a device. Detection yields `usb` and `sdCard`; the views know all six.
enum class DeviceType { usb, sdCard, externalHDD, ssd, network, other };

// One mounted removable volume, a snapshot taken by an enumeration.
// Two records are the same device exactly when their ids are equal.
struct LocalUSBDevice
{
    QString id;            // trimmed mount path, then "|" and the kernel block name when known
    QString name;
    QString path;          // the mount path as the mount table gives it, for people (decodeFileName)
    qint64 capacity = 0;
    // Free bytes; nothing when the file system does not tell them (a FUSE
    // daemon that reports no blocks: the capacity is then the device's size).
    std::optional<qint64> available;
    QString fileSystem;    // display name: "FAT32", "exFAT", ... or "未知"
    DeviceType type = DeviceType::usb;
    QString model;         // "未知设备" when unknown
    QString serialNumber;
    QString vendorName;    // "未知厂商" when unknown
    bool isAccessible = false;
    QByteArray nativePath; // the mount path's bytes when `path` cannot give them back (not UTF-8)

    // The mount path as the system knows it: what every operation on the volume uses.
    QByteArray fsPath() const { return nativePath.isEmpty() ? QFile::encodeName(path) : nativePath; }

    friend bool operator==(const LocalUSBDevice &a, const LocalUSBDevice &b) { return a.id == b.id; }
};

inline size_t qHash(const LocalUSBDevice &device, size_t seed = 0) { return qHash(device.id, seed); }

// A process that holds files open on a device.
struct BlockingProcess
{
    qint64 pid = 0;
    QString name;          // what ps reports, else the lsof COMMAND column
    QString command;       // the lsof COMMAND column
};

Q_DECLARE_METATYPE(LocalUSBDevice)
