#pragma once

#include "cleaning/FileType.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>

// What the matcher knows of one item: its name, whether it is a folder (a
// symbolic link is never one) and whether it lies inside a "__MACOSX" folder
// of the volume (a path component equal to "__MACOSX", relative to the root).
struct MatchItem
{
    QStringView name;
    bool isDirectory = false;
    bool insideMacosx = false;
};

// Decides which junk kind an item belongs to. Built once per scan: the
// catalogue is compiled into hash sets of exact names, suffix and prefix
// tables; only user patterns with other wildcards become regular expressions.
//
// Wildcard patterns match files only: a folder is junk only by an exact name
// of the catalogue, by being "__MACOSX" or by lying inside one.
class FileMatcher
{
public:
    FileMatcher(const QMap<FileType, QStringList> &catalogue, const FileTypeSet &enabledSnapshot,
                const QStringList &customExtensions, const QStringList &excludedPatterns);
    ~FileMatcher();
    FileMatcher(FileMatcher &&) noexcept;
    FileMatcher &operator=(FileMatcher &&) noexcept;

    // The kind of the item, or nothing. `enabledTypes` is the scan's set (the
    // AppleDouble rule reads it; the catalogue uses the snapshot taken at build).
    std::optional<FileType> matchFile(const MatchItem &item, const FileTypeSet &enabledTypes) const;

    // Is the name never junk: the protected name or one the user excluded?
    // (Prints the exclusion line.) Every way an item enters a result asks this.
    bool isKept(QStringView name) const;
    // The same for a name's bytes (as a path holds them), read as text only
    // when something is excluded: otherwise only the protected name is kept.
    bool isKeptName(QByteArrayView name) const;

    // Did the user exclude any pattern? Without one, only the protected name is kept.
    bool hasExclusions() const;

    // A name against one pattern: exact and case-sensitive without "*"; with
    // "*", a case-insensitive match of the whole name where "*" is any run of
    // characters, newlines included (what the compiled tables give).
    // Prints the diagnostics for "._" hits and patterns that do not compile.
    static bool matchesWildcardPattern(const QString &name, const QString &pattern);

    static inline const QString protectedName = QStringLiteral(".VolumeIcon.icns");

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
