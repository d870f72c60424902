// The update section on its own, offscreen, against a real HTTP server on
// 127.0.0.1: which block the card shows, the first appearance's check once per
// manager, the what's-new sheet, the download, and closing mid-check.

#include "localization/Localization.h"
#include "settings/views/UpdateCheckView.h"
#include "settings/UpdateManager.h"
#include "settings/views/WhatsNewView.h"
#include "toolkit/Toolkit.h"

#include "KeyboardChecks.h"
#include "LocalHttpServer.h"
#include "TestMain.h"
#include "WindowBasics.h"

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QTextDocument>
#include <QVBoxLayout>

using namespace std::chrono_literals;
using Server = testsupport::LocalHttpServer;
using testsupport::json;

namespace {

// A stand-in for the settings sheet: a dialog whose last block holds the view;
// the manager belongs to the dialog, as it does to one presentation of the sheet.
struct Sheet : testsupport::WindowBasics
{
    Server server;
    QList<QUrl> opened;
    QPointer<QDialog> dialog = new QDialog;
    QWidget *block = new QWidget(dialog);
    UpdateManager *manager = nullptr;
    UpdateCheckView *view = nullptr;

    Sheet()
    {
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::english);
        block->setObjectName(QStringLiteral("updateCheckBlock"));
        (new QVBoxLayout(dialog))->addWidget(block);
        dialog->resize(320, 400);
        present();
        dialog->show();
    }
    ~Sheet()
    {
        delete dialog;
        LanguageManager::setShared(nullptr);
    }
    // A new presentation's manager, and the view placed over it.
    void present()
    {
        UpdateManager::Options options;
        options.baseAddress = server.base();
        options.currentVersion = QStringLiteral("1.0");
        options.proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        options.openURL = [this](const QUrl &url) { opened << url; return true; };
        delete manager;
        manager = new UpdateManager(clock, options, dialog);
        view = UpdateCheckView::placeIn(block, *manager, dialog);
    }
    QString shownBlock() const
    {
        for (const char *name : {"checkingRow", "updateBlock", "errorBlock", "upToDateRow"}) {
            if (view->findChild<QWidget *>(name)->isVisibleTo(view))
                return QString::fromLatin1(name);
        }
        return {};
    }
    QAbstractButton *button(const char *name) const { return view->findChild<QAbstractButton *>(name); }
    QString label(const char *name) const { return view->findChild<QLabel *>(name)->text(); }
    bool settled() { return QTest::qWaitFor([this] { return !manager->isCheckingForUpdates(); }, 5000); }
};

} // namespace

class TestUpdateCheckView : public QObject
{
    Q_OBJECT

private slots:
    void cardFollowsTheChecks()
    {
        Sheet sheet;
        sheet.server.mode = Server::Mode::silent;
        QCOMPARE(sheet.shownBlock(), QStringLiteral("upToDateRow"));   // until the appearance's check runs
        QCOMPARE(sheet.label("currentVersion"), QStringLiteral("1.0"));
        sheet.clock.runDue();
        QCOMPARE(sheet.shownBlock(), QStringLiteral("checkingRow"));
        QVERIFY(!sheet.button("checkNowButton")->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return sheet.server.requests.size() == 1; }, 5000));
        sheet.clock.advance(10s);
        QCOMPARE(sheet.shownBlock(), QStringLiteral("errorBlock"));
        QVERIFY(sheet.label("errorMessage").startsWith(QStringLiteral("Unable to check for updates.")));
        QVERIFY(!sheet.view->findChild<QLabel *>("lastChecked")->isVisibleTo(sheet.view));

        // Server text is shown as it came, never as markup.
        sheet.server.mode = Server::Mode::reply;
        sheet.server.body = json("{'version':'2.0 <b>beta</b>','whatsNew':'<i>notes</i>'}");
        sheet.button("retryButton")->click();
        QVERIFY(sheet.settled());
        QCOMPARE(sheet.shownBlock(), QStringLiteral("updateBlock"));
        auto *latest = sheet.view->findChild<QLabel *>("latestVersion");
        QCOMPARE(latest->text(), QStringLiteral("2.0 <b>beta</b>"));
        QCOMPARE(latest->textFormat(), Qt::PlainText);
        QVERIFY(sheet.label("lastChecked").startsWith(QStringLiteral("Last checked: ")));

        // A later failure does not hide what the last success found.
        sheet.server.status = 404;
        sheet.button("checkNowButton")->click();
        QVERIFY(sheet.settled());
        QCOMPARE(sheet.shownBlock(), QStringLiteral("updateBlock"));
        QCOMPARE(sheet.server.requests.size(), 3);
    }

    void languageRebuildKeepsTheManager()
    {
        Sheet sheet;
        sheet.server.body = json("{'version':'0.9'}");
        sheet.clock.runDue();
        QVERIFY(sheet.settled());
        sheet.server.status = 500;
        sheet.button("checkNowButton")->click();
        QVERIFY(sheet.settled());
        QCOMPARE(sheet.shownBlock(), QStringLiteral("errorBlock"));

        sheet.language.setLanguage(AppLanguage::chinese);
        UpdateCheckView *rebuilt = UpdateCheckView::placeIn(sheet.block, *sheet.manager, sheet.dialog);
        QCOMPARE(sheet.block->findChildren<UpdateCheckView *>().size(), 1);
        sheet.view = rebuilt;
        rebuilt->show();
        sheet.clock.runDue();
        QCOMPARE(sheet.server.requests.size(), 2);   // no new check
        QCOMPARE(sheet.shownBlock(), QStringLiteral("errorBlock"));
        QVERIFY(sheet.label("lastChecked").startsWith(localized(QStringLiteral("last_checked")).section('%', 0, 0)));

        // A new presentation starts afresh and checks again.
        sheet.present();
        sheet.view->show();
        sheet.clock.runDue();
        QVERIFY(sheet.settled());
        QCOMPARE(sheet.server.requests.size(), 3);
    }

    void whatsNewAndDownload()
    {
        Sheet sheet;
        const QString version = QStringLiteral("9 <b>beta</b> ") + QString(200, u'x');
        sheet.server.body = json("{'version':'%1','whatsNew':'<a href=x>a</a>\\n\\nline','downloadURL':'file:///bin/sh'}")
                                .replace("%1", version.toUtf8());
        sheet.clock.runDue();
        QVERIFY(sheet.settled());

        // A version too long for its row shows whole in its tool tip, as written.
        auto *latest = sheet.view->findChild<QLabel *>("latestVersion");
        QVERIFY(QTest::qWaitFor([&] { return !latest->toolTip().isEmpty(); }, 2000));
        QTextDocument tip;
        tip.setHtml(latest->toolTip());
        QCOMPARE(tip.toPlainText(), version);

        sheet.button("whatsNewButton")->click();
        QPointer<WhatsNewView> notes = sheet.view->whatsNewSheet();
        QVERIFY(notes && notes->isVisible());
        QCOMPARE(notes->parentWidget(), sheet.dialog.data());
        QCOMPARE(notes->windowModality(), Qt::WindowModal);
        QCOMPARE(notes->notes(), QStringLiteral("<a href=x>a</a>\n\nline"));
        // Its Done and the download are main actions: the accent, the focus
        // shown on it, Enter and Space press them.
        const QColor accent = ui::prominentColors(QApplication::palette()).fill;
        auto *done = qobject_cast<ui::PaintedButton *>(notes->findChild<QAbstractButton *>("doneButton"));
        QVERIFY(done && done->fill() == accent);
        QVERIFY(testsupport::showsFocus(done));
        QVERIFY(testsupport::pressedByKeys(done, {Qt::Key_Return}));
        QVERIFY(QTest::qWaitFor([&] { return notes.isNull(); }, 2000));

        // Only http and https are opened; anything else gives the download page.
        QAbstractButton *download = sheet.button("downloadButton");
        QCOMPARE(download->grab().toImage().pixelColor(download->width() / 2, 2), accent);
        QVERIFY(testsupport::showsFocus(download));
        QVERIFY(testsupport::pressedByKeys(download, {Qt::Key_Enter, Qt::Key_Space}));
        const QUrl page(sheet.server.base() + QStringLiteral("/download"));
        QCOMPARE(sheet.opened, (QList<QUrl>{page, page}));
    }

    void closingTheSheetMidCheck()
    {
        Sheet sheet;
        sheet.server.mode = Server::Mode::silent;
        sheet.clock.runDue();
        QVERIFY(QTest::qWaitFor([&] { return sheet.server.requests.size() == 1; }, 5000));
        delete sheet.dialog;
        QVERIFY(QTest::qWaitFor([&] { return sheet.server.closedByClient == 1; }, 5000));
        sheet.clock.advance(20s);
        QCOMPARE(sheet.clock.pendingCount(), 0);
    }
};

SWEEPBROOK_TEST_MAIN(TestUpdateCheckView)
#include "test_update_check_view.moc"
