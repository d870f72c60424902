#pragma once

#include "platform/Volumes.h"

#include <QString>

#include <optional>

#include <sys/types.h>

// What root may act on for an account: a volume whose block devices end at
// removable hardware, never one of the machine's own disks. Stricter than the
// list the app shows (isRemovableMount), which also offers any loop device.
//
// A volume counts when the disk at the bottom of its chain (below its
// partition, dm-crypt and LVM layers) has the removable flag or sits on a USB,
// MMC/SD or FireWire bus, or is a loop device over a file on such hardware. A
// loop device over a file on a fixed disk counts only when `requester` owns
// that file and the volume is mounted for them: below /media/<name> or
// /run/media/<name> (where the desktop mounts an account's media), or by them
// (their own FUSE mount; for root, a kernel mount). A FUSE volume counts only
// when the kernel opened its device (fuseblk) or `requester` mounted it, and
// its device passes the same rule: the source of a plain FUSE mount is text
// its daemon wrote.
//
// Nothing when it counts; otherwise why not, in words for the tool's message.
std::optional<QString> whyNotRemovableHardware(const MountEntry &mount, uid_t requester,
                                               const SystemPaths &paths = {});

// Acting for an account other than root, root acts only on a volume mounted
// for that account, removable hardware too: below /media/<name>/ or
// /run/media/<name>/, by the account itself (a FUSE volume whose user_id it
// is), or by udisksd for it (its record names the mount point, the device and
// the account); and a loop device only when the account owns the file it
// holds, wherever that lies. Nothing when it counts (always for root itself);
// otherwise why not, in words for the tool's message.
std::optional<QString> whyNotMountedFor(const MountEntry &mount, uid_t requester, const SystemPaths &paths = {});
