#include "platform/UDisks2.h"
#include "platform/SystemBus.h"

#include <QAtomicInteger>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QVariantMap>

#include <algorithm>
#include <optional>

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kLoopInterface = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString kEncryptedInterface = QStringLiteral("org.freedesktop.UDisks2.Encrypted");
const QString kDriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
// A bus that accepts and never answers is given up on after this, whatever is left of the eject's time.
constexpr std::chrono::milliseconds kConnectTimeout = std::chrono::seconds(5);

// Errors that mean nobody (or no UDisks2) is there to answer.
bool meansUnreachable(const QString &errorName)
{
    static const QStringList names = {
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
        QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
        QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
        QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
        QStringLiteral("org.freedesktop.DBus.Error.Timeout"),
        QStringLiteral("org.freedesktop.DBus.Error.TimedOut"),
    };
    return names.contains(errorName) || errorName.startsWith(u"org.freedesktop.DBus.Error.Spawn.");
}

// A private connection per eject, opened from the address in the environment
// at the time of the call: the shared system-bus connection would stay dead
// for the life of the process if the bus was not up when it was first used.
class Bus
{
public:
    explicit Bus(std::chrono::milliseconds timeout)
        : m_deadline(timeout.count())
    {
        static QAtomicInteger<quint64> counter;
        m_name = QStringLiteral("sweepbrook-udisks2-%1").arg(counter.fetchAndAddRelaxed(1));
        m_connection.emplace(connectToBusBounded(systemBusAddress(), m_name, std::min(timeout, kConnectTimeout),
                                                 &m_connectionError));
    }
    ~Bus()
    {
        m_connection.reset();
        QDBusConnection::disconnectFromBus(m_name);
    }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    bool isConnected() const { return m_connection->isConnected(); }
    QString connectionError() const { return m_connectionError; }

    // Calls a method; on failure fills `outcome` (error text, reachability) and returns nothing.
    std::optional<QList<QVariant>> call(const QString &path, const QString &interface, const QString &method,
                                        const QList<QVariant> &arguments, UDisks2Outcome &outcome) const
    {
        const qint64 remaining = m_deadline.remainingTime();
        if (remaining == 0) {
            outcome.reachable = false;   // the service did not answer in time
            outcome.error = QStringLiteral("%1.%2: timed out").arg(interface, method);
            return std::nullopt;
        }
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(arguments);
        const QDBusMessage reply = m_connection->call(message, QDBus::Block, int(std::max<qint64>(remaining, 1)));
        if (reply.type() == QDBusMessage::ReplyMessage)
            return reply.arguments();
        const QString name = reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QString();
        // No answer at all (the connection broke) counts as not reached too.
        if (name.isEmpty() || meansUnreachable(name))
            outcome.reachable = false;
        const QString what = method == u"Get" ? QStringLiteral("reading %1.%2").arg(arguments.value(0).toString(),
                                                                                  arguments.value(1).toString())
                                              : QStringLiteral("%1.%2").arg(interface, method);
        outcome.error = QStringLiteral("%1 on %2 failed: %3 (%4)").arg(what, path, reply.errorMessage(), name);
        return std::nullopt;
    }

    std::optional<QVariant> property(const QString &path, const QString &interface, const QString &name,
                                     UDisks2Outcome &outcome) const
    {
        const auto reply = call(path, kPropertiesInterface, QStringLiteral("Get"), {interface, name}, outcome);
        if (!reply || reply->isEmpty())
            return std::nullopt;
        return reply->constFirst().value<QDBusVariant>().variant();
    }

private:
    QDeadlineTimer m_deadline;
    QString m_name;
    QString m_connectionError;
    std::optional<QDBusConnection> m_connection;
};

// Appends a later step's failure to what an earlier step reported.
void addError(UDisks2Outcome &outcome, const QString &error)
{
    if (error.isEmpty())
        return;
    outcome.error = outcome.error.isEmpty() ? error : outcome.error + QStringLiteral("; ") + error;
}

} // namespace

QString udisks2BlockObjectPath(const QString &kernelName)
{
    QString path = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
    for (const char c : kernelName.toUtf8()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain)
            path += QLatin1Char(c);
        else
            path += QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    }
    return path;
}

UDisks2Outcome udisks2UnmountAndEject(const UDisks2Volume &volume, std::chrono::milliseconds timeout)
{
    const QString &devNode = volume.devNode;
    UDisks2Outcome outcome;
    Bus bus(timeout);
    if (!bus.isConnected()) {
        outcome.reachable = false;
        outcome.error = bus.connectionError();
        return outcome;
    }

    const QVariantMap noOptions;
    const QVariantMap deviceQuery{{QStringLiteral("path"), devNode}};
    const auto resolved = bus.call(kManagerPath, kManagerInterface, QStringLiteral("ResolveDevice"),
                                   {QVariant::fromValue(deviceQuery), QVariant::fromValue(noOptions)}, outcome);
    if (!resolved)
        return outcome;
    const QList<QDBusObjectPath> blocks = qdbus_cast<QList<QDBusObjectPath>>(resolved->value(0));
    if (blocks.isEmpty()) {
        outcome.error = QStringLiteral("UDisks2 does not know %1").arg(devNode);
        return outcome;
    }
    const QString block = blocks.constFirst().path();
    outcome.attempted = true;

    if (!bus.call(block, kFilesystemInterface, QStringLiteral("Unmount"), {QVariant::fromValue(noOptions)}, outcome))
        return outcome;
    // Unmounted: the volume is safe to remove. What follows only detaches the
    // medium; its failure is reported in `error` but does not undo the eject.
    outcome.ejected = true;

    if (!volume.cryptoBacking.isEmpty()) {
        // An open container keeps the disk busy: without the lock, nothing is powered off.
        UDisks2Outcome lock;
        if (!bus.call(udisks2BlockObjectPath(volume.cryptoBacking), kEncryptedInterface, QStringLiteral("Lock"),
                      {QVariant::fromValue(noOptions)}, lock)) {
            addError(outcome, lock.error);
            return outcome;
        }
    }

    // A device-mapper device has no drive: the disk beneath it is detached.
    const QString detach = volume.disk.isEmpty() ? block : udisks2BlockObjectPath(volume.disk);
    UDisks2Outcome probe;   // a missing interface is an answer, not an error
    if (bus.property(detach, kLoopInterface, QStringLiteral("BackingFile"), probe)) {
        bus.call(detach, kLoopInterface, QStringLiteral("Delete"), {QVariant::fromValue(noOptions)}, outcome);
        return outcome;
    }
    const auto drive = bus.property(detach, kBlockInterface, QStringLiteral("Drive"), outcome);
    if (!drive)
        return outcome;
    const QString drivePath = drive->value<QDBusObjectPath>().path();
    if (drivePath.isEmpty() || drivePath == u"/")
        return outcome;   // no drive behind it: nothing to power off
    if (bus.property(drivePath, kDriveInterface, QStringLiteral("CanPowerOff"), outcome).value_or(false).toBool()) {
        bus.call(drivePath, kDriveInterface, QStringLiteral("PowerOff"), {QVariant::fromValue(noOptions)}, outcome);
    } else if (bus.property(drivePath, kDriveInterface, QStringLiteral("Ejectable"), outcome).value_or(false).toBool()) {
        bus.call(drivePath, kDriveInterface, QStringLiteral("Eject"), {QVariant::fromValue(noOptions)}, outcome);
    }
    return outcome;
}
