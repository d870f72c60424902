#include "cleaning/SystemCleanHelper.h"
#include "cleaning/SystemCleanHelperImpl.h"

#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"
#include "platform/SystemBus.h"
#include "platform/TrustedProgram.h"

#include <QAtomicInteger>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <atomic>
#include <utility>

#include <sys/xattr.h>
#include <unistd.h>

namespace {

const QString kPolkitService = QStringLiteral("org.freedesktop.PolicyKit1");
// A bus that is there but stuck must not freeze the dialog that asked.
constexpr int kBusCallTimeoutMs = 2000;

std::atomic<SystemCleanHelper *> g_installed{nullptr};

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
// A private connection, bounded like the calls on it, opened from the address
// in the environment at the time of the question.
bool defaultPolkitAuthorityAnswers()
{
    static QAtomicInteger<quint64> counter;
    const QString name = QStringLiteral("sweepbrook-polkit-%1").arg(counter.fetchAndAddRelaxed(1));
    bool answers = false;
    {
        QString error;
        QDBusConnection bus = connectToBusBounded(systemBusAddress(), name,
                                                  std::chrono::milliseconds(kBusCallTimeoutMs), &error);
        if (!bus.isConnected())
            logLine(QStringLiteral("SystemCleanHelper: System bus not reachable: ") + error);
        else if (busDaemonCall(bus, QStringLiteral("NameHasOwner"), {kPolkitService}).toBool())
            answers = true;
        else
            answers = busDaemonCall(bus, QStringLiteral("ListActivatableNames"), {}).toStringList().contains(kPolkitService);
    }
    QDBusConnection::disconnectFromBus(name);
    return answers;
}

} // namespace

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}


QString SystemCleanHelper::installedTool(const QString &name)
{
    return QStringLiteral(SWEEPBROOK_TOOLS_DIR "/") + name;
}

std::optional<QString> SystemCleanHelper::Impl::toolProblem() const
{
    const QString tool = adminToolPath();
    const std::optional<UntrustedProgram> untrusted = whyProgramIsUntrusted(tool);
    if (!untrusted)
        return std::nullopt;
    logLine(QStringLiteral("SystemCleanHelper: Refusing to run %1 with administrator rights: %2").arg(tool, untrusted->text()));
    QString reason;
    switch (untrusted->why) {
    case UntrustedProgram::Why::missing:
        reason = format(localized(QStringLiteral("administrator_tool_missing")), bidi::leftToRight(untrusted->path));
        break;
    case UntrustedProgram::Why::notAFile:
        reason = format(localized(QStringLiteral("administrator_tool_not_a_file")), bidi::leftToRight(untrusted->path));
        break;
    case UntrustedProgram::Why::notRootsOwn:
        reason = format(localized(QStringLiteral("administrator_tool_not_roots")), bidi::leftToRight(untrusted->path));
        break;
    case UntrustedProgram::Why::writableByOthers:
        reason = format(localized(QStringLiteral("administrator_tool_writable")), bidi::leftToRight(untrusted->path));
        break;
    }
    return format(localized(QStringLiteral("administrator_tool_untrusted")), bidi::leftToRight(tool), reason);
}

SystemCleanHelper::SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment)
{
    if (!environment.isRoot)
        environment.isRoot = [] { return ::geteuid() == 0; };
    if (!environment.polkitAuthorityAnswers)
        environment.polkitAuthorityAnswers = defaultPolkitAuthorityAnswers;
    if (!environment.effectiveUid)
        environment.effectiveUid = [] { return ::geteuid(); };
    if (!environment.hasEnvironmentVariable)
        environment.hasEnvironmentVariable = [](const char *name) { return qEnvironmentVariableIsSet(name); };
    d = std::make_unique<Impl>(scheduler, std::move(environment));
    d->owner = this;
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

std::optional<QString> SystemCleanHelper::privilegedAccessProblem() const
{
    QMutexLocker lock(&d->mutex);
    return d->lastProblem;
}

bool SystemCleanHelper::privilegedAsRoot() const
{
    QMutexLocker lock(&d->mutex);
    return d->lastAsRoot;
}

int SystemCleanHelper::probeCount() const
{
    QMutexLocker lock(&d->mutex);
    return d->probes;
}

void SystemCleanHelper::setDialogPresenter(DialogPresenter *presenter)
{
    d->presenter = presenter;
}

const QSet<QString> &SystemCleanHelper::neverDeleteNames()
{
    static const QSet<QString> names{QStringLiteral(".VolumeIcon.icns")};
    return names;
}

// ---- Dialog and settings ----

const QList<QByteArray> &SystemCleanHelper::systemFolderNames()
{
    static const QList<QByteArray> names{".Spotlight-V100", ".Trashes", ".fseventsd"};
    return names;
}

// Through the presenter; without one, logged as not shown. The second button opens the settings.
static int showSystemFilesDialog(DialogPresenter *presenter, const GuideDialog &dialog)
{
    if (presenter)
        return presenter->runModal(dialog);
    logLine(QStringLiteral("SystemCleanHelper: No dialog presenter, system files dialog not shown"));
    return 0;
}

void SystemCleanHelper::showSystemFoldersLeftAlert(const QList<QByteArray> &left, const std::function<void()> &completion)
{
    // A line for each folder the volume kept, each key one literal: the key checker reads it that way.
    QStringList lines{mainTableLocalized(QStringLiteral("system_folders_left_intro"))};
    for (const QByteArray &name : left) {
        lines << (name == ".Spotlight-V100" ? mainTableLocalized(QStringLiteral("system_folder_spotlight"))
                  : name == ".Trashes"      ? mainTableLocalized(QStringLiteral("system_folder_trashes"))
                                            : mainTableLocalized(QStringLiteral("system_folder_fseventsd")));
    }
    GuideDialog dialog;
    dialog.title = mainTableLocalized(QStringLiteral("System Files Cannot Be Deleted"));
    dialog.style = GuideDialog::Style::informational;
    dialog.message = lines.join(u'\n') + QStringLiteral("\n\n") + mainTableLocalized(QStringLiteral("system_folders_left_reason"));
    dialog.buttons = {mainTableLocalized(QStringLiteral("Understood"))};
    showSystemFilesDialog(d->presenter, dialog);
    if (completion)
        completion();
}

void SystemCleanHelper::showSystemFilesSkippedAlert(const std::function<void()> &completion)
{
    GuideDialog dialog;
    dialog.title = mainTableLocalized(QStringLiteral("System Files Cannot Be Deleted"));
    dialog.style = GuideDialog::Style::informational;
    dialog.message = mainTableLocalized(QStringLiteral("Some system files require Full Disk Access permission to be deleted automatically.\n\nTo set up this permission, please go to Settings → Permissions in Sweepbrook or restart the app to see the setup guide.\n\nFor now, these files have been skipped."));
    dialog.buttons = {mainTableLocalized(QStringLiteral("OK")), mainTableLocalized(QStringLiteral("Open Settings"))};
    if (showSystemFilesDialog(d->presenter, dialog) == 1001)
        openFullDiskAccessSettings();
    if (completion)
        completion();
}

// A warning with one button, through the presenter; without one, `what` is logged as not shown.
static void showWarning(DialogPresenter *presenter, const QString &title, const QString &message, const QString &what,
                        const std::function<void()> &completion)
{
    GuideDialog dialog;
    dialog.title = title;
    dialog.message = message;
    dialog.buttons = {localized(QStringLiteral("OK"))};
    dialog.style = GuideDialog::Style::warning;
    if (presenter)
        presenter->runModal(dialog);
    else
        logLine(QStringLiteral("SystemCleanHelper: No dialog presenter, %1 dialog not shown").arg(what));
    if (completion)
        completion();
}

void SystemCleanHelper::showToolRefusedAlert(const QString &problem, const std::function<void()> &completion)
{
    showWarning(d->presenter, localized(QStringLiteral("administrator_tool_refused_title")),
                format(localized(QStringLiteral("administrator_tool_refused_message")), problem),
                QStringLiteral("administrator tool"), completion);
}

void SystemCleanHelper::showPasswordNotAskedAlert(const QString &pkexecSaid, const std::function<void()> &completion)
{
    showWarning(d->presenter, localized(QStringLiteral("administrator_password_not_asked_title")),
                format(localized(QStringLiteral("administrator_password_not_asked_message")), pkexecSaid),
                QStringLiteral("administrator password"), completion);
}

void SystemCleanHelper::openFullDiskAccessSettings()
{
    if (d->presenter)
        d->presenter->openPrivilegedAccessSettings();
    else
        logLine(QStringLiteral("SystemCleanHelper: This desktop has no privileged access settings page"));
}

std::optional<QStringList> SystemCleanHelper::listExtendedAttributes(const QByteArray &path, QString *error)
{
    // The list may grow between asking for its size and reading it: ask again then.
    for (int tries = 0; tries < 4; ++tries) {
        const ssize_t size = ::llistxattr(path.constData(), nullptr, 0);
        if (size < 0)
            break;
        if (size == 0)
            return QStringList{};
        QByteArray buffer(size, '\0');
        const ssize_t got = ::llistxattr(path.constData(), buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == ERANGE)
            continue;
        if (got < 0)
            break;
        QStringList names;
        for (const QByteArray &name : buffer.left(got).split('\0')) {
            if (!name.isEmpty())
                names << QString::fromUtf8(name);
        }
        return names;
    }
    if (error)
        *error = errorText(errno);
    return std::nullopt;
}
