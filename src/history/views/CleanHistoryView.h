#pragma once

#include "history/CleanHistory.h"

#include <QDialog>

#include <optional>

class CleanHistoryDetailView;
class HistoryBrowser;
class QAbstractButton;
class QListView;
class QMessageBox;

// The clean history sheet: the records on the left (newest first), the
// selected record's detail on the right. A tap selects a record (or clears
// the selection when it is the selected one); a record's context menu deletes
// it and the header's button clears the whole history, each only after the
// user confirms. The history and the selection are the main window's state:
// the sheet draws them and asks the window's logic to change them.
class CleanHistoryView : public QDialog
{
    Q_OBJECT
public:
    explicit CleanHistoryView(HistoryBrowser &view, QWidget *parent = nullptr);
    ~CleanHistoryView() override;

    // Follows the window state; cheap while nothing it shows changed.
    void refresh();

    // The context menu's delete: asks before the record goes.
    void requestDelete(const CleanHistory &record);
    // The clear-all button: asks before everything goes; nothing on an empty history.
    void requestClearAll();

    QListView *recordList() const;
    CleanHistoryDetailView *detail() const;
    // The confirmation that is open, if any.
    QMessageBox *confirmation() const;

    QSize sizeHint() const override;

private:
    void retranslate();
    void showContextMenu(const QPoint &position);
    QMessageBox *confirm(const QString &titleKey, const QString &messageKey, const QString &confirmKey,
                         std::function<void()> confirmed);

    struct Impl;
    Impl *d;
};
