#include "devices/PermissionManager.h"

#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "localization/MessageBoxWidth.h"
#include "platform/Log.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <atomic>
#include <tuple>
#include <utility>

namespace {

constexpr int kFirstButton = 1000;
constexpr int kSecondButton = 1001;
constexpr int kThirdButton = 1002;

std::atomic<PermissionManager *> g_installed{nullptr};


} // namespace

// ---------------------------------------------------------------------------
// MessageBoxDialogPresenter

std::unique_ptr<QMessageBox> MessageBoxDialogPresenter::makeBox(const GuideDialog &dialog)
{
    auto box = std::make_unique<QMessageBox>();
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(dialog.title);
    box->setText(dialog.title);
    box->setInformativeText(dialog.message);
    // Translations must not be able to inject markup into the explanation either.
    if (auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    box->setIcon(dialog.style == GuideDialog::Style::warning ? QMessageBox::Warning : QMessageBox::Information);
    for (const QString &text : dialog.buttons) {
        QPushButton *button = box->addButton(text, QMessageBox::ActionRole);
        if (!box->defaultButton())
            box->setDefaultButton(button);
    }
    fitMessageBoxToText(*box);
    return box;
}

int MessageBoxDialogPresenter::runModal(const GuideDialog &dialog)
{
    const std::unique_ptr<QMessageBox> box = makeBox(dialog);
    const QList<QAbstractButton *> buttons = box->buttons();
    box->exec();

    const qsizetype index = buttons.indexOf(box->clickedButton());
    // A box closed without a button gives an answer that no dialog acts on.
    return index < 0 ? 0 : kFirstButton + int(index);
}

bool MessageBoxDialogPresenter::openPrivilegedAccessSettings()
{
    logLine(QStringLiteral("PermissionManager: this desktop has no settings page for administrator authorization (pkexec/polkit); nothing to open"));
    return false;
}

// ---------------------------------------------------------------------------
// PermissionManager

PermissionManager::PermissionManager(Preferences &preferences, SystemCleanHelper &helper, Scheduler &scheduler,
                                     DialogPresenter &presenter, QObject *parent)
    : QObject(parent)
    , m_preferences(preferences)
    , m_helper(helper)
    , m_scheduler(scheduler)
    , m_presenter(presenter)
{
    // The first check starts at once; its answer follows on the main thread.
    checkPermissionStatus();
}

PermissionManager &PermissionManager::shared()
{
    if (PermissionManager *installed = g_installed.load(std::memory_order_acquire))
        return *installed;
    static MessageBoxDialogPresenter presenter;
    static PermissionManager manager(Preferences::standard(), SystemCleanHelper::shared(), Scheduler::shared(),
                                     presenter);
    return manager;
}

void PermissionManager::setShared(PermissionManager *manager)
{
    g_installed.store(manager, std::memory_order_release);
}

void PermissionManager::setShouldShow(bool value)
{
    if (m_shouldShowPermissionGuide == value)
        return;
    m_shouldShowPermissionGuide = value;
    emit shouldShowPermissionGuideChanged(value);
}

void PermissionManager::setHasAccess(bool value)
{
    if (m_hasFullDiskAccess == value)
        return;
    m_hasFullDiskAccess = value;
    emit hasFullDiskAccessChanged(value);
}

void PermissionManager::probeInBackground(std::function<void(bool)> then)
{
    SystemCleanHelper *helper = &m_helper;
    m_scheduler.background(
        [helper] {
            const bool access = helper->checkFullDiskAccess();
            return std::tuple{access, helper->privilegedAccessProblem().value_or(QString()), helper->privilegedAsRoot()};
        },
        [this, then = std::move(then)](const std::tuple<bool, QString, bool> &answer) {
            m_privilegedAccessProblem = std::get<1>(answer);
            m_privilegedAsRoot = std::get<2>(answer);
            then(std::get<0>(answer));
        },
        this);
}

void PermissionManager::checkPermissionStatus(std::function<void()> published)
{
    probeInBackground([this, published = std::move(published)](bool access) {
        publishStatus(access);
        if (published)
            published();
    });
}

void PermissionManager::publishStatus(bool access)
{
    const bool shown = m_preferences.boolean(hasShownPermissionGuideKey);
    setHasAccess(access);
    logLine(QStringLiteral("PermissionManager: hasShownGuide=%1, hasFullDiskAccess=%2, distributionChannel=Direct")
                .arg(boolText(shown), boolText(m_hasFullDiskAccess)));
    // The completion flag only matters once the guide was shown; a check never
    // withdraws an offer already made.
    if (shown && (m_hasFullDiskAccess || m_preferences.boolean(permissionGuideCompletedKey)))
        return;
    setShouldShow(true);
}

void PermissionManager::showPermissionGuide()
{
    m_scheduler.post([this] { showSetupDialog(); }, this);
}

void PermissionManager::showSetupDialog()
{
    if (m_hasFullDiskAccess) {
        const GuideDialog dialog{localized(QStringLiteral("full_disk_access_setup_title")),
                                 localized(QStringLiteral("Great! Sweepbrook already has Full Disk Access permission and is ready to clean system files automatically.\n\nYou can start using all cleaning features immediately.")),
                                 {localized(QStringLiteral("Get Started"))},
                                 GuideDialog::Style::informational};
        m_presenter.runModal(dialog);
        markGuideAsCompleted();
        return;
    }

    const GuideDialog dialog{localized(QStringLiteral("full_disk_access_setup_title")),
                             localized(QStringLiteral("full_disk_access_setup_message")),
                             {localized(QStringLiteral("set_up_now")), localized(QStringLiteral("skip_for_now")),
                              localized(QStringLiteral("learn_more"))},
                             GuideDialog::Style::informational};
    switch (m_presenter.runModal(dialog)) {
    case kFirstButton:
        showSetupInstructions();
        break;
    case kSecondButton:
        markGuideAsShown();
        break;
    case kThirdButton:
        showAboutFullDiskAccess();
        break;
    default:
        break;
    }
}

void PermissionManager::showSetupInstructions()
{
    const GuideDialog dialog{localized(QStringLiteral("setting_up_full_disk_access")),
                             localized(QStringLiteral("full_disk_access_instructions")),
                             {localized(QStringLiteral("open_system_settings")), localized(QStringLiteral("ill_do_this_later"))},
                             GuideDialog::Style::informational};
    // Every answer but the first, a box closed without a button included, leaves the guide.
    if (m_presenter.runModal(dialog) == kFirstButton)
        openSystemSettings();
    else
        markGuideAsShown();
}

void PermissionManager::openSystemSettings()
{
    // Whether a settings page opened or not, the re-check follows.
    m_presenter.openPrivilegedAccessSettings();
    scheduleRecheckAlert();
}

void PermissionManager::scheduleRecheckAlert()
{
    m_scheduler.after(std::chrono::milliseconds(1000), [this] { showRecheckDialog(); }, this);
}

void PermissionManager::showRecheckDialog()
{
    const GuideDialog dialog{localized(QStringLiteral("permission_setup")),
                             localized(QStringLiteral("permission_setup_check")),
                             {localized(QStringLiteral("check_permission")), localized(QStringLiteral("need_help")),
                              localized(QStringLiteral("skip_for_now"))},
                             GuideDialog::Style::informational};
    switch (m_presenter.runModal(dialog)) {
    case kFirstButton:
        recheckPermission();
        break;
    case kSecondButton:
        showAboutFullDiskAccess();
        break;
    case kThirdButton:
        markGuideAsShown();
        break;
    default:
        break;
    }
}

void PermissionManager::recheckPermission()
{
    // The user may have just set things up: the cached answer would be stale.
    m_helper.clearFullDiskAccessCache();
    probeInBackground([this](bool access) { showRecheckResult(access); });
}

void PermissionManager::showRecheckResult(bool access)
{
    if (access) {
        const GuideDialog dialog{localized(QStringLiteral("Success!")),
                                 localized(QStringLiteral("Excellent! Sweepbrook now has Full Disk Access permission.\n\nYou can now clean all types of system files automatically. The app is ready to provide the best cleaning experience.")),
                                 {localized(QStringLiteral("Start Cleaning"))},
                                 GuideDialog::Style::informational};
        m_presenter.runModal(dialog);
        markGuideAsCompleted();
        return;
    }

    // What the check found wrong with our own tool comes first: no setting fixes that.
    QString message = localized(QStringLiteral("Sweepbrook still doesn't have Full Disk Access permission.\n\nPlease make sure you:\n• Turned ON the switch for Sweepbrook\n• Entered your admin password when prompted\n• Sweepbrook appears in the Full Disk Access list\n\nWould you like to try again?"));
    if (!m_privilegedAccessProblem.isEmpty())
        message = m_privilegedAccessProblem + QStringLiteral("\n\n") + message;
    const GuideDialog dialog{localized(QStringLiteral("Permission Not Detected")), message,
                             {localized(QStringLiteral("Try Again")), localized(QStringLiteral("Continue Without Permission"))},
                             GuideDialog::Style::warning};
    if (m_presenter.runModal(dialog) == kFirstButton)
        showSetupInstructions();
    else
        markGuideAsShown();
}

void PermissionManager::showAboutFullDiskAccess()
{
    const GuideDialog dialog{localized(QStringLiteral("about_full_disk_access_title")),
                             localized(QStringLiteral("about_full_disk_access_message")),
                             {localized(QStringLiteral("set_up_permission")), localized(QStringLiteral("continue_without"))},
                             GuideDialog::Style::informational};
    if (m_presenter.runModal(dialog) == kFirstButton)
        showSetupInstructions();
    else
        markGuideAsShown();
}

void PermissionManager::markGuideAsShown()
{
    m_preferences.setBool(hasShownPermissionGuideKey, true);
    setShouldShow(false);
    logLine(QStringLiteral("PermissionManager: Permission guide marked as shown"));
}

void PermissionManager::markGuideAsCompleted()
{
    m_preferences.setBool(hasShownPermissionGuideKey, true);
    m_preferences.setBool(permissionGuideCompletedKey, true);
    setShouldShow(false);
    setHasAccess(true);
    logLine(QStringLiteral("PermissionManager: Permission guide marked as completed"));
}
