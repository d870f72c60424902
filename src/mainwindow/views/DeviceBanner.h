#pragma once

#include <QWidget>

class ContentView;

// The dark notice at the bottom of the window that announces an insertion,
// a removal or an eject. It lies over the window content and lets every
// click through.
class DeviceBanner : public QWidget
{
    Q_OBJECT
public:
    explicit DeviceBanner(ContentView &view, QWidget *parent = nullptr);
    ~DeviceBanner() override;

    void refresh();
    // Shown, or moving in (false once it has moved out).
    bool isShowing() const;
    QString message() const;
    QString symbol() const;

private:
    struct Impl;
    Impl *d;
};
