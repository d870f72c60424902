#pragma once

#include "history/CleanHistory.h"

#include <QLocale>
#include <QWidget>

class QLineEdit;
class QListView;

// One record in full: the device and the date, the files and space cards, the
// kinds as chips, and every file it removed in a list that a search narrows
// (by name, path or kind string, ignoring case) as the user types. It only
// reads the record.
class CleanHistoryDetailView : public QWidget
{
    Q_OBJECT
public:
    explicit CleanHistoryDetailView(QWidget *parent = nullptr);
    ~CleanHistoryDetailView() override;

    // Shows a record; another record starts with an empty search.
    void setRecord(const CleanHistory &record);
    const CleanHistory &record() const;

    // Every text looked up again and the date in this locale; the search stays.
    void relocalize(const QLocale &locale);

    QLineEdit *searchField() const;
    QListView *fileList() const;

private:
    void fillRecord();
    void fillTexts();

    struct Impl;
    Impl *d;
};
