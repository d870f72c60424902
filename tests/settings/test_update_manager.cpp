// The update check against a real HTTP server on 127.0.0.1: what it asks,
// how it reads each kind of answer, its time limits on virtual time, and the
// rules it applies without a network.

#include "platform/Preferences.h"
#include "settings/UpdateManager.h"

#include "LocalHttpServer.h"
#include "TestMain.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>

using namespace std::chrono_literals;
using Server = testsupport::LocalHttpServer;
using testsupport::json;

namespace {

const QString networkText = QStringLiteral("Unable to check for updates. Please check your internet connection and try again.");
const QString invalidText = QStringLiteral("Unable to get update information");

struct Rig
{
    Server server;
    VirtualScheduler clock;
    QList<QUrl> opened;
    std::unique_ptr<UpdateManager> manager;

    explicit Rig(QString base = {}, UpdateManager::Limits limits = {})
    {
        UpdateManager::Options options;
        options.baseAddress = base.isNull() ? server.base() : base;
        options.currentVersion = QStringLiteral("1.2.0");
        options.preferredLanguages = {QStringLiteral("de-DE"), QStringLiteral("en-US")};
        options.limits = limits;
        options.proxy = QNetworkProxy(QNetworkProxy::NoProxy);   // a CI proxy must not catch 127.0.0.1
        options.openURL = [this](const QUrl &url) { opened << url; return true; };
        manager = std::make_unique<UpdateManager>(clock, options);
    }
    // Runs one check to its end on the real network; false when it never ends.
    bool check()
    {
        manager->checkForUpdates();
        return QTest::qWaitFor([this] { return !manager->isCheckingForUpdates(); }, 5000);
    }
    bool waitForRequest(int count = 1)
    {
        return QTest::qWaitFor([&] { return server.requests.size() >= count; }, 5000);
    }
};

} // namespace

class TestUpdateManager : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");        // empty: the check succeeds
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("whatsNew");
        QTest::addColumn<QString>("updateURL");    // "<base>" stands for the server's address

        const int ok = int(Server::Mode::reply);
        QTest::newRow("full") << ok << 200
                              << QByteArray(json("{'version':'1.10','whatsNew':'<b>Notes</b>','downloadURL':'https://x.example/d'}"))
                              << QString() << "1.10" << "<b>Notes</b>" << "https://x.example/d";
        QTest::newRow("only version") << ok << 200 << QByteArray(json("{'version':'1.2'}")) << QString() << "1.2"
                                      << "Bug fixes and improvements" << "<base>/download";
        QTest::newRow("empty downloadURL") << ok << 200 << QByteArray(json("{'version':'2','downloadURL':''}"))
                                           << QString() << "2" << "Bug fixes and improvements" << "";
        QTest::newRow("404") << ok << 404 << QByteArray("{}") << invalidText << "" << "" << "";
        QTest::newRow("500 with a version") << ok << 500 << QByteArray(json("{'version':'9'}")) << invalidText << "" << "" << "";
        QTest::newRow("not JSON") << ok << 200 << QByteArray("<html>") << invalidText << "" << "" << "";
        QTest::newRow("numeric version") << ok << 200 << QByteArray(json("{'version':2}")) << invalidText << "" << "" << "";
        QTest::newRow("array") << ok << 200 << QByteArray(json("[{'version':'2'}]")) << invalidText << "" << "" << "";
        QTest::newRow("too long") << ok << 200 << QByteArray(2 << 20, ' ') << invalidText << "" << "" << "";
        QTest::newRow("cut short") << int(Server::Mode::cutShort) << 200 << QByteArray(json("{'version':")) << networkText
                                   << "" << "" << "";
    }

    void answers()
    {
        QFETCH(int, mode);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        Rig rig;
        rig.server.mode = Server::Mode(mode);
        rig.server.status = status;
        rig.server.body = body;
        QVERIFY(rig.check());

        QCOMPARE(rig.server.requests.size(), 1);
        const Server::Request &request = rig.server.requests[0];
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.target, "/api/version?lang=de");
        QCOMPARE(request.headers.value("host"), QByteArray("127.0.0.1:") + QByteArray::number(rig.server.port()));
        for (const char *header : {"content-length", "cookie", "authorization", "proxy-authorization"})
            QVERIFY2(!request.headers.contains(header), header);

        UpdateManager &m = *rig.manager;
        QCOMPARE(m.errorMessage().value_or(QString()), error);
        QCOMPARE(m.lastCheckedDate().has_value(), error.isEmpty());
        QFETCH(QString, latest);
        QFETCH(QString, whatsNew);
        QFETCH(QString, updateURL);
        QCOMPARE(m.latestVersion(), latest);
        QCOMPARE(m.updateAvailable(), latest == QLatin1String("1.10") || latest == QLatin1String("2"));
        QCOMPARE(m.whatsNew(), whatsNew);
        QCOMPARE(m.updateURL(), QString(updateURL).replace(QLatin1String("<base>"), rig.server.base()));
    }

    void refusedAndInvalidAddresses()
    {
        Rig refused(QStringLiteral("http://127.0.0.1:%1").arg(Server::closedPort()));
        QVERIFY(refused.check());
        QCOMPARE(refused.manager->errorMessage(), networkText);

        for (const QString &base : {QStringLiteral("file:///etc"), QStringLiteral("not an address"), QString("")}) {
            Rig invalid(base);
            QVERIFY(invalid.check());
            QCOMPARE(invalid.manager->errorMessage(), QStringLiteral("Invalid URL"));
        }
    }

    void failureAfterSuccessKeepsTheResults()
    {
        Rig rig;
        rig.server.body = json("{'version':'3.0','whatsNew':'New','downloadURL':'https://x.example/3'}");
        QVERIFY(rig.check());
        const std::optional<QDateTime> checked = rig.manager->lastCheckedDate();
        QVERIFY(checked);
        rig.server.status = 404;
        QVERIFY(rig.check());
        QCOMPARE(rig.manager->errorMessage(), invalidText);
        QVERIFY(rig.manager->updateAvailable());
        QCOMPARE(rig.manager->latestVersion(), QStringLiteral("3.0"));
        QCOMPARE(rig.manager->whatsNew(), QStringLiteral("New"));
        QCOMPARE(rig.manager->updateURL(), QStringLiteral("https://x.example/3"));
        QCOMPARE(rig.manager->lastCheckedDate(), checked);
    }

    // Accepted and never answered: the overall limit ends it, not the idle one.
    void silentServerMeetsTheOverallLimit()
    {
        Rig rig;
        rig.server.mode = Server::Mode::silent;
        rig.manager->checkForUpdates();
        QVERIFY(rig.waitForRequest());
        rig.clock.advance(9900ms);
        QVERIFY(rig.manager->isCheckingForUpdates());
        rig.clock.advance(100ms);
        QVERIFY(!rig.manager->isCheckingForUpdates());
        QCOMPARE(rig.manager->errorMessage(), networkText);
        QVERIFY(QTest::qWaitFor([&] { return rig.server.closedByClient == 1; }, 5000));   // the request was aborted
    }

    // Headers, then nothing more: five seconds without data end it.
    void stalledTransferMeetsTheIdleLimit()
    {
        Rig rig;
        rig.server.mode = Server::Mode::headersThenStall;
        rig.manager->checkForUpdates();
        // The idle limit is armed once the headers are in (beside the overall and resource limits).
        QVERIFY(QTest::qWaitFor([&] { return rig.clock.pendingCount() == 3; }, 5000));
        rig.clock.advance(4900ms);
        QVERIFY(rig.manager->isCheckingForUpdates());
        rig.clock.advance(100ms);
        QCOMPARE(rig.manager->errorMessage(), networkText);
    }

    // The same limit on the app's own scheduler, scaled down.
    void silentServerOnRealTime()
    {
        QtScheduler realTime;
        Server server;
        server.mode = Server::Mode::silent;
        UpdateManager::Options options;
        options.baseAddress = server.base();
        options.proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        options.limits = {200ms, 100ms, 300ms};
        UpdateManager manager(realTime, options);
        manager.checkForUpdates();
        QVERIFY(QTest::qWaitFor([&] { return !manager.isCheckingForUpdates(); }, 5000));
        QCOMPARE(manager.errorMessage(), networkText);
    }

    void download()
    {
        Rig rig;
        const QString page = rig.server.base() + QStringLiteral("/download");
        const QList<std::pair<QByteArray, QString>> cases = {
            {json("{'version':'2','downloadURL':'https://x.example/d'}"), QStringLiteral("https://x.example/d")},
            {json("{'version':'2','downloadURL':'HTTP://x.example/d'}"), QStringLiteral("http://x.example/d")},
            {json("{'version':'2','downloadURL':'file:///usr/bin/xterm'}"), page},
            {json("{'version':'2','downloadURL':'smb://host/share/setup'}"), page},
            {json("{'version':'2','downloadURL':'sweepbrook-helper:run'}"), page},
            {json("{'version':'2','downloadURL':'/relative'}"), page},
            {json("{'version':'2','downloadURL':'https://'}"), page},
            {json("{'version':'2','downloadURL':''}"), page},
        };
        for (const auto &[body, expected] : cases) {
            rig.server.body = body;
            QVERIFY(rig.check());
            rig.manager->openUpdateURL();
            QCOMPARE(rig.opened.takeLast().toString(), expected);
        }
        Rig nowhere(QStringLiteral("not an address"));
        nowhere.manager->openUpdateURL();
        QVERIFY(nowhere.opened.isEmpty());
    }

    void versions()
    {
        const struct { const char *offered, *current; bool newer; } cases[] = {
            {"1.2.10", "1.2.9", true}, {"1.10", "1.9", true}, {"2.0", "2.0.0", false}, {"2.0.0", "2.0", false},
            {"2.0-beta", "1.9", true}, {"R2.0", "1.0", false}, {"1..2", "1.1", true}, {"+3", "2", true},
            {"-1", "0", false}, {"", "1.0.0", false}, {"1.0", "1.0", false},
            // A piece counts as its leading digits and keeps its place.
            {"1.3-beta.2", "1.2.5", true}, {"1.2b.9", "1.8", false}, {"1.2.rc1", "1.2.0.1", false},
            {"99999999999999999999", "9223372036854775806", true},
        };
        for (const auto &c : cases)
            QVERIFY2(updates::isNewerVersion(QString::fromLatin1(c.offered), QString::fromLatin1(c.current)) == c.newer,
                     qPrintable(QStringLiteral("%1 against %2").arg(c.offered, c.current)));
    }

    void languageCodes()
    {
        const struct { QStringList preferred; const char *code; } cases[] = {
            {{"zh-Hans"}, "zh-Hans"}, {{"zh-Hans-CN"}, "zh"}, {{"pt-BR"}, "pt"}, {{"en-US"}, "en"},
            {{"nl-NL", "de"}, "en"}, {{}, "en"}, {{"ZH-hans"}, "en"}, {{"de"}, "de"}, {{"zh-Hant"}, "zh-Hant"},
        };
        for (const auto &c : cases)
            QCOMPARE(updates::preferredLanguageCode(c.preferred), QString::fromLatin1(c.code));
    }

    void baseAddress()
    {
        QTemporaryDir dir;
        Preferences prefs(dir.filePath(QStringLiteral("prefs.json")));
        QProcessEnvironment env;
        QCOMPARE(updates::configuredBaseAddress(prefs, env), QStringLiteral("https://sweepbrook.example"));
        prefs.setString(updates::baseAddressPreference, QStringLiteral("http://updates.lan:8080/"));
        QCOMPARE(updates::configuredBaseAddress(prefs, env), QStringLiteral("http://updates.lan:8080/"));
        env.insert(QString::fromLatin1(updates::baseAddressVariable), QStringLiteral("http://127.0.0.1:9"));
        QCOMPARE(updates::configuredBaseAddress(prefs, env), QStringLiteral("http://127.0.0.1:9"));
        QCOMPARE(updates::versionEndpoint(QStringLiteral("http://updates.lan:8080/sb/")),
                 QStringLiteral("http://updates.lan:8080/sb/api/version"));
    }
};

SWEEPBROOK_TEST_MAIN(TestUpdateManager)
#include "test_update_manager.moc"
