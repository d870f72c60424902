#include "localization/MessageBoxWidth.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>

#include <algorithm>

namespace {

// About 55 Latin characters of the dialog font: short enough to read, wide
// enough that a sentence takes two or three lines rather than five.
constexpr int kReadingWidth = 380;

} // namespace

void fitMessageBoxToText(QMessageBox &box)
{
    for (const char *name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
        auto *label = box.findChild<QLabel *>(QLatin1String(name));
        if (!label)
            continue;
        const QFontMetrics metrics(label->font());
        int longest = 0;
        for (const QString &line : label->text().split(u'\n'))
            longest = std::max(longest, metrics.horizontalAdvance(line));
        label->setMinimumWidth(std::min(longest + 1, kReadingWidth));
    }
}
