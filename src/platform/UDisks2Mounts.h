#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// What udisksd records of the mounts it made, and for whom: its files
// /run/udisks2/mounted-fs and /var/lib/udisks2/mounted-fs-persistent (where
// it keeps the mounts a user asked for), each one GVariant of type
// a{sa{sv}} in the machine's byte order: the mount point, then
// "block-device" (t, the device number), "mounted-by-uid" (u) and
// "fstab-mount" (b). Only root may read them.
struct UDisks2Mount
{
    QByteArray mountPoint;
    quint64 device = 0;   // as makedev() gives it
    uid_t mountedBy = 0;
};

// The mounts a record holds, each with its device and account; a mount that
// lacks either is left out. Nothing at all when the bytes are not such a record.
QList<UDisks2Mount> parseUDisks2Mounts(const QByteArray &contents);

// The mounts the records at `paths` hold (those that can be read).
QList<UDisks2Mount> readUDisks2Mounts(const QStringList &paths);
