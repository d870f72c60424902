#pragma once

// The settings' folder, taken away and given back: as root a tmpfs of the
// test's own, remounted read-only or filled (root ignores the mode bits);
// else its write permission taken away (it cannot be filled then).

#include "localization/Localization.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

struct ConfigFolder
{
    enum class State { writable, readOnly, full };
    QString path;
    bool mounted = false;

    // `size`: the tmpfs's, as mount takes it ("256k", "8m").
    explicit ConfigFolder(const QString &folder, const QByteArray &size = "256k") : path(folder)
    {
        QDir().mkpath(path);
        mounted = ::geteuid() == 0 && ::mount("test", native().constData(), "tmpfs", 0, ("size=" + size).constData()) == 0;
    }
    ~ConfigFolder()
    {
        if (set(State::writable) && mounted)
            ::umount2(native().constData(), MNT_DETACH);
    }
    ConfigFolder(const ConfigFolder &) = delete;
    ConfigFolder &operator=(const ConfigFolder &) = delete;

    QByteArray native() const { return QFile::encodeName(path); }
    QString file() const { return path + QStringLiteral("/preferences.json"); }
    // False when the folder cannot be put in that state here.
    bool set(State state) const
    {
        if (!mounted)
            return state != State::full && ::chmod(native().constData(), state == State::readOnly ? 0555 : 0755) == 0;
        ::unlink(native() + "/filler");
        const unsigned long flags = MS_REMOUNT | (state == State::readOnly ? MS_RDONLY : 0);
        if (::mount(nullptr, native().constData(), nullptr, flags, nullptr) != 0)
            return false;
        QFile filler(path + QStringLiteral("/filler"));
        if (state == State::full && filler.open(QIODevice::WriteOnly))
            while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) {
            }
        return true;
    }
    // What the window says of the folder in that state.
    QString told(State state) const
    {
        return format(localized(state == State::full ? QStringLiteral("storage_reason_full")
                                                     : QStringLiteral("storage_reason_read_only")),
                      path);
    }
};

} // namespace testsupport
