#pragma once

#include "platform/Scheduler.h"
#include "settings/UpdateRules.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// Asks the product's version endpoint which version is the newest and
// publishes the outcome for the update section of the settings sheet. One
// HTTP GET per check; nothing is kept between runs. A failed check keeps what
// the last successful one found. Main thread only.
//
// Destroying the manager aborts a check under way: its request is cancelled
// and nothing of it runs afterwards.
class UpdateManager : public QObject
{
    Q_OBJECT
public:
    using Duration = std::chrono::milliseconds;

    struct Limits
    {
        Duration overall{std::chrono::seconds(10)};    // the whole check, from the request on
        Duration idle{std::chrono::seconds(5)};        // between data, once the server has begun to answer
        Duration resource{std::chrono::seconds(15)};   // the whole transfer
    };

    struct Options
    {
        QString baseAddress = updates::defaultBaseAddress;
        QString currentVersion;                 // the running app's; "1.0.0" when empty
        QStringList preferredLanguages;         // the desktop's, most preferred first
        Limits limits;
        std::optional<QNetworkProxy> proxy;     // none: the desktop's proxy settings
        qint64 largestReply = 1 << 20;          // a longer body is not a version reply
        std::function<bool(const QUrl &)> openURL;   // none: the desktop's handler
    };

    // The app's: the configured server, the build's version, the desktop's languages.
    static Options appOptions();

    UpdateManager(Scheduler &scheduler, Options options, QObject *parent = nullptr);
    ~UpdateManager() override;

    bool isCheckingForUpdates() const { return m_isChecking; }
    bool updateAvailable() const { return m_updateAvailable; }
    QString latestVersion() const { return m_latestVersion; }
    QString currentVersion() const { return m_currentVersion; }
    QString whatsNew() const { return m_whatsNew; }
    QString updateURL() const { return m_updateURL; }
    std::optional<QDateTime> lastCheckedDate() const { return m_lastCheckedDate; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    QString directUpdateURL() const { return m_directUpdateURL; }
    Scheduler &scheduler() const { return m_scheduler; }

    // Starts one check; its end is published. A second check may run beside it.
    void checkForUpdates();
    // The check of the section's first appearance: once per manager, and only
    // when no check has succeeded yet.
    void checkOnFirstAppearance();
    // Opens the download address (http or https only; else the download page).
    void openUpdateURL();

signals:
    // Any published property changed.
    void stateChanged();

private:
    struct Check;
    void watch(quint64 id, QNetworkReply *reply);
    void received(quint64 id);
    void finished(quint64 id);
    void fail(quint64 id, updates::UpdateError error);
    void succeed(quint64 id, const updates::VersionReply &reply);
    std::unique_ptr<Check> take(quint64 id);

    Scheduler &m_scheduler;
    Options m_options;
    QNetworkAccessManager *m_network = nullptr;
    std::map<quint64, std::unique_ptr<Check>> m_checks;
    quint64 m_nextCheck = 1;
    bool m_firstAppearanceChecked = false;

    bool m_isChecking = false;
    bool m_updateAvailable = false;
    QString m_latestVersion;
    QString m_currentVersion;
    QString m_whatsNew;
    QString m_updateURL;
    std::optional<QDateTime> m_lastCheckedDate;
    std::optional<QString> m_errorMessage;
    QString m_directUpdateURL;
};
