#pragma once

#include "mainwindow/FolderPicker.h"

#include <QPointer>
#include <QWidget>

// The folder choice of the access authorization: a window-modal folder dialog
// over the main window, opened without blocking.
class FileDialogFolderPicker final : public FolderPicker
{
public:
    explicit FileDialogFolderPicker(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }
    void chooseFolder(const QString &message, const QString &startPath, Completion completion) override;

private:
    QPointer<QWidget> m_window;
};
