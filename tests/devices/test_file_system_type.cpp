// The file-system type the scan and the clean go by, looked up on real FAT32,
// exFAT and ext4 volumes by root and by an ordinary user, who may not read
// the block devices behind them.
#include "TestMain.h"

#include "platform/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "MountFixture.h"
#include "SystemDaemons.h"

class TestFileSystemType : public QObject
{
    Q_OBJECT

    testsupport::SystemDaemons m_daemons;   // a udevd of the test's own (none runs on the test machines)
    QString m_noNamespace;                  // why this test has no mount namespace of its own

private slots:
    void initTestCase()
    {
        // Mounts (ours and the tmpfs under our udevd) stay in a mount namespace
        // of this test's own.
        m_noNamespace = m_daemons.enterPrivateMountNamespace();
    }

    void typeOfRealVolumes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("logged");
        QTest::newRow("FAT32 through fusefat") << int(MountFixture::Kind::Fat32) << "vfat, 是否为exFAT/FAT: true";
        QTest::newRow("exFAT through exfat-fuse") << int(MountFixture::Kind::ExFat) << "exfat, 是否为exFAT/FAT: true";
        QTest::newRow("ext4 by the kernel") << int(MountFixture::Kind::Ext4) << "ext4, 是否为exFAT/FAT: false";
    }

    // Root and an account with no access to the devices (and no groups, so
    // not "disk" either) find the same type.
    void typeOfRealVolumes()
    {
        QFETCH(int, kind);
        QFETCH(QString, logged);
        const auto fsKind = MountFixture::Kind(kind);
        if (const QString why = MountFixture::whyUnavailable(fsKind); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!m_noNamespace.isEmpty())
            QSKIP(qPrintable(m_noNamespace));
        const QString setpriv = findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv is not installed");

        MountFixture fx;
        const auto image = fx.makeImage(fsKind, 64, QStringLiteral("STICK"));
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const QString point = fx.mountRoot() + QStringLiteral("/MY STICK");
        const auto mounted = !loop                                ? std::nullopt
                             : fsKind == MountFixture::Kind::Fat32 ? fx.mountFat(*loop, point)
                             : fsKind == MountFixture::Kind::ExFat ? fx.mountExfat(*loop, point)
                                                                   : fx.mountExt4(*loop, point);
        if (!mounted)
            QSKIP(qPrintable(fx.lastError()));

        // exfat-fuse's mount says only "fuseblk": its device's type is udev's to tell.
        QString noUdev;
        if (fsKind == MountFixture::Kind::ExFat)
            noUdev = m_daemons.recordFileSystem(*loop);

        for (const bool asRoot : {true, false}) {
            ProcessRequest request;
            request.program = asRoot ? QStringLiteral(SWEEPBROOK_FILE_SYSTEM_TYPE_PROBE) : setpriv;
            request.arguments = asRoot ? QStringList{*mounted}
                                       : QStringList{"--reuid=65534", "--regid=65534", "--clear-groups",
                                                     SWEEPBROOK_FILE_SYSTEM_TYPE_PROBE, *mounted};
            request.timeout = std::chrono::minutes(1);
            if (!asRoot && !noUdev.isEmpty())
                QSKIP(qPrintable("exFAT as an ordinary user needs udev's record of the device: " + noUdev));
            const ProcessResult probe = runProcess(request);
            const QStringList lines = QString::fromUtf8(probe.standardOutput).split(u'\n');
            const QString who = asRoot ? QStringLiteral("root: ") : QStringLiteral("uid 65534: ");
            QVERIFY2(probe.succeeded(), qPrintable(who + QString::fromUtf8(probe.standardOutput + probe.standardError)));
            QVERIFY2(lines.contains("设备文件系统类型: " + logged), qPrintable(who + lines.join(u'\n')));
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestFileSystemType)
#include "test_file_system_type.moc"
