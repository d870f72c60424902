// USBDeviceManager: the list of removable volumes, kept current by the
// enumeration (USBDeviceManagerProbes.cpp) and the monitor; what the list
// says of each volume is in USBDeviceManagerProperties.cpp.
#include "devices/USBDeviceManager.h"
#include "devices/USBDeviceManagerProbes.h"

#include "platform/DeviceMonitor.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QThread>

#include <algorithm>
#include <mutex>

namespace {

// Every field people see, not only the id that names the device.
bool sameRecords(const QList<LocalUSBDevice> &a, const QList<LocalUSBDevice> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const LocalUSBDevice &x, const LocalUSBDevice &y) {
        return x.id == y.id && x.name == y.name && x.path == y.path && x.capacity == y.capacity
               && x.available == y.available && x.fileSystem == y.fileSystem && x.type == y.type
               && x.model == y.model && x.serialNumber == y.serialNumber && x.vendorName == y.vendorName
               && x.isAccessible == y.isAccessible && x.nativePath == y.nativePath;
    });
}

// The block devices of listed volumes, by kernel name: what an id names after its last "|".
QStringList kernelNamesOf(const QList<LocalUSBDevice> &devices)
{
    QStringList names;
    for (const LocalUSBDevice &device : devices) {
        if (const qsizetype bar = device.id.lastIndexOf(u'|'); bar >= 0)
            names << device.id.mid(bar + 1);
    }
    return names;
}

} // namespace

USBDeviceManager::USBDeviceManager(QObject *parent)
    : USBDeviceManager(Environment{}, Scheduler::shared(), Preferences::standard(),
                       NotificationCenter::defaultCenter(), parent)
{
}

USBDeviceManager::USBDeviceManager(Environment environment, Scheduler &scheduler, Preferences &preferences,
                                   NotificationCenter &center, QObject *parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_scheduler(scheduler)
    , m_preferences(preferences)
    , m_center(center)
    , m_probe(m_env.paths)
    , m_mountTable(m_env.paths.mountInfo)
    , m_fileTypeSet(FileTypes::allTypes())
    , m_probes(std::make_shared<ProbeBoard>())
    , m_alive(std::make_shared<bool>(true))
{
    loadSecurityBookmarks();
    refreshDevices();
    if (m_env.startMonitoring)
        startMonitoring();
}

USBDeviceManager::~USBDeviceManager()
{
    stopMonitoring();
    if (m_arrivalTimer)
        m_scheduler.cancel(m_arrivalTimer);
    *m_alive = false;
    {
        // An enumeration waiting for its probes stops waiting; probes still
        // running are left to finish on their own.
        std::lock_guard lock(m_probes->mutex);
        m_probes->closing = true;
        m_probes->changed.notify_all();
        m_probes->wakeAll();
    }
    // Scans and cleans stop at their next item; background jobs read this
    // object: wait until none runs.
    stopWork();
    QMutexLocker lock(&m_inflightLock);
    while (m_inflight > 0)
        m_inflightDone.wait(&m_inflightLock);
}

// ---- Device list ----

QList<LocalUSBDevice> USBDeviceManager::connectedDevices() const
{
    QMutexLocker lock(&m_deviceListLock);
    return m_connectedDevices;
}

void USBDeviceManager::refreshDevices()
{
    if (QThread::currentThread() != thread()) {
        m_scheduler.post([this] { refreshDevices(); }, this);
        return;
    }
    logLine(QStringLiteral("开始刷新设备列表"));
    startEnumeration(/*quiet=*/false);
}

void USBDeviceManager::startEnumeration(bool quiet)
{
    // Overlapping enumerations could publish out of order and bring back a
    // volume that has gone; one runs, at most one waits.
    if (m_enumerationRunning) {
        m_enumerationPending = true;
        return;
    }
    m_enumerationRunning = true;
    const quint64 generation = m_nextGeneration++;
    runTracked([this, generation, quiet] { enumerateRemovableVolumes(generation, quiet); });
}

void USBDeviceManager::lookQuietly()
{
    // One under way reads the table as late as this one would.
    if (m_enumerationRunning)
        return;
    startEnumeration(/*quiet=*/true);
}

void USBDeviceManager::runTracked(std::function<void()> job)
{
    {
        QMutexLocker lock(&m_inflightLock);
        ++m_inflight;
    }
    m_scheduler.runInBackground([this, job = std::move(job)] {
        job();
        QMutexLocker lock(&m_inflightLock);
        if (--m_inflight == 0)
            m_inflightDone.wakeAll();
    });
}

void USBDeviceManager::recheckVolumes()
{
    std::lock_guard lock(m_probes->mutex);
    ++m_probes->epoch;
}

void USBDeviceManager::updateDeviceList(const QList<LocalUSBDevice> &devices, quint64 generation, bool quiet)
{
    m_enumerationRunning = false;
    // The fallback's look that found every record as published has no news.
    const bool news = !quiet || !sameRecords(devices, connectedDevices());
    if (generation > m_publishedGeneration && news) {
        m_publishedGeneration = generation;
        logLine(QStringLiteral("更新设备列表，共 ") + QString::number(devices.size()) + QStringLiteral(" 个设备"));
        {
            QMutexLocker lock(&m_deviceListLock);
            m_connectedDevices = devices;
        }
        if (m_monitor)
            m_monitor->setListedDevices(kernelNamesOf(devices));
        emit connectedDevicesChanged();
    }
    if (m_enumerationPending) {
        m_enumerationPending = false;
        refreshDevices();
    }
}

std::optional<LocalUSBDevice> USBDeviceManager::latestDevice() const
{
    QMutexLocker lock(&m_deviceListLock);
    if (m_connectedDevices.isEmpty())
        return std::nullopt;
    return m_connectedDevices.constLast();
}

std::optional<LocalUSBDevice> USBDeviceManager::device(const QString &id) const
{
    QMutexLocker lock(&m_deviceListLock);
    for (const LocalUSBDevice &d : m_connectedDevices) {
        if (d.id == id)
            return d;
    }
    return std::nullopt;
}

std::optional<LocalUSBDevice> USBDeviceManager::currentDevice(const LocalUSBDevice &device) const
{
    return this->device(device.id);
}
// ---- Monitoring ----

void USBDeviceManager::startMonitoring()
{
    if (m_monitor)
        return;
    m_monitor = new DeviceMonitor(m_env.paths.mountInfo, this);
    // Block-device events of devices neither listed nor removable are let go
    // on the monitor's own thread.
    m_monitor->setListedDevices(kernelNamesOf(connectedDevices()));
    const bool started = m_monitor->start();
    const bool watched = started && m_monitor->mountWatchFlagsChanges();
    if (watched) {
        // The list is of mounted volumes and the table tells of every mount
        // and unmount: a change is refreshed at once, and looked at again
        // 0.5 and 1.5 s later for a volume slow to answer its first probe.
        // Block devices coming and going (other programs' loop devices too)
        // change nothing listed by themselves.
        connect(m_monitor, &DeviceMonitor::mountTableChanged, this, [this] {
            refreshDevices();
            handleDevicesAdded();
        });
    } else {
        // Without a table that tells of its changes, block-device events are
        // the early word, and the fallback looks as often as the window does.
        connect(m_monitor, &DeviceMonitor::mediaArrived, this, &USBDeviceManager::handleDevicesAdded);
        connect(m_monitor, &DeviceMonitor::mediaRemoved, this, &USBDeviceManager::handleDevicesRemoved);
        m_monitor->followBlockEvents(true);
    }
    m_fallbackInterval = watched ? m_env.fallbackRefreshInterval : m_env.unwatchedRefreshInterval;
    const QString every = QString::number(m_fallbackInterval.count());
    if (!started)
        logLine(QStringLiteral("USBDeviceManager: device events unavailable; a refresh every %1 ms keeps the list current")
                    .arg(every));
    else if (!watched)
        logLine(QStringLiteral("USBDeviceManager: the mount table does not tell of its changes; a refresh every %1 ms "
                               "keeps the list current")
                    .arg(every));
    // Media already present count as an arrival.
    handleDevicesAdded();
    if (!m_refreshTimer)
        m_refreshTimer = m_scheduler.every(m_fallbackInterval, [this] { lookQuietly(); }, this);
}

void USBDeviceManager::stopMonitoring()
{
    if (m_refreshTimer)
        m_scheduler.cancel(m_refreshTimer);
    m_refreshTimer = 0;
    m_fallbackInterval = std::chrono::milliseconds(0);
    if (!m_monitor)
        return;
    m_monitor->stop();
    delete m_monitor;
    m_monitor = nullptr;
}

bool USBDeviceManager::isMonitoring() const
{
    return m_monitor != nullptr;
}

void USBDeviceManager::handleDevicesAdded()
{
    // A disk and its partitions arrive together: one pair of looks, at 0.5
    // and 1.5 s after the last event of a burst. A stream of events (loop
    // devices another program sets up and frees) moves the pair on rather
    // than adding pairs; the fallback refresh goes on meanwhile. Block
    // devices come and go without touching the list (they are listed once
    // mounted, and a mount is looked at as soon as the table changes): these
    // looks are quiet.
    if (m_arrivalTimer)
        m_scheduler.cancel(m_arrivalTimer);
    m_arrivalTimer = m_scheduler.after(std::chrono::milliseconds(500), [this] {
        m_arrivalTimer = 0;
        if (!isMonitoring())
            return;
        lookQuietly();
        m_arrivalTimer = m_scheduler.after(std::chrono::seconds(1), [this] {
            m_arrivalTimer = 0;
            if (isMonitoring())
                lookQuietly();
        }, this);
    }, this);
}

void USBDeviceManager::handleDevicesRemoved()
{
    m_scheduler.post([this] {
        if (isMonitoring())
            lookQuietly();
    }, this);
}
