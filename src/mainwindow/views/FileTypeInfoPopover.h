#pragma once

#include "cleaning/FileType.h"

#include <QStringList>
#include <QWidget>

#include <functional>

class LanguageManager;

// Explains one junk kind next to the button that asked: its symbol and name,
// its description and the name patterns it stands for (none for the custom
// kind). It closes through `close` (its own button, Escape, a click outside);
// the presenter decides when it goes. A language change redraws it at once.
class FileTypeInfoPopover : public QWidget
{
    Q_OBJECT
public:
    FileTypeInfoPopover(FileType type, std::function<void()> close, LanguageManager &languages,
                        QWidget *parent = nullptr);

    FileType fileType() const { return m_type; }
    // The patterns it lists, in order.
    QStringList shownPatterns() const;

    // Shows it beside the anchor's leading edge, or below it when the screen
    // has no room there.
    void showBeside(const QWidget *anchor);
    // Closes it without asking the presenter (the presenter closed it).
    void dismiss();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void build();

    FileType m_type;
    std::function<void()> m_close;
    QWidget *m_content = nullptr;
    bool m_dismissed = false;
};
