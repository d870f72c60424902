#include "cleaning/FileType.h"

#include "platform/FileNames.h"

#include <QFile>

namespace {

struct KindRow
{
    FileType type;
    const char *raw;
    const char *nameKey;
    const char *descriptionKey;
};

constexpr KindRow kRows[] = {
    {FileType::dsStore, "dsStore", "ds_store_files", "ds_store_description"},
    {FileType::appleDouble, "appleDouble", "apple_double_files", "apple_double_description"},
    {FileType::spotlight, "spotlight", "spotlight_index", "spotlight_description"},
    {FileType::trash, "trash", "trash_files", "trash_description"},
    {FileType::thumbsDb, "thumbsDb", "windows_thumbnails", "thumbnails_description"},
    {FileType::temporaryFiles, "temporaryFiles", "temporary_files", "temporary_description"},
    {FileType::systemLogs, "systemLogs", "system_logs", "system_logs_description"},
    {FileType::windowsSystem, "windowsSystem", "windows_system_files", "windows_system_description"},
    {FileType::custom, "custom", "custom_file_type", "custom_type_description"},
};

const KindRow &row(FileType type)
{
    return kRows[static_cast<int>(type)];
}

} // namespace

namespace FileTypes {

const QList<FileType> &allCases()
{
    static const QList<FileType> cases = [] {
        QList<FileType> list;
        for (const KindRow &r : kRows)
            list.append(r.type);
        return list;
    }();
    return cases;
}

FileTypeSet allTypes()
{
    return FileTypeSet(allCases().cbegin(), allCases().cend());
}

QString rawValue(FileType type)
{
    return QString::fromLatin1(row(type).raw);
}

std::optional<FileType> fromRawValue(const QString &raw)
{
    for (const KindRow &r : kRows) {
        if (raw == QLatin1String(r.raw))
            return r.type;
    }
    return std::nullopt;
}

QString nameKey(FileType type)
{
    return QString::fromLatin1(row(type).nameKey);
}

QString descriptionKey(FileType type)
{
    return QString::fromLatin1(row(type).descriptionKey);
}

QList<FileType> inDeclarationOrder(const FileTypeSet &types)
{
    QList<FileType> ordered;
    for (FileType type : allCases()) {
        if (types.contains(type))
            ordered.append(type);
    }
    return ordered;
}

QStringList rawValues(const FileTypeSet &types)
{
    QStringList values;
    for (FileType type : inDeclarationOrder(types))
        values.append(rawValue(type));
    return values;
}

const QMap<FileType, QStringList> &junkFilePatterns()
{
    static const QMap<FileType, QStringList> catalogue = {
        {FileType::dsStore, {".DS_Store", "Desktop DB", "Desktop DF", ".AppleDB", ".AppleDesktop"}},
        {FileType::appleDouble, {".AppleDouble", "._*", "__MACOSX", "*/__MACOSX/*"}},
        {FileType::spotlight, {".Spotlight-V100", ".spotlightV*", ".metadata_never_index", ".metadata", ".fseventsd"}},
        {FileType::temporaryFiles,
         {"*.tmp", "*.temp", "~*", ".~*", "*.swp", "*.swo", "*.swn", "*.bak", "*.old", "*.cache", "*.lock",
          "*.crdownload", "*.part", "*.partial", "*.filepart", "*.download", "*.downloading", "*.crashreporter",
          "*.crash", "nohup.out", "core.*", "*.stackdump", "*.pdb"}},
        {FileType::systemLogs, {"*.dmp", "*.err", "*.log", "*.out", "*.prv"}},
        {FileType::trash,
         {".Trash", ".Trashes", "Network Trash Folder", "$RECYCLE.BIN", "RECYCLER", "RECYCLED", "found.000"}},
        {FileType::windowsSystem, {"System Volume Information", "desktop.ini", "autorun.inf", "boot.ini"}},
        {FileType::thumbsDb,
         {"Thumbs.db", "*.THM", ".thumbnails", "_thumbs", "*.thumb", "AlbumArt_*", "AlbumArt.*", "ehthumbs.db",
          "ehthumbs_vista.db"}},
    };
    return catalogue;
}

} // namespace FileTypes

QString FileItem::name() const
{
    return m_arena ? decodeFileName(nameBytes().toByteArray()) : QString();
}

QString FileItem::path() const
{
    return m_arena ? decodeFileName(fsPath()) : QString();
}

FileItem FileItem::fromNativePath(QByteArrayView path, qint64 size)
{
    QExplicitlySharedDataPointer<PathArena> arena(new PathArena);
    const PathArena::Node node = arena->appendPath(path);
    return FileItem(std::move(arena), node, size);
}

FileItem FileItem::fromPath(const QString &path, qint64 size)
{
    return fromNativePath(QFile::encodeName(path), size);
}
