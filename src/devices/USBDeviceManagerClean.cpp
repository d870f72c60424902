// The clean side of the device manager: finds the volume the files lie on,
// lets our dot_clean remove the AppleDouble files on FAT and exFAT volumes and
// hands everything else to SystemCleanHelper.

#include "cleaning/DotClean.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/SystemCleanHelper.h"
#include "devices/USBDeviceManager.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <memory>

namespace {


bool isAppleDouble(const FileItem &item)
{
    return item.name.startsWith(QStringLiteral("._"));
}

QList<QByteArray> pathsOf(const QList<FileItem> &items)
{
    QList<QByteArray> paths;
    paths.reserve(items.size());
    for (const FileItem &item : items)
        paths.append(item.fsPath());
    return paths;
}

// What one call keeps while its steps run on different threads, one at a time.
struct CleanState
{
    QList<FileItem> files;            // the records inside the volume, in the caller's order
    std::optional<QString> deviceID;
    std::optional<QString> devicePath;
    std::optional<QString> fileSystemType;
    bool isFAT = false;
    bool accessStarted = false;
    QList<FileItem> cleaned;
    QList<FileItem> failed;
    USBDeviceManager::CleanCompletion completion;
};

} // namespace

QString USBDeviceManager::dotCleanPath() const
{
    return m_env.dotClean.isEmpty() ? DotClean::defaultToolPath() : m_env.dotClean;
}

void USBDeviceManager::cleanFiles(const QList<FileItem> &files, CleanCompletion completion)
{
    logLine(QStringLiteral("USBDeviceManager: Starting cleanFiles with ") + QString::number(files.size())
            + QStringLiteral(" files"));
    if (files.isEmpty()) {
        completion({}, {});
        return;
    }
    for (const FileItem &item : files)
        logLine(QStringLiteral("USBDeviceManager: File to clean: ") + item.path);

    auto state = std::make_shared<CleanState>();
    state->completion = std::move(completion);

    // The volume is the one the first record lies on, matched by whole path
    // components: "/media/u/USB2/x" never belongs to "/media/u/USB".
    if (const std::optional<LocalUSBDevice> device = deviceContaining(files.first().path)) {
        state->deviceID = device->id;
        state->devicePath = device->path;
    }

    // Nothing outside that volume is deleted: such records fail untouched.
    const QByteArray root = state->devicePath ? QFile::encodeName(*state->devicePath) : QByteArray();
    for (const FileItem &item : files) {
        if (!root.isEmpty() && SafeRemove::isInside(root, item.fsPath())) {
            state->files.append(item);
        } else {
            logLine(QStringLiteral("USBDeviceManager: File is not on the device being cleaned, skipped: ") + item.path);
            state->failed.append(item);
        }
    }

    if (state->deviceID) {
        const QString &deviceID = *state->deviceID;
        logLine(QStringLiteral("cleanFiles: 尝试访问设备ID: ") + deviceID + QStringLiteral("的安全作用域资源"));
        QStringList quoted;
        for (const QString &key : securityBookmarks().keys())
            quoted.append(u'"' + key + u'"');
        logLine(QStringLiteral("cleanFiles: 当前保存的书签设备ID列表: [") + quoted.join(QStringLiteral(", ")) + u']');
        logLine(QStringLiteral("cleanFiles: 设备ID ") + deviceID + QStringLiteral(" 是否有安全书签: ")
                + boolText(hasSecurityBookmark(deviceID)));
        state->accessStarted = startAccessingDevice(deviceID);
        logLine(QStringLiteral("cleanFiles: 安全作用域资源访问结果: ") + boolText(state->accessStarted));
    }

    // Ends the call on the main thread, once.
    auto finish = [this, state] {
        m_scheduler.post(
            [this, state] {
                if (state->accessStarted && state->deviceID)
                    stopAccessingDevice(*state->deviceID);
                state->completion(state->cleaned, state->failed);
            },
            this);
    };

    // Hands records to SystemCleanHelper and sorts them by what it reports.
    auto batch = [state, finish](const QList<FileItem> &records) {
        SystemCleanHelper::shared().batchClean(
            pathsOf(records), state->fileSystemType,
            state->devicePath ? QFile::encodeName(*state->devicePath) : QByteArray(), [](int, int) {},
            [state, finish, records](const SystemCleanHelper::Paths &deleted, const SystemCleanHelper::Paths &failedPaths) {
                const QSet<QByteArray> deletedSet(deleted.cbegin(), deleted.cend());
                const QSet<QByteArray> failedSet(failedPaths.cbegin(), failedPaths.cend());
                for (const FileItem &record : records) {
                    const QByteArray path = record.fsPath();
                    if (deletedSet.contains(path))
                        state->cleaned.append(record);
                    else if (failedSet.contains(path))
                        state->failed.append(record);
                    // Neither: a name SystemCleanHelper never deletes.
                }
                finish();
            });
    };

    runTracked([this, state, batch, finish] {
        if (state->files.isEmpty()) {
            finish();
            return;
        }
        if (state->devicePath) {
            state->fileSystemType = fileSystemTypeOf(*state->devicePath);
            state->isFAT = state->fileSystemType && isFATType(*state->fileSystemType);
        }

        QList<FileItem> appleDouble;
        for (const FileItem &item : state->files) {
            if (isAppleDouble(item))
                appleDouble.append(item);
        }
        const QString tool = dotCleanPath();
        if (!state->isFAT || appleDouble.isEmpty() || !state->devicePath || !QFileInfo(tool).isExecutable()) {
            batch(state->files);
            return;
        }

        logLine(QStringLiteral("检测到exFAT文件系统和._文件，使用dot_clean命令处理"));
        runDotCleanInBackground(*state->devicePath, pathsOf(appleDouble), [this, state, batch, appleDouble](bool ok) {
            if (!ok) {
                logLine(QStringLiteral("dot_clean命令失败，尝试使用SystemCleanHelper"));
                batch(state->files);
                return;
            }
            logLine(QStringLiteral("dot_clean命令成功，将所有._文件标记为已清理"));
            checkAppleDoubleItemsRemoved(appleDouble, [state, batch](const QList<FileItem> &removed,
                                                                    const QList<FileItem> &remaining) {
                state->cleaned.append(removed);
                logLine(QStringLiteral("实际清理了 ") + QString::number(removed.size()) + QStringLiteral(" 个._文件，还剩 ")
                        + QString::number(remaining.size()) + QStringLiteral(" 个未能清理"));
                QList<FileItem> rest;
                for (const FileItem &item : state->files) {
                    if (!isAppleDouble(item))
                        rest.append(item);
                }
                rest.append(remaining);
                logLine(QStringLiteral("SystemCleanHelper将处理 ") + QString::number(rest.size())
                        + QStringLiteral(" 个文件，包括 ") + QString::number(remaining.size())
                        + QStringLiteral(" 个失败的._文件"));
                batch(rest);
            });
        });
    });
}

void USBDeviceManager::runDotCleanInBackground(const QString &root, const QList<QByteArray> &paths,
                                               std::function<void(bool)> completion)
{
    DotClean::Tools tools;
    tools.dotClean = dotCleanPath();
    tools.ls = m_env.ls;
    runInBackground([tools, root = QFile::encodeName(root), paths] { return DotClean::runDotClean(tools, root, paths); },
                    std::move(completion));
}

void USBDeviceManager::checkAppleDoubleItemsRemoved(
    const QList<FileItem> &items, std::function<void(const QList<FileItem> &, const QList<FileItem> &)> completion)
{
    runInBackground([items] { return DotClean::checkAppleDoubleItemsRemoved(items); },
                    [completion = std::move(completion)](const std::pair<QList<FileItem>, QList<FileItem>> &split) {
                        completion(split.first, split.second);
                    });
}
