#pragma once

// The refresh's per-volume probes: what USBDeviceManager.cpp,
// USBDeviceManagerProbes.cpp and USBDeviceManagerProperties.cpp share. Not
// for use elsewhere.

#include "devices/USBDeviceManager.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

// What one probe learnt about a mounted volume.
struct USBDeviceManager::VolumeProbe
{
    std::optional<BlockDeviceInfo> block;   // sysfs, udev, blkid: once per mount
    bool removable = false;                 // the filter's verdict: once per mount
    std::optional<FileSystemSizes> sizes;   // statvfs: every probe
    QString sizeError;
    bool accessible = false;                // faccessat: every probe
    bool grantOpened = false;               // not readable, but its grant gave access

    // What a new probe of the same mount may change.
    bool sameReadings(const VolumeProbe &other) const
    {
        const auto sizesOf = [](const VolumeProbe &p) {
            return p.sizes ? std::pair(p.sizes->capacity, p.sizes->available.value_or(-1))
                           : std::pair(qint64(-1), qint64(-1));
        };
        return removable == other.removable && sizesOf(*this) == sizesOf(other) && sizeError == other.sizeError
               && accessible == other.accessible;
    }
};

// The refresh's per-volume probes. Each volume is probed on a thread of its
// own that holds this board and its slot, never the manager: a probe stuck in
// a dead mount (a stopped FUSE daemon) may return long after the manager is
// gone. A removable volume keeps its thread between probes (making and ending
// one every few seconds would cost more than the probe); it waits for the
// next probe until the volume's mount leaves the table or the board closes.
struct USBDeviceManager::ProbeBoard
{
    struct Job
    {
        MountEntry mount;
        BlockDeviceProbe probe;
        std::optional<VolumeProbe> known;   // the last probe of this mount, whose device is kept
    };
    struct Slot
    {
        bool hasWorker = false;              // its thread runs (or waits for the next job)
        bool forgotten = false;              // its mount left the table
        std::optional<Job> job;              // asked of the thread, not yet taken
        std::condition_variable wake;        // the thread waits on it for a job
        bool running = false;
        std::optional<VolumeProbe> result;   // the last probe that finished
        quint64 results = 0;                 // probes finished, `result` the last
        bool news = true;                    // probes since `described` was made read something it has not
        std::chrono::steady_clock::time_point startedAt;
        quint64 epoch = 0;                   // of the board when it started
        quint64 tableGeneration = 0;         // of the mount table it was probed in
        // The record made from `result`, kept until a probe brings news: an
        // unchanged volume is not described again (nor logged) on every refresh.
        std::optional<LocalUSBDevice> described;
        QByteArray describedAt;              // the mount point it was made for
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool closing = false;
    quint64 epoch = 1;   // raised by recheckVolumes()
    QHash<QString, std::shared_ptr<Slot>> volumes;   // by probeKey()

    // One probe of a mount: what the list needs of it, without opening the volume.
    static VolumeProbe probe(const Job &job);

    // A slot's thread: the jobs asked of it, one by one. A volume that is not
    // removable is not probed again (until it is mounted anew): its thread ends.
    static void work(const std::shared_ptr<ProbeBoard> &board, const std::shared_ptr<Slot> &slot);

    // Under the lock: starts a probe of `mount` in the slot when one is due
    // (each slot's thread waits for its jobs). True when it started.
    static bool startProbe(const std::shared_ptr<ProbeBoard> &board, const std::shared_ptr<Slot> &slot,
                           const MountEntry &mount, const BlockDeviceProbe &blockProbe, quint64 tableGeneration,
                           std::chrono::steady_clock::duration recheckAfter);

    // Under the lock: the slots of the mounts still in the table (by
    // probeKey) are all the board holds.
    void keepOnly(const QHash<QString, std::shared_ptr<Slot>> &current);

    // Under the lock: the threads waiting for a job look again (and end).
    void wakeAll()
    {
        for (const std::shared_ptr<Slot> &slot : std::as_const(volumes))
            slot->wake.notify_one();
    }
};
