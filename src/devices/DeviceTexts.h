#pragma once

#include <QString>

#include <optional>

// The fixed texts a device record carries where the system names no value or
// names a format in words: the records and the log keep them as they are; the
// window leaves out an unknown model or vendor and shows the file-system texts
// through their localization keys.
namespace devicetexts {

inline const QString unknownFileSystem = QStringLiteral("未知");
inline const QString unknownModel = QStringLiteral("未知设备");
inline const QString unknownVendor = QStringLiteral("未知厂商");
inline const QString journaledHfs = QStringLiteral("HFS+日志式");
inline const QString encryptedApfs = QStringLiteral("APFS加密");
inline const QString cameraDcim = QStringLiteral("相机格式(DCIM)");
inline const QString cameraDcf = QStringLiteral("相机DCF格式");
inline const QString cameraCipa = QStringLiteral("相机CIPA格式");
inline const QString flashFileSystem = QStringLiteral("闪存文件系统");
inline const QString fuseMount = QStringLiteral("FUSE挂载");
inline const QString fuseBlockDevice = QStringLiteral("FUSE块设备");
inline const QString sdCardFormat = QStringLiteral("SD卡格式");

// The localization key of a fixed file-system text above; nothing for any
// other text (a name the system gave, such as "FAT32", is shown as it is).
std::optional<QString> localizationKey(const QString &fixedText);

} // namespace devicetexts
