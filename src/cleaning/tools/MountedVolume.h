#pragma once

#include "cleaning/CleanRequest.h"

#include <QString>

#include <memory>
#include <optional>

#include <sys/types.h>

class HeldVolume;

// The administrator tool's own look at the volume a request names, before it
// does anything there. The root must be an absolute path written plainly
// (no ".", ".." or empty component), opened without following any link on the
// way (no symbolic link, no /proc magic link into another process's view),
// and there must be the root of a mount of this process's mount table with
// the request's device and root inode; that mount must lie on a device the
// app's own removable-volume rules accept and that ends at removable hardware
// for the requesting account (platform/RemovableHardware.h), and never at a
// system path; acting as root for another account, it must also be mounted
// for that account. Nothing, with the reason in *why, otherwise.
// *namesIgnoreCase (when given) tells whether the volume takes names that
// differ only in case for one name; *ownerless, whether its files carry no
// owner of their own (FAT, exFAT), where a request may name files met
// outside a junk folder to be looked for.
std::unique_ptr<HeldVolume> openMountedVolume(const CleanRequest &request, QString *why,
                                              bool *namesIgnoreCase = nullptr, bool *ownerless = nullptr);

// The account the tool acts for: the one pkexec names (PKEXEC_UID) when root
// runs it, root itself when run directly, else whoever runs it. Nothing when
// PKEXEC_UID is set to anything but a uid.
std::optional<uid_t> requestingUser();
