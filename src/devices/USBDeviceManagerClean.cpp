// The clean side of the device manager: finds the volume the files lie on,
// opens access and hands the clean to a VolumeCleaner in the background.

#include "cleaning/SystemCleanHelper.h"
#include "cleaning/VolumeCleaner.h"
#include "cleaning/VolumeWork.h"
#include "devices/USBDeviceManager.h"
#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <memory>

QString USBDeviceManager::dotCleanPath() const
{
    return m_env.dotClean.isEmpty() ? DotClean::defaultToolPath() : m_env.dotClean;
}

void USBDeviceManager::cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress)
{
    logLine(QStringLiteral("USBDeviceManager: Starting cleanFiles with ") + QString::number(files.size())
            + QStringLiteral(" files"));
    if (files.isEmpty()) {
        completion({}, {});
        return;
    }
    {
        const LogStep step;   // a line per item: in bursts
        for (const FileItem &item : files)
            logPieces({"USBDeviceManager: File to clean: ", loggedFileName(item.fsPath())});
    }

    // The volume is the one the first record lies on, matched by whole path
    // components: "/media/u/USB2/x" never belongs to "/media/u/USB".
    const std::optional<LocalUSBDevice> device = deviceContaining(files.first().fsPath());

    auto accessStarted = std::make_shared<bool>(false);
    auto work = std::make_shared<VolumeWork>();
    work->setTotal(files.size());
    // A volume that stops answering ends the clean in its place, with what is
    // known gone so far; everything else stays, the device having stopped answering.
    watchWork(device ? device->id : QString(), work,
              [this, files, work, completion] {
                  const QList<FileItem> cleaned = work->removedSoFar();
                  QSet<QByteArray> gone;
                  for (const FileItem &item : cleaned)
                      gone.insert(item.fsPath());
                  QList<FileItem> failed;
                  for (const FileItem &item : files) {
                      if (!gone.contains(item.fsPath()))
                          failed.append(failedWith(item, ETIMEDOUT));
                  }
                  logLine(QStringLiteral("USBDeviceManager: 清理已放弃，已确认删除 ") + QString::number(cleaned.size())
                          + QStringLiteral(" 个文件"));
                  m_scheduler.post([completion, cleaned, failed] { completion(cleaned, failed); }, this);
              },
              std::move(progress));
    // Ends the call on the main thread, once, after access is closed again in
    // the background. After the administrator step it is called on the main
    // thread, when the manager may be gone already: then there is no one
    // left to tell.
    auto finish = [this, alive = std::weak_ptr<bool>(m_alive), device, accessStarted, work,
                   completion = std::move(completion)](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
        work->markReturned();
        if (alive.expired() || !work->finish())
            return;   // given up: its end was told already
        runTracked([this, device, accessStarted, completion, cleaned, failed] {
            if (*accessStarted && device)
                stopAccessingDevice(device->id);
            m_scheduler.post([completion, cleaned, failed] { completion(cleaned, failed); }, this);
        });
    };

    runTracked([this, files, device, accessStarted, finish, work] {
        // Opening access lists the volume: here, never on the main thread.
        if (device) {
            const QString &deviceID = device->id;
            logLine(QStringLiteral("cleanFiles: 尝试访问设备ID: ") + deviceID + QStringLiteral("的安全作用域资源"));
            QStringList quoted;
            for (const QString &key : securityBookmarks().keys())
                quoted.append(u'"' + key + u'"');
            logLine(QStringLiteral("cleanFiles: 当前保存的书签设备ID列表: [") + quoted.join(QStringLiteral(", ")) + u']');
            logLine(QStringLiteral("cleanFiles: 设备ID ") + deviceID + QStringLiteral(" 是否有安全书签: ")
                    + boolText(hasSecurityBookmark(deviceID)));
            *accessStarted = startAccessingDevice(deviceID);
            logLine(QStringLiteral("cleanFiles: 安全作用域资源访问结果: ") + boolText(*accessStarted));
        }
        VolumeCleaner::Request request;
        request.files = files;
        request.tools = DotClean::Tools{dotCleanPath(), m_env.ls};
        request.work = work;
        if (device) {
            request.root = device->fsPath();
            request.fileSystemType = fileSystemTypeOf(request.root);
            request.scannedFolders = scannedFoldersOf(request.root);
        }
        VolumeCleaner::clean(std::move(request), SystemCleanHelper::shared(), finish);
    });
}
