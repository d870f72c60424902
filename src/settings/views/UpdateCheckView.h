#pragma once

#include "settings/views/WhatsNewView.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class UpdateManager;

namespace ui {
class SymbolLabel;
}

// The update section of the settings sheet: the running version, the state of
// the check in a small card, a button that checks again and, when a newer
// version exists, its release notes and the download.
//
// The manager belongs to the sheet's presentation, not to this view: the sheet
// builds a new view over the same manager when it rebuilds its texts, and the
// check of the first appearance runs once per manager.
class UpdateCheckView : public QWidget
{
    Q_OBJECT
public:
    // `sheet` is the window the what's-new sheet opens over.
    UpdateCheckView(UpdateManager &manager, QWidget *sheet, QWidget *parent = nullptr);

    // Puts a new view into `block` (an empty container, or one holding an
    // earlier view, which goes) and returns it.
    static UpdateCheckView *placeIn(QWidget *block, UpdateManager &manager, QWidget *sheet);

    // The what's-new sheet while it is open.
    WhatsNewView *whatsNewSheet() const { return m_whatsNew; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildCheckingRow();
    QWidget *buildUpdateBlock();
    QWidget *buildErrorBlock();
    QWidget *buildUpToDateRow();
    void refresh();
    void checkAgain();
    void download();
    void openWhatsNew();

    QPointer<UpdateManager> m_manager;
    QPointer<QWidget> m_sheet;
    QPointer<WhatsNewView> m_whatsNew;
    bool m_appeared = false;

    QLabel *m_currentVersion = nullptr;
    QWidget *m_stateSlot = nullptr;
    int m_heldHeight = 0;   // the state block's height kept while a check runs
    QWidget *m_checkingRow = nullptr;
    QWidget *m_updateBlock = nullptr;
    QLabel *m_latestVersion = nullptr;
    QWidget *m_errorBlock = nullptr;
    QLabel *m_errorMessage = nullptr;
    QWidget *m_upToDateRow = nullptr;
    QLabel *m_lastChecked = nullptr;
    QWidget *m_checkNow = nullptr;
    ui::SymbolLabel *m_checkNowSymbol = nullptr;
    QLabel *m_checkNowText = nullptr;
};
