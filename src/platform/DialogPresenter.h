#pragma once

#include <QString>
#include <QStringList>

// One modal dialog of the privileged-access guide. Answers are 1000 for the
// first button, 1001 for the second, 1002 for the third.
struct GuideDialog
{
    enum class Style { informational, warning };
    QString title;          // already localized
    QString message;        // already localized
    QStringList buttons;    // already localized, in order
    Style style = Style::informational;
};

class DialogPresenter
{
public:
    virtual ~DialogPresenter() = default;
    virtual int runModal(const GuideDialog &dialog) = 0;
    // Opens the desktop's settings page for privileged access; false (and logged)
    // where the desktop has none.
    virtual bool openPrivilegedAccessSettings() = 0;
};
