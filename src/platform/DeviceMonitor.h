#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

// Watches for block devices coming and going (a libudev monitor on the
// "block" subsystem, filtered in the kernel, read on a thread of its own) and
// for mounts and unmounts (POLLPRI on /proc/self/mountinfo). Lives on the main
// thread; signals are emitted there.
class DeviceMonitor : public QObject
{
    Q_OBJECT
public:
    explicit DeviceMonitor(const QString &mountInfoPath = QStringLiteral("/proc/self/mountinfo"),
                           QObject *parent = nullptr);
    ~DeviceMonitor() override;

    // Starts both watches. False when neither could start (each failure is logged).
    bool start();
    void stop();

    // Which watches are working (tests, diagnostics).
    bool hasUdevMonitor() const;
    bool hasMountWatch() const;
    // The mount watch hears of every change: the table is the kernel's, which
    // flags each change (POLLPRI). Any other file (a test's table) is watched
    // but never tells of a change.
    bool mountWatchFlagsChanges() const;

    // Has the kernel send through the socket `fd` only device events of block
    // devices (SUBSYSTEM=block), and any message not laid out as the kernel
    // lays its events out, for the reader to judge; the others never wake the
    // reader. False when the kernel refused the filter: everything comes through.
    static bool passOnlyBlockEvents(int fd);

    // From now on a block-device event counts only when its device is
    // removable hardware (its disk has the removable flag or sits on a USB,
    // MMC/SD or FireWire bus) or is one of these (kernel names: "sdb1",
    // "loop3"), or a partition of one; the others are let go on the monitor's
    // thread and never wake the main thread. Until it is called every
    // block-device event counts.
    void setListedDevices(const QStringList &kernelNames);

    // Whether block-device events are wanted (mediaArrived and mediaRemoved
    // tell of them): until then, and after false, the kernel drops them
    // before they reach the socket and no thread waits on it.
    void followBlockEvents(bool wanted);

signals:
    // One burst of block-device "add"/"change" events, or a new mount.
    void mediaArrived();
    // One burst of block-device "remove" events (or "change" events that leave
    // the device without media: a card pulled, a loop device detached), or an unmount.
    void mediaRemoved();
    // The kernel flagged a change of the mount table (one per burst), also one
    // that mounted or unmounted nothing the keys above tell apart (a remount,
    // a mount replaced by another with the same id).
    void mountTableChanged();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
