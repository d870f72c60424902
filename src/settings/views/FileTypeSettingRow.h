#pragma once

#include "cleaning/FileType.h"
#include "toolkit/Toolkit.h"

class ToggleSwitch;

// One row of the settings sheet: a symbol, a title and a switch tinted in the
// row's colour, optionally with an information button before the switch. The
// row owns no setting: the switch asks (`switched`) and the owner sets it.
class SwitchRow : public ui::RoundedBox
{
    Q_OBJECT
public:
    SwitchRow(const QString &symbol, ui::NamedColor tint, const QString &title, bool withInfoButton,
              QWidget *parent = nullptr);

    ToggleSwitch *toggle() const { return m_toggle; }
    ui::PaintedButton *infoButton() const { return m_info; }   // nullptr without one
    void setOn(bool on);
    // Only the switch: the information button stays usable.
    void setSwitchEnabled(bool enabled);

signals:
    void switched(bool requested);
    void infoRequested();

private:
    ToggleSwitch *m_toggle = nullptr;
    ui::PaintedButton *m_info = nullptr;
};

// A junk kind's row: its symbol, colour and name, with the information button.
// Its object name is "fileTypeRow" and its "fileType" property the kind's raw value.
SwitchRow *fileTypeSettingRow(FileType type, QWidget *parent = nullptr);
