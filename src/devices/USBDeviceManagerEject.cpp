#include "devices/USBDeviceManager.h"

#include "platform/Log.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "platform/UDisks2.h"
#include "platform/Volumes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

#include <limits>

namespace {

using std::chrono::milliseconds;

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// A decimal process ID: an optional sign, then digits only, within 64 bits.
std::optional<qint64> parsePid(QStringView field)
{
    bool negative = false;
    if (!field.isEmpty() && (field.front() == u'+' || field.front() == u'-')) {
        negative = field.front() == u'-';
        field = field.mid(1);
    }
    if (field.isEmpty())
        return std::nullopt;
    // Accumulate towards the negative side, which has room for the minimum.
    qint64 value = 0;
    constexpr qint64 minimum = std::numeric_limits<qint64>::min();
    for (const QChar c : field) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c.unicode() - u'0';
        if (value < (minimum + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == minimum)
        return std::nullopt;
    return -value;
}

QString statusText(const ProcessResult &result)
{
    if (result.signal != 0)
        return QStringLiteral("signal %1").arg(result.signal);
    return QString::number(result.exitCode);
}

// The device to detach after the unmount: a partition's whole disk.
QString wholeDiskName(const QString &sysfsRoot, const QString &name)
{
    const QString dir = QFileInfo(sysfsRoot + QStringLiteral("/class/block/") + name).canonicalFilePath();
    if (!dir.isEmpty() && QFileInfo::exists(dir + QStringLiteral("/partition")))
        return QFileInfo(dir).dir().dirName();
    return name;
}

QString readSysfsLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

// What an eject works on beyond the mounted device: the disk to detach and,
// for a volume on an encrypted container, the container to lock.
struct EjectTarget
{
    QString volume;          // the mounted device: "sdb1", "dm-0"
    QString disk;            // the disk to power off: "sdb", also beneath a device-mapper device
    QString cryptoBacking;   // the block holding the encrypted container ("sdb1"); empty: none
    QString mapperName;      // the dm-crypt device's name for cryptsetup (/sys/block/dm-N/dm/name)
};

EjectTarget ejectTarget(const QString &sysfsRoot, const QString &volume, const std::optional<BlockDeviceInfo> &block)
{
    EjectTarget target{.volume = volume, .disk = wholeDiskName(sysfsRoot, volume), .cryptoBacking = {},
                       .mapperName = {}};
    if (!block || block->kernelName != volume || block->mapperChain.isEmpty())
        return target;
    if (!block->diskKernelName.isEmpty())
        target.disk = block->diskKernelName;
    target.cryptoBacking = block->cryptoBackingKernelName;
    if (target.cryptoBacking.isEmpty())
        return target;
    for (const QString &mapper : block->mapperChain) {
        const QString dm = sysfsRoot + QStringLiteral("/class/block/") + mapper + QStringLiteral("/dm/");
        if (isCryptoMapperUuid(readSysfsLine(dm + QStringLiteral("uuid")))) {
            target.mapperName = readSysfsLine(dm + QStringLiteral("name"));
            break;
        }
    }
    return target;
}

void logToolOutput(const QString &tool, const ProcessResult &result)
{
    if (const std::optional<QString> out = decodeUtf8(result.standardOutput))
        logLine(tool + QStringLiteral("输出: ") + out->trimmed());
    if (const std::optional<QString> err = decodeUtf8(result.standardError); err && !err->trimmed().isEmpty())
        logLine(tool + QStringLiteral("错误: ") + err->trimmed());
}

// What a failed tool said, for the user: its error output, else its output,
// else how it ended.
QString failureText(const QString &tool, const ProcessResult &result)
{
    if (result.timedOut)
        return tool + QStringLiteral(": timed out");
    for (const QByteArray &bytes : {result.standardError, result.standardOutput}) {
        const QString text = QString::fromUtf8(bytes).trimmed();
        if (!text.isEmpty())
            return text;
    }
    return tool + QStringLiteral(": exit status ") + statusText(result);
}

// udisksctl's words when it could not reach the daemon (or any bus at all).
bool udisksctlUnreachable(const ProcessResult &result)
{
    const QString text = QString::fromUtf8(result.standardError + result.standardOutput);
    return text.contains(u"Error connecting to") || text.contains(u"Could not connect");
}

// What one eject step came to. Only a step that reached its service (or a
// tool that really ran) gives the final answer; the others pass to the next.
struct StepResult
{
    bool reached = false;
    bool ejected = false;
    QString reason;   // why it failed, or why the service was not reached
};

// Unmounts with udisksctl, locks the encrypted container under the volume if
// there is one, then deletes the loop device or powers off the drive. One time
// limit covers the whole step, counted from the first start. Once the unmount
// succeeded the volume is safe to remove: a failed lock or detach is logged
// but the volume counts as ejected, as with UDisks2 over D-Bus.
StepResult ejectWithUdisksctl(const USBDeviceManager::Environment &env, const EjectTarget &target)
{
    const QString &disk = target.disk;
    QList<QStringList> steps = {
        {QStringLiteral("unmount"), QStringLiteral("-b"), QStringLiteral("/dev/") + target.volume,
         QStringLiteral("--no-user-interaction")},
    };
    if (!target.cryptoBacking.isEmpty())
        steps.append({QStringLiteral("lock"), QStringLiteral("-b"), QStringLiteral("/dev/") + target.cryptoBacking,
                      QStringLiteral("--no-user-interaction")});
    steps.append({disk.startsWith(u"loop") ? QStringLiteral("loop-delete") : QStringLiteral("power-off"),
                  QStringLiteral("-b"), QStringLiteral("/dev/") + disk, QStringLiteral("--no-user-interaction")});
    const QDeadlineTimer deadline(env.ejectToolTimeout.count());
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const bool unmounted = i > 0;
        if (deadline.hasExpired()) {
            logLine(QStringLiteral("udisksctl命令超时终止"));
            return {.reached = true, .ejected = unmounted, .reason = QStringLiteral("udisksctl: timed out")};
        }
        ProcessRequest request;
        request.program = env.udisksctl;
        request.arguments = steps.at(i);
        request.timeout = milliseconds(std::max<qint64>(deadline.remainingTime(), 1));
        request.killGrace = milliseconds(1000);
        const ProcessResult result = runProcess(request);
        if (!result.started) {
            logLine(QStringLiteral("启动udisksctl命令失败: ") + result.errorString);
            return {.reached = unmounted, .ejected = unmounted,
                    .reason = QStringLiteral("udisksctl: ") + result.errorString};
        }
        if (result.timedOut)
            logLine(QStringLiteral("udisksctl命令超时终止"));
        logToolOutput(QStringLiteral("udisksctl"), result);
        if (!result.succeeded()) {
            logLine(QStringLiteral("udisksctl弹出失败，状态码: ") + statusText(result));
            const QString reason = failureText(QStringLiteral("udisksctl"), result);
            if (unmounted) {
                logLine(QStringLiteral("udisksctl已卸载设备，分离失败不影响弹出"));
                return {.reached = true, .ejected = true, .reason = reason};
            }
            // Timed out before the unmount answered: the service never
            // answered (a bus that takes connections and says nothing), so it
            // was not reached either.
            if (result.timedOut || udisksctlUnreachable(result)) {
                logLine(QStringLiteral("udisksctl无法连接UDisks2服务，尝试下一种方法"));
                return {.reached = false, .ejected = false, .reason = reason};
            }
            return {.reached = true, .ejected = false, .reason = reason};
        }
    }
    logLine(QStringLiteral("使用udisksctl成功弹出设备"));
    return {.reached = true, .ejected = true, .reason = {}};
}

// Without UDisks2 the encrypted container is closed by its mapper name. The
// volume is already unmounted and safe to remove: a failure is only logged.
void closeCryptoMapper(const USBDeviceManager::Environment &env, const QString &mapperName)
{
    logLine(QStringLiteral("尝试使用cryptsetup关闭加密设备: ") + mapperName);
    ProcessRequest request;
    request.program = env.cryptsetup;
    request.arguments = {QStringLiteral("close"), QStringLiteral("--"), mapperName};
    request.timeout = milliseconds(10000);
    request.killGrace = milliseconds(1000);
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("启动cryptsetup命令失败: ") + result.errorString);
        return;
    }
    if (result.timedOut)
        logLine(QStringLiteral("cryptsetup命令超时终止"));
    if (!result.succeeded()) {
        logToolOutput(QStringLiteral("cryptsetup"), result);
        logLine(QStringLiteral("cryptsetup关闭加密设备失败，状态码: ") + statusText(result));
    }
}

} // namespace

void USBDeviceManager::ejectDevice(const LocalUSBDevice &device, EjectCompletion completion)
{
    logLine(QStringLiteral("开始尝试弹出设备: ") + device.name + QStringLiteral(", 路径: ") + device.path);
    // Tracked: the destructor waits for it, as it reads the manager throughout.
    runTracked([this, device, completion] { performEject(device, completion); });
}

void USBDeviceManager::performEject(const LocalUSBDevice &device, EjectCompletion completion)
{
    const auto deliver = [this, &completion, &device](bool ejected, const QList<BlockingProcess> &blocking,
                                                      QString reason) {
        // A step that gave up waiting (or failed on the way) may still have
        // unmounted the volume: what counts is whether it is mounted now.
        if (!ejected && blocking.isEmpty() && !mountFor(device.fsPath())) {
            logLine(QStringLiteral("设备已不再挂载，视为已弹出: ") + device.path + QStringLiteral(" (") + reason + u')');
            ejected = true;
            reason.clear();
        }
        m_scheduler.post(
            [completion, ejected, blocking, reason] {
                if (completion)
                    completion(ejected, blocking, reason);
            },
            this);
    };

    const QList<BlockingProcess> holders = findProcessesUsingDevice(device);
    if (!holders.isEmpty()) {
        logLine(QStringLiteral("检测到 %1 个进程正在使用设备:").arg(holders.size()));
        for (const BlockingProcess &process : holders)
            logLine(QStringLiteral("PID: %1, 名称: %2, 命令: %3").arg(process.pid).arg(process.name, process.command));
        deliver(false, holders, {});
        return;
    }

    // The mount is found by its path's bytes, which need not be UTF-8.
    std::optional<BlockDeviceInfo> block;
    if (const std::optional<MountEntry> mount = mountFor(device.fsPath()))
        block = m_probe.probeMount(*mount);
    const std::optional<QString> bsdName = block ? std::optional<QString>(block->kernelName) : getBSDName(device.path);
    const EjectTarget target = ejectTarget(m_env.paths.sysfsRoot, bsdName.value_or(QString()), block);

    if (m_env.useUDisks2) {
        if (bsdName) {
            // A device-mapper volume: its own drive is none, the disk beneath is powered off.
            const QString disk = block && !block->mapperChain.isEmpty() ? target.disk : QString();
            const UDisks2Outcome outcome = udisks2UnmountAndEject(
                UDisks2Volume{.devNode = QStringLiteral("/dev/") + *bsdName, .cryptoBacking = target.cryptoBacking,
                              .disk = disk});
            if (outcome.ejected) {
                if (!outcome.error.isEmpty())
                    logLine(QStringLiteral("UDisks2: ") + outcome.error);
                logLine(QStringLiteral("使用UDisks2成功弹出设备"));
                deliver(true, {}, {});
                return;
            }
            logLine(QStringLiteral("UDisks2弹出设备失败: ") + outcome.error);
            // UDisks2 was asked to unmount and refused: that is the answer.
            if (outcome.reachable && outcome.attempted) {
                deliver(false, {}, outcome.error);
                return;
            }
        } else {
            logLine(QStringLiteral("UDisks2弹出设备失败: no block device is known for ") + device.path);
        }
    }

    if (bsdName) {
        logLine(QStringLiteral("尝试使用udisksctl命令弹出设备，BSD名称: ") + *bsdName);
        const StepResult step = ejectWithUdisksctl(m_env, target);
        if (step.reached) {
            // Once udisksctl ran, its verdict is final: umount after a half-done
            // eject would only add a second, misleading failure.
            deliver(step.ejected, {}, step.ejected ? QString() : step.reason);
            return;
        }
    }

    logLine(QStringLiteral("尝试使用umount命令弹出设备"));
    // -d: a loop device under the volume is detached too, as UDisks2 does.
    ProcessRequest request;
    request.program = m_env.umount;
    request.argumentBytes = {"-d", "--", device.fsPath()};
    request.timeout = m_env.umountTimeout;
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("启动umount命令失败: ") + result.errorString);
        const QList<BlockingProcess> again = findProcessesUsingDevice(device);
        logLine(QStringLiteral("所有弹出方法都失败"));
        deliver(false, again, QStringLiteral("umount: ") + result.errorString);
        return;
    }
    if (result.timedOut)
        logLine(QStringLiteral("umount命令超时终止"));
    if (result.succeeded()) {
        if (!target.mapperName.isEmpty())
            closeCryptoMapper(m_env, target.mapperName);
        logLine(QStringLiteral("使用umount成功弹出设备"));
        deliver(true, {}, {});
    } else {
        logToolOutput(QStringLiteral("umount"), result);
        logLine(QStringLiteral("umount弹出失败，状态码: ") + statusText(result));
        deliver(false, {}, failureText(QStringLiteral("umount"), result));
    }
}

QList<BlockingProcess> USBDeviceManager::findProcessesUsingDevice(const LocalUSBDevice &device) const
{
    logLine(QStringLiteral("查找正在使用设备的进程: ") + device.name + QStringLiteral(", 路径: ") + device.path);
    // Naming the mount point makes lsof list every open file on that file
    // system, without walking the volume as +D does.
    ProcessRequest request;
    request.program = m_env.lsof;
    request.argumentBytes = {"-w", "--", device.fsPath()};
    request.timeout = m_env.lsofTimeout;
    request.killGrace = milliseconds(500);
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("启动lsof命令失败: ") + result.errorString);
        return {};
    }
    if (result.timedOut) {
        logLine(QStringLiteral("lsof命令超时终止"));
        return {};
    }
    // The exit status says nothing: lsof exits 1 whenever some search found
    // nothing, even after listing holders.
    const std::optional<QString> text = decodeUtf8(result.standardOutput);
    if (!text)
        return {};
    const QStringList lines = text->split(u'\n');
    if (lines.size() < 2)
        return {};

    QList<BlockingProcess> processes;
    QSet<qint64> seen;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).split(u' ', Qt::SkipEmptyParts);
        if (fields.size() < 2)
            continue;
        const std::optional<qint64> pid = parsePid(fields.at(1));
        if (!pid || seen.contains(*pid))
            continue;
        seen.insert(*pid);
        BlockingProcess process;
        process.pid = *pid;
        process.command = fields.at(0);
        const std::optional<QString> name = processName(*pid);
        process.name = name && !name->isEmpty() ? *name : process.command;
        processes.append(process);
    }
    return processes;
}

std::optional<QString> USBDeviceManager::processName(qint64 pid) const
{
    ProcessRequest request;
    request.program = m_env.ps;
    request.arguments = {QStringLiteral("-p"), QString::number(pid), QStringLiteral("-o"), QStringLiteral("comm=")};
    request.timeout = m_env.lsofTimeout;
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("获取进程名称失败: ") + result.errorString);
        return std::nullopt;
    }
    if (!result.succeeded())
        return std::nullopt;
    const std::optional<QString> text = decodeUtf8(result.standardOutput);
    if (!text)
        return std::nullopt;
    return text->trimmed();
}
