#pragma once

#include "cleaning/FileType.h"

#include <QStringList>
#include <QWidget>

#include <functional>

class LanguageManager;

// Explains one junk kind next to the button that asked: its symbol and name,
// its description and the name patterns it stands for (none for the custom
// kind). It asks to close through `close` (its own button, Escape, a click
// elsewhere, the app losing the focus); the presenter decides when it goes.
// A click elsewhere still reaches what was clicked, so another row's button
// opens that row's popover at once. A language change redraws it at once.
class FileTypeInfoPopover : public QWidget
{
    Q_OBJECT
public:
    FileTypeInfoPopover(FileType type, std::function<void()> close, LanguageManager &languages,
                        QWidget *parent = nullptr);

    FileType fileType() const { return m_type; }
    // The patterns it lists, in order.
    QStringList shownPatterns() const;

    // Shows it beside the anchor's leading edge, else beside its trailing
    // edge, else below it, wherever the screen has room.
    void showBeside(const QWidget *anchor);
    // Closes it without asking the presenter (the presenter closed it).
    void dismiss();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void build();
    void requestClose();

    FileType m_type;
    std::function<void()> m_close;
    QWidget *m_content = nullptr;
    bool m_dismissed = false;
};
