#include "settings/SettingsStore.h"

#include "platform/Log.h"
#include "platform/Preferences.h"

SettingsStore::SettingsStore(Preferences &preferences)
    : m_preferences(preferences)
{
}

FileTypeSet SettingsStore::defaultFileTypes()
{
    FileTypeSet types = FileTypes::allTypes();
    types.remove(FileType::custom);
    return types;
}

// stringListValue() gives nothing for any other stored type and for an array
// holding anything but strings, which is what makes such values read as absent.
FileTypeSet SettingsStore::loadSelectedFileTypes()
{
    const std::optional<QStringList> stored = m_preferences.stringListValue(selectedFileTypesKey);
    if (!stored) {
        logLine(QStringLiteral("UserDefaults 中没有保存的已选择文件类型，使用默认值"));
        return defaultFileTypes();
    }
    logLine(QStringLiteral("从 UserDefaults 加载了 %1 个已选择的文件类型").arg(stored->size()));

    FileTypeSet types;
    for (const QString &raw : *stored) {
        if (const std::optional<FileType> type = FileTypes::fromRawValue(raw))
            types.insert(*type);
    }
    // Deselecting every kind does not survive a restart.
    return types.isEmpty() ? defaultFileTypes() : types;
}

std::optional<QStringList> SettingsStore::readCustomExtensions(FileTypeSet &selectedFileTypes)
{
    const std::optional<QStringList> stored = m_preferences.stringListValue(customExtensionsKey);
    if (!stored) {
        logLine(QStringLiteral("UserDefaults 中没有保存的自定义后缀"));
        return std::nullopt;
    }
    logLine(QStringLiteral("从 UserDefaults 加载了 %1 个自定义后缀").arg(stored->size()));

    // The first stored list found selects the custom kind once; later launches
    // keep whatever selection the user stored.
    if (!m_preferences.boolean(configuredCustomKey)) {
        if (!stored->isEmpty()) {
            selectedFileTypes.insert(FileType::custom);
            logLine(QStringLiteral("首次配置：自动选中自定义文件类型"));
        }
        m_preferences.setBool(configuredCustomKey, true);
    }
    return *stored;
}

QStringList SettingsStore::loadExcludedPatterns()
{
    if (const std::optional<QStringList> stored = m_preferences.stringListValue(excludedPatternsKey)) {
        logLine(QStringLiteral("从 UserDefaults 加载了排除文件模式"));
        return *stored;
    }
    logLine(QStringLiteral("UserDefaults 中没有保存的排除文件模式，使用空白列表"));
    return {};
}

// Each setter writes the preferences file at once, which is the synchronisation.
void SettingsStore::saveSelectedFileTypes(const FileTypeSet &types)
{
    const QStringList raw = FileTypes::rawValues(types);
    m_preferences.setStringList(selectedFileTypesKey, raw);
    logLine(QStringLiteral("已保存已选择的文件类型: ") + printedList(raw));
}

void SettingsStore::saveCustomExtensions(const QStringList &extensions)
{
    m_preferences.setStringList(customExtensionsKey, extensions);
}

void SettingsStore::saveExcludedPatterns(const QStringList &patterns)
{
    m_preferences.setStringList(excludedPatternsKey, patterns);
    logLine(QStringLiteral("已保存排除文件模式: ") + printedList(patterns));
}

void SettingsStore::settingsSheetDismissed(FileTypeSet &selectedFileTypes, const QStringList &customExtensions,
                                           const QStringList &excludedPatterns)
{
    if (selectedFileTypes.contains(FileType::custom) && customExtensions.isEmpty()) {
        selectedFileTypes.remove(FileType::custom);
        logLine(QStringLiteral("移除无后缀的自定义文件类型选择"));
    } else if (!customExtensions.isEmpty()) {
        logLine(QStringLiteral("设置界面关闭，自定义后缀数量: %1").arg(customExtensions.size()));
    }
    saveCustomExtensions(customExtensions);
    saveSelectedFileTypes(selectedFileTypes);
    saveExcludedPatterns(excludedPatterns);
}

bool SettingsStore::promptCleanOnInsert() const
{
    return m_preferences.boolean(promptCleanOnInsertKey);
}

void SettingsStore::setPromptCleanOnInsert(bool on)
{
    m_preferences.setBool(promptCleanOnInsertKey, on);
}

bool SettingsStore::autoEjectAfterClean() const
{
    return m_preferences.boolean(autoEjectAfterCleanKey);
}

void SettingsStore::setAutoEjectAfterClean(bool on)
{
    m_preferences.setBool(autoEjectAfterCleanKey, on);
}

QString SettingsStore::printedList(const QStringList &list)
{
    QStringList quoted;
    quoted.reserve(list.size());
    for (QString item : list) {
        item.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        quoted.append(u'"' + item + u'"');
    }
    return u'[' + quoted.join(QStringLiteral(", ")) + u']';
}
