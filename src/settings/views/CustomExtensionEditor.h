#pragma once

#include <QWidget>

class SettingsChoices;
class QAbstractButton;
class QLineEdit;
class RemovableListView;
class SwitchRow;
namespace ui {
class PaintedButton;
}

// What the custom-extension editor keeps while the sheet is up, also across
// a rebuild in another language: the text being typed and whether the field
// has replaced its placeholder.
struct CustomExtensionEntry
{
    QString text;
    bool fieldShown = false;
};

// The sheet's custom kind: its row and switch, a field for a new suffix (a
// placeholder until pressed) and the suffixes as removable chips. It edits
// the main window's suffixes and selection; the sheet stores them when it
// closes.
class CustomExtensionEditor : public QWidget
{
    Q_OBJECT
public:
    CustomExtensionEditor(SettingsChoices &view, CustomExtensionEntry &entry, QWidget *parent = nullptr);

    void refresh();

    SwitchRow *row() const { return m_row; }
    QAbstractButton *placeholder() const { return m_placeholder; }
    QLineEdit *field() const { return m_field; }
    ui::PaintedButton *addButton() const { return m_add; }
    RemovableListView *chips() const { return m_chips; }
    QWidget *emptyHint() const { return m_hint; }

    void addCustomExtension();

signals:
    void placeholderPressed();
    void infoRequested();

private:
    SettingsChoices &m_view;
    CustomExtensionEntry &m_entry;
    SwitchRow *m_row = nullptr;
    QAbstractButton *m_placeholder = nullptr;
    QWidget *m_inputRow = nullptr;
    QLineEdit *m_field = nullptr;
    ui::PaintedButton *m_add = nullptr;
    QWidget *m_chipsPlace = nullptr;
    RemovableListView *m_chips = nullptr;
    QWidget *m_hint = nullptr;
};
