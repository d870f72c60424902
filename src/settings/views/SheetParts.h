#pragma once

#include <QString>

class QFrame;
class QLabel;
class QVBoxLayout;
class QWidget;
namespace ui {
class RoundedBox;
}

// Pieces the settings sheet's blocks share.
namespace sheetparts {

// A block's heading: the key's text as a headline, 2 points above what follows.
QLabel *sectionHeader(const QString &key);
// A block with its heading; returns the stack its rows go in.
QVBoxLayout *section(QWidget *block, const QString &key, int rowSpacing);
// A line across the sheet between two blocks.
QFrame *divider();
// The grey notice that a list is empty: an information symbol and the key's text.
ui::RoundedBox *emptyNotice(const QString &key, bool italic = false);

} // namespace sheetparts
