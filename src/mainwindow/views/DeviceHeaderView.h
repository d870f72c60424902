#pragma once

#include <QWidget>

class ContentView;

// The top of the detail column for the selected device: kind symbol, name and
// serial number, the line of facts, the access badge with the refresh button,
// the used space as text and bar, and the main scan button.
class DeviceHeaderView : public QWidget
{
    Q_OBJECT
public:
    explicit DeviceHeaderView(ContentView &view, QWidget *parent = nullptr);
    ~DeviceHeaderView() override;

    // Shows the selected device and the scanning state as they are now; only
    // what changed is touched.
    void refresh();

private:
    struct Impl;
    Impl *d;
};
