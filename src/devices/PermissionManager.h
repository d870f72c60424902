#pragma once

#include "platform/DialogPresenter.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class Preferences;
class QMessageBox;
class Scheduler;
class SystemCleanHelper;

// QMessageBox-based presenter for the app.
class MessageBoxDialogPresenter final : public DialogPresenter
{
public:
    // The box a dialog is shown in: its title as the heading, its message,
    // its buttons in order (the first the default), all plain text.
    static std::unique_ptr<QMessageBox> makeBox(const GuideDialog &dialog);
    int runModal(const GuideDialog &dialog) override;
    bool openPrivilegedAccessSettings() override;
};

// Holds what the app believes about privileged deletion and guides the user to it.
class PermissionManager : public QObject
{
    Q_OBJECT
public:
    static inline const QString hasShownPermissionGuideKey = QStringLiteral("hasShownPermissionGuide");
    static inline const QString permissionGuideCompletedKey = QStringLiteral("permissionGuideCompleted");

    PermissionManager(Preferences &preferences, SystemCleanHelper &helper, Scheduler &scheduler,
                      DialogPresenter &presenter, QObject *parent = nullptr);

    static PermissionManager &shared();
    static void setShared(PermissionManager *manager);   // tests; nullptr restores

    bool shouldShowPermissionGuide() const { return m_shouldShowPermissionGuide; }
    bool hasFullDiskAccess() const { return m_hasFullDiskAccess; }
    // Why privileged deletion does not work, when the last check found our
    // administrator tool unfit to run as root (localized); empty otherwise.
    const QString &privilegedAccessProblem() const { return m_privilegedAccessProblem; }
    // Whether the last check found privileged deletion working because the
    // app runs as root (else through pkexec and a polkit authority).
    bool privilegedAsRoot() const { return m_privilegedAsRoot; }

    // Asks again whether privileged deletion works. The probe (which may ask
    // the system bus) runs in the background; the published state changes when
    // its answer arrives on the main thread, and `published` runs after that.
    void checkPermissionStatus(std::function<void()> published = {});
    void showPermissionGuide();
    void showSetupInstructions();
    void scheduleRecheckAlert();
    void recheckPermission();
    void showAboutFullDiskAccess();
    void markGuideAsShown();
    void markGuideAsCompleted();

signals:
    void shouldShowPermissionGuideChanged(bool value);
    void hasFullDiskAccessChanged(bool value);

private:
    void setShouldShow(bool value);
    void setHasAccess(bool value);
    // Runs the probe off the main thread and hands its answer to `then` here.
    void probeInBackground(std::function<void(bool)> then);
    void publishStatus(bool access);
    void showRecheckResult(bool access);
    void showSetupDialog();
    void showRecheckDialog();
    void openSystemSettings();

    Preferences &m_preferences;
    SystemCleanHelper &m_helper;
    Scheduler &m_scheduler;
    DialogPresenter &m_presenter;
    bool m_shouldShowPermissionGuide = false;
    bool m_hasFullDiskAccess = false;
    QString m_privilegedAccessProblem;
    bool m_privilegedAsRoot = false;
};
