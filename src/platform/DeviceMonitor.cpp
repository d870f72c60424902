#include "platform/DeviceMonitor.h"

#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QFile>
#include <QMetaObject>
#include <QSet>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <libudev.h>
#include <linux/filter.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// Reads a whole file from an open descriptor, from its start. /proc files
// report a size of 0, so read until end of file.
// A mount is identified by its id and where it is mounted: a new mount on a
// busy mount point (stacked) or a moved mount shows as a change too.
QSet<QString> mountKeys(const QByteArray &contents)
{
    QSet<QString> keys;
    for (const MountEntry &entry : parseMountInfo(contents))
        keys.insert(QString::number(entry.mountId) + u' ' + entry.mountPoint);
    return keys;
}

// ---- The kernel's device events, filtered in the kernel ----
//
// Without udevd the monitor hears the kernel itself, which sends every device
// event of every subsystem, and libudev's "block" filter only runs after the
// reader woke. Network, tty, input and queue events of other programs can come
// dozens a second; the socket filter below lets the kernel drop them unsent.
//
// A kernel event reads "ACTION@DEVPATH\0" followed by NUL-terminated fields,
// the first three always "ACTION=ACTION\0DEVPATH=DEVPATH\0SUBSYSTEM=...\0".
// With that header's NUL at n, ACTION and DEVPATH take n - 1 bytes, so the
// two fields after it take n + 16: the NUL before "SUBSYSTEM=" is at 2n + 16.
// The filter finds n (a word at a time), then reads the field there: a
// SUBSYSTEM other than "block" is dropped; a message it cannot judge (no NUL
// in the first kHeaderScan bytes, no SUBSYSTEM field where it belongs) is let
// through for libudev to judge, as before. Every block event passes. (A read
// past the end drops the message, which happens only to one too short to
// hold an event.)

constexpr std::uint32_t kHeaderScan = 320;   // bytes, a multiple of 4: devpaths run to about 200
constexpr std::uint32_t kPass = 0xffffffff;  // a filter's answer: the whole message
constexpr std::uint32_t kDrop = 0;

// Four bytes as an absolute or indexed word load reads them (network order).
constexpr std::uint32_t word(const char (&text)[5])
{
    return std::uint32_t(std::uint8_t(text[0])) << 24 | std::uint32_t(std::uint8_t(text[1])) << 16
           | std::uint32_t(std::uint8_t(text[2])) << 8 | std::uint32_t(std::uint8_t(text[3]));
}

// A classic BPF program with forward jumps to labels, resolved at the end.
class FilterCode
{
public:
    using Label = int;
    static constexpr Label kNext = -1;   // the instruction after

    Label newLabel() { return m_nextLabel++; }
    void place(Label label) { m_labels.push_back({label, m_code.size()}); }

    void op(std::uint16_t code, std::uint32_t k = 0) { m_code.push_back(BPF_STMT(code, k)); }
    void jump(std::uint16_t code, std::uint32_t k, Label whenTrue, Label whenFalse)
    {
        m_fixups.push_back({m_code.size(), whenTrue, whenFalse});
        m_code.push_back(BPF_JUMP(code, k, 0, 0));
    }
    void jumpTo(Label label) { jump(BPF_JMP | BPF_JA, 0, label, kNext); }

    // The program; empty when a jump's label is missing or behind it, or too
    // far for a conditional jump (8 bits).
    std::vector<sock_filter> finish() const
    {
        std::vector<sock_filter> code = m_code;
        for (const Fixup &fixup : m_fixups) {
            sock_filter &insn = code[fixup.at];
            const std::int64_t whenTrue = distance(fixup.at, fixup.whenTrue);
            const std::int64_t whenFalse = distance(fixup.at, fixup.whenFalse);
            if (BPF_OP(insn.code) == BPF_JA && whenTrue >= 0) {
                insn.k = std::uint32_t(whenTrue);
                continue;
            }
            if (whenTrue < 0 || whenTrue > 255 || whenFalse < 0 || whenFalse > 255)
                return {};
            insn.jt = std::uint8_t(whenTrue);
            insn.jf = std::uint8_t(whenFalse);
        }
        return code;
    }

private:
    struct Fixup
    {
        size_t at;
        Label whenTrue, whenFalse;
    };
    // Instructions skipped to reach the label from the jump at `at`; -1 when it is behind or not placed.
    std::int64_t distance(size_t at, Label label) const
    {
        if (label == kNext)
            return 0;
        for (const auto &[placed, where] : m_labels) {
            if (placed == label)
                return std::int64_t(where) - std::int64_t(at) - 1;
        }
        return -1;
    }

    std::vector<sock_filter> m_code;
    std::vector<Fixup> m_fixups;
    std::vector<std::pair<Label, size_t>> m_labels;
    Label m_nextLabel = 0;
};

std::vector<sock_filter> blockEventFilter()
{
    FilterCode f;
    const FilterCode::Label pass = f.newLabel(), drop = f.newLabel(), found = f.newLabel();
    constexpr std::uint32_t kByte[] = {0xff000000, 0x00ff0000, 0x0000ff00, 0x000000ff};

    // The first word holding a zero byte holds the header's NUL: X becomes
    // where the SUBSYSTEM field's NUL lies if it is the word's first byte, and
    // the word stays in A.
    for (std::uint32_t at = 0; at < kHeaderScan; at += 4) {
        const FilterCode::Label zero = f.newLabel(), nextWord = f.newLabel();
        f.op(BPF_LD | BPF_W | BPF_ABS, at);
        for (int byte = 0; byte < 3; ++byte)
            f.jump(BPF_JMP | BPF_JSET | BPF_K, kByte[byte], FilterCode::kNext, zero);
        f.jump(BPF_JMP | BPF_JSET | BPF_K, kByte[3], nextWord, FilterCode::kNext);
        f.place(zero);
        f.op(BPF_LDX | BPF_W | BPF_IMM, 2 * at + 16);
        f.jumpTo(found);
        f.place(nextWord);
    }
    f.op(BPF_RET | BPF_K, kPass);   // a header too long to look through

    // Which byte of the word: two more for each nonzero byte before it.
    const FilterCode::Label located = f.newLabel();
    f.place(found);
    f.op(BPF_ST, 0);
    for (int byte = 0; byte < 3; ++byte) {
        f.jump(BPF_JMP | BPF_JSET | BPF_K, kByte[byte], FilterCode::kNext, located);
        f.op(BPF_MISC | BPF_TXA);
        f.op(BPF_ALU | BPF_ADD | BPF_K, 2);
        f.op(BPF_MISC | BPF_TAX);
        f.op(BPF_LD | BPF_MEM, 0);
    }
    f.place(located);

    // "\0SUBSYSTEM=" at X, whole within the message, or it is not the kernel's layout.
    f.op(BPF_LD | BPF_W | BPF_LEN);
    f.jump(BPF_JMP | BPF_JGT | BPF_X, 0, FilterCode::kNext, pass);
    f.op(BPF_ALU | BPF_SUB | BPF_X);
    f.jump(BPF_JMP | BPF_JGE | BPF_K, 17, FilterCode::kNext, pass);
    f.op(BPF_LD | BPF_W | BPF_IND, 0);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, word("\0SUB"), FilterCode::kNext, pass);
    f.op(BPF_LD | BPF_W | BPF_IND, 4);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, word("SYST"), FilterCode::kNext, pass);
    f.op(BPF_LD | BPF_W | BPF_IND, 8);
    f.op(BPF_ALU | BPF_AND | BPF_K, 0xffffff00);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, word("EM=\0"), FilterCode::kNext, pass);
    // Its value: exactly "block".
    f.op(BPF_LD | BPF_W | BPF_IND, 8);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, word("EM=b"), FilterCode::kNext, drop);
    f.op(BPF_LD | BPF_W | BPF_IND, 12);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, word("lock"), FilterCode::kNext, drop);
    f.op(BPF_LD | BPF_B | BPF_IND, 16);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, 0, FilterCode::kNext, drop);
    f.place(pass);
    f.op(BPF_RET | BPF_K, kPass);
    f.place(drop);
    f.op(BPF_RET | BPF_K, kDrop);
    return f.finish();
}

// Lets go whatever the socket `fd` holds, unread (past an overrun it reports).
void letGo(int fd)
{
    char discard[1];
    while (::recv(fd, discard, sizeof discard, MSG_DONTWAIT | MSG_TRUNC) >= 0 || errno == ENOBUFS) {
    }
}

// Has the kernel drop every message before it reaches the socket `fd`.
bool dropAllEvents(int fd)
{
    sock_filter drop = BPF_STMT(BPF_RET | BPF_K, kDrop);
    sock_fprog program{1, &drop};
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

} // namespace

struct DeviceMonitor::Impl
{
    DeviceMonitor *q = nullptr;
    QString mountInfoPath;
    bool running = false;

    // Block-device events are read on a thread of their own, which judges
    // them (matters()): only those that count wake the main thread. While
    // nobody wants them the kernel drops them all and no thread waits (follow()).
    udev *udevContext = nullptr;
    udev_monitor *monitor = nullptr;
    bool fromUdevd = false;
    std::thread reader;
    int wakeFd = -1;   // an eventfd, written to end the reader
    bool wanted = false;                 // block-device events are (followBlockEvents)
    std::atomic<bool> listened{false};   // the reader's: they are wanted
    std::optional<bool> followed;        // whom the socket is set up for: listeners or none
    std::mutex listedMutex;
    std::shared_ptr<const QSet<QByteArray>> listed;   // kernel names; none: every device counts

    int mountFd = -1;
    bool mountFlagsChanges = false;   // a procfs file: the kernel flags each change
    std::unique_ptr<QSocketNotifier> mountNotifier;
    QSet<QString> mounts;

    // Events seen since the last flush; one flush per event-loop turn.
    std::atomic<bool> arrived{false};
    std::atomic<bool> removed{false};
    std::atomic<bool> tableChanged{false};
    std::atomic<bool> flushQueued{false};

    bool startUdev();
    void stopUdev();
    void follow();
    void startReader();
    void stopReader();
    bool startMountWatch();
    void stopMountWatch();
    void readEvents(int fd);
    void readUdevEvents(int fd);
    bool matters(udev_device *device);
    void readMountInfo();
    void queueFlush();
    void flush();
};

bool DeviceMonitor::Impl::startUdev()
{
    udevContext = udev_new();
    if (!udevContext) {
        logLine(QStringLiteral("DeviceMonitor: cannot create a udev context: %1").arg(errorText(errno)));
        return false;
    }
    // Without a running udevd nobody re-broadcasts the kernel's events, so
    // listen to the kernel directly.
    fromUdevd = udevRuns();
    const char *source = fromUdevd ? "udev" : "kernel";
    monitor = udev_monitor_new_from_netlink(udevContext, source);
    if (monitor && udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr) >= 0
        && udev_monitor_enable_receiving(monitor) >= 0) {
        const int fd = udev_monitor_get_fd(monitor);
        // libudev opens it non-blocking; make sure: the reader drains it and
        // goes back to waiting, and must not block in between.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK))
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd >= 0) {
            follow();
            return true;
        }
    }
    logLine(QStringLiteral("DeviceMonitor: cannot listen to %1 block device events: %2")
                .arg(QString::fromLatin1(source), errorText(errno)));
    stopUdev();
    return false;
}

void DeviceMonitor::Impl::stopUdev()
{
    stopReader();
    followed.reset();
    if (wakeFd >= 0)
        ::close(wakeFd);
    wakeFd = -1;
    if (monitor)
        udev_monitor_unref(monitor);
    monitor = nullptr;
    if (udevContext)
        udev_unref(udevContext);
    udevContext = nullptr;
}

bool DeviceMonitor::Impl::startMountWatch()
{
    const QByteArray path = QFile::encodeName(mountInfoPath);
    mountFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    QByteArray contents;
    if (mountFd < 0 || !readFromStart(mountFd, &contents)) {
        logLine(QStringLiteral("DeviceMonitor: cannot watch %1: %2").arg(mountInfoPath, errorText(errno)));
        stopMountWatch();
        return false;
    }
    mounts = mountKeys(contents);
    struct statfs fs = {};
    mountFlagsChanges = ::fstatfs(mountFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
    // The kernel flags a changed mount table as an exceptional condition (POLLPRI).
    mountNotifier = std::make_unique<QSocketNotifier>(mountFd, QSocketNotifier::Exception);
    QObject::connect(mountNotifier.get(), &QSocketNotifier::activated, q, [this] { readMountInfo(); });
    return true;
}

void DeviceMonitor::Impl::stopMountWatch()
{
    mountNotifier.reset();
    if (mountFd >= 0)
        ::close(mountFd);
    mountFd = -1;
    mountFlagsChanges = false;
    mounts.clear();
}

// Sets the socket up as block-device events are wanted now (on the main
// thread): while they are not, a filter has the kernel drop every event
// before it reaches the socket and no thread waits on it; while they are,
// the block filter is back and the reader's thread takes them.
void DeviceMonitor::Impl::follow()
{
    if (!monitor || followed == wanted)
        return;
    stopReader();
    followed = wanted;
    listened = wanted;
    const int fd = udev_monitor_get_fd(monitor);
    if (!wanted && dropAllEvents(fd)) {
        letGo(fd);   // what came before goes too: nobody heard it
        return;
    }
    // udevd's broadcasts are filtered by libudev in the kernel; the kernel's
    // own get our filter. Should the kernel refuse it (an old kernel's small
    // socket option memory), the drop-all filter goes, and libudev still
    // filters after reading.
    const bool filtered = fromUdevd ? udev_monitor_filter_update(monitor) >= 0 : passOnlyBlockEvents(fd);
    if (!filtered)
        (void)::setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, nullptr, 0);
    startReader();   // it lets events go unread if the kernel would not drop them
}

void DeviceMonitor::Impl::startReader()
{
    reader = std::thread([this, fd = udev_monitor_get_fd(monitor)] { readEvents(fd); });
}

void DeviceMonitor::Impl::stopReader()
{
    if (!reader.joinable())
        return;
    std::uint64_t count = 1;
    if (::write(wakeFd, &count, sizeof count) != sizeof count) {
        // An eventfd takes a write until its count would overflow: never here.
    }
    reader.join();
    if (::read(wakeFd, &count, sizeof count) != sizeof count) {
        // Read back to zero for the next reader; nothing else can be there.
    }
}

// The reader's thread: waits for block-device events until it is woken to end.
void DeviceMonitor::Impl::readEvents(int fd)
{
    pollfd waits[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logLine(QStringLiteral("DeviceMonitor: cannot wait for block device events: %1").arg(errorText(errno)));
            return;
        }
        if (waits[1].revents != 0 || (waits[0].revents & POLLNVAL))
            return;
        if (waits[0].revents != 0)
            readUdevEvents(fd);   // also after an error: reading clears it
    }
}

void DeviceMonitor::Impl::readUdevEvents(int fd)
{
    // Nobody listens (the mount table tells all that is wanted) and the
    // kernel would not drop them: the events are let go unread, which costs
    // far less than taking each apart; other programs' loop devices and FUSE
    // mounts can make dozens a second.
    if (!listened.load()) {
        letGo(fd);
        return;
    }
    while (udev_device *device = udev_monitor_receive_device(monitor)) {
        const char *action = udev_device_get_action(device);
        if (!action)
            action = "";
        if (!matters(device)) {
            // Not a device the owner lists or could list: let go here.
        } else if (std::strcmp(action, "add") == 0) {
            arrived = true;
        } else if (std::strcmp(action, "remove") == 0) {
            removed = true;
        } else if (std::strcmp(action, "change") == 0) {
            // A card pulled from a reader or a loop device detached stays as a
            // device but reports "change" with no media left (size 0).
            const char *size = udev_device_get_sysattr_value(device, "size");
            if (size && std::strcmp(size, "0") == 0)
                removed = true;
            else
                arrived = true;
        }
        udev_device_unref(device);
    }
    queueFlush();
}

// Whether a block-device event counts: every one until the owner said which
// devices it lists; then one of removable hardware, or of a listed device
// (or a partition of one).
bool DeviceMonitor::Impl::matters(udev_device *device)
{
    std::shared_ptr<const QSet<QByteArray>> names;
    {
        const std::lock_guard lock(listedMutex);
        names = listed;
    }
    if (!names)
        return true;
    udev_device *disk = device;   // a partition's belongs to it
    if (const char *type = udev_device_get_devtype(device); type && std::strcmp(type, "partition") == 0)
        disk = udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
    const char *name = udev_device_get_sysname(device);
    const char *diskName = disk ? udev_device_get_sysname(disk) : nullptr;
    if ((name && names->contains(QByteArray(name))) || (diskName && names->contains(QByteArray(diskName))))
        return true;
    if (!disk)
        return false;
    if (const char *removable = udev_device_get_sysattr_value(disk, "removable"); removable && std::strcmp(removable, "1") == 0)
        return true;
    const char *udevBus = udev_device_get_property_value(device, "ID_BUS");
    const char *path = udev_device_get_devpath(disk);
    const QString bus = udevBus && *udevBus ? QString::fromLatin1(udevBus).toLower()
                                            : busFromSysfsPath(QString::fromUtf8(path ? path : ""), QString::fromUtf8(diskName));
    // As the probe tells them apart: an MMC card's type is "MMC" on memory soldered to the board (eMMC).
    const char *cardType = bus == QLatin1String("mmc") ? udev_device_get_sysattr_value(disk, "device/type") : nullptr;
    return isRemovableBus(bus) && !(cardType && std::strcmp(cardType, "MMC") == 0);
}

void DeviceMonitor::Impl::readMountInfo()
{
    QByteArray contents;
    if (!readFromStart(mountFd, &contents)) {
        logLine(QStringLiteral("DeviceMonitor: cannot read %1: %2").arg(mountInfoPath, errorText(errno)));
        return;
    }
    const QSet<QString> now = mountKeys(contents);
    if (!mounts.contains(now))
        arrived = true;
    if (!now.contains(mounts))
        removed = true;
    mounts = now;
    tableChanged = true;
    queueFlush();
}

// From either thread.
void DeviceMonitor::Impl::queueFlush()
{
    if ((!arrived && !removed && !tableChanged) || flushQueued.exchange(true))
        return;
    QMetaObject::invokeMethod(q, [this] { flush(); }, Qt::QueuedConnection);
}

void DeviceMonitor::Impl::flush()
{
    flushQueued = false;
    const bool wasArrived = arrived.exchange(false);
    const bool wasRemoved = removed.exchange(false);
    const bool wasChanged = tableChanged.exchange(false);
    if (!running)
        return;
    if (wasRemoved)
        emit q->mediaRemoved();
    if (wasArrived)
        emit q->mediaArrived();
    if (wasChanged)
        emit q->mountTableChanged();
}

bool DeviceMonitor::passOnlyBlockEvents(int fd)
{
    static const std::vector<sock_filter> code = blockEventFilter();
    if (code.empty())
        return false;
    sock_fprog program{static_cast<unsigned short>(code.size()), const_cast<sock_filter *>(code.data())};
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

void DeviceMonitor::setListedDevices(const QStringList &kernelNames)
{
    auto names = std::make_shared<QSet<QByteArray>>();
    for (const QString &name : kernelNames)
        names->insert(name.toUtf8());
    const std::lock_guard lock(d->listedMutex);
    d->listed = std::move(names);
}

void DeviceMonitor::followBlockEvents(bool wanted)
{
    d->wanted = wanted;
    d->follow();
}

DeviceMonitor::DeviceMonitor(const QString &mountInfoPath, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
    d->q = this;
    d->mountInfoPath = mountInfoPath;
}

DeviceMonitor::~DeviceMonitor()
{
    stop();
}

bool DeviceMonitor::start()
{
    if (d->running)
        return true;
    const bool udevOk = d->startUdev();
    const bool mountsOk = d->startMountWatch();
    d->running = udevOk || mountsOk;
    return d->running;
}

void DeviceMonitor::stop()
{
    d->stopUdev();
    d->stopMountWatch();
    d->arrived = false;
    d->removed = false;
    d->tableChanged = false;
    d->running = false;
}

bool DeviceMonitor::hasUdevMonitor() const
{
    return d->monitor != nullptr;
}

bool DeviceMonitor::hasMountWatch() const
{
    return d->mountFd >= 0;
}

bool DeviceMonitor::mountWatchFlagsChanges() const
{
    return d->mountFd >= 0 && d->mountFlagsChanges;
}
