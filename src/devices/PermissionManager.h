#pragma once

#include "platform/DialogPresenter.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class Preferences;
class Scheduler;
class SystemCleanHelper;

// QMessageBox-based presenter for the app.
class MessageBoxDialogPresenter final : public DialogPresenter
{
public:
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

    void checkPermissionStatus();
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
    void showSetupDialog();
    void showRecheckDialog();
    void openSystemSettings();

    Preferences &m_preferences;
    SystemCleanHelper &m_helper;
    Scheduler &m_scheduler;
    DialogPresenter &m_presenter;
    bool m_shouldShowPermissionGuide = false;
    bool m_hasFullDiskAccess = false;
};
