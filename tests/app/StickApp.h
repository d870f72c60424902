#pragma once

// The whole app in real time, under Xvfb when it is there, on real FAT32
// sticks (fusefat on loop devices) that only it sees: its mount table is a
// copy holding this test's sticks alone (other tests mount volumes of their
// own meanwhile), its preferences are private and the privileged clean's
// dialogs are recorded.

#include "app/SweepbrookApp.h"
#include "history/HistoryStore.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/views/DetailColumn.h"
#include "mainwindow/views/MainWindow.h"
#include "toolkit/Presentation.h"
#include "platform/DialogPresenter.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"

#include "BytePaths.h"
#include "FakeMachine.h"
#include "MountFixture.h"
#include "ToolRun.h"
#include "Patience.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace testsupport {

class RecordingDialogs final : public DialogPresenter
{
public:
    QStringList titles;
    QStringList messages;
    int runModal(const GuideDialog &dialog) override
    {
        titles << dialog.title;
        messages << dialog.message;
        return 1000;
    }
    bool openPrivilegedAccessSettings() override { return false; }
};

struct StickApp
{
    MountFixture fx;
    QTemporaryDir dir;
    Preferences preferences{dir.filePath(QStringLiteral("preferences.json"))};
    NotificationCenter center;
    RecordingDialogs presenter;
    QString mountInfo = dir.filePath(QStringLiteral("mountinfo"));
    std::unique_ptr<SweepbrookApp> app;
    QHash<QString, QString> loops;   // the loop device of each stick, by mount point

    // `volumeTimeout`: how long a scan or clean may make no progress (zero:
    // the app's own limit); `dotClean`: the tool it runs (a copy of ours
    // only root can change, when empty).
    bool start(std::chrono::milliseconds volumeTimeout = {}, const QString &dotClean = {})
    {
        preferences.setBool(QStringLiteral("hasCompletedOnboarding"), true);
        if (!MountFixture::writeMountInfoOf({}, mountInfo))
            return false;
        USBDeviceManager::Environment env;
        env.paths.mountInfo = mountInfo;
        // A copy only root can change, wherever the checkout lies: as root the
        // app runs no tool anyone else could have changed.
        env.dotClean = dotClean.isEmpty() ? trustedCopyOf(QStringLiteral(SWEEPBROOK_DOT_CLEAN)) : dotClean;
        if (volumeTimeout.count() > 0)
            env.volumeTimeout = volumeTimeout;
        SweepbrookApp::Options options;
        options.environment = env;
        options.preferences = &preferences;
        options.center = &center;
        options.dialogPresenter = &presenter;
        app = std::make_unique<SweepbrookApp>(options);
        app->start();
        app->window().resize(1100, 720);
        return QTest::qWaitForWindowExposed(&app->window(), kPatience);
    }

    // A new stick with three pieces of junk and a photo, shown to the app as
    // inserted; read-only after the files are written when asked (FAT32 only).
    QString insert(const QString &name, bool readOnly, MountFixture::Kind kind = MountFixture::Kind::Fat32)
    {
        const QString point = fx.mountRoot() + u'/' + name;
        const std::optional<QString> loop = fx.mountNew(kind, point, 64, name);
        if (!loop)
            return {};
        writeFile(point + "/.DS_Store", QByteArray(6148, 'd'));
        writeFile(point + "/._photo.jpg", QByteArray(4096, 'a'));
        writeFile(point + "/DCIM/Thumbs.db", QByteArray(100, 't'));
        writeFile(point + "/photo.jpg", "keep me");
        if (readOnly && !(fx.unmount(point) && fx.mountFat(*loop, point, true)))
            return {};
        return MountFixture::writeMountInfoOf(point, mountInfo) ? point : QString();
    }

    // A new stick holding what lies in `staging`, shown to the app as
    // inserted; read-only when asked.
    QString insertWith(const QString &name, const QString &staging, bool readOnly = false)
    {
        const QString point = fx.mountRoot() + u'/' + name;
        const std::optional<QString> loop = fx.mountNewFat32With(staging, point, 64, name);
        if (!loop || (readOnly && !(fx.unmount(point) && fx.mountFat(*loop, point, true))))
            return {};
        loops.insert(point, *loop);
        return MountFixture::writeMountInfoOf(point, mountInfo) ? point : QString();
    }

    // Scans the stick once it is selected; its results are listed. (The
    // five seconds a new stick is given to settle are not waited for.)
    bool scan(const QString &point)
    {
        ContentView &view = app->contentView();
        if (!QTest::qWaitFor([&] { return view.selectedDevice() && view.selectedDevice()->path == point; }, kPatience))
            return false;
        view.markDeviceReady();
        view.scanDevice(*view.selectedDevice());
        return QTest::qWaitFor([&] { return identity().startsWith(QStringLiteral("ScanResultsView_")); }, kPatience);
    }

    QAbstractButton *cleanAllButton() const
    {
        return app->window().findChild<QAbstractButton *>(QStringLiteral("cleanAllButton"));
    }

    bool cleanAll()
    {
        QAbstractButton *button = cleanAllButton();
        if (!button || !QTest::qWaitFor([&] { return button->isVisible(); }, kPatience))
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

    QString identity() const { return app->window().detailColumn()->currentIdentity(); }

    // What the results list holds, as items.
    int listedItems() const
    {
        const auto *list = app->window().findChild<QWidget *>(QStringLiteral("resultsList"));
        return list && list->isVisible() ? presentation::totalFileCount(app->contentView().scanResults()) : -1;
    }

    // The stored history (a save lands in the background).
    QList<CleanHistory> history() { return HistoryStore(preferences).load(); }

    ~StickApp() { app.reset(); }
};

// Junk for a stick of thousands of files, staged in a folder of its own:
// `folders` folders of `perFolder` files named after `pattern` ("._" files
// by default, which our dot_clean removes; "~IMG_%1.tmp" for files removed
// one by one), a ".DS_Store" in each and a photo that stays.
struct JunkTree
{
    QTemporaryDir staging;
    QStringList paths;   // below the stick's root, sorted

    JunkTree(int folders, int perFolder, const QString &pattern = QStringLiteral("._IMG_%1.JPG"))
    {
        for (int f = 0; f < folders; ++f) {
            const QString folder = QStringLiteral("/DCIM%1").arg(f, 3, 10, QLatin1Char('0'));
            QDir().mkpath(staging.path() + folder);
            for (int i = 0; i < perFolder; ++i)
                paths << folder + u'/' + pattern.arg(i, 4, 10, QLatin1Char('0'));
            paths << folder + QStringLiteral("/.DS_Store");
            writeFile(QFile::encodeName(staging.path() + folder + QStringLiteral("/IMG_0000.JPG")), "keep");
        }
        for (const QString &path : std::as_const(paths))
            writeFile(QFile::encodeName(staging.path() + path), "ad");
        paths.sort();
    }

    // The bytes of those of the junk's `paths`, as staged.
    qint64 bytesOf(const QStringList &some) const
    {
        qint64 bytes = 0;
        for (const QString &path : some)
            bytes += QFileInfo(staging.path() + path).size();
        return bytes;
    }

    // Of the junk, what is no longer on the stick mounted at `point`.
    QStringList goneFrom(const QString &point) const
    {
        QStringList gone;
        for (const QString &path : paths) {
            if (!QFileInfo::exists(point + path))
                gone << path;
        }
        return gone;
    }
};

// Continues a stopped FUSE daemon when the test ends, however it ends;
// declared after the app, so it runs first and the app's threads held in the
// stick can end.
struct ContinueOnExit
{
    pid_t daemon = 0;
    ~ContinueOnExit()
    {
        if (daemon > 0)
            ::kill(daemon, SIGCONT);
    }
};

// Of `paths` (below `point`), those that are there.
inline QStringList presentOf(const QString &point, const QStringList &paths)
{
    QStringList present;
    for (const QString &path : paths) {
        if (QFileInfo::exists(point + path))
            present << path;
    }
    return present;
}

// The paths a record lists, below `point`, sorted.
inline QStringList recordedPaths(const CleanHistory &record, const QString &point)
{
    QStringList paths;
    for (const CleanedFileDetail &file : record.cleanedFiles)
        paths << file.path.mid(point.size());
    paths.sort();
    return paths;
}

} // namespace testsupport
