#include "settings/UpdateManager.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

using updates::UpdateError;

namespace {

// The desktop's proxy settings (environment, or the desktop's own through libproxy).
class DesktopProxies final : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

// Errors raised before or instead of a server's answer: transport and proxy.
bool isTransportError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

} // namespace

struct UpdateManager::Check
{
    QNetworkReply *reply = nullptr;
    QByteArray body;
    Scheduler::TimerId overall = 0;
    Scheduler::TimerId resource = 0;
    Scheduler::TimerId idle = 0;
};

UpdateManager::Options UpdateManager::appOptions()
{
    Options options;
    options.baseAddress = updates::appBaseAddress();
    options.currentVersion = QCoreApplication::applicationVersion();
    if (options.currentVersion.isEmpty())
        options.currentVersion = QStringLiteral(SWEEPBROOK_VERSION);
    options.preferredLanguages = QLocale::system().uiLanguages();
    return options;
}

UpdateManager::UpdateManager(Scheduler &scheduler, Options options, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_options(std::move(options))
    , m_network(new QNetworkAccessManager(this))
    , m_directUpdateURL(updates::versionEndpoint(m_options.baseAddress))
{
    if (m_options.proxy)
        m_network->setProxy(*m_options.proxy);
    else
        m_network->setProxyFactory(new DesktopProxies);
    m_currentVersion = m_options.currentVersion.isEmpty() ? QStringLiteral("1.0.0") : m_options.currentVersion;
}

UpdateManager::~UpdateManager()
{
    // Cancel every request and timer before the network object goes, so no
    // answer or time limit of a check reaches this object again.
    while (!m_checks.empty())
        take(m_checks.begin()->first);
}

void UpdateManager::checkForUpdates()
{
    m_isChecking = true;
    m_errorMessage.reset();
    emit stateChanged();

    const quint64 id = m_nextCheck++;
    m_checks.emplace(id, std::make_unique<Check>());
    const auto address = updates::requestAddress(m_directUpdateURL,
                                                 updates::preferredLanguageCode(m_options.preferredLanguages));
    if (!address) {
        fail(id, UpdateError::invalidURL);
        return;
    }
    watch(id, m_network->get(QNetworkRequest(*address)));
}

void UpdateManager::checkOnFirstAppearance()
{
    if (m_firstAppearanceChecked)
        return;
    m_firstAppearanceChecked = true;
    if (!m_lastCheckedDate)
        checkForUpdates();
}

void UpdateManager::openUpdateURL()
{
    const auto url = updates::openableDownloadAddress(m_updateURL, updates::downloadPage(m_options.baseAddress));
    if (!url)
        return;
    if (m_options.openURL)
        m_options.openURL(*url);
    else
        QDesktopServices::openUrl(*url);
}

void UpdateManager::watch(quint64 id, QNetworkReply *reply)
{
    Check &check = *m_checks.at(id);
    check.reply = reply;
    const Limits &limits = m_options.limits;
    check.overall = m_scheduler.after(limits.overall, [this, id] { fail(id, UpdateError::networkError); }, this);
    check.resource = m_scheduler.after(limits.resource, [this, id] { fail(id, UpdateError::networkError); }, this);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, id] { received(id); });
    connect(reply, &QNetworkReply::readyRead, this, [this, id] { received(id); });
    connect(reply, &QNetworkReply::finished, this, [this, id] { finished(id); });
}

// The server has begun to answer, or sent more: the idle limit starts over.
void UpdateManager::received(quint64 id)
{
    const auto found = m_checks.find(id);
    if (found == m_checks.end())
        return;
    Check &check = *found->second;
    m_scheduler.cancel(check.idle);
    check.idle = m_scheduler.after(m_options.limits.idle, [this, id] { fail(id, UpdateError::networkError); }, this);
    check.body += check.reply->readAll();
    if (check.body.size() > m_options.largestReply)
        fail(id, UpdateError::invalidResponse);
}

void UpdateManager::finished(quint64 id)
{
    const auto found = m_checks.find(id);
    if (found == m_checks.end())
        return;
    Check &check = *found->second;
    check.body += check.reply->readAll();
    const QVariant status = check.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || isTransportError(check.reply->error())) {
        fail(id, UpdateError::networkError);
        return;
    }
    if (check.body.size() > m_options.largestReply) {
        fail(id, UpdateError::invalidResponse);
        return;
    }
    const auto parsed = updates::parseVersionReply(status.toInt(), check.body,
                                                   updates::downloadPage(m_options.baseAddress));
    if (const auto *error = std::get_if<UpdateError>(&parsed))
        fail(id, *error);
    else
        succeed(id, std::get<updates::VersionReply>(parsed));
}

void UpdateManager::fail(quint64 id, UpdateError error)
{
    if (!take(id))
        return;
    m_errorMessage = updates::errorDescription(error);
    m_isChecking = false;
    emit stateChanged();
}

void UpdateManager::succeed(quint64 id, const updates::VersionReply &reply)
{
    if (!take(id))
        return;
    m_latestVersion = reply.version;
    m_updateAvailable = updates::isNewerVersion(reply.version, m_currentVersion);
    m_whatsNew = reply.whatsNew;
    m_updateURL = reply.downloadURL;
    m_lastCheckedDate = QDateTime::currentDateTime();
    m_isChecking = false;
    emit stateChanged();
}

// Ends a check's bookkeeping: its timers are cancelled and its request, if
// still running, aborted without a word to this object.
std::unique_ptr<UpdateManager::Check> UpdateManager::take(quint64 id)
{
    const auto found = m_checks.find(id);
    if (found == m_checks.end())
        return nullptr;
    std::unique_ptr<Check> check = std::move(found->second);
    m_checks.erase(found);
    for (Scheduler::TimerId timer : {check->overall, check->resource, check->idle})
        m_scheduler.cancel(timer);
    if (QNetworkReply *reply = check->reply) {
        disconnect(reply, nullptr, this, nullptr);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }
    return check;
}
