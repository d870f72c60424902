#pragma once

#include <QWidget>

class SettingsChoices;
class QLineEdit;
class RemovableListView;
namespace ui {
class PaintedButton;
}

// The sheet's list of name patterns that are never cleaned: a field with its
// add button and hint, then the patterns with their remove buttons and a
// button that clears them all, or a notice that there are none. It edits the
// main window's list; the sheet stores it when it closes.
class ExcludedFilesView : public QWidget
{
    Q_OBJECT
public:
    explicit ExcludedFilesView(SettingsChoices &view, QWidget *parent = nullptr);

    void refresh();

    QLineEdit *field() const { return m_field; }
    ui::PaintedButton *addButton() const { return m_add; }
    RemovableListView *list() const { return m_list; }

    void addPattern();

private:
    SettingsChoices &m_view;
    QLineEdit *m_field = nullptr;
    ui::PaintedButton *m_add = nullptr;
    QWidget *m_listBlock = nullptr;
    RemovableListView *m_list = nullptr;
    QWidget *m_emptyNotice = nullptr;
};
