#pragma once

#include <QString>
#include <QWidget>

class ContentView;
class DeviceService;

// The window's second column. It shows one view, chosen from the window state:
// the authorizing view, the no-device placeholder, or the device header above
// the inaccessible panel, the scanning view, the completion view, the empty
// state or the results. Each shown view has an identity (its name and the
// refresh flag); a new identity builds the view afresh.
class DetailColumn : public QWidget
{
    Q_OBJECT
public:
    DetailColumn(ContentView &view, DeviceService &devices, QWidget *parent = nullptr);
    ~DetailColumn() override;

    // Follows the window state: rebuilds when the identity changed or the
    // refresh flag flipped, otherwise updates what is shown in place.
    void refresh();

    // The identity of the view shown now, e.g. "ScanningView_false".
    QString currentIdentity() const;
    // The widget of that view.
    QWidget *currentView() const;

private:
    struct Impl;
    Impl *d;
};
