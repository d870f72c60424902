#include "TestMain.h"

#include "platform/ProcessRunner.h"
#include "platform/UDisks2.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include "MountFixture.h"
#include "SilentBus.h"
#include "SystemDaemons.h"

using namespace std::chrono_literals;

namespace {

const QString kService = "org.freedesktop.UDisks2";

// UDisks2 as far as an eject asks it: every call recorded as "object member"
// ("object Get property" for a property read); a property it was not given is
// an error, as for an interface the object lacks.
class FakeUdisks : public QDBusVirtualObject
{
public:
    QString resolved;                    // ResolveDevice's answer
    QMap<QString, QVariant> properties;  // "object property" -> value
    QString failing;                     // "object member" answered with an error
    QStringList calls;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString object = message.path().mid(QStringLiteral("/org/freedesktop/UDisks2/").size());
        QString call = object + u' ' + message.member();
        if (message.member() == u"Get")
            call += u' ' + message.arguments().value(1).toString();
        calls << call;
        QDBusMessage reply;
        if (call == failing) {
            reply = message.createErrorReply("org.freedesktop.UDisks2.Error.DeviceBusy", "busy");
        } else if (message.member() == u"ResolveDevice") {
            reply = message.createReply(QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(resolved)}));
        } else if (message.member() == u"Get") {
            const QString key = object + u' ' + message.arguments().value(1).toString();
            reply = properties.contains(key)
                        ? message.createReply(QVariant::fromValue(QDBusVariant(properties.value(key))))
                        : message.createErrorReply("org.freedesktop.DBus.Error.InvalidArgs", "no such property");
        } else {
            reply = message.createReply();
        }
        connection.send(reply);
        return true;
    }
};

} // namespace

// Runs against a system bus of its own (dbus-daemon, and udevd and udisksd
// for the real eject, started by the test), found through DBUS_SYSTEM_BUS_ADDRESS.
class TestUdisks2 : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    testsupport::SystemDaemons m_daemons;
    QString m_address;   // of the private bus, empty when it did not start

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // udevd and udisksd, when started, work in the test's own mount namespace.
        m_daemons.enterPrivateMountNamespace();
        if (m_daemons.startBus().isEmpty())
            m_address = m_daemons.busAddress();
    }

    // The address is read at each call: a bus that was down at the first call
    // is found once it is up.
    void unreachableWithoutBusOrService()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + testsupport::socketPath("nobody-listens")));
        UDisks2Outcome outcome = udisks2UnmountAndEject("/dev/loop0", 5s);
        QVERIFY(!outcome.ejected && !outcome.reachable && !outcome.attempted && !outcome.error.isEmpty());

        if (m_address.isEmpty())
            QSKIP("no private bus: dbus-daemon is missing or did not start");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        outcome = udisks2UnmountAndEject("/dev/loop0", 5s);
        QVERIFY(!outcome.ejected && !outcome.attempted);
        QVERIFY2(!outcome.reachable, qPrintable(outcome.error));
    }

    void blockObjectPaths_data()
    {
        QTest::addColumn<QString>("kernelName");
        QTest::addColumn<QString>("object");
        QTest::newRow("partition") << "sdb1" << "sdb1";
        QTest::newRow("device-mapper") << "dm-0" << "dm_2d0";
        QTest::newRow("nvme") << "nvme0n1p2" << "nvme0n1p2";
        QTest::newRow("underscore and dot") << "a_b.c" << "a_5fb_2ec";
    }

    // The objects of the encrypted container and of the disk beneath a dm volume, as UDisks2 names them.
    void blockObjectPaths()
    {
        QFETCH(QString, kernelName);
        QFETCH(QString, object);
        QCOMPARE(udisks2BlockObjectPath(kernelName), "/org/freedesktop/UDisks2/block_devices/" + object);
    }

    void encryptedVolume_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("error");
        const QStringList locked = {"Manager ResolveDevice", "block_devices/dm_2d0 Unmount", "block_devices/sdb1 Lock"};
        QTest::newRow("locked, the disk beneath powered off")
            << QString() << locked + QStringList{"block_devices/sdb Get BackingFile", "block_devices/sdb Get Drive",
                                                 "drives/Stick Get CanPowerOff", "drives/Stick PowerOff"}
            << QString();
        // An open container keeps the disk busy: nothing is powered off, the unmounted volume counts as ejected.
        QTest::newRow("lock refused") << "block_devices/sdb1 Lock" << locked << "Lock";
    }

    // The D-Bus eject of a LUKS volume (dm-0 over sdb1 of disk sdb) against a
    // fake UDisks2 on the private bus. This kernel has no device-mapper, so the
    // real daemon cannot be shown an opened container here.
    void encryptedVolume()
    {
        QFETCH(QString, failing);
        QFETCH(QStringList, calls);
        QFETCH(QString, error);
        if (m_address.isEmpty())
            QSKIP("no private bus: dbus-daemon is missing or did not start");
        const QString name = QStringLiteral("fake-udisks-%1").arg(QTest::currentDataTag());
        FakeUdisks fake;
        fake.resolved = "/org/freedesktop/UDisks2/block_devices/dm_2d0";
        fake.properties = {{"block_devices/sdb Drive", QVariant::fromValue(QDBusObjectPath("/org/freedesktop/UDisks2/drives/Stick"))},
                           {"drives/Stick CanPowerOff", true}};
        fake.failing = failing;
        {
            QDBusConnection service = QDBusConnection::connectToBus(m_address, name);
            QVERIFY(service.isConnected());
            QVERIFY(service.registerVirtualObject("/org/freedesktop/UDisks2", &fake, QDBusConnection::SubPath));
            QVERIFY(service.registerService(kService));
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());

            // The fake answers on this thread's event loop: the eject runs on another.
            UDisks2Outcome outcome;
            std::atomic<bool> done{false};
            std::thread eject([&] {
                outcome = udisks2UnmountAndEject(
                    UDisks2Volume{.devNode = "/dev/dm-0", .cryptoBacking = "sdb1", .disk = "sdb"}, 10s);
                done = true;
            });
            QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
            eject.join();
            service.unregisterService(kService);
            service.unregisterObject("/org/freedesktop/UDisks2", QDBusConnection::UnregisterTree);
            QCOMPARE(fake.calls, calls);
            QVERIFY(outcome.ejected && outcome.attempted && outcome.reachable);
            QVERIFY2(error.isEmpty() ? outcome.error.isEmpty() : outcome.error.contains(error), qPrintable(outcome.error));
        }
        QDBusConnection::disconnectFromBus(name);
    }

    // A bus that accepts and never answers is not reached, within the
    // connection's limit and not the whole eject's.
    void silentBusIsNotReached()
    {
        testsupport::SilentBus silent;
        QVERIFY(silent.isListening());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", silent.address().toUtf8());
        auto outcome = std::make_shared<UDisks2Outcome>();
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(testsupport::finishesWithin([outcome] { *outcome = udisks2UnmountAndEject("/dev/loop0", 60s); }, 15s),
                 "the eject hung on a bus that never answers");
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!outcome->ejected && !outcome->reachable && !outcome->attempted);
        QVERIFY2(outcome->error.contains("did not answer"), qPrintable(outcome->error));

        // QtDBus is not left stuck: a bus that answers is still reached.
        if (m_address.isEmpty())
            QSKIP("no private bus: dbus-daemon is missing or did not start");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        QVERIFY(testsupport::finishesWithin([outcome] { *outcome = udisks2UnmountAndEject("/dev/loop0", 5s); }, 15s));
        QVERIFY2(outcome->error.contains("ServiceUnknown"), qPrintable(outcome->error));
    }

    void unmountsAndDeletesALoopDevice()
    {
        if (m_address.isEmpty())
            QSKIP("no private bus: dbus-daemon is missing or did not start");
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        // udisksd learns of devices from udevd's database: udevd first, so it sees the loop device come.
        if (const QString why = m_daemons.startUdevd(); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 16, "UDISKS");
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const auto point = loop ? fx.mountExt4(*loop, fx.mountRoot() + "/volume") : std::nullopt;
        QVERIFY2(point, qPrintable(fx.lastError()));
        QVERIFY(testsupport::SystemDaemons::settleUdev().isEmpty());
        if (const QString why = m_daemons.startUdisksd(); !why.isEmpty())
            QSKIP(qPrintable(why));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());

        // A device UDisks2 does not know is a plain failure that touches
        // nothing; no unmount was asked for, so the eject goes on without it.
        const UDisks2Outcome unknown = udisks2UnmountAndEject("/dev/no-such-device", 10s);
        QVERIFY2(!unknown.ejected && unknown.reachable && !unknown.attempted && !unknown.error.isEmpty(),
                 qPrintable(unknown.error));

        const UDisks2Outcome outcome = udisks2UnmountAndEject(*loop, 25s);
        QVERIFY2(outcome.ejected && outcome.attempted && outcome.error.isEmpty(), qPrintable(outcome.error));
        QVERIFY(!MountFixture::isMounted(*point));
        QVERIFY(!QFileInfo::exists(QString("/sys/block/%1/loop/backing_file").arg(QFileInfo(*loop).fileName())));
    }
};

SWEEPBROOK_TEST_MAIN(TestUdisks2)
#include "test_udisks2.moc"
