#include "devices/DeviceTexts.h"

#include <QHash>

namespace devicetexts {

std::optional<QString> localizationKey(const QString &fixedText)
{
    static const QHash<QString, QString> keys = {
        {unknownFileSystem, QStringLiteral("unknown_file_system")},
        {journaledHfs, QStringLiteral("file_system_hfs_journaled")},
        {encryptedApfs, QStringLiteral("file_system_apfs_encrypted")},
        {cameraDcim, QStringLiteral("file_system_camera_dcim")},
        {cameraDcf, QStringLiteral("file_system_camera_dcf")},
        {cameraCipa, QStringLiteral("file_system_camera_cipa")},
        {flashFileSystem, QStringLiteral("file_system_flash")},
        {fuseMount, QStringLiteral("file_system_fuse")},
        {fuseBlockDevice, QStringLiteral("file_system_fuse_block")},
        {sdCardFormat, QStringLiteral("file_system_sd_card")},
    };
    const auto it = keys.constFind(fixedText);
    return it == keys.cend() ? std::nullopt : std::optional<QString>(*it);
}

} // namespace devicetexts
