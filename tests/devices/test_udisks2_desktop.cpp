// The device side on a desktop's own daemons: udevd, a system bus and udisksd
// started by the test. A stick set up and mounted through UDisks2 (as a file
// manager does) is listed by the real enumeration and ejected by the app's
// own eject, whose first step is UDisks2 over D-Bus.
#include "TestMain.h"

#include "devices/USBDeviceManager.h"
#include "platform/ProcessRunner.h"

#include <QRegularExpression>

#include "ManagerRig.h"
#include "MountFixture.h"
#include "StdoutCapture.h"
#include "SystemDaemons.h"

class TestUdisks2Desktop : public QObject
{
    Q_OBJECT

    testsupport::SystemDaemons m_daemons;
    QString m_noDaemons;   // why the daemons do not run here

private slots:
    void initTestCase()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            m_noDaemons = why;
        else
            m_noDaemons = m_daemons.startAll();
    }

    void listedAndEjectedThroughUDisks2()
    {
        if (!m_noDaemons.isEmpty())
            QSKIP(qPrintable(m_noDaemons));
        MountFixture fx;   // its folder only: the loop device and the mount are UDisks2's
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 32, QStringLiteral("DESK STICK"));
        QVERIFY2(image, qPrintable(fx.lastError()));

        const ProcessResult setUp = m_daemons.udisksctl({QStringLiteral("loop-setup"), QStringLiteral("-f"), *image});
        QVERIFY2(setUp.succeeded(), setUp.standardError.constData());
        const QString loop = QRegularExpression(QStringLiteral("as (/dev/loop\\d+)"))
                                 .match(QString::fromUtf8(setUp.standardOutput))
                                 .captured(1);
        QVERIFY2(!loop.isEmpty() && fx.holdsOurs(loop), setUp.standardOutput.constData());
        const auto detach = qScopeGuard([&] { fx.detachLoop(loop); });
        QVERIFY(testsupport::SystemDaemons::settleUdev().isEmpty());
        const ProcessResult mount = m_daemons.udisksctl({QStringLiteral("mount"), QStringLiteral("-b"), loop});
        QVERIFY2(mount.succeeded(), mount.standardError.constData());
        const QString point = QRegularExpression(QStringLiteral(" at (.+)$"))
                                  .match(QString::fromUtf8(mount.standardOutput).trimmed())
                                  .captured(1);
        QVERIFY2(MountFixture::isMounted(point), mount.standardOutput.constData());
        const auto unmount = qScopeGuard([&] {
            if (MountFixture::isMounted(point))
                m_daemons.udisksctl({QStringLiteral("unmount"), QStringLiteral("-b"), loop});
        });

        // The app as it runs: monitoring, UDisks2 and the udev database all on.
        testsupport::ManagerRig rig;
        rig.startManager(USBDeviceManager::Environment{});
        rig.settle();
        const QList<LocalUSBDevice> listed = rig.manager->connectedDevices();
        const auto it = std::find_if(listed.cbegin(), listed.cend(),
                                     [&](const LocalUSBDevice &d) { return d.path == point; });
        QVERIFY2(it != listed.cend(), qPrintable(point));
        QCOMPARE((QStringList{it->name, it->fileSystem, it->id}),
                 (QStringList{"DESK STICK", "EXT4", point + '|' + loop.mid(5)}));
        QVERIFY(it->isAccessible);

        testsupport::StdoutCapture capture;
        std::optional<bool> ejected;
        QString reason;
        rig.manager->ejectDevice(*it, [&](bool done, const QList<BlockingProcess> &, const QString &why) {
            ejected = done;
            reason = why;
        });
        QVERIFY(rig.scheduler.settle(std::chrono::seconds(60)));
        const QStringList lines = capture.lines();
        const QString ejectLog = lines.filter(QRegularExpression(QStringLiteral("弹出|UDisks2|udisksctl|umount"))).join(u'\n');
        QVERIFY2(ejected.value_or(false), qPrintable(reason + u'\n' + ejectLog));
        QVERIFY2(lines.contains(QStringLiteral("使用UDisks2成功弹出设备")), qPrintable(ejectLog));
        QVERIFY(!MountFixture::isMounted(point));
        // UDisks2 deletes the loop device as it powers it off; the kernel
        // frees it once the last holder lets go, a moment after the answer.
        // (Known by its image: a test alongside may be given the number.)
        QTRY_VERIFY2_WITH_TIMEOUT(!fx.holdsOurs(loop), "the loop device is still set up", 10000);
        rig.manager->refreshDevices();
        rig.settle();
        for (const LocalUSBDevice &d : rig.manager->connectedDevices())
            QVERIFY(d.path != point);
    }
};

SWEEPBROOK_TEST_MAIN(TestUdisks2Desktop)
#include "test_udisks2_desktop.moc"
