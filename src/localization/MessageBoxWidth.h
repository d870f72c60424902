#pragma once

class QMessageBox;

// QMessageBox sizes itself to its heading and wraps the message at its longest
// word, so a short heading ("Error") squeezes a sentence into a narrow column
// of four lines. This gives its texts a reading width first: as wide as their
// longest line, up to a comfortable measure. Call it after the texts are set
// (again whenever they change), before the box is shown.
void fitMessageBoxToText(QMessageBox &box);
