#include "cleaning/VolumeCleaner.h"

#include "cleaning/HeldVolume.h"
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/TrustedProgram.h"

#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <memory>

#include <unistd.h>

namespace {

bool isAppleDouble(const FileItem &item)
{
    return item.nameBytes().startsWith("._");
}

// What one clean carries from step to step; the steps run one after the
// other, never together.
struct CleanState
{
    std::shared_ptr<HeldVolume> volume;
    QList<FileItem> files;   // the items of the held volume, in the caller's order
    std::optional<QString> fileSystemType;
    QList<FileItem> cleaned;
    QList<FileItem> failed;
    VolumeCleaner::Completion completion;
};

// The volume every item was scanned on: the device number of the first item
// that carries one.
std::optional<quint64> scannedDevice(const QList<FileItem> &files)
{
    for (const FileItem &item : files) {
        if (item.hasIdentity())
            return item.device;
    }
    return std::nullopt;
}

void handToHelper(SystemCleanHelper &helper, const std::shared_ptr<CleanState> &state, const QList<FileItem> &records)
{
    helper.batchClean(state->volume, records, state->fileSystemType, [](int, int) {},
                      [state](const QList<FileItem> &deleted, const QList<FileItem> &failedItems) {
                          // (Shared rather than copied when nothing came before.)
                          state->cleaned = state->cleaned.isEmpty() ? deleted : state->cleaned + deleted;
                          state->failed = state->failed.isEmpty() ? failedItems : state->failed + failedItems;
                          // The volume is let go before the caller hears of the end.
                          state->volume.reset();
                          state->completion(state->cleaned, state->failed);
                      });
}

} // namespace

bool VolumeCleaner::isFATType(const QString &type)
{
    const QString lower = type.toLower();
    return lower == u"exfat" || lower == u"msdos" || lower == u"vfat";
}

void VolumeCleaner::clean(Request request, SystemCleanHelper &helper, Completion completion)
{
    const LogStep step;   // its lines go out in bursts, all of them by its end
    auto state = std::make_shared<CleanState>();
    state->fileSystemType = request.fileSystemType;
    state->completion = std::move(completion);

    // The volume is opened once, here, and must be the one the items were
    // scanned on; items of another volume, or never examined, are not touched.
    const std::optional<quint64> device = scannedDevice(request.files);
    VolumeWork *work = request.work.get();
    if (work)
        work->setTotal(request.files.size());
    QString why;
    if (device)
        state->volume = HeldVolume::open(request.root, *device, 0, &why);
    else
        why = QStringLiteral("no item carries what the scan found");
    if (!state->volume)
        logLine(QStringLiteral("USBDeviceManager: Cannot clean ") + pathText(request.root) + QStringLiteral(": ") + why);
    else {
        state->volume->setWork(request.work);
        state->volume->setFileSystemType(request.fileSystemType);
        state->volume->setScannedFolders(request.scannedFolders);
    }
    // The caller's list is kept as it is unless an item is left out.
    bool leftOut = false;
    for (qsizetype i = 0; i < request.files.size(); ++i) {
        const FileItem &item = request.files.at(i);
        if (state->volume && item.hasIdentity() && item.device == *device
            && state->volume->relativePart(item.fsPath())) {
            if (leftOut)
                state->files.append(item);
            continue;
        }
        if (!leftOut)
            state->files = request.files.first(i);
        leftOut = true;
        logLine(QStringLiteral("USBDeviceManager: File is not on the device being cleaned, skipped: ") + item.path());
        // No volume: the one scanned is not there; else not what was scanned.
        state->failed.append(failedWith(item, state->volume ? ESTALE : ENODEV));
        if (work)
            work->failed();
    }
    if (!leftOut)
        state->files = request.files;
    if (state->files.isEmpty()) {
        state->volume.reset();
        state->completion(state->cleaned, state->failed);
        return;
    }

    const bool isFAT = state->fileSystemType && isFATType(*state->fileSystemType);
    QList<FileItem> appleDouble;   // only dot_clean, on FAT, takes them apart
    if (isFAT) {
        for (const FileItem &item : std::as_const(state->files)) {
            if (isAppleDouble(item))
                appleDouble.append(item);
        }
    }
    // As root, our dot_clean runs as root: only while root alone can change it.
    std::optional<UntrustedProgram> untrusted;
    if (isFAT && !appleDouble.isEmpty() && ::geteuid() == 0) {
        untrusted = whyProgramIsUntrusted(request.tools.dotClean);
        if (untrusted)
            logLine(QStringLiteral("Refusing to run dot_clean as root: ") + untrusted->text());
    }
    if (!isFAT || appleDouble.isEmpty() || untrusted || !QFileInfo(request.tools.dotClean).isExecutable()
        || (work && work->shouldEnd())) {
        handToHelper(helper, state, state->files);
        return;
    }

    logLine(QStringLiteral("检测到exFAT文件系统和._文件，使用dot_clean命令处理"));
    const DotClean::Run run = DotClean::runDotClean(request.tools, *state->volume, appleDouble);
    // What the tool removed is cleaned however its run ended; only the rest goes on.
    state->cleaned.append(run.removed);
    QSet<QByteArray> done;
    for (const FileItem &item : run.removed)
        done.insert(item.fsPath());
    const auto notDone = [&done](const QList<FileItem> &items) {
        QList<FileItem> left;
        for (const FileItem &item : items) {
            if (!done.contains(item.fsPath()))
                left.append(item);
        }
        return left;
    };
    if (!run.ok) {
        logLine(QStringLiteral("dot_clean命令失败，尝试使用SystemCleanHelper"));
        handToHelper(helper, state, notDone(state->files));
        return;
    }
    logLine(QStringLiteral("dot_clean命令成功，将所有._文件标记为已清理"));
    const auto [checked, remaining] = DotClean::checkAppleDoubleItemsRemoved(*state->volume, notDone(appleDouble));
    state->cleaned.append(checked);
    logLine(QStringLiteral("实际清理了 ") + QString::number(run.removed.size() + checked.size()) + QStringLiteral(" 个._文件，还剩 ")
            + QString::number(remaining.size()) + QStringLiteral(" 个未能清理"));
    QList<FileItem> rest;
    for (const FileItem &item : std::as_const(state->files)) {
        if (!isAppleDouble(item))
            rest.append(item);
    }
    rest.append(remaining);
    logLine(QStringLiteral("SystemCleanHelper将处理 ") + QString::number(rest.size()) + QStringLiteral(" 个文件，包括 ")
            + QString::number(remaining.size()) + QStringLiteral(" 个失败的._文件"));
    handToHelper(helper, state, rest);
}
