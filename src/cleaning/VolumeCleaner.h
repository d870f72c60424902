#pragma once

#include "cleaning/DotClean.h"
#include "cleaning/FileType.h"
#include "cleaning/ScannedFolders.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class SystemCleanHelper;
class VolumeWork;

// The clean of one volume: holds it for the whole clean (its root opened once
// and checked to be the scanned volume), lets our dot_clean remove the
// AppleDouble files on FAT and exFAT volumes, and hands everything else to
// SystemCleanHelper. Every item is reached through the held root and removed
// only while it is still what the scan recorded; an item counts as cleaned
// only when it is gone.
class VolumeCleaner
{
public:
    struct Request
    {
        QByteArray root;                          // the volume's mount path
        QList<FileItem> files;                    // in the caller's order
        std::optional<QString> fileSystemType;    // as the device side knows it
        DotClean::Tools tools;
        // Whoever waits for the clean: told of its progress and of every
        // item gone as it goes; it stops the clean between two items, or
        // gives it up (a volume that stopped answering). May be none.
        std::shared_ptr<VolumeWork> work;
        // What the scan saw of the volume's folders: a folder item that
        // holds an alias of one of them is left whole. May be none.
        std::shared_ptr<const ScannedFolders> scannedFolders;
    };

    using Completion = std::function<void(const QList<FileItem> &cleaned, const QList<FileItem> &failed)>;

    // Blocking: runs on a background thread. The completion runs once, on
    // this thread or (after the administrator step) on the main thread.
    static void clean(Request request, SystemCleanHelper &helper, Completion completion);

    static bool isFATType(const QString &type);
};
