#include "cleaning/SystemCleanHelper.h"

#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStringList>

#include <atomic>

#include <unistd.h>

namespace {

const QString kPolkitService = QStringLiteral("org.freedesktop.PolicyKit1");
// A bus that is there but stuck must not freeze the dialog that asked.
constexpr int kBusCallTimeoutMs = 2000;

std::atomic<SystemCleanHelper *> g_installed{nullptr};

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Sends one call to the bus daemon itself; nothing when it does not answer in time.
QVariant busDaemonCall(QDBusConnection &bus, const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"), method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block, kBusCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst();
}

// polkit is usable when its authority runs now or the bus can start it on demand.
bool defaultPolkitAuthorityAnswers()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    if (busDaemonCall(bus, QStringLiteral("NameHasOwner"), {kPolkitService}).toBool())
        return true;
    return busDaemonCall(bus, QStringLiteral("ListActivatableNames"), {}).toStringList().contains(kPolkitService);
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

} // namespace

struct SystemCleanHelper::Impl
{
    Scheduler &scheduler;
    ProbeEnvironment environment;

    // The probe runs under the lock too, so two callers never probe at once and
    // the second one gets the first one's answer from the cache.
    mutable QMutex mutex;
    struct CachedStatus
    {
        bool status = false;
        Scheduler::Duration timestamp{0};
    };
    std::optional<CachedStatus> cache;
    int probes = 0;

    Impl(Scheduler &s, ProbeEnvironment e)
        : scheduler(s)
        , environment(std::move(e))
    {
    }

    bool probe()
    {
        ++probes;
        if (environment.isRoot()) {
            logLine(QStringLiteral("SystemCleanHelper: Full Disk Access detected - running as root"));
            return true;
        }
        logLine(QStringLiteral("SystemCleanHelper: Full Disk Access not detected - not running as root"));
        // Without pkexec there is nothing to ask polkit for, so the bus is left alone.
        if (isExecutableFile(environment.pkexecPath) && environment.polkitAuthorityAnswers()) {
            logLine(QStringLiteral("SystemCleanHelper: Full Disk Access detected - pkexec and a polkit authority are available"));
            return true;
        }
        logLine(QStringLiteral("SystemCleanHelper: No Full Disk Access - pkexec or polkit is not available"));
        return false;
    }
};

SystemCleanHelper::SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment)
{
    if (!environment.isRoot)
        environment.isRoot = [] { return ::geteuid() == 0; };
    if (!environment.polkitAuthorityAnswers)
        environment.polkitAuthorityAnswers = defaultPolkitAuthorityAnswers;
    d = std::make_unique<Impl>(scheduler, std::move(environment));
}

SystemCleanHelper::~SystemCleanHelper()
{
    SystemCleanHelper *self = this;
    g_installed.compare_exchange_strong(self, nullptr);
}

SystemCleanHelper &SystemCleanHelper::shared()
{
    if (SystemCleanHelper *installed = g_installed.load(std::memory_order_acquire))
        return *installed;
    static SystemCleanHelper helper(Scheduler::shared(), ProbeEnvironment{});
    return helper;
}

void SystemCleanHelper::setShared(SystemCleanHelper *helper)
{
    g_installed.store(helper, std::memory_order_release);
}

bool SystemCleanHelper::checkFullDiskAccess()
{
    QMutexLocker lock(&d->mutex);
    const Scheduler::Duration now = d->scheduler.now();
    if (d->cache && now - d->cache->timestamp < std::chrono::duration_cast<Scheduler::Duration>(
                                                    std::chrono::duration<double>(fullDiskAccessCacheTimeout))) {
        logLine(QStringLiteral("SystemCleanHelper: Using cached Full Disk Access status: ") + boolText(d->cache->status));
        return d->cache->status;
    }
    const bool status = d->probe();
    d->cache = Impl::CachedStatus{status, now};
    logLine(QStringLiteral("SystemCleanHelper: Final Full Disk Access status: ") + boolText(status));
    return status;
}

void SystemCleanHelper::clearFullDiskAccessCache()
{
    {
        QMutexLocker lock(&d->mutex);
        d->cache.reset();
    }
    logLine(QStringLiteral("SystemCleanHelper: Full Disk Access cache cleared"));
}

int SystemCleanHelper::probeCount() const
{
    QMutexLocker lock(&d->mutex);
    return d->probes;
}
