#include "mainwindow/FailureReasons.h"

#include "cleaning/FileType.h"
#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "platform/Log.h"

#include <QFileInfo>
#include <QHash>

#include <cerrno>

bool isDeviceGoneFailure(int error)
{
    return error == ENOTCONN || error == ENODEV || error == ENXIO || error == ESHUTDOWN;
}

QString failureReasonText(int error)
{
    if (isDeviceGoneFailure(error))
        return localized(QStringLiteral("failure_reason_device_gone"));
    switch (error) {
    case EACCES:
    case EPERM:
        return localized(QStringLiteral("failure_reason_permission"));
    case EROFS:
        return localized(QStringLiteral("failure_reason_read_only"));
    case ENOSPC:
    case EDQUOT:
        return localized(QStringLiteral("failure_reason_no_space"));
    case EIO:
        return localized(QStringLiteral("failure_reason_io"));
    case ESTALE:
        return localized(QStringLiteral("failure_reason_changed"));
    case ECANCELED:
        return localized(QStringLiteral("failure_reason_cancelled"));
    case SystemCleanHelper::noAuthenticationAgent:
        return localized(QStringLiteral("failure_reason_no_authentication_agent"));
    case SystemCleanHelper::noPolkitAuthority:
        return localized(QStringLiteral("failure_reason_no_polkit_authority"));
    case SystemCleanHelper::elevationMissing:
        return localized(QStringLiteral("failure_reason_pkexec_missing"));
    case SystemCleanHelper::toolStopped:
        return localized(QStringLiteral("failure_reason_tool_stopped"));
    case ETIMEDOUT:
        return localized(QStringLiteral("failure_reason_not_answering"));
    case ENOTDIR:
        return localized(QStringLiteral("failure_reason_not_a_folder"));
    case EUCLEAN:   // a folder that is an alias of another, or a file system the kernel found damaged
        return localized(QStringLiteral("failure_reason_shared_folder"));
    case 0:
        return localized(QStringLiteral("failure_reason_unknown"));
    default:
        return format(localized(QStringLiteral("failure_reason_other")), errorText(error));
    }
}

QString storageFailureText(int error, const QString &file)
{
    const QString folder = QFileInfo(file).absolutePath();
    switch (error) {
    case EROFS:
    case EACCES:
    case EPERM:
        return format(localized(QStringLiteral("storage_reason_read_only")), folder);
    case ENOSPC:
    case EDQUOT:
        return format(localized(QStringLiteral("storage_reason_full")), folder);
    case EIO:
        return format(localized(QStringLiteral("storage_reason_io")), folder);
    default:
        return failureReasonText(error);
    }
}

int commonFailure(const QList<FileItem> &failed)
{
    QHash<int, int> counts;
    int best = 0;
    for (const FileItem &item : failed) {
        if (item.failure == 0)
            continue;
        const int count = ++counts[item.failure];
        if (best == 0 || count > counts.value(best))
            best = item.failure;
    }
    return best;
}
