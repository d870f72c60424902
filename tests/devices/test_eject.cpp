#include "TestMain.h"

#include "platform/ProcessRunner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"
#include "SilentBus.h"
#include "StdoutCapture.h"
#include "ToolRun.h"

using testsupport::FakeMachine;
using testsupport::kUsbPath;
using testsupport::writeFile;
using namespace std::chrono_literals;

namespace {

const QByteArray kHeader = "COMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n";

struct Outcome
{
    int deliveries = 0;
    bool deliveredAtOnce = false;   // the completion ran inside ejectDevice()
    bool ejected = false;
    bool settled = false;   // the eject finished within the wait
    QList<BlockingProcess> blocking;
    QString reason;
    QStringList log;   // what the eject printed
};

// One eject against stub tools: their scripts (empty: not installed) and what must come of it.
struct Chain
{
    QString target{};   // empty: the stick sdz1
    QByteArray lsof = "printf '" + kHeader + "'; exit 1";   // nothing open
    QByteArray udisksctl = "exit 0";
    QByteArray umount = "exit 0";
    QByteArray cryptsetup{};   // empty: not installed
    bool ejected = false;
    QList<qint64> blocking{};
    QStringList udisksctlCalls{};
    QStringList umountCalls{};
    QStringList cryptsetupCalls{};
    QString reason{};   // the failure's reason as the window gets it
    QString logged{};   // a line the eject must print
};

QList<qint64> pidsOf(const QList<BlockingProcess> &list)
{
    QList<qint64> pids;
    for (const BlockingProcess &p : list)
        pids << p.pid;
    return pids;
}

} // namespace

Q_DECLARE_METATYPE(Chain)

// The eject's steps run against stub tools that record how they were called;
// the last two cases use real tools on real loop-mounted volumes.
class TestEject : public QObject
{
    Q_OBJECT

    // A USB stick sdz1 (disk sdz), a loop device loop3 and, on a second USB disk sdy,
    // a LUKS container on sdy1 opened as dm-0 ("vault") and an LVM volume dm-1 on
    // sdy2, all "mounted".
    FakeMachine m_machine;
    QString m_stickPath;
    QString m_loopPath;
    QString m_vaultPath;
    QString m_lvmPath;
    QTemporaryDir m_dir;

    QString log() const { return m_dir.path() + "/calls.log"; }
    QString missing() const { return m_dir.path() + "/no-such-tool"; }

    // An executable stub that appends its name and bracketed arguments to the log, then runs `body`.
    QString stub(const QString &name, const QByteArray &body)
    {
        const QString path = m_dir.path() + "/bin/" + name;
        writeFile(path, "#!/bin/sh\n{ printf '%s' '" + name.toUtf8() + "'; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; "
                        "echo; } >> '" + log().toUtf8() + "'\n" + body + "\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    // The logged calls of `tool`, or of every stub.
    QStringList calls(const QString &tool = "[^ ]+") const
    {
        QFile file(log());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n').filter(QRegularExpression("^" + tool + "( |$)"));
    }

    static LocalUSBDevice device(const QString &path, const QString &kernelName = {})
    {
        LocalUSBDevice d;
        d.path = path;
        d.id = kernelName.isEmpty() ? path : path + u'|' + kernelName;
        d.name = QFileInfo(path).fileName();
        return d;
    }

    Outcome eject(const USBDeviceManager::Environment &env, const LocalUSBDevice &target)
    {
        Outcome out;
        testsupport::ManagerRig rig;
        rig.startManager(env);
        testsupport::StdoutCapture capture;
        bool inCall = true;
        rig.manager->ejectDevice(target, [&](bool ejected, const QList<BlockingProcess> &blocking,
                                             const QString &reason) {
            ++out.deliveries;
            out.deliveredAtOnce = inCall;
            out.ejected = ejected;
            out.blocking = blocking;
            out.reason = reason;
        });
        inCall = false;
        out.settled = rig.scheduler.settle(120s);
        out.log = capture.lines();
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_stickPath = m_machine.mountPoint("STICK");
        m_machine.addStick("8:209", "sdz1", m_stickPath, "STICK", "");
        QDir().mkpath(m_machine.sys() + "/devices/virtual/block/loop3");
        QFile::link("../../devices/virtual/block/loop3", m_machine.sys() + "/dev/block/7:3");
        m_loopPath = m_machine.mountPoint("IMAGE");
        m_machine.mount("7:3", m_loopPath, "ext4", "/dev/loop3");
        // What the eject reads to find a partition's disk.
        QDir().mkpath(m_machine.sys() + "/class/block");
        QFile::link(QString("../../devices/%1/block/sdz/sdz1").arg(kUsbPath), m_machine.sys() + "/class/block/sdz1");
        QFile::link("../../devices/virtual/block/loop3", m_machine.sys() + "/class/block/loop3");
        // This kernel has no device-mapper: a real LUKS stick would be opened with
        // cryptsetup and ejected here through udisksctl and umount. The fake sysfs
        // stands in for it.
        const QByteArray usb = "E:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_MODEL=Cruzer\n";
        m_machine.addPartition("8:225", testsupport::kUsbPath2, "sdy", "sdy1", true, usb + "E:ID_FS_TYPE=crypto_LUKS\n");
        m_machine.addPartition("8:226", testsupport::kUsbPath2, "sdy", "sdy2", true, usb + "E:ID_FS_TYPE=LVM2_member\n");
        m_machine.addMapper("253:0", "dm-0", {"sdy1"}, "CRYPT-LUKS2-0a1b2c3d-vault",
                            "E:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=VAULT\n", "vault");
        m_machine.addMapper("253:1", "dm-1", {"sdy2"}, "LVM-abcdefgh", "E:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=LVM\n",
                            "vg-lv");
        m_vaultPath = m_machine.mountPoint("VAULT");
        m_machine.mount("253:0", m_vaultPath, "ext4", "/dev/mapper/vault");
        m_lvmPath = m_machine.mountPoint("LVM");
        m_machine.mount("253:1", m_lvmPath, "ext4", "/dev/mapper/vg-lv");
    }

    void init() { QFile::remove(log()); }

    void lsofListIsParsed_data()
    {
        QTest::addColumn<QByteArray>("lsof");
        QTest::addColumn<QStringList>("holders");   // pid name/command

        QTest::newRow("header only") << QByteArray("printf '" + kHeader + "'") << QStringList();
        QTest::newRow("nothing at all") << QByteArray("exit 1") << QStringList();
        // lsof exits 1 on Linux even when it listed a holder: the holder still counts.
        QTest::newRow("holder with exit 1")
            << QByteArray("printf '" + kHeader + "bash      111 root  cwd    DIR    7,3     1024    2 /m\n'; exit 1")
            << QStringList{"111 realname/bash"};
        QTest::newRow("duplicates and junk")
            << QByteArray("printf '" + kHeader
                          + "vim       222 root  cwd    DIR    7,3     1024    2 /m\n"
                            "bash      111 root  cwd    DIR    7,3     1024    2 /m\n"
                            "vim       222 root    3u   REG    7,3     4096   12 /m/a\n"
                            "\n"
                            "loner\n"
                            "odd       12x root  cwd    DIR    7,3     1024    2 /m\n"
                            "huge      99999999999999999999 root cwd DIR 7,3 1 2 /m\n"
                            "signed    +333 root  cwd    DIR    7,3     1024    2 /m\n"
                            "bash      111 root    4r   REG    7,3     4096   13 /m/b\n'")
            << QStringList{"222 vim/vim", "111 realname/bash", "333 signed/signed"};
    }

    // Parsing of lsof's listing, and names from ps with lsof's COMMAND as fallback.
    void lsofListIsParsed()
    {
        QFETCH(QByteArray, lsof);
        QFETCH(QStringList, holders);
        USBDeviceManager::Environment env = m_machine.environment();
        env.lsof = stub("lsof", lsof);
        // ps knows 111 (with padding to trim) and fails for every other ID, as for a process that has ended.
        env.ps = stub("ps", "[ \"$2\" = 111 ] && { echo '  realname  '; exit 0; }; exit 1");
        testsupport::ManagerRig rig;
        rig.startManager(env);
        const QList<BlockingProcess> found = rig.manager->findProcessesUsingDevice(device(m_stickPath));
        QStringList seen;
        for (const BlockingProcess &p : found)
            seen << QString("%1 %2/%3").arg(p.pid).arg(p.name, p.command);
        QCOMPARE(seen, holders);
        // The mount point itself is named: lsof then covers its whole file system without walking it.
        QCOMPARE(calls("lsof"), QStringList{"lsof [-w] [--] [" + m_stickPath + "]"});
        QVERIFY(rig.scheduler.settle());
    }

    void ejectChain_data()
    {
        QTest::addColumn<Chain>("chain");
        const QString unmountSdz = "udisksctl [unmount] [-b] [/dev/sdz1] [--no-user-interaction]";
        const QString powerOff = "udisksctl [power-off] [-b] [/dev/sdz] [--no-user-interaction]";
        const QStringList umountStick{"umount [-d] [--] [" + m_stickPath + "]"};
        const auto row = [](const char *name, const Chain &chain) { QTest::newRow(name) << chain; };

        row("holders refuse the eject",
            {.lsof = "printf '" + kHeader + "cp 400 u 3r REG 8,1 1 2 /m/x\nvlc 500 u 4r REG 8,1 1 3 /m/y\n'",
             .ejected = false, .blocking = {400, 500}});
        // Once udisksctl has run, its verdict is final: umount is never tried after it.
        row("partition: unmount, then power off its disk", {.ejected = true, .udisksctlCalls = {unmountSdz, powerOff}});
        row("loop: unmount, then delete the loop",
            {.target = m_loopPath, .ejected = true,
             .udisksctlCalls = {"udisksctl [unmount] [-b] [/dev/loop3] [--no-user-interaction]",
                                "udisksctl [loop-delete] [-b] [/dev/loop3] [--no-user-interaction]"}});
        row("udisksctl unmount fails",
            {.udisksctl = "echo 'target is busy' >&2; exit 1", .ejected = false, .udisksctlCalls = {unmountSdz},
             .reason = "target is busy", .logged = "udisksctl错误: target is busy"});
        // Unmounted is safe to remove: a failed power-off does not undo the eject (as over D-Bus).
        row("udisksctl power-off fails",
            {.udisksctl = "[ \"$1\" = unmount ] || { echo 'no power' >&2; exit 1; }", .ejected = true,
             .udisksctlCalls = {unmountSdz, powerOff}, .logged = "udisksctl错误: no power"});
        // Stopped at its time limit before the unmount answered: the service
        // never answered, so umount goes on.
        row("udisksctl hangs", {.udisksctl = "exec sleep 1000", .ejected = true, .udisksctlCalls = {unmountSdz},
                                .umountCalls = umountStick});
        // udisksctl ran but reached no daemon: that is no verdict, umount goes on.
        for (const char *words : {"Error connecting to the udisks daemon: Could not connect: No such file or directory",
                                  "Error connecting to a D-Bus bus: Could not connect"}) {
            QTest::addRow("udisksctl: %s", words)
                << Chain{.udisksctl = QByteArray("echo '") + words + "' >&2; exit 1", .ejected = true,
                         .udisksctlCalls = {unmountSdz}, .umountCalls = umountStick};
        }
        row("udisksctl without daemon, umount fails",
            {.udisksctl = "echo 'Error connecting to the udisks daemon: Could not connect' >&2; exit 1",
             .umount = "echo 'umount: /m: target is busy.' >&2; exit 32", .ejected = false,
             .udisksctlCalls = {unmountSdz}, .umountCalls = umountStick, .reason = "umount: /m: target is busy.",
             .logged = "umount错误: umount: /m: target is busy."});
        // A volume on a device-mapper device: the encrypted container is locked, the disk beneath powered off.
        const QString unmountVault = "udisksctl [unmount] [-b] [/dev/dm-0] [--no-user-interaction]";
        const QString lockVault = "udisksctl [lock] [-b] [/dev/sdy1] [--no-user-interaction]";
        const QString powerOffSdy = "udisksctl [power-off] [-b] [/dev/sdy] [--no-user-interaction]";
        const QStringList umountVault{"umount [-d] [--] [" + m_vaultPath + "]"};
        const QStringList closeVault{"cryptsetup [close] [--] [vault]"};
        const QByteArray noDaemon = "echo 'Error connecting to the udisks daemon: Could not connect' >&2; exit 1";
        row("encrypted: unmount, lock, power off the disk beneath",
            {.target = m_vaultPath, .cryptsetup = "exit 0", .ejected = true,
             .udisksctlCalls = {unmountVault, lockVault, powerOffSdy}});
        // An open container keeps the disk busy: it is not powered off, but the volume is safe to remove.
        row("encrypted: lock fails",
            {.target = m_vaultPath, .udisksctl = "[ \"$1\" = unmount ] || { echo 'device busy' >&2; exit 1; }",
             .ejected = true, .udisksctlCalls = {unmountVault, lockVault}, .logged = "udisksctl错误: device busy"});
        row("LVM: unmount, power off the disk beneath",
            {.target = m_lvmPath, .cryptsetup = "exit 0", .ejected = true,
             .udisksctlCalls = {"udisksctl [unmount] [-b] [/dev/dm-1] [--no-user-interaction]", powerOffSdy}});
        row("encrypted, no daemon: umount, then cryptsetup closes the container",
            {.target = m_vaultPath, .udisksctl = noDaemon, .cryptsetup = "exit 0", .ejected = true,
             .udisksctlCalls = {unmountVault}, .umountCalls = umountVault, .cryptsetupCalls = closeVault});
        row("encrypted, no daemon, cryptsetup fails",
            {.target = m_vaultPath, .udisksctl = noDaemon, .cryptsetup = "echo 'Device vault is still in use.' >&2; exit 5",
             .ejected = true, .udisksctlCalls = {unmountVault}, .umountCalls = umountVault,
             .cryptsetupCalls = closeVault, .logged = "cryptsetup错误: Device vault is still in use."});
        row("encrypted, umount fails: the container stays open",
            {.target = m_vaultPath, .udisksctl = {}, .umount = "echo 'target is busy' >&2; exit 32",
             .cryptsetup = "exit 0", .ejected = false, .umountCalls = umountVault, .reason = "target is busy"});
        row("LVM, no daemon: nothing to close",
            {.target = m_lvmPath, .udisksctl = {}, .cryptsetup = "exit 0", .ejected = true,
             .umountCalls = {"umount [-d] [--] [" + m_lvmPath + "]"}});
        row("udisksctl missing, umount succeeds", {.udisksctl = {}, .ejected = true, .umountCalls = umountStick});
        row("udisksctl missing, umount fails silently",
            {.udisksctl = {}, .umount = "exit 32", .ejected = false, .umountCalls = umountStick,
             .reason = "umount: exit status 32", .logged = "umount弹出失败，状态码: 32"});
        // A path with a space and a leading dash reaches umount as one argument after "--".
        const QString odd = m_dir.path() + "/-not mounted";
        row("no block device known", {.target = odd, .ejected = true, .umountCalls = {"umount [-d] [--] [" + odd + "]"}});
        // A hanging lsof is stopped at its limit and counts as "nothing open".
        row("lsof hangs", {.lsof = "exec sleep 1000", .udisksctl = {}, .ejected = true, .umountCalls = umountStick});
        // When nothing can unmount, the process check runs again and its answer comes back.
        const QByteArray ranOnce = QFile::encodeName(m_dir.path() + "/lsof-ran-once");
        row("nothing can unmount",
            {.lsof = "if [ -e '" + ranOnce + "' ]; then printf '" + kHeader + "tail 600 u 3r REG 8,1 1 2 /m/x\n'; "
                     "else : > '" + ranOnce + "'; printf '" + kHeader + "'; fi; exit 1",
             .udisksctl = {}, .umount = {}, .ejected = false, .blocking = {600}, .reason = "umount: "});
        row("nothing can unmount, nothing holds it",
            {.udisksctl = {}, .umount = {}, .ejected = false, .reason = "umount: "});
    }

    void ejectChain()
    {
        QFETCH(Chain, chain);
        QFile::remove(m_dir.path() + "/lsof-ran-once");
        USBDeviceManager::Environment env = m_machine.environment();
        env.lsof = stub("lsof", chain.lsof);
        env.ps = stub("ps", "exit 1");   // every holder named by lsof's COMMAND
        env.udisksctl = chain.udisksctl.isEmpty() ? missing() : stub("udisksctl", chain.udisksctl);
        env.umount = chain.umount.isEmpty() ? missing() : stub("umount", chain.umount);
        env.cryptsetup = chain.cryptsetup.isEmpty() ? missing() : stub("cryptsetup", chain.cryptsetup);
        // Short limits only where a tool hangs: a slow machine must not stop a working stub.
        env.lsofTimeout = chain.lsof.contains("sleep") ? 1s : 10s;
        env.ejectToolTimeout = chain.udisksctl.contains("sleep") ? 1s : 10s;
        const QString target = chain.target.isEmpty() ? m_stickPath : chain.target;
        const QString kernelName = target == m_stickPath ? "sdz1"
                                   : target == m_loopPath ? "loop3"
                                   : target == m_vaultPath ? "dm-0"
                                   : target == m_lvmPath ? "dm-1"
                                                         : "";
        const Outcome out = eject(env, device(target, kernelName));
        QVERIFY(out.settled);
        QCOMPARE(out.deliveries, 1);
        QVERIFY(!out.deliveredAtOnce);
        QCOMPARE(out.ejected, chain.ejected);
        QCOMPARE(pidsOf(out.blocking), chain.blocking);
        QCOMPARE(calls("udisksctl"), chain.udisksctlCalls);
        QCOMPARE(calls("umount"), chain.umountCalls);
        QCOMPARE(calls("cryptsetup"), chain.cryptsetupCalls);
        QVERIFY2(chain.reason.isEmpty() ? out.reason.isEmpty() : out.reason.startsWith(chain.reason),
                 qPrintable(out.reason));
        QVERIFY2(chain.logged.isEmpty() || out.log.contains(chain.logged), qPrintable(out.log.join(u'\n')));
    }

    // An eject caught in a system bus that accepts and never answers: the
    // D-Bus step gives up within its connection limit and the eject goes on,
    // so the manager (quitting) is destroyed within seconds.
    void quitDuringEjectOnSilentBus()
    {
        testsupport::SilentBus silent;
        QVERIFY(silent.isListening());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", silent.address().toUtf8());
        USBDeviceManager::Environment env = m_machine.environment();
        env.useUDisks2 = true;
        env.lsof = stub("lsof", "printf '" + kHeader + "'; exit 1");
        env.ps = stub("ps", "exit 1");
        env.udisksctl = missing();
        env.umount = stub("umount", "exit 0");
        testsupport::ManagerRig rig;
        rig.startManager(env);
        QVERIFY(rig.scheduler.settle(30s));
        testsupport::StdoutCapture capture;
        bool delivered = false;
        rig.manager->ejectDevice(device(m_stickPath, "sdz1"),
                                 [&](bool, const QList<BlockingProcess> &, const QString &) { delivered = true; });
        QTest::qWait(200);   // the eject is in the bus handshake by now

        // A hang here would stop the run: a watchdog ends it with a failure instead.
        std::atomic<bool> destroyed{false};
        std::thread watchdog([&destroyed] {
            for (int i = 0; i < 300 && !destroyed; ++i)
                std::this_thread::sleep_for(100ms);
            if (!destroyed) {
                std::fputs("FAIL!  : the manager's destructor waits on a bus that never answers\n", stderr);
                std::fflush(stderr);
                std::_Exit(1);
            }
        });
        QElapsedTimer clock;
        clock.start();
        rig.manager.reset();
        destroyed = true;
        watchdog.join();
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!delivered);   // nobody is left to tell
        QVERIFY2(capture.lines().filter("UDisks2弹出设备失败").join(u'\n').contains("did not answer"),
                 qPrintable(capture.lines().join(u'\n')));
        QCOMPARE(calls("umount").size(), 1);   // the eject went on past the bus
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void realVolume_data()
    {
        QTest::addColumn<QString>("udisksctl");   // "real", "missing", or "silent" (real, on a bus that never answers)
        QTest::addColumn<bool>("losetup");        // the loop set up first (kept after unmount unless detached)
        QTest::addColumn<bool>("held");           // a process holds a file on the volume
        QTest::addColumn<bool>("asNobody");       // umount runs as an ordinary user
        QTest::addColumn<bool>("ejected");

        // No UDisks2 daemon answers: the D-Bus step and udisksctl pass on to umount.
        QTest::newRow("daemon unreachable, real udisksctl") << "real" << true << false << false << true;
        QTest::newRow("udisksctl missing") << "missing" << true << false << false << true;
        // A bus that takes connections and never answers: udisksctl times out without reaching UDisks2.
        QTest::newRow("silent bus, real udisksctl") << "silent" << true << false << false << true;
        QTest::newRow("udisksctl missing, loop set up by mount") << "missing" << false << false << false << true;
        QTest::newRow("a process holds a file") << "real" << true << true << false << false;
        QTest::newRow("ordinary user, umount refused") << "missing" << true << false << true << false;
    }

    // Real tools on an ext4 loop volume: the eject ends unmounted with its loop
    // device detached, or refused with the holders or the system's reason.
    void realVolume()
    {
        QFETCH(QString, udisksctl);
        QFETCH(bool, losetup);
        QFETCH(bool, held);
        QFETCH(bool, asNobody);
        QFETCH(bool, ejected);
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (held && findExecutable("lsof").isEmpty())
            QSKIP("lsof is not installed");
        if (asNobody && (::geteuid() != 0 || findExecutable("setpriv").isEmpty()))
            QSKIP("running umount as another account needs root and setpriv");
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.useUDisks2 = true;   // the real D-Bus step, which finds no daemon
        std::optional<testsupport::SilentBus> silent;
        const QByteArray busBefore = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        const auto restoreBus = qScopeGuard([&] { qputenv("DBUS_SYSTEM_BUS_ADDRESS", busBefore); });
        if (udisksctl == "silent") {
            silent.emplace();
            QVERIFY(silent->isListening());
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", silent->address().toUtf8());
            env.udisksctl = findExecutable("udisksctl");
            env.ejectToolTimeout = 1500ms;
            if (env.udisksctl.isEmpty())
                QSKIP("udisksctl is not installed");
        } else if (udisksctl == "real") {
            env.udisksctl = findExecutable("udisksctl");
            if (env.udisksctl.isEmpty())
                QSKIP("udisksctl is not installed");
            ProcessRequest status;
            status.program = env.udisksctl;
            status.arguments = {"status"};
            status.timeout = 20s;
            if (runProcess(status).succeeded())
                QSKIP("a UDisks2 daemon answers on this machine's system bus");
        } else {
            env.udisksctl = missing();
        }
        if (asNobody) {
            const QStringList nobody = testsupport::asNobody();
            env.umount = stub("umount", "exec '" + nobody.join("' '").toUtf8() + "' umount \"$@\"");
        }

        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 16, "REAL");
        const auto loop = image && losetup ? fx.attachLoop(*image) : image;
        const auto point = loop ? fx.mountExt4(*loop, fx.mountRoot() + "/real volume") : std::nullopt;
        if (!point)
            QSKIP(qPrintable(fx.lastError()));
        if (asNobody) {
            // As on a desktop, the user can reach the mount point.
            for (const QString &dir : {QFileInfo(fx.mountRoot()).path(), fx.mountRoot()})
                QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther | QFile::ReadOther));
        }
        QString source;
        for (const MountEntry &m : readMountInfo()) {
            if (m.mountPoint == *point)
                source = m.source;
        }
        QVERIFY2(source.startsWith("/dev/loop"), qPrintable(source));
        const QString backing = "/sys/block/" + QFileInfo(source).fileName() + "/loop/backing_file";
        QVERIFY(QFileInfo::exists(backing));

        QProcess holder;   // destroyed (killed) before the fixture unmounts
        if (held) {
            writeFile(*point + "/song.txt", "la la la\n");
            holder.setStandardInputFile(*point + "/song.txt");
            holder.start("sleep", {"1000"});
            QVERIFY(holder.waitForStarted());
        }
        const qint64 holderPid = holder.processId();
        const Outcome out = eject(env, device(*point, QFileInfo(source).fileName()));
        holder.kill();
        holder.waitForFinished();
        const QString printed = out.log.mid(std::max<qsizetype>(0, out.log.size() - 8)).join(u'\n');   // the eject's end

        QVERIFY(out.settled);
        QCOMPARE(out.ejected, ejected);
        QCOMPARE(MountFixture::isMounted(*point), !ejected);
        if (ejected) {
            QVERIFY2(out.reason.isEmpty() && out.blocking.isEmpty(), qPrintable(out.reason));
            QVERIFY2(out.log.contains("使用umount成功弹出设备"), qPrintable(printed));
            if (udisksctl == "real")
                QVERIFY2(out.log.contains("udisksctl无法连接UDisks2服务，尝试下一种方法"), qPrintable(printed));
            // The kernel frees an auto-clearing loop device (mount -o loop) a moment after its last close; on a busy machine that moment can pass 5 s.
            QTRY_VERIFY2_WITH_TIMEOUT(!QFileInfo::exists(backing), "the loop device is still attached", 20000);
        } else if (held) {
            QCOMPARE(pidsOf(out.blocking), QList<qint64>{holderPid});
            QCOMPARE(out.blocking.first().name, QString("sleep"));
            QVERIFY(out.reason.isEmpty());
            QVERIFY(calls().isEmpty());   // nothing tried to unmount
        } else {
            // util-linux refuses with exit 32 and says why; both are logged and the reason returned.
            QVERIFY(out.blocking.isEmpty());
            QVERIFY2(!out.reason.isEmpty() && !out.reason.startsWith("umount: exit status"), qPrintable(out.reason));
            QVERIFY2(out.log.contains("umount弹出失败，状态码: 32"), qPrintable(printed));
            QVERIFY2(out.log.contains("umount错误: " + out.reason), qPrintable(printed));
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestEject)
#include "test_eject.moc"
