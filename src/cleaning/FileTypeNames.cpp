// What people read about the kinds: their names, descriptions and the
// patterns the file-kind popover lists, in the interface language. Apart from
// the catalogue (FileType.cpp), which our tools use without any interface.
#include "cleaning/FileType.h"

#include "localization/Localization.h"

namespace FileTypes {

QString displayName(FileType type)
{
    return localized(nameKey(type));
}

QString localizedDescription(FileType type)
{
    return localized(descriptionKey(type));
}

PatternInfo patternInfo(FileType type)
{
    // What the popover shows; deliberately a table of its own.
    static const QMap<FileType, QStringList> display = {
        {FileType::dsStore, {".DS_Store", "Desktop DB", "Desktop DF", ".AppleDB", ".AppleDesktop"}},
        {FileType::appleDouble, {".AppleDouble", "._*", "__MACOSX", "*/__MACOSX/*", "Network Trash Folder"}},
        {FileType::spotlight, {".Spotlight-V100", ".spotlightV*", ".metadata_never_index", ".metadata"}},
        {FileType::trash, {".Trash", ".Trashes", "$RECYCLE.BIN", "RECYCLER", "RECYCLED", "found.000"}},
        {FileType::thumbsDb,
         {"Thumbs.db", "*.THM", ".thumbnails", "_thumbs", "*.thumb", "AlbumArt_*", "AlbumArt.*", "ehthumbs.db",
          "ehthumbs_vista.db"}},
        {FileType::temporaryFiles,
         {"*.tmp", "*.temp", "~*", ".~*", "*.swp", "*.swo", "*.swn", "*.bak", "*.old", "*.cache", "*.crdownload",
          "*.part", "*.partial", "*.filepart", "*.download", "*.downloading", "*.lock", "*.crashreporter", "*.crash",
          "nohup.out", "core.*", "*.stackdump", "*.pdb"}},
        {FileType::systemLogs, {"*.dmp", "*.err", "*.log", "*.out", "*.prv"}},
        {FileType::windowsSystem, {"System Volume Information", "desktop.ini", "autorun.inf"}},
        {FileType::custom, {}},
    };
    return PatternInfo{localizedDescription(type), display.value(type)};
}

QStringList displayNames(const FileTypeSet &types)
{
    QStringList names;
    for (FileType type : inDeclarationOrder(types))
        names.append(displayName(type));
    return names;
}

} // namespace FileTypes
