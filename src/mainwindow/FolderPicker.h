#pragma once

#include <QString>

#include <functional>
#include <optional>

// Asks the user for a folder, starting at a path, without blocking the caller.
// The completion runs once on the main thread: the chosen folder, or nothing
// when the user cancelled.
class FolderPicker
{
public:
    using Completion = std::function<void(const std::optional<QString> &folder)>;
    virtual ~FolderPicker() = default;
    virtual void chooseFolder(const QString &message, const QString &startPath, Completion completion) = 0;
};
