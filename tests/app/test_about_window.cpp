// The About window and sheet: the size and place rules as arithmetic (the
// screen's share, the margins, what wins when the window cannot fit), the menu
// command's toggle over real windows and what the keyboard meets in them, the
// sidebar's sheet, and grabs in English and Chinese.

#include "app/AboutSheet.h"
#include "app/AboutWindowGeometry.h"
#include "app/AppInfoManager.h"
#include "app/AppInfoPopoverView.h"
#include "localization/Localization.h"
#include "mainwindow/views/MainWindow.h"

#include "AppRig.h"
#include "FakeDeviceService.h"
#include "KeyboardChecks.h"
#include "TestMain.h"

#include <QDialog>
#include <QMainWindow>
#include <QScreen>

using namespace aboutgeometry;
using OptionalRect = std::optional<QRect>;
Q_DECLARE_METATYPE(OptionalRect)

class TestAboutWindow : public QObject
{
    Q_OBJECT

private slots:
    void preferredSize_data()
    {
        QTest::addColumn<OptionalRect>("screen");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("laptop") << OptionalRect(QRect(0, 25, 1280, 875)) << QSize(448, 600);
        QTest::newRow("large screen") << OptionalRect(QRect(0, 25, 2560, 1415)) << QSize(550, 600);
        QTest::newRow("small screen") << OptionalRect(QRect(0, 0, 1200, 600)) << QSize(420, 420);
        QTest::newRow("no screen") << OptionalRect() << QSize(550, 600);
    }
    void preferredSize()
    {
        QFETCH(OptionalRect, screen);
        QFETCH(QSize, expected);
        QCOMPARE(preferredWindowSize(screen), expected);
    }

    void origin_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<OptionalRect>("screen");
        QTest::addColumn<QPoint>("expected");
        const OptionalRect screen(QRect(0, 32, 1920, 1048));   // a panel on top
        const OptionalRect right(QRect(1920, 0, 1280, 1024));  // a second monitor
        QTest::newRow("shared centre") << QRect(400, 200, 1000, 700) << QSize(550, 600) << screen << QPoint(625, 250);
        QTest::newRow("odd sizes round to the centre") << QRect(401, 201, 999, 699) << QSize(551, 601) << screen
                                                       << QPoint(625, 250);
        QTest::newRow("anchor against the left edge") << QRect(-300, 200, 800, 600) << QSize(550, 600) << screen
                                                      << QPoint(20, 200);
        QTest::newRow("anchor past the right edge") << QRect(1700, 200, 800, 600) << QSize(550, 600) << screen
                                                    << QPoint(1920 - 20 - 550, 200);
        QTest::newRow("anchor above the top") << QRect(400, -500, 800, 600) << QSize(550, 600) << screen
                                              << QPoint(525, 52);
        QTest::newRow("anchor below the bottom") << QRect(400, 900, 800, 600) << QSize(550, 600) << screen
                                                 << QPoint(525, 32 + 1048 - 20 - 600);
        QTest::newRow("second monitor") << QRect(1900, 100, 400, 300) << QSize(550, 600) << right
                                        << QPoint(1940, 20);
        // Too big for the margins: the left edge and the bottom edge stay inside.
        QTest::newRow("too wide and too tall") << QRect(0, 0, 600, 400) << QSize(700, 500) << OptionalRect(QRect(0, 0, 720, 520))
                                               << QPoint(20, 520 - 20 - 500);
        QTest::newRow("no screen: not clamped") << QRect(-300, -200, 800, 600) << QSize(550, 600) << OptionalRect()
                                                << QPoint(-175, -200);
    }
    void origin()
    {
        QFETCH(QRect, anchor);
        QFETCH(QSize, frame);
        QFETCH(OptionalRect, screen);
        QFETCH(QPoint, expected);
        QCOMPARE(windowOrigin(anchor, frame, screen), expected);
    }

    void menuCommandToggles()
    {
        testsupport::AppRig rig;
        QMainWindow main;
        main.setGeometry(200, 150, 900, 640);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main, testsupport::kPatience));
        AppDelegate delegate(rig.services());
        AppInfoManager &about = delegate.aboutWindows();

        delegate.handleShowAboutWindow();
        QPointer<QWidget> first = about.infoWindow();
        QVERIFY(first && first->isVisible());
        QCOMPARE(first->windowTitle(), QStringLiteral("Sweepbrook"));
        QVERIFY(first->windowFlags() & Qt::WindowStaysOnTopHint);
        // Over the main window, inside the screen.
        QVERIFY(QTest::qWaitForWindowExposed(first, testsupport::kPatience));
        const QPoint offset = first->frameGeometry().center() - main.frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
        // The view's own minimum wins over the screen's share.
        QVERIFY(first->width() >= 550 && first->height() >= 580);
        // Every control Tab reaches shows its focus (the page is none of
        // them); the links' rings keep off their labels.
        QCOMPARE(testsupport::tabStops(first).size(), 4);
        QCOMPARE(testsupport::stopsShowingNoFocus(first), QStringList());
        for (const char *link : {"aboutWebsiteLink", "aboutSupportLink"})
            QVERIFY2(testsupport::ringClearOfLabel(first->findChild<QWidget *>(link)), link);

        delegate.handleShowAboutWindow();
        QVERIFY(!first);
        delegate.handleShowAboutWindow();
        QPointer<QWidget> second = about.infoWindow();
        QVERIFY(second && second->isVisible());

        // Closed by its own button: hidden, and the command opens a new one.
        QTest::mouseClick(second->findChild<QAbstractButton *>(QStringLiteral("aboutCloseButton")), Qt::LeftButton);
        QVERIFY(second && !second->isVisible());
        delegate.handleShowAboutWindow();
        QVERIFY(!second);
        QPointer<QWidget> third = about.infoWindow();
        QVERIFY(third && third->isVisible());

        // Escape closes it, as its button does.
        third->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(third, testsupport::kPatience));
        QTest::keyClick(third, Qt::Key_Escape);
        QVERIFY(third && !third->isVisible());
        delegate.handleShowAboutWindow();
        QVERIFY(!third);
        third = about.infoWindow();

        // Minimised counts as not shown too.
        third->showMinimized();
        delegate.handleShowAboutWindow();
        QVERIFY(!third && about.infoWindow() && about.infoWindow()->isVisible());
    }

    void sidebarFooterOpensTheSheet()
    {
        testsupport::WindowRig rig;
        Scheduler::setShared(&rig.clock);
        LanguageManager::setShared(&rig.language);
        const auto restore = qScopeGuard([] {
            LanguageManager::setShared(nullptr);
            Scheduler::setShared(nullptr);
        });
        MainWindow window(rig.view, rig.devices, rig.language);
        new AboutSheet(rig.view, &window);
        window.show();
        auto *footer = window.findChild<QAbstractButton *>(QStringLiteral("sidebarFooter"));

        for (int round = 0; round < 2; ++round) {
            footer->click();
            auto *sheet = window.findChild<QDialog *>(QStringLiteral("aboutSheet"));
            QVERIFY(sheet && sheet->isVisible() && rig.view.showAbout());
            QCOMPARE(sheet->windowModality(), Qt::WindowModal);
            QVERIFY(sheet->findChild<AppInfoPopoverView *>());
            // Its close button closes it and clears the window's state.
            sheet->findChild<QAbstractButton *>(QStringLiteral("aboutCloseButton"))->click();
            QVERIFY(!sheet->isVisible() && !rig.view.showAbout());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    void grabsInBothLanguages()
    {
        testsupport::AppRig rig;
        QStringList english;
        for (const AppLanguage language : {AppLanguage(AppLanguage::english), AppLanguage(AppLanguage::chinese)}) {
            rig.language.setLanguage(language);
            AppInfoManager about;
            about.showInfoWindow();
            QVERIFY(QTest::qWaitForWindowExposed(about.infoWindow(), testsupport::kPatience));
            QVERIFY(about.infoWindow()->grab().save(
                testsupport::grabPath(QStringLiteral("about-%1.png").arg(language.rawValue()))));
            const QStringList texts = testsupport::shownTexts(about.infoWindow());
            if (english.isEmpty()) {
                english = texts;
                continue;
            }
            // Every text but the product's name (and the links' addresses) is translated.
            QCOMPARE(texts.size(), english.size());
            for (qsizetype i = 0; i < texts.size(); ++i) {
                if (texts[i] != QLatin1String("Sweepbrook") && !texts[i].contains(QLatin1String("sweepbrook.example")))
                    QVERIFY2(texts[i] != english[i], qPrintable(texts[i]));
            }
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestAboutWindow)
#include "test_about_window.moc"
