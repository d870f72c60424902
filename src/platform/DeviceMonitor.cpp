#include "platform/DeviceMonitor.h"

#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QFile>
#include <QMetaMethod>
#include <QMetaObject>
#include <QSet>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <libudev.h>
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// Reads a whole file from an open descriptor, from its start. /proc files
// report a size of 0, so read until end of file.
// A mount is identified by its id and where it is mounted: a new mount on a
// busy mount point (stacked) or a moved mount shows as a change too.
QSet<QString> mountKeys(const QByteArray &contents)
{
    QSet<QString> keys;
    for (const MountEntry &entry : parseMountInfo(contents))
        keys.insert(QString::number(entry.mountId) + u' ' + entry.mountPoint);
    return keys;
}

} // namespace

struct DeviceMonitor::Impl
{
    DeviceMonitor *q = nullptr;
    QString mountInfoPath;
    bool running = false;

    udev *udevContext = nullptr;
    udev_monitor *monitor = nullptr;
    std::unique_ptr<QSocketNotifier> udevNotifier;

    int mountFd = -1;
    bool mountFlagsChanges = false;   // a procfs file: the kernel flags each change
    std::unique_ptr<QSocketNotifier> mountNotifier;
    QSet<QString> mounts;

    // Events seen since the last flush; one flush per event-loop turn.
    bool arrived = false;
    bool removed = false;
    bool tableChanged = false;
    bool flushQueued = false;

    bool startUdev();
    void stopUdev();
    bool startMountWatch();
    void stopMountWatch();
    void readUdevEvents();
    void readMountInfo();
    void queueFlush();
    void flush();
};

bool DeviceMonitor::Impl::startUdev()
{
    udevContext = udev_new();
    if (!udevContext) {
        logLine(QStringLiteral("DeviceMonitor: cannot create a udev context: %1").arg(errorText(errno)));
        return false;
    }
    // Without a running udevd nobody re-broadcasts the kernel's events, so
    // listen to the kernel directly.
    const char *source = udevRuns() ? "udev" : "kernel";
    monitor = udev_monitor_new_from_netlink(udevContext, source);
    if (monitor && udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr) >= 0
        && udev_monitor_enable_receiving(monitor) >= 0) {
        const int fd = udev_monitor_get_fd(monitor);
        // libudev opens it non-blocking; make sure, a blocking read would freeze the UI.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK))
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        udevNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(udevNotifier.get(), &QSocketNotifier::activated, q, [this] { readUdevEvents(); });
        return true;
    }
    logLine(QStringLiteral("DeviceMonitor: cannot listen to %1 block device events: %2")
                .arg(QString::fromLatin1(source), errorText(errno)));
    stopUdev();
    return false;
}

void DeviceMonitor::Impl::stopUdev()
{
    udevNotifier.reset();
    if (monitor)
        udev_monitor_unref(monitor);
    monitor = nullptr;
    if (udevContext)
        udev_unref(udevContext);
    udevContext = nullptr;
}

bool DeviceMonitor::Impl::startMountWatch()
{
    const QByteArray path = QFile::encodeName(mountInfoPath);
    mountFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    QByteArray contents;
    if (mountFd < 0 || !readFromStart(mountFd, &contents)) {
        logLine(QStringLiteral("DeviceMonitor: cannot watch %1: %2").arg(mountInfoPath, errorText(errno)));
        stopMountWatch();
        return false;
    }
    mounts = mountKeys(contents);
    struct statfs fs = {};
    mountFlagsChanges = ::fstatfs(mountFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
    // The kernel flags a changed mount table as an exceptional condition (POLLPRI).
    mountNotifier = std::make_unique<QSocketNotifier>(mountFd, QSocketNotifier::Exception);
    QObject::connect(mountNotifier.get(), &QSocketNotifier::activated, q, [this] { readMountInfo(); });
    return true;
}

void DeviceMonitor::Impl::stopMountWatch()
{
    mountNotifier.reset();
    if (mountFd >= 0)
        ::close(mountFd);
    mountFd = -1;
    mountFlagsChanges = false;
    mounts.clear();
}

void DeviceMonitor::Impl::readUdevEvents()
{
    // Nobody listens (the mount table tells all that is wanted): the events
    // are let go unread, which costs far less than taking each apart; other
    // programs' loop devices and FUSE mounts can make dozens a second.
    if (!q->isSignalConnected(QMetaMethod::fromSignal(&DeviceMonitor::mediaArrived))
        && !q->isSignalConnected(QMetaMethod::fromSignal(&DeviceMonitor::mediaRemoved))) {
        char discard[1];
        const int fd = udev_monitor_get_fd(monitor);
        while (::recv(fd, discard, sizeof discard, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
        }
        return;
    }
    while (udev_device *device = udev_monitor_receive_device(monitor)) {
        const char *action = udev_device_get_action(device);
        if (!action)
            action = "";
        if (std::strcmp(action, "add") == 0) {
            arrived = true;
        } else if (std::strcmp(action, "remove") == 0) {
            removed = true;
        } else if (std::strcmp(action, "change") == 0) {
            // A card pulled from a reader or a loop device detached stays as a
            // device but reports "change" with no media left (size 0).
            const char *size = udev_device_get_sysattr_value(device, "size");
            if (size && std::strcmp(size, "0") == 0)
                removed = true;
            else
                arrived = true;
        }
        udev_device_unref(device);
    }
    queueFlush();
}

void DeviceMonitor::Impl::readMountInfo()
{
    QByteArray contents;
    if (!readFromStart(mountFd, &contents)) {
        logLine(QStringLiteral("DeviceMonitor: cannot read %1: %2").arg(mountInfoPath, errorText(errno)));
        return;
    }
    const QSet<QString> now = mountKeys(contents);
    if (!mounts.contains(now))
        arrived = true;
    if (!now.contains(mounts))
        removed = true;
    mounts = now;
    tableChanged = true;
    queueFlush();
}

void DeviceMonitor::Impl::queueFlush()
{
    if (flushQueued || (!arrived && !removed && !tableChanged))
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(q, [this] { flush(); }, Qt::QueuedConnection);
}

void DeviceMonitor::Impl::flush()
{
    flushQueued = false;
    const bool wasArrived = std::exchange(arrived, false);
    const bool wasRemoved = std::exchange(removed, false);
    const bool wasChanged = std::exchange(tableChanged, false);
    if (!running)
        return;
    if (wasRemoved)
        emit q->mediaRemoved();
    if (wasArrived)
        emit q->mediaArrived();
    if (wasChanged)
        emit q->mountTableChanged();
}

DeviceMonitor::DeviceMonitor(const QString &mountInfoPath, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
    d->q = this;
    d->mountInfoPath = mountInfoPath;
}

DeviceMonitor::~DeviceMonitor()
{
    stop();
}

bool DeviceMonitor::start()
{
    if (d->running)
        return true;
    const bool udevOk = d->startUdev();
    const bool mountsOk = d->startMountWatch();
    d->running = udevOk || mountsOk;
    return d->running;
}

void DeviceMonitor::stop()
{
    d->stopUdev();
    d->stopMountWatch();
    d->arrived = false;
    d->removed = false;
    d->tableChanged = false;
    d->running = false;
}

bool DeviceMonitor::hasUdevMonitor() const
{
    return d->monitor != nullptr;
}

bool DeviceMonitor::hasMountWatch() const
{
    return d->mountFd >= 0;
}

bool DeviceMonitor::mountWatchFlagsChanges() const
{
    return d->mountFd >= 0 && d->mountFlagsChanges;
}
