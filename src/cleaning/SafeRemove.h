#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Deleting inside one volume without ever leaving it: the folder holding an
// item is opened from the volume root one component at a time (O_NOFOLLOW,
// same file system as the root), so a symbolic link or a mount point on the
// way cannot redirect the deletion; a link is removed itself, never its
// target; a folder is removed with its contents without following links or
// crossing into other file systems.
namespace SafeRemove {

// Is `path` strictly inside `root`, by whole path components, with no "." or
// ".." component and no empty component after the root?
bool isInside(const QByteArray &root, const QByteArray &path);

// Open handle of the folder holding `path` (path must be inside root). The
// caller closes it. Nothing (with errno) when a component is missing, is a
// link, is not a folder or lies on another file system.
struct Parent
{
    int fd = -1;
    QByteArray name;   // last component of path
};
std::optional<Parent> openParent(const QByteArray &root, const QByteArray &path, int *errorNumber = nullptr);

// Removes the item at `path` inside `root` as described above.
// False with a readable reason in *error; ENOENT is reported in *errorNumber.
bool removeItem(const QByteArray &root, const QByteArray &path, QString *error = nullptr,
                int *errorNumber = nullptr);

} // namespace SafeRemove
