#pragma once

#include <QDialog>

class QTextBrowser;

// The release notes of a newer version, in a sheet of their own: a title, a
// done button and the notes as plain text in a scroll view. Window-modal over
// its parent; it deletes itself when closed.
class WhatsNewView : public QDialog
{
    Q_OBJECT
public:
    WhatsNewView(const QString &whatsNew, QWidget *parent);

    QString notes() const;   // the text shown

private:
    QTextBrowser *m_notes = nullptr;
};
