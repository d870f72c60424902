// The history window with a record of 100,000 files: time from selecting the
// record (or opening the sheet with it selected) to the first painted frame,
// time per keystroke of a search from the key to the repainted list, and the
// memory the window adds on top of the record. The floor of a keystroke is a
// bare case-insensitive scan of every name, path and kind string.
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench_history_view > /dev/null 2> history.txt
//      (the window logic logs to stdout)
#include "history/views/CleanHistoryDetailView.h"
#include "history/views/CleanHistoryView.h"

#include "BenchSupport.h"
#include "FakeDeviceService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

// A clean of a photo stick.
CleanHistory makeRecord(int count, int n)
{
    CleanHistory record;
    record.id = QUuid::createUuid();
    record.deviceName = QStringLiteral("STICK %1").arg(n);
    record.deviceID = QStringLiteral("/media/user/STICK|sdb1");
    record.timestamp = QDateTime::currentDateTimeUtc();
    record.fileTypes = {QStringLiteral("appleDouble"), QStringLiteral("dsStore"), QStringLiteral("thumbsDb"),
                        QStringLiteral("temporaryFiles"), QStringLiteral("systemLogs")};
    record.cleanedFiles.reserve(count);
    for (int i = 0; i < count; ++i) {
        const bench::Junk junk = bench::photoStickJunk(QStringLiteral("/media/user/STICK"), i);
        record.cleanedFiles.append({junk.item.name(), junk.item.path(), junk.item.size, FileTypes::rawValue(junk.kind)});
        record.freedSpace += junk.item.size;
    }
    record.cleanedFileCount = count;
    return record;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// The floor: every entry checked in full, nothing remembered between keys.
int bareScan(const QList<CleanedFileDetail> &files, const QString &text)
{
    int found = 0;
    for (const CleanedFileDetail &f : files) {
        if (f.name.contains(text, Qt::CaseInsensitive) || f.path.contains(text, Qt::CaseInsensitive)
            || f.fileType.contains(text, Qt::CaseInsensitive))
            ++found;
    }
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    testsupport::WindowRig rig;
    LanguageManager::setShared(&rig.language);
    ContentView &view = rig.view;
    view.onAppearSetup();

    const int count = 100000;
    const int runs = 7;
    const qint64 rssStart = bench::statusKB("VmRSS:");
    const QList<CleanHistory> records{makeRecord(count, 1), makeRecord(count, 2)};
    const qint64 rssData = bench::statusKB("VmRSS:");
    view.setCleanHistory(records);   // stores it too: outside the timings
    {
        // Qt's one-time costs (style, fonts, icons) come with a small record first.
        CleanHistory small = makeRecord(10, 0);
        view.setSelectedHistoryItem(small);
        CleanHistoryView warm(view);
        warm.show();
        QCoreApplication::processEvents();
        warm.grab();
    }
    const qint64 rssStored = bench::statusKB("VmRSS:");

    // Opening the sheet with a record of 100,000 files selected.
    QList<double> toOpen;
    qint64 rssShown = 0;
    for (int run = 0; run < runs; ++run) {
        view.setSelectedHistoryItem(records[0]);
        QElapsedTimer timer;
        timer.start();
        auto sheet = std::make_unique<CleanHistoryView>(view);
        sheet->show();
        QCoreApplication::processEvents();
        const QPixmap frame = sheet->grab();
        toOpen << msSince(timer);
        if (frame.isNull() || sheet->detail()->fileList()->model()->rowCount() != count)
            std::fprintf(stderr, "the opened sheet does not show the record\n");
        rssShown = std::max(rssShown, bench::statusKB("VmRSS:"));
    }
    view.setSelectedHistoryItem(std::nullopt);

    // Selecting one record, then the other, in an open sheet.
    CleanHistoryView sheet(view);
    QObject::connect(&view, &ContentView::stateChanged, &sheet, &CleanHistoryView::refresh);
    sheet.show();
    QCoreApplication::processEvents();
    QList<double> toSelect;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        view.toggleHistorySelection(records[run % 2]);
        QCoreApplication::processEvents();
        const QPixmap frame = sheet.grab();
        toSelect << msSince(timer);
        if (frame.isNull() || sheet.detail()->record().id != records[run % 2].id)
            std::fprintf(stderr, "the selected record is not shown\n");
    }

    // Typing a search, a key at a time, then taking it back; then pasting texts
    // that keep every row, and none.
    QLineEdit *field = sheet.detail()->searchField();
    QListView *list = sheet.detail()->fileList();
    QList<double> typed, erased, pasted, floor;
    const auto key = [&](QList<double> &into, const std::function<void()> &press) {
        QElapsedTimer timer;
        timer.start();
        press();
        list->viewport()->repaint();
        into << msSince(timer);
    };
    for (int run = 0; run < runs; ++run) {
        field->clear();
        QCoreApplication::processEvents();
        for (QChar c : QStringLiteral("img_012"))
            key(typed, [&] { QTest::keyClick(field, c.toLatin1()); });
        for (int i = 0; i < 7; ++i)
            key(erased, [&] { QTest::keyClick(field, Qt::Key_Backspace); });
        for (const QString &text : {QStringLiteral("stick"), QStringLiteral("no such file")})
            key(pasted, [&] { field->setText(text); });
        for (const QString &text : {QStringLiteral("i"), QStringLiteral("img_012"), QStringLiteral("stick")}) {
            QElapsedTimer timer;
            timer.start();
            if (bareScan(records[run % 2].cleanedFiles, text) < 0)
                std::fprintf(stderr, "?");
            floor << msSince(timer);
        }
    }
    const qint64 rssSearched = bench::statusKB("VmRSS:");

    const auto worst = [](const QList<double> &values) { return *std::max_element(values.cbegin(), values.cend()); };
    std::fprintf(stderr, "%d files: open the sheet to first frame %.1f ms, select to first frame %.1f ms (median of %d)\n",
                 count, bench::median(toOpen), bench::median(toSelect), runs);
    std::fprintf(stderr,
                 "%d files: per keystroke, typing %.1f ms (max %.1f), erasing %.1f ms (max %.1f), pasting %.1f ms "
                 "(max %.1f); floor, a bare scan %.1f ms (max %.1f)\n",
                 count, bench::median(typed), worst(typed), bench::median(erased), worst(erased),
                 bench::median(pasted), worst(pasted), bench::median(floor), worst(floor));
    std::fprintf(stderr,
                 "%d files: VmRSS two records %+lld kB, stored (and a first small sheet) %+lld kB on top; the sheet "
                 "shown %+lld kB on top of that, after searching %+lld kB; VmHWM %lld kB\n",
                 count, rssData - rssStart, rssStored - rssData, rssShown - rssStored, rssSearched - rssStored,
                 bench::statusKB("VmHWM:"));
    LanguageManager::setShared(nullptr);
    return 0;
}
