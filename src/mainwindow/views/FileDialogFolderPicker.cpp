#include "mainwindow/views/FileDialogFolderPicker.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

#include <memory>

void FileDialogFolderPicker::chooseFolder(const QString &message, const QString &startPath, Completion completion)
{
    auto *dialog = new QFileDialog(m_window, message, startPath);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    // The message is the title (a desktop's own dialog shows only that) and,
    // in Qt's dialog, a line under the folder view, where it has room to wrap.
    if (auto *grid = qobject_cast<QGridLayout *>(dialog->layout())) {
        auto *note = new QLabel(message, dialog);
        note->setTextFormat(Qt::PlainText);
        note->setWordWrap(true);
        grid->addWidget(note, grid->rowCount(), 0, 1, grid->columnCount());
    }
    dialog->setWindowModality(m_window ? Qt::WindowModal : Qt::ApplicationModal);

    // Accepted or not, the completion runs once: a dialog can report both
    // a choice and its closing.
    auto pending = std::make_shared<Completion>(std::move(completion));
    const auto finish = [pending](const std::optional<QString> &folder) {
        if (!*pending)
            return;
        const Completion run = std::move(*pending);
        *pending = nullptr;
        run(folder);
    };
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, finish](int result) {
        const QStringList chosen = dialog->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty())
            finish(chosen.first());
        else
            finish(std::nullopt);
    });
    // Closed without an answer (the window went away first): a cancel.
    QObject::connect(dialog, &QObject::destroyed, [finish] { finish(std::nullopt); });
    dialog->open();
}
