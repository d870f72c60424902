#pragma once

#include <QWidget>

class ContentView;

// The scan's findings under the device header: one section per kind that has
// files (kind row with counts, size and its check box, then one row per file)
// and a bottom bar with the totals and the one-click clean. The list is a
// model and a view, so tens of thousands of files cost one row each only
// when drawn.
class ScanResultsView : public QWidget
{
    Q_OBJECT
public:
    explicit ScanResultsView(ContentView &view, QWidget *parent = nullptr);
    ~ScanResultsView() override;

    // Follows the window state; does nothing costly unless the results, the
    // selection, the custom extensions, the totals or the scanning flag changed.
    void refresh();

    // What the keys act on next: the one-click clean while it is there, else the list.
    QWidget *nextAction() const;

private:
    struct Impl;
    Impl *d;
};
