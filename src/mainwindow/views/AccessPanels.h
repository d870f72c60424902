#pragma once

#include "devices/LocalUSBDevice.h"

#include <QWidget>

class ContentView;

// Shown in place of the whole detail column while the user picks the device's
// root folder to grant access.
class AuthorizingView : public QWidget
{
    Q_OBJECT
public:
    explicit AuthorizingView(QWidget *parent = nullptr);
};

// The body under the header of a device we may not read: why, what to try, and
// the button that asks the user to grant access.
class DeviceInaccessibleView : public QWidget
{
    Q_OBJECT
public:
    DeviceInaccessibleView(ContentView &view, const LocalUSBDevice &device, QWidget *parent = nullptr);

    // The device the authorize button asks for (the selection's newest record).
    void setDevice(const LocalUSBDevice &device) { m_device = device; }

private:
    void authorize();

    ContentView &m_view;
    LocalUSBDevice m_device;
};
