// The refresh's enumeration: the mounts that may be removable volumes, each
// probed on a thread of its own and waited for up to the time limit, then
// described for the list (USBDeviceManagerProperties.cpp).
#include "devices/USBDeviceManager.h"
#include "devices/USBDeviceManagerProbes.h"

#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QSet>

#include <system_error>
#include <thread>

#include <pthread.h>

namespace {

// A mount is the same volume as long as its mount id and device number stay.
QString probeKey(const MountEntry &mount)
{
    return QStringLiteral("%1 %2:%3").arg(mount.mountId).arg(mount.major).arg(mount.minor);
}

// The mounts that may be removable volumes, in the table's order.
QList<MountEntry> candidateMounts(const QList<MountEntry> &mounts)
{
    QList<MountEntry> candidates;
    QSet<QByteArray> seen;
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        // Only the top mount of a stack is visible at its mount point.
        if (seen.contains(it->mountPointBytes))
            continue;
        seen.insert(it->mountPointBytes);
        // Rejected before the device is probed: system mounts (snap's loop
        // images alone can be dozens) would otherwise be probed too.
        if (!isSystemPath(it->mountPoint))
            candidates.prepend(*it);
    }
    return candidates;
}

} // namespace

// What one enumeration asked of the board: the candidates, their slots, and
// which of them it started a probe in.
struct USBDeviceManager::ProbeRound
{
    QList<MountEntry> candidates;
    QList<std::shared_ptr<ProbeBoard::Slot>> slotList;
    QList<bool> startedNow;
};

void USBDeviceManager::enumerateRemovableVolumes(quint64 generation, bool quiet)
{
    const QList<MountEntry> mounts = m_mountTable.entries();
    const quint64 tableGeneration = m_mountTable.generation();
    ProbeRound round;
    round.candidates = candidateMounts(mounts);
    probeCandidates(round, tableGeneration);
    const QList<LocalUSBDevice> devices = describeProbed(round);
    std::weak_ptr<bool> alive = m_alive;
    m_scheduler.post(
        [this, alive, devices, generation, quiet] {
            if (alive.lock())
                updateDeviceList(devices, generation, quiet);
        },
        this);
}

// Each volume is probed on its own thread and waited for up to the time
// limit. A volume whose probe is still running (from this refresh or an
// earlier one) keeps its last known state and holds up nothing.
void USBDeviceManager::probeCandidates(ProbeRound &round, quint64 tableGeneration)
{
    using Slot = ProbeBoard::Slot;
    const std::shared_ptr<ProbeBoard> board = m_probes;
    const auto deadline = std::chrono::steady_clock::now() + m_env.probeTimeout;
    // The fallback refresh comes every volumeRecheckInterval or so, give or
    // take the hand-off to this thread: one a hair early still reads.
    const auto recheckAfter = m_env.volumeRecheckInterval - m_env.volumeRecheckInterval / 20;
    std::unique_lock lock(board->mutex);
    QHash<QString, std::shared_ptr<Slot>> current;
    for (const MountEntry &mount : std::as_const(round.candidates)) {
        const QString key = probeKey(mount);
        std::shared_ptr<Slot> slot = board->volumes.value(key);
        if (!slot)
            slot = std::make_shared<Slot>();
        current.insert(key, slot);
        round.slotList.append(slot);
        round.startedNow.append(ProbeBoard::startProbe(board, slot, mount, m_probe, tableGeneration, recheckAfter));
    }
    board->keepOnly(current);
    board->changed.wait_until(lock, deadline, [&] {
        if (board->closing)
            return true;
        for (qsizetype i = 0; i < round.slotList.size(); ++i) {
            if (round.startedNow.at(i) && round.slotList.at(i)->running)
                return false;
        }
        return true;
    });
}

// The records of the removable volumes probed: a volume unchanged since it
// was last described keeps its record.
QList<LocalUSBDevice> USBDeviceManager::describeProbed(const ProbeRound &round)
{
    const std::shared_ptr<ProbeBoard> board = m_probes;
    QList<LocalUSBDevice> devices;
    for (qsizetype i = 0; i < round.candidates.size(); ++i) {
        const MountEntry &mount = round.candidates.at(i);
        const std::shared_ptr<ProbeBoard::Slot> &slot = round.slotList.at(i);
        std::optional<VolumeProbe> result;
        quint64 resultNumber = 0;
        bool fresh = false;
        {
            std::lock_guard lock(board->mutex);
            result = slot->result;
            resultNumber = slot->results;
            fresh = round.startedNow.at(i) && !slot->running;
            if (slot->running && result && result->removable)
                logLine(QStringLiteral("设备未响应，沿用上次的状态: ") + mount.mountPoint);
            // A volume that reads as its record says, and that is readable by
            // itself (a grant is tried again on each probe), keeps its record;
            // so does one not probed in this refresh, unless a probe that
            // answered after its refresh stopped waiting (a loaded machine can
            // hold a first probe, which runs blkid, that long) brought news.
            const bool unchanged = !slot->news && (!fresh || (result && result->accessible));
            if (unchanged && slot->described && slot->describedAt == mount.mountPointBytes) {
                devices.append(*slot->described);
                continue;
            }
        }
        if (!result || !result->removable)
            continue;
        const std::optional<LocalUSBDevice> device = describeVolume(mount, *result, fresh);
        std::lock_guard lock(board->mutex);
        slot->described = device;
        slot->describedAt = mount.mountPointBytes;
        if (slot->results == resultNumber)
            slot->news = false;   // the record holds the last probe's readings
        if (!device)
            continue;
        // Remembered until the next probe, which tries the grant again.
        if (fresh && device->isAccessible && !result->accessible && slot->result)
            slot->result->grantOpened = true;
        devices.append(*device);
    }
    return devices;
}

// ---- The board ----

USBDeviceManager::VolumeProbe USBDeviceManager::ProbeBoard::probe(const Job &job)
{
    VolumeProbe result;
    if (job.known) {
        result.block = job.known->block;
        result.removable = job.known->removable;
    } else {
        result.block = job.probe.probeMount(job.mount);
        result.removable = isRemovableMount(job.mount.mountPoint, job.mount, result.block);
    }
    // The mount table and statvfs tell what the list needs; nothing opens the volume.
    if (result.removable) {
        result.sizes = fileSystemSizes(job.mount.mountPointBytes, &result.sizeError);
        result.accessible = folderIsReadable(job.mount.mountPointBytes);
    }
    return result;
}


void USBDeviceManager::ProbeBoard::work(const std::shared_ptr<ProbeBoard> &board, const std::shared_ptr<Slot> &slot)
{
    ::pthread_setname_np(::pthread_self(), "volume probe");   // as ps and top show it
    std::unique_lock lock(board->mutex);
    for (;;) {
        slot->wake.wait(lock, [&] { return board->closing || slot->forgotten || slot->job; });
        if (board->closing || slot->forgotten || !slot->job)
            break;
        const Job job = std::move(*slot->job);
        slot->job.reset();
        lock.unlock();
        VolumeProbe result = probe(job);
        lock.lock();
        slot->news = slot->news || !job.known || !job.known->sameReadings(result);
        const bool removable = result.removable;
        slot->result = std::move(result);
        ++slot->results;
        slot->running = false;
        board->changed.notify_all();
        if (!removable)
            break;
    }
    slot->hasWorker = false;
}


bool USBDeviceManager::ProbeBoard::startProbe(const std::shared_ptr<ProbeBoard> &board, const std::shared_ptr<Slot> &slot,
                                              const MountEntry &mount, const BlockDeviceProbe &blockProbe,
                                              quint64 tableGeneration, std::chrono::steady_clock::duration recheckAfter)
{
    // A volume known not to be removable needs nothing more; a known
    // removable one only its sizes and access, now and then. After a
    // change of the mount table the mount with this id and device may
    // be another volume: everything is probed again.
    const bool remounted = slot->result && slot->tableGeneration != tableGeneration;
    const bool due = !slot->result || remounted
                     || (slot->result->removable
                         && (slot->epoch != board->epoch
                             || std::chrono::steady_clock::now() - slot->startedAt >= recheckAfter));
    const bool start = !slot->running && due;
    if (!start)
        return false;
    std::optional<VolumeProbe> known = remounted ? std::nullopt : slot->result;
    slot->job = Job{mount, blockProbe, std::move(known)};
    if (slot->hasWorker) {
        slot->wake.notify_one();
    } else {
        try {
            std::thread([board, slot] { work(board, slot); }).detach();
            slot->hasWorker = true;
        } catch (const std::system_error &error) {
            slot->job.reset();
            logLine(QStringLiteral("获取卷信息出错: ") + mount.mountPoint + QStringLiteral(": ")
                    + QString::fromLocal8Bit(error.what()));
            return false;
        }
    }
    slot->running = true;
    slot->startedAt = std::chrono::steady_clock::now();
    slot->epoch = board->epoch;
    slot->tableGeneration = tableGeneration;
    return true;
}

// Volumes whose mount left the table are forgotten: a thread waiting for its
// next job ends, one stuck in its volume keeps only its slot.
void USBDeviceManager::ProbeBoard::keepOnly(const QHash<QString, std::shared_ptr<Slot>> &current)
{
    for (auto it = volumes.cbegin(); it != volumes.cend(); ++it) {
        if (!current.contains(it.key())) {
            it.value()->forgotten = true;
            it.value()->wake.notify_one();
        }
    }
    volumes = current;
}
