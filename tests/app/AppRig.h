#pragma once

// What the About window and first-run guide tests share: virtual time, private
// preferences, a language, and a privileged-deletion state the test decides
// (the real PermissionManager and SystemCleanHelper over a probe whose answer
// is a flag). The guide's dialogs are recorded, not shown.

#include "app/AppDelegate.h"
#include "app/SweepbrookApp.h"
#include "cleaning/SystemCleanHelper.h"
#include "platform/ProcessRunner.h"
#include "devices/PermissionManager.h"
#include "localization/LanguageManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include "FakeDeviceService.h"
#include "FakeMachine.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QTest>

#include <atomic>
#include <memory>

namespace testsupport {

class RecordingPresenter final : public DialogPresenter
{
public:
    QStringList titles;
    int runModal(const GuideDialog &dialog) override
    {
        titles << dialog.title;
        return 0;   // closed without a button
    }
    bool openPrivilegedAccessSettings() override { return false; }
};

struct AppRig : WindowBasics
{
    // Does privileged deletion work? The probe reads this on each real look.
    std::shared_ptr<std::atomic<bool>> granted = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<SystemCleanHelper> helper;
    RecordingPresenter presenter;
    std::unique_ptr<PermissionManager> permissions;

    // Access is granted as root, or (viaPkexec) by pkexec and a polkit authority.
    explicit AppRig(bool hasAccess = false, bool viaPkexec = false)
    {
        granted->store(hasAccess);
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::english);
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [flag = granted, viaPkexec] { return flag->load() && !viaPkexec; };
        env.polkitAuthorityAnswers = [flag = granted, viaPkexec] { return flag->load() && viaPkexec; };
        env.pkexecPath = viaPkexec ? findExecutable(QStringLiteral("true")) : dir.filePath(QStringLiteral("no-pkexec"));
        env.adminTool = findExecutable(QStringLiteral("true"));   // a tool only root can change
        helper = std::make_unique<SystemCleanHelper>(clock, env);
        SystemCleanHelper::setShared(helper.get());
        permissions = std::make_unique<PermissionManager>(prefs, *helper, clock, presenter);
        PermissionManager::setShared(permissions.get());
        settle();
    }
    ~AppRig()
    {
        PermissionManager::setShared(nullptr);
        SystemCleanHelper::setShared(nullptr);
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    AppDelegate::Services services() { return {prefs, clock, center, *permissions, *helper}; }

    // Lets the background probes answer.
    void settle()
    {
        [this] { QVERIFY(clock.settle()); }();
    }
    // Moves virtual time a second at most at a time, letting each probe
    // answer within the second it started in, as it does for real.
    void advance(std::chrono::milliseconds by)
    {
        while (by > std::chrono::milliseconds(0)) {
            const std::chrono::milliseconds step = std::min(by, std::chrono::milliseconds(1000));
            clock.advance(step);
            settle();
            by -= step;
        }
    }
    int probes() const { return helper->probeCount(); }

    // The whole app over a fake machine with this rig's time, preferences,
    // notifications and language, started.
    std::unique_ptr<SweepbrookApp> launchApp(FakeMachine &machine)
    {
        SweepbrookApp::Options options;
        options.environment = machine.environment();
        options.scheduler = &clock;
        options.preferences = &prefs;
        options.center = &center;
        options.languageManager = &language;
        auto app = std::make_unique<SweepbrookApp>(options);
        app->start();
        clock.runDue();
        return app;
    }
};

// Every text a widget tree shows, in tree order: labels, buttons, tooltips.
inline QStringList shownTexts(const QWidget *root)
{
    QStringList texts;
    for (const QWidget *widget : root->findChildren<QWidget *>()) {
        if (const auto *label = qobject_cast<const QLabel *>(widget); label && !label->text().isEmpty())
            texts << label->text();
        else if (const auto *button = qobject_cast<const QAbstractButton *>(widget); button && !button->text().isEmpty())
            texts << button->text();
        if (!widget->toolTip().isEmpty())
            texts << widget->toolTip();
    }
    return texts;
}

inline QString grabPath(const QString &name)
{
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs");
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name;
}

} // namespace testsupport
